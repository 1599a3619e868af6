// Replays every kept input of the table-mapper-stream fuzz target.
#include <gtest/gtest.h>

#include "tests/server/qdsdMapperStreamFuzzHarness.h"
#include "tests/support/qdFuzzCases.h"

namespace qd::test {
namespace {

TEST(TableMapperStreamFuzzReplayTest, KeptInputsEndInStreamErrorsOnly) {
  for (const FuzzCase& c : ReadFuzzCases("table_mapper_stream")) {
    SCOPED_TRACE(c.Name);
    EXPECT_NO_THROW(FuzzTableMapperStreamInput(c.Input.data(), c.Input.size()));
  }
}

}  // namespace
}  // namespace qd::test
