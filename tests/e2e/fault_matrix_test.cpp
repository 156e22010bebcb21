// Faults on the upload road: what the page sees (status and error code), whether the task
// retries, and that the server's copy is whole once the fault is gone.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/support/E2eFixture.h"

using testing_support::E2eFixture;

namespace {

class FaultMatrix : public E2eFixture {
 protected:
  // Runs one task to its end; returns "Status/ErrCode".
  std::string RunToEnd(CUpLoadObjCore& core, int id, const std::string& path) {
    EXPECT_EQ(core.AddUpTask(id, path.c_str(), Param(path).c_str()), 1);
    EXPECT_EQ(core.ContinueUpTask(id), 1);
    runtime_.workers.WaitIdle(30000);
    return Field(core, id, "Status") + "/" + Field(core, id, "ErrCode");
  }
  std::string File(const std::string& name, int64_t size) {
    std::string path = dir_.File(name);
    testing_support::WritePatternFile(path, size, static_cast<uint32_t>(name.size()));
    return path;
  }
};

TEST_F(FaultMatrix, EachEndpointsRefusalShowsItsCodeWithoutRetryLeft) {
  struct Case {
    const char* endpoint;
    refserver::EndpointFault fault;
    const char* expected;
  };
  auto status = [](int s) {
    refserver::EndpointFault f;
    f.status = s;
    return f;
  };
  auto garbage = [] {
    refserver::EndpointFault f;
    f.garbage = true;
    return f;
  };
  auto oversized = [] {
    refserver::EndpointFault f;
    f.oversized = true;
    return f;
  };
  auto closeEarly = [] {
    refserver::EndpointFault f;
    f.closeWithoutAnswer = true;
    return f;
  };
  const Case cases[] = {
      {"dispatch", status(101), "7/401"}, {"dispatch", garbage(), "7/401"},
      {"dispatch", oversized(), "7/401"}, {"dispatch", closeEarly(), "7/401"},
      {"co", status(101), "7/501"},       {"co", garbage(), "7/501"},
      {"up", status(101), "7/603"},       {"up", garbage(), "7/602"},
      {"up", oversized(), "7/601"},       {"fin", status(101), "7/801"},
      {"fin", garbage(), "7/801"},
  };
  int id = 1;
  for (const Case& c : cases) {
    CUpLoadObjCore core(runtime_);
    Init(core);
    server_->ClearFaults();
    server_->SetFault(c.endpoint, c.fault);
    std::string path = File("f" + std::to_string(id), 50000 + id);
    EXPECT_EQ(RunToEnd(core, id, path), c.expected) << c.endpoint << " case " << id;
    // Once the fault is gone the same task completes and the copy is whole.
    server_->ClearFaults();
    ASSERT_EQ(core.ContinueUpTask(id), 1);
    ASSERT_TRUE(WaitStatus(core, id, 9)) << c.endpoint << " case " << id;
    EXPECT_TRUE(ServerHasCopyOf(path));
    ++id;
  }
}

TEST_F(FaultMatrix, UnreachableServersFailTheDispatchAndRetry) {
  runtime_.transport.connectTimeoutMs = 500;
  CUpLoadObjCore core(runtime_);
  // Nothing listening on the port the name maps to.
  uint16_t closed = 1;
  core.InitService("u1", "c", "http://gone.corvel.example:1/index.php", 1, 0);
  runtime_.resolver.Add("gone.corvel.example", closed, "127.0.0.1");
  std::string path = File("a", 1000);
  EXPECT_EQ(RunToEnd(core, 1, path), "7/401");
  // A name that does not resolve.
  core.InitService("u1", "c", "http://nowhere.invalid.example/index.php", 0, 0);
  EXPECT_EQ(RunToEnd(core, 2, File("b", 1000)), "7/401");
}

TEST_F(FaultMatrix, AStalledServerTimesOutAndStopReturnsAtOnce) {
  runtime_.transport.idleTimeoutMs = 500;
  refserver::EndpointFault stall;
  stall.stall = true;
  server_->SetFault("dispatch", stall);
  CUpLoadObjCore core(runtime_);
  Init(core);
  EXPECT_EQ(RunToEnd(core, 1, File("a", 1000)), "7/401");
  // Stalled mid-body: the stop does not wait for the transport.
  server_->ClearFaults();
  runtime_.transport.idleTimeoutMs = 60000;
  refserver::EndpointFault midBody;
  midBody.stallAfterBytes = 1 << 20;
  server_->SetFault("up", midBody);
  std::string big = File("big", 16 << 20);
  ASSERT_EQ(core.AddUpTask(2, big.c_str(), Param(big).c_str()), 1);
  ASSERT_EQ(core.ContinueUpTask(2), 1);
  ASSERT_TRUE(WaitStatus(core, 2, 6));
  ASSERT_TRUE(server_->WaitForStats(
      [](const refserver::ServerStats& s) { return s.uploadBytes >= (1 << 20); }, 30000));
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(core.StopUpTask(2), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(Field(core, 2, "Status"), "7");
  server_->ClearFaults();
  ASSERT_EQ(core.ContinueUpTask(2), 1);
  ASSERT_TRUE(WaitStatus(core, 2, 9));
  EXPECT_TRUE(ServerHasCopyOf(big));
}

TEST_F(FaultMatrix, AResetMidBodyIsRetriedAndTheOtherTasksFinish) {
  refserver::EndpointFault reset;
  reset.resetAfterBytes = 2 << 20;
  reset.refuseCount = 0;
  CUpLoadObjCore core(runtime_);
  Init(core, /*nRetry=*/3, /*nWait=*/1);
  std::string a = File("a", 8 << 20), b = File("bb", 8 << 20), c = File("ccc", 8 << 20);
  server_->SetFault("up", reset);
  ASSERT_EQ(core.AddUpTask(1, a.c_str(), Param(a).c_str()), 1);
  ASSERT_EQ(core.ContinueUpTask(1), 1);
  ASSERT_TRUE(WaitStatus(core, 1, 70));
  EXPECT_EQ(Field(core, 1, "ErrCode"), "601");
  server_->ClearFaults();
  ASSERT_EQ(core.AddUpTask(2, b.c_str(), Param(b).c_str()), 1);
  ASSERT_EQ(core.AddUpTask(3, c.c_str(), Param(c).c_str()), 1);
  ASSERT_EQ(core.ContinueUpTask(2), 1);
  ASSERT_EQ(core.ContinueUpTask(3), 1);
  for (int id = 1; id <= 3; ++id) ASSERT_TRUE(WaitStatus(core, id, 9)) << id;
  EXPECT_TRUE(ServerHasCopyOf(a));
  EXPECT_TRUE(ServerHasCopyOf(b));
  EXPECT_TRUE(ServerHasCopyOf(c));
}

TEST_F(FaultMatrix, TheServerRestartsDuringTheRetryWait) {
  CUpLoadObjCore core(runtime_);
  Init(core, /*nRetry=*/5, /*nWait=*/1);
  std::string path = File("restart", 4 << 20);
  uint16_t port = server_->Port();
  refserver::EndpointFault fail;
  fail.status = 101;
  server_->SetFault("fin", fail);
  ASSERT_EQ(core.AddUpTask(1, path.c_str(), Param(path).c_str()), 1);
  ASSERT_EQ(core.ContinueUpTask(1), 1);
  ASSERT_TRUE(WaitStatus(core, 1, 70));
  server_->Stop();
  refserver::ServerOptions o;
  o.storeDir = dir_.path() + "/server";
  o.port = port;
  server_ = std::make_unique<refserver::ReferenceServer>(o);
  ASSERT_TRUE(server_->Start());
  ASSERT_TRUE(WaitStatus(core, 1, 9));
  EXPECT_TRUE(ServerHasCopyOf(path));
}

TEST_F(FaultMatrix, TheLocalFileChangesOrVanishes) {
  CUpLoadObjCore core(runtime_);
  Init(core);
  // Changed after it was added: the upload refuses a file that no longer has its size.
  std::string grows = File("grows", 100000);
  ASSERT_EQ(core.AddUpTask(1, grows.c_str(), Param(grows).c_str()), 1);
  testing_support::WritePatternFile(grows, 200000);
  ASSERT_EQ(core.ContinueUpTask(1), 1);
  runtime_.workers.WaitIdle(10000);
  EXPECT_EQ(Field(core, 1, "Status"), "7");
  EXPECT_EQ(Field(core, 1, "ErrCode"), "601");
  // Gone before hashing: 302, no retry.
  std::string gone = File("gone", 1000);
  ASSERT_EQ(core.AddUpTask(2, gone.c_str(), Param(gone).c_str()), 1);
  std::remove(gone.c_str());
  ASSERT_EQ(core.ContinueUpTask(2), 1);
  runtime_.workers.WaitIdle(10000);
  EXPECT_EQ(Field(core, 2, "ErrCode"), "302");
}

TEST_F(FaultMatrix, CorruptTaskFilesAreNotLoadedAndStay) {
  {
    CUpLoadObjCore core(runtime_);
    Init(core);
  }
  std::string folder = UserFolder();
  for (const char* name : {"empty.udu", "corrupt.udu", "truncated.udu"}) {
    testing_support::WriteFile(folder + "/" + name,
                               std::string(name) == "empty.udu" ? "" : "<UpTask><TaskParam><File");
  }
  CUpLoadObjCore core(runtime_);
  Init(core);
  EXPECT_EQ(core.GetTaskCount(), 0);
  EXPECT_EQ(TaskFileCount(), 3);
}

}  // namespace
