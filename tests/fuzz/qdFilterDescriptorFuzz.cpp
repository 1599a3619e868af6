// libFuzzer target for the filter descriptor stream and the evaluation of
// expression filters: a key's filter block in a table's dictionary and the
// filters clients send are untrusted bytes. Reading may fail with an engine
// exception or a stream read error; a descriptor that reads is evaluated
// against a record of many field types, once with values and once all
// null, and written again to read back. A crash, an overrun (with the
// sanitizers), a broken round trip (std::logic_error) or a hang is a
// finding. Keep every finding under tests/fuzz/cases/filter_descriptor/;
// dictionary_tests replays them.
#include <cstddef>
#include <cstdint>

#include "engine/qdEngine.h"
#include "tests/dictionary/qdsdFilterDescriptorFuzzHarness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qd::qdEngineInitialize();
  (void)qd::test::FilterFuzzDictionary();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  qd::test::FuzzFilterDescriptorInput(aData, aSize);
  return 0;
}
