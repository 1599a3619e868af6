// Start and end of the index layer: runs each index unit's start-up work
// (index and indices engines registered by name) in dependency order, and
// its shut-down in reverse.
#pragma once

namespace qd {

void InitializeIndexes();
void FinalizeIndexes();

}  // namespace qd
