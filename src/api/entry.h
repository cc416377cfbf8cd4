// Library load and unload.
#pragma once

// Puts the globals that need more than zero into their start state.
void ProcessAttach();
// Closes the port in use, ends the threads at once and closes the logs.
void ProcessDetach();
// Detach, every global back to its load state (the record all zero), attach:
// a fresh library without a new process.
void ReloadLibrary();
