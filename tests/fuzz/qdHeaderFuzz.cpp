// libFuzzer target over the parsing of a table file's block 0 and the
// structures it leads to: the input patches bytes of a valid table file
// (the fixture of the corruption tests), which is then opened and driven
// through its header sections, child headers and block allocation. Only engine exceptions may come out;
// an assertion failure, a crash or a sanitizer report is a finding. Keep
// every finding under tests/fuzz/cases/header/; storage_tests replays them.
#include <cstddef>
#include <cstdint>

#include "engine/qdEngine.h"
#include "tests/storage/qdseHeaderFuzzHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  static const bool started = [] {
    qd::qdEngineInitialize();
    return true;
  }();
  (void)started;
  qd::test::FuzzHeaderInput(aData, aSize);
  return 0;
}
