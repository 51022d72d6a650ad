// In-process tests write into a ring of their own, never the live one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "UnitDebugSys.h"
#include "UnitTamlixDirect.h"

namespace {

class TestRing : public ::testing::Environment {
 public:
  void SetUp() override {
    name_ = "/DebugShared-direct-" + std::to_string(::getpid());
    tamlix::SetDebugSharedNameForTesting(name_.c_str());
    tamlix::OpenDebugShared();
    tamlix::direct::LoadDirect();
  }
  void TearDown() override { tamlix::CloseDebugShared(); }

 private:
  std::string name_;
};

[[maybe_unused]] ::testing::Environment* const g_ring = ::testing::AddGlobalTestEnvironment(new TestRing);

}  // namespace
