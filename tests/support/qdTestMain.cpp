// Test entry point shared by every test binary: the engine is started once
// for the whole run and stopped at the end.
#include <gtest/gtest.h>

#include "engine/qdEngine.h"

namespace {

class EngineEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { qd::qdEngineInitialize(); }
  void TearDown() override { qd::qdEngineFinalize(); }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new EngineEnvironment);
  return RUN_ALL_TESTS();
}
