// libFuzzer target for the dictionary stream reader: a table file's "DICT"
// stream and the dictionaries a server sends are untrusted bytes. A damaged
// stream may raise an engine exception and must then leave a default
// dictionary; any other exception (a broken round trip raises
// std::logic_error), a crash, an overrun (with the sanitizers) or a huge
// allocation is a finding. Keep every finding under
// tests/fuzz/cases/dictionary_stream/; dictionary_tests replays them.
#include <cstddef>
#include <cstdint>

#include "engine/qdEngine.h"
#include "tests/dictionary/qdsdDictionaryStreamFuzzHarness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qd::qdEngineInitialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  qd::test::FuzzDictionaryStreamInput(aData, aSize);
  return 0;
}
