// libFuzzer target over stream storage: the input patches bytes of the
// stream blocks (and the engine's header section) of a valid table file,
// which is then opened and driven through every named and numbered stream
// operation. Only engine exceptions may come out; an assertion failure, a
// crash, a hang or a sanitizer report is a finding. Keep every finding under
// tests/fuzz/cases/stream/; storage_tests replays them.
#include <cstddef>
#include <cstdint>

#include "engine/qdEngine.h"
#include "tests/storage/qdseStreamFuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  static const bool started = [] {
    qd::qdEngineInitialize();
    return true;
  }();
  (void)started;
  qd::test::FuzzStreamInput(aData, aSize);
  return 0;
}
