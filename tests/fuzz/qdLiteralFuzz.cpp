// libFuzzer target for the readers of decimal (BCD) text, BCD records and
// ISO date, time and timestamp literals. They may raise only what they
// document; any other exception, a broken round trip (std::logic_error), a
// crash or a sanitizer report is a finding. Keep every finding under
// tests/fuzz/cases/literals/; dictionary_tests replays them.
#include <cstddef>
#include <cstdint>

#include "engine/qdEngine.h"
#include "tests/dictionary/qdsdLiteralFuzzHarness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qd::qdEngineInitialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  qd::test::FuzzLiteralInput(aData, aSize);
  return 0;
}
