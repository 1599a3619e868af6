// Replays every kept input of the dictionary-side fuzzers
// (tests/fuzz/cases/dictionary_stream, filter_descriptor, literals) through
// the same harnesses: none may end in anything but the errors each reader
// documents.
#include <gtest/gtest.h>

#include "tests/dictionary/qdsdDictionaryStreamFuzzHarness.h"
#include "tests/dictionary/qdsdFilterDescriptorFuzzHarness.h"
#include "tests/dictionary/qdsdLiteralFuzzHarness.h"
#include "tests/support/qdFuzzCases.h"

namespace qd::test {
namespace {

TEST(DictionaryStreamFuzzReplayTest, KeptInputsEndInEngineErrorsOnly) {
  for (const FuzzCase& c : ReadFuzzCases("dictionary_stream")) {
    SCOPED_TRACE(c.Name);
    EXPECT_NO_THROW(FuzzDictionaryStreamInput(c.Input.data(), c.Input.size()));
  }
}

TEST(FilterDescriptorFuzzReplayTest, KeptInputsEndInErrorCodesOnly) {
  for (const FuzzCase& c : ReadFuzzCases("filter_descriptor")) {
    SCOPED_TRACE(c.Name);
    EXPECT_NO_THROW(FuzzFilterDescriptorInput(c.Input.data(), c.Input.size()));
  }
}

TEST(LiteralFuzzReplayTest, KeptInputsEndInDocumentedErrorsOnly) {
  for (const FuzzCase& c : ReadFuzzCases("literals")) {
    SCOPED_TRACE(c.Name);
    EXPECT_NO_THROW(FuzzLiteralInput(c.Input.data(), c.Input.size()));
  }
}

}  // namespace
}  // namespace qd::test
