// Pieces shared by the Win32 backend's files.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace platform {

// Waits up to ms on the calling library thread's interrupter.  Woken when
// the thread was woken; throws ThreadKilled when it has been killed.  On a
// host thread it sleeps, or with serveMessages blocks in
// MsgWaitForMultipleObjectsEx and dispatches the thread's messages as they
// arrive.  Runs at 1 ms timer resolution.
WaitResult WaitOnInterrupter(int32_t ms, bool serveMessages);

// True when the calling host thread has peeked at its message queue
// (PeekMessages) since its last wait; clears the mark.  Each wait takes it
// once on entry and then serves the queue for its whole length, so exactly
// the waits that follow a message peek keep the host's windows answering.
bool TakeMessageServing();

// Asks the system timer for 1 ms resolution for as long as the library is
// loaded, so that the short sleeps of the waits last what they say instead
// of a 15.6 ms timer tick.
void UseFineTimer();
// Gives the timer resolution back (library unload).
void EndFineTimer();

// Set by DllMain around process detach: the loader's lock is held then, and
// a thread of this library could not finish exiting while it is.
void SetUnloadInProgress(bool unloading, bool processEnding);

}  // namespace platform
