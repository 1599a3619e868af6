// libFuzzer target over heap and BLOB storage: the input patches bytes of
// the heap data and map blocks (and the BLOB engine's header section) of a
// valid table file, whose BLOBs are then measured, read, written, truncated
// and deleted. Only engine exceptions may come out; an assertion failure, a
// crash, a hang or a sanitizer report is a finding. Keep every finding under
// tests/fuzz/cases/heap_blob/; storage_tests replays them.
#include <cstddef>
#include <cstdint>

#include "engine/qdEngine.h"
#include "tests/storage/qdseHeapBlobFuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  static const bool started = [] {
    qd::qdEngineInitialize();
    return true;
  }();
  (void)started;
  qd::test::FuzzHeapBlobInput(aData, aSize);
  return 0;
}
