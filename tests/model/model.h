// Model-based test of random call sequences against the simulated
// instrument, with faults injected along the way.
//
// One model, one command set, one invariant check: a sequence of exports
// drawn at random (RapidCheck's stateful testing) runs against a library on
// a fresh simulator; after every step the runner checks what the model of
// the library and the instrument allows: the result, the time taken, the
// run state, the scans handed out, the digital-output bytes on the wire,
// the scan log files and, at the end, descriptors and threads.  A failing
// sequence is shrunk by RapidCheck and can be replayed from its seed
// (RC_PARAMS="reproduce=..." or "seed=...").
//
// The files: state.h (what the model knows, the rig), commands.cpp (the
// command set and its generator weights), steps.cpp (each library call and
// what the model expects of it), faults.cpp (the injected faults),
// invariants.cpp (what holds after every step), rig.cpp (the rig and the
// run bookkeeping), runner.cpp (one sequence, the watchdog, the soak's
// control and the leak check).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace q583model {

// Starts what the runner keeps for the whole process (its watchdog thread):
// call before taking the figures that later ones are compared with.
void PrepareProcess();

// Runs one generated sequence: inside a RapidCheck property only.  A
// passing sequence may leave its library and simulator to the next, which
// goes on from their state.
void CheckOneSequence();
// Unloads what the last sequence left (with the leak check); returns the
// failure, or "" (after the property, and at the end of a soak segment).
std::string FinishSequences();

// What the process holds: for the soak's figures and the leak check.
struct ProcessFigures {
  long rssKb = 0;
  long heapKb = 0;  // allocated by the program, in every arena: what a leak grows
  int descriptors = 0;
  int threads = 0;
};
ProcessFigures Figures();

// The soak's control.  Past `deadline` a sequence passes at once without
// running (so that a long RapidCheck check ends at a set time).  With
// `fixedClock`, every sequence starts the library's clock at `clockBase`
// plus the time since `since`, so that the segment runs across a wrap.
struct SoakControl {
  bool active = false;
  std::chrono::steady_clock::time_point deadline;
  bool fixedClock = false;
  uint32_t clockBase = 0;
  std::chrono::steady_clock::time_point since;
};
void SetSoakControl(const SoakControl& control);

// Sequences run and steps taken by this process so far.
uint64_t SequencesRun();
uint64_t StepsRun();

}  // namespace q583model
