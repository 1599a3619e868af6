// Start and end of the data dictionary subsystem: runs each dictionary
// unit's start-up work in dependency order, and its shut-down in reverse.
#pragma once

namespace qd {

void InitializeDictionary();
void FinalizeDictionary();

}  // namespace qd
