// Start and end of the whole engine.
//
// Static libraries drop unreferenced object files, so no unit registers
// itself from a static constructor: the program and every test binary call
// qdEngineInitialize() once before any engine object exists, and
// qdEngineFinalize() once at the end. They run each subsystem's start-up in
// dependency order and its shut-down in reverse. Calls nest: only the first
// initialize and the matching last finalize do the work.
#pragma once

namespace qd {

void qdEngineInitialize();
void qdEngineFinalize();

}  // namespace qd
