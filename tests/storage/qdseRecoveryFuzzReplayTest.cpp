// Replays every kept input of the static-record and journal-recovery fuzzers
// (tests/fuzz/cases/static_records, tests/fuzz/cases/journal) through the
// same harnesses: none may end in anything but an engine error.
#include <gtest/gtest.h>

#include "tests/storage/qdseJournalFuzzHarness.h"
#include "tests/storage/qdseStaticRecordFuzzHarness.h"
#include "tests/support/qdFuzzCases.h"

namespace qd::test {
namespace {

TEST(StaticRecordFuzzReplayTest, KeptInputsEndInEngineErrorsOnly) {
  for (const FuzzCase& c : ReadFuzzCases("static_records")) {
    SCOPED_TRACE(c.Name);
    EXPECT_NO_THROW(FuzzStaticRecordInput(c.Input.data(), c.Input.size()));
  }
}

TEST(JournalFuzzReplayTest, KeptInputsEndInEngineErrorsOnly) {
  for (const FuzzCase& c : ReadFuzzCases("journal")) {
    SCOPED_TRACE(c.Name);
    EXPECT_NO_THROW(FuzzJournalInput(c.Input.data(), c.Input.size()));
  }
}

}  // namespace
}  // namespace qd::test
