// Replays every kept input of the B*-tree fuzzer (tests/fuzz/cases/bstar_tree)
// through the same harness: none may end in anything but an engine error.
#include <gtest/gtest.h>

#include "tests/indexes/qdseBstarTreeFuzzHarness.h"
#include "tests/support/qdFuzzCases.h"

namespace qd::test {
namespace {

TEST(BstarTreeFuzzReplayTest, KeptInputsEndInEngineErrorsOnly) {
  for (const FuzzCase& c : ReadFuzzCases("bstar_tree")) {
    SCOPED_TRACE(c.Name);
    EXPECT_NO_THROW(FuzzBstarTreeInput(c.Input.data(), c.Input.size()));
  }
}

}  // namespace
}  // namespace qd::test
