// What the instrument was given: the one account of the settings the
// instrument holds, beside the device record, which holds what the host
// asked for.  A setter changes the record only; before a start or a
// conversion the instrument is brought to the record (a command where one
// exists, a sign-on where not), so that its frames are never read or timed
// with settings it does not have.
//
// Written on the host's threads (a sign-on, a register write, the averaging
// command), under the run-control lock or before any run; the acquisition
// thread's own sign-on after a short frame writes it too, while the host
// waits for that run to end before it reads it.
#pragma once

#include <cstdint>

// The sign-on sent and had echoed every setting of the record: the mode
// registers, the averaging, the timer count of the interval, the channel
// codes, on the record's port at its baud.
void NoteSignedOn();
// The mode registers of the record reached the instrument (echoed).
void NoteModeRegistersGiven();
// The averaging command for this count went out.
void NoteAveragingGiven(uint32_t average);
// The instrument is in no known state (a failed sign-on, a closed port).
void ForgetGiven();

// What a use of the instrument depends on.
enum class Use : uint8_t {
  Conversion,  // the mode registers and the averaging
  Scan,        // those, and the interval's timer count, the channel codes, the port and its baud
};
// True when the instrument holds the record's settings for a use.
bool InstrumentAtRecord(Use use);
// Brings the instrument to the record for a use: the mode registers and the
// averaging by their commands, everything else by a sign-on.  False when
// that fails.
bool BringInstrumentToRecord(Use use);
