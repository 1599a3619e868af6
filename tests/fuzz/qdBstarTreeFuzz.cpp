// libFuzzer target over B*-tree indexes: the input patches bytes of the index and record blocks of a committed table
// with two indexes, which is then reopened, read through every search, walk, record number and estimate, and changed by
// inserts, deletes, updates and DeleteAllKeys. Only engine exceptions may come out; an assertion failure, a crash, a
// hang or a sanitizer report is a finding. Keep every finding under tests/fuzz/cases/bstar_tree/; indexes_tests replays
// them.
#include <cstddef>
#include <cstdint>

#include "engine/qdEngine.h"
#include "tests/indexes/qdseBstarTreeFuzzHarness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qd::qdEngineInitialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  qd::test::FuzzBstarTreeInput(aData, aSize);
  return 0;
}
