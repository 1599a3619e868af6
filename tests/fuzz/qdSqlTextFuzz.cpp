// libFuzzer target for the SQL tokenizer: any UTF-16 text must tokenize or
// fail through the result, with every token inside the text and its
// positions right (tests/sql/language/qdsqlTextFuzzHarness.h). A broken
// check (std::logic_error), a crash or a sanitizer report is a finding.
// Keep every finding under tests/fuzz/cases/sql_text/; sql_tests replays
// them.
#include <cstddef>
#include <cstdint>

#include "engine/qdEngine.h"
#include "tests/sql/language/qdsqlTextFuzzHarness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qd::qdEngineInitialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  qd::test::FuzzSqlTextInput(aData, aSize);
  return 0;
}
