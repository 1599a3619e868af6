// Start and end of the in-process server layer: runs each server unit's
// start-up work (engines and descriptor classes registered by name, hooks
// installed) in dependency order, and its shut-down in reverse.
#pragma once

namespace qd {

void InitializeServer();
void FinalizeServer();

}  // namespace qd
