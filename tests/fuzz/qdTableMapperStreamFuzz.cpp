// libFuzzer target for the table mapper stream reader: mapper descriptors
// reach a restructure as filer streams. A damaged stream may raise an engine
// exception or the filer's read error; any other exception (a broken round
// trip raises std::logic_error), a crash, an overrun (with the sanitizers),
// a leak or a huge allocation is a finding. Keep every finding under
// tests/fuzz/cases/table_mapper_stream/; server_tests replays them.
#include <cstddef>
#include <cstdint>

#include "engine/qdEngine.h"
#include "tests/server/qdsdMapperStreamFuzzHarness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qd::qdEngineInitialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  qd::test::FuzzTableMapperStreamInput(aData, aSize);
  return 0;
}
