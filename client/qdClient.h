// Start and end of the engine-interface subsystem.
//
// InitializeClient runs the start-up work of every client unit in dependency
// order; FinalizeClient undoes it in reverse. Both are called once from
// qdEngineInitialize / qdEngineFinalize, after the dictionary has started and
// before it stops.
#pragma once

namespace qd {

void InitializeClient();
void FinalizeClient();

}  // namespace qd
