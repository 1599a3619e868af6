// libFuzzer target over journal recovery: one or two journal files built
// from the input lie beside two committed tables; the folder is checked
// twice (the second check must replay nothing) and the tables then open or
// refuse with an engine error. Any other exception, an assertion failure, a
// crash, a hang or a sanitizer report is a finding. Keep every finding under
// tests/fuzz/cases/journal/; storage_tests replays them.
#include <cstddef>
#include <cstdint>

#include "engine/qdEngine.h"
#include "tests/storage/qdseJournalFuzzHarness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qd::qdEngineInitialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  qd::test::FuzzJournalInput(aData, aSize);
  return 0;
}
