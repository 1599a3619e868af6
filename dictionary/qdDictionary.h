// Start and end of the data dictionary subsystem.
//
// InitializeDictionary runs the start-up work of every dictionary unit in
// dependency order (the SQL name list of the field types, the locale switch
// and the descriptor class registries); FinalizeDictionary undoes it in
// reverse. Both are called once from qdEngineInitialize / qdEngineFinalize,
// after the foundation has started and before it stops.
#pragma once

namespace qd {

void InitializeDictionary();
void FinalizeDictionary();

}  // namespace qd
