// q583-sim --replay: the instrument of a recorded session (a wire trace of
// the library, EX_SetWireTrace), played back on a pseudo-terminal.
#pragma once

#include <signal.h>

#include <string>

namespace q583sim {

// Plays the trace at tracePath on a pseudo-terminal of its own: prints the
// device path as the first line of standard output (and links `link` to it
// when not empty), then answers what the host sends with the recorded
// replies at the recorded pace, until one of stopSignals (blocked by the
// caller) arrives or the host sends a byte that differs from the recording.
// Says on standard error where the host's bytes first differ, or that they
// matched.  Returns the exit status: 0 the host sent the recording's bytes
// and nothing else, 1 they differ (or stop short), 2 the trace cannot be
// read.  trace: every byte to standard error as it goes.
int RunReplay(const std::string& tracePath, const std::string& link, const sigset_t& stopSignals, bool trace);

}  // namespace q583sim
