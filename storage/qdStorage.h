// Start and end of the storage layer: runs each storage unit's start-up work
// (file classes, header formats by signature) in dependency order, and its
// shut-down in reverse.
#pragma once

namespace qd {

void InitializeStorage();
void FinalizeStorage();

}  // namespace qd
