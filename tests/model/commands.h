// The command set's generator (commands.cpp).
#pragma once

#include "model/state.h"

namespace q583model {

// Draws a sequence of steps and runs it against the rig (inside a
// RapidCheck property: a failure is shrunk and printed as steps).
void RunCommands(Rig& rig);

}  // namespace q583model
