// libFuzzer target over static records: the input patches bytes of the "QDDH" blocks (and the engine's header section)
// of a committed table, which is then opened, read every way the record engine reads and changed by adds, updates and
// deletes. Only engine exceptions may come out; an assertion failure, a crash, a hang or a sanitizer report is a
// finding. Keep every finding under tests/fuzz/cases/static_records/; storage_tests replays them.
#include <cstddef>
#include <cstdint>

#include "engine/qdEngine.h"
#include "tests/storage/qdseStaticRecordFuzzHarness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qd::qdEngineInitialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  qd::test::FuzzStaticRecordInput(aData, aSize);
  return 0;
}
