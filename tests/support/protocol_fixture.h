// The common ground of the protocol's tests: a scripted server on loopback that both the
// dispatch name and the upload-server name resolve to, APPDATA in a folder of the test's own, a
// clock the test can fix, the diagnostics captured, and a fresh task.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/Bounded.h"
#include "platform/Diagnostics.h"
#include "platform/Env.h"
#include "platform/ProcessState.h"
#include "platform/Resolver.h"
#include "protocol/Requests.h"
#include "protocol/TaskRecord.h"
#include "tests/support/TempDir.h"
#include "tests/support/protocol_fake_server.h"

namespace testing_support {

inline constexpr const char* kDispatchName = "dispatch.corvel.example";
inline constexpr const char* kUploadName = "up.corvel.example";

// APPDATA of the test's own and, when now is set, a fixed clock.
class ProtocolEnv : public AppDataEnv {
 public:
  using AppDataEnv::AppDataEnv;
  int64_t NowSeconds() override { return now != 0 ? now : AppDataEnv::NowSeconds(); }
  int64_t now = 0;
};

class ProtocolTest : public ::testing::Test {
 protected:
  ProtocolTest() : env_(dir_.path()) {}

  void SetUp() override {
    platform::ResetProcessState();
    platform::Process().IdleTimeoutMs = 5000;
    platform::DispatchEndpointValue ep{};
    platform::CopyText(ep.Host, kDispatchName);
    ep.Port = server_.port();
    platform::CopyText(ep.Path, "/index.php");
    platform::SetDispatchEndpoint(ep);
    platform::AddResolveOverride(kDispatchName, server_.port(), "127.0.0.1");
    platform::AddResolveOverride(kUploadName, server_.port(), "127.0.0.1");
    platform::SetEnvForTest(&env_);
    platform::SetDiagnosticSink([this](platform::DiagChannel ch, std::string_view text) {
      std::lock_guard<std::mutex> g(sinkLock_);
      (ch == platform::DiagChannel::kConsole ? console_ : debug_) += text;
    });
    InitTask(task_);
    platform::CopyText(task_.UserID, "u1");
    platform::CopyText(task_.Host, kUploadName);
    task_.Port = server_.port();
    task_.FileSize = 1000;
  }

  void TearDown() override {
    // Deletion threads are never joined; none may outlive the test's server and sink.
    EXPECT_TRUE(WaitForServerDeletes());
    platform::SetDiagnosticSink(nullptr);
    platform::SetEnvForTest(nullptr);
    platform::ResetProcessState();
  }

  static bool WaitForServerDeletes() {
    for (int i = 0; i < 2000 && PendingServerDeletes() != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return PendingServerDeletes() == 0;
  }

  std::string Debug() {
    std::lock_guard<std::mutex> g(sinkLock_);
    return debug_;
  }
  std::string Console() {
    std::lock_guard<std::mutex> g(sinkLock_);
    return console_;
  }
  void ClearDiagnostics() {
    std::lock_guard<std::mutex> g(sinkLock_);
    debug_.clear();
    console_.clear();
  }

  TempDir dir_;
  ProtocolEnv env_;
  ProtocolFakeServer server_;
  TaskRecord task_{};

 private:
  std::mutex sinkLock_;
  std::string debug_;
  std::string console_;
};

}  // namespace testing_support
