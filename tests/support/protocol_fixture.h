// The common ground of the protocol's tests: a scripted server on loopback that both the
// dispatch name and the upload-server name resolve to, a runtime whose Env keeps APPDATA in a
// folder of the test's own and whose clock the test can fix (env_.FixNow), the diagnostics
// captured, and a fresh task.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/Bounded.h"
#include "protocol/Requests.h"
#include "protocol/ServerDelete.h"
#include "protocol/TaskRecord.h"
#include "tests/support/FaultEnv.h"
#include "tests/support/TempDir.h"
#include "tests/support/protocol_fake_server.h"
#include "upload/Runtime.h"

namespace testing_support {

inline constexpr const char* kDispatchName = "dispatch.corvel.example";
inline constexpr const char* kUploadName = "up.corvel.example";

class ProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.SetVar("APPDATA", dir_.path());
    runtime_.transport.idleTimeoutMs = 5000;
    DispatchEndpointValue ep{};
    platform::CopyText(ep.Host, kDispatchName);
    ep.Port = server_.port();
    platform::CopyText(ep.Path, "/index.php");
    runtime_.dispatch.Set(ep);
    runtime_.resolver.Add(kDispatchName, server_.port(), "127.0.0.1");
    runtime_.resolver.Add(kUploadName, server_.port(), "127.0.0.1");
    runtime_.diagnostics.SetSink([this](platform::DiagChannel ch, std::string_view text) {
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
    runtime_.diagnostics.SetSink(nullptr);
  }

  // A request's view of the runtime's transport, never cancelled.
  Call call() { return Call{runtime_.transport, nullptr}; }
  bool Dispatch() { return RequestDispatch(call(), runtime_.dispatch, task_).ok(); }
  bool Check() { return RequestUploadCheck(call(), task_).ok(); }
  bool Upload(IBodyProgress& progress) { return RequestBlockUpload(call(), task_, progress).ok(); }
  bool Finish() { return RequestUploadFinish(call(), task_).ok(); }
  bool DeleteOnServer(TaskRecord& task) {
    return DeleteServerTask(runtime_.transport, runtime_.dispatch, runtime_.deletions, task);
  }
  bool WaitForServerDeletes() { return runtime_.deletions.WaitIdle(10000); }

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
  FaultEnv env_;
  ProtocolFakeServer server_;
  Runtime runtime_{env_};  // after the server: its deletion threads end first
  TaskRecord task_{};

 private:
  std::mutex sinkLock_;
  std::string debug_;
  std::string console_;
};

}  // namespace testing_support
