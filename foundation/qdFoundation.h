// Start and end of the engine foundation: runs each foundation unit's
// start-up work in dependency order, and its shut-down in reverse.
#pragma once

namespace qd {

void InitializeFoundation();
void FinalizeFoundation();

}  // namespace qd
