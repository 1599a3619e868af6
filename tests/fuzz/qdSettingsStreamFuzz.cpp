// libFuzzer target for the settings streams of the server engine and of its
// alias handler: both come back from a stored settings set. A damaged
// stream may raise an engine exception or the filer's read error; any other
// exception (a broken round trip raises std::logic_error), a crash, an
// overrun (with the sanitizers), a leak or a huge allocation is a finding.
// Keep every finding under tests/fuzz/cases/settings_stream/; server_tests
// replays them.
#include <cstddef>
#include <cstdint>

#include "engine/qdEngine.h"
#include "tests/server/qdsrSettingsStreamFuzzHarness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qd::qdEngineInitialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  qd::test::FuzzSettingsStreamInput(aData, aSize);
  return 0;
}
