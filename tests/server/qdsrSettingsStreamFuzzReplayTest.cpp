// Replays every kept input of the settings-stream fuzz target.
#include <gtest/gtest.h>

#include "tests/server/qdsrSettingsStreamFuzzHarness.h"
#include "tests/support/qdFuzzCases.h"

namespace qd::test {
namespace {

TEST(SettingsStreamFuzzReplayTest, KeptInputsEndInStreamErrorsOnly) {
  for (const FuzzCase& c : ReadFuzzCases("settings_stream")) {
    SCOPED_TRACE(c.Name);
    EXPECT_NO_THROW(FuzzSettingsStreamInput(c.Input.data(), c.Input.size()));
  }
}

}  // namespace
}  // namespace qd::test
