// Replays every kept input of the filer-reader fuzzer
// (tests/fuzz/cases/filer_reader): none may end in anything but a read error.
#include <gtest/gtest.h>

#include "tests/foundation/qdllFilerReaderFuzzHarness.h"
#include "tests/support/qdFuzzCases.h"

namespace qd::test {
namespace {

TEST(FilerReaderFuzzReplayTest, KeptInputsEndInReadErrorsOnly) {
  for (const FuzzCase& c : ReadFuzzCases("filer_reader")) {
    SCOPED_TRACE(c.Name);
    EXPECT_NO_THROW(FuzzFilerReaderInput(c.Input.data(), c.Input.size()));
  }
}

}  // namespace
}  // namespace qd::test
