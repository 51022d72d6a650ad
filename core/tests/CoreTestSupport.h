// What the in-process core tests share: a fake connection state, a fixture
// that loads the core against a debug ring of the test's own, the ring read
// back in sequence order, and lock-file helpers.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "CoreState.h"
#include "UnitCoreDataModule.h"
#include "UnitDebugSys.h"
#include "platform/ExeDir.h"
#include "platform/NetState.h"
#include "platform/Sys.h"
#include "tamlix/TamlixCore.h"

namespace tamlix::core::testing {

class FakeNetState : public platform::NetState {
 public:
  uint32_t ConnectedState() override { return flags; }
  uint32_t DialUnattended() override {
    ++dials;
    return dial_result;
  }
  uint32_t flags = platform::INTERNET_CONNECTION_LAN;
  uint32_t dial_result = 0;
  int dials = 0;
};

struct Rec {
  int32_t Sequence;
  std::string Module, Procedure, Message, Session, Detail, Data;
};

inline std::string Short(const TShortString& s) { return std::string(s.Chars, s.Length); }

// Every written slot in sequence order.
inline std::vector<Rec> ReadRing() {
  std::vector<Rec> out;
  const TDebugRecord* ring = DebugSharedView();
  if (!ring) return out;
  for (int i = 0; i < TAMLIX_DEBUG_SLOTS; ++i) {
    const TDebugRecord& r = ring[i];
    if (r.Sequence <= 0) continue;
    out.push_back({r.Sequence, Short(r.Module), Short(r.Procedure), Short(r.Message), Short(r.Session),
                   Short(r.Detail), std::string(r.Data, strnlen(r.Data, sizeof r.Data))});
  }
  std::sort(out.begin(), out.end(), [](const Rec& a, const Rec& b) { return a.Sequence < b.Sequence; });
  return out;
}

inline std::vector<std::string> Messages(const std::vector<Rec>& recs) {
  std::vector<std::string> out;
  for (const Rec& r : recs) out.push_back(r.Message);
  return out;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline bool FileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline TTCPIPSettings MakeSettings(int32_t port, const std::string& address, uint32_t timeout_ms) {
  TTCPIPSettings s{};
  s.Port = port;
  s.Address.Length = static_cast<uint8_t>(address.size());
  std::memcpy(s.Address.Chars, address.data(), address.size());
  s.TimeOut = timeout_ms;
  return s;
}

// Loads the core in-process against a ring named after this process, with
// the fake connection state; removes the lock files its sessions made.
class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ring_ = "/TamlixCoreTest." + std::to_string(::getpid());
    ::shm_unlink(ring_.c_str());
    SetDebugSharedNameForTesting(ring_.c_str());
    SetNetStateForTesting(&net_);
    LibraryLoad();
  }
  void TearDown() override {
    if (loaded_) LibraryUnload();
    SetNetStateForTesting(nullptr);
    sys::ClearFaults();
    ::shm_unlink(ring_.c_str());
    for (const std::string& s : sessions_) ::unlink(LockPath(s).c_str());
  }

  void Unload() {
    LibraryUnload();
    loaded_ = false;
  }

  // A session ID of this test, cleaned up afterwards.
  std::string Session(const std::string& name) {
    std::string s = "coretest_" + std::to_string(::getpid()) + "_" + name;
    sessions_.push_back(s);
    ::unlink(LockPath(s).c_str());
    return s;
  }
  static std::string LockPath(const std::string& session) {
    return platform::ExecutableDirectory() + session + ".lck";
  }

  FakeNetState net_;
  std::string ring_;
  std::vector<std::string> sessions_;
  bool loaded_ = true;
};

}  // namespace tamlix::core::testing
