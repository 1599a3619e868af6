// libFuzzer target for the filer reader: stored dictionaries and settings
// are untrusted bytes. The first input byte chooses the order of reads;
// the rest is the stream. A damaged stream may raise EReadError and nothing
// else: any other exception, a crash, an overrun (with the sanitizers) or a
// huge allocation is a finding. Keep every finding under
// tests/fuzz/cases/filer_reader/; foundation_tests replays them.
#include <cstddef>
#include <cstdint>

#include "engine/qdEngine.h"
#include "tests/foundation/qdllFilerReaderFuzzHarness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qd::qdEngineInitialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  qd::test::FuzzFilerReaderInput(aData, aSize);
  return 0;
}
