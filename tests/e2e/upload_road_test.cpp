// The whole upload road, real client against the reference server on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/support/E2eFixture.h"

using testing_support::E2eFixture;

namespace {

class UploadRoad : public E2eFixture {
 protected:
  // Adds, continues and waits for one file; returns its final status line fields.
  void UploadAndExpectCopy(CUpLoadObjCore& core, int id, const std::string& path) {
    ASSERT_EQ(core.AddUpTask(id, path.c_str(), Param(path).c_str()), 1);
    ASSERT_EQ(core.ContinueUpTask(id), 1);
    ASSERT_TRUE(WaitStatus(core, id, 9)) << Field(core, id, "ErrCode");
    EXPECT_EQ(Field(core, id, "ErrCode"), "100");
    EXPECT_TRUE(ServerHasCopyOf(path)) << path;
  }
};

TEST_F(UploadRoad, NewFilesOfEverySizeArriveWhole) {
  CUpLoadObjCore core(runtime_);
  Init(core);
  const int64_t sizes[] = {1, 8001, 5 * 1024 * 1024 + 17};
  int id = 1;
  for (int64_t size : sizes) {
    std::string path = dir_.File("f" + std::to_string(size));
    testing_support::WritePatternFile(path, size, static_cast<uint32_t>(size));
    UploadAndExpectCopy(core, id++, path);
  }
  // 128 MiB + 1: block schema 1, a final block of one byte.
  std::string big = testing_support::SharedLargeFile(134217729);
  UploadAndExpectCopy(core, id, big);
  EXPECT_EQ(TaskFileCount(), 0);
  EXPECT_EQ(server_->Stats().requests["fin"], 4);
}

TEST_F(UploadRoad, EmptyAndKnownFilesCompleteWithoutSendingData) {
  CUpLoadObjCore core(runtime_);
  Init(core);
  std::string empty = dir_.File("empty");
  testing_support::WriteFile(empty, "");
  ASSERT_EQ(core.AddUpTask(1, empty.c_str(), Param(empty).c_str()), 1);
  ASSERT_EQ(core.ContinueUpTask(1), 1);
  ASSERT_TRUE(WaitStatus(core, 1, 9));
  std::string path = dir_.File("twice");
  testing_support::WritePatternFile(path, 300000);
  UploadAndExpectCopy(core, 2, path);
  int64_t bytes = server_->Stats().uploadBytes;
  // The same content under another name: no upload request, no task file.
  std::string copy = dir_.File("twice-copy");
  testing_support::WritePatternFile(copy, 300000);
  ASSERT_EQ(core.AddUpTask(3, copy.c_str(), Param(copy).c_str()), 1);
  ASSERT_EQ(core.ContinueUpTask(3), 1);
  ASSERT_TRUE(WaitStatus(core, 3, 9));
  EXPECT_EQ(server_->Stats().uploadBytes, bytes);
  EXPECT_EQ(server_->Stats().requests["up"], 1);
  EXPECT_EQ(Field(core, 3, "PickCode"), Field(core, 2, "PickCode"));
  EXPECT_EQ(TaskFileCount(), 0);
}

TEST_F(UploadRoad, StopMidBodyThenContinueResumesFromTheServersOffset) {
  CUpLoadObjCore core(runtime_);
  Init(core);
  std::string path = dir_.File("resume");
  testing_support::WritePatternFile(path, 20 * 1024 * 1024);
  refserver::EndpointFault stall;
  stall.stallAfterBytes = 3 * 1024 * 1024;
  server_->SetFault("up", stall);
  ASSERT_EQ(core.AddUpTask(1, path.c_str(), Param(path).c_str()), 1);
  ASSERT_EQ(core.ContinueUpTask(1), 1);
  ASSERT_TRUE(WaitStatus(core, 1, 6));
  ASSERT_TRUE(server_->WaitForStats(
      [](const refserver::ServerStats& s) { return s.uploadBytes >= 3 * 1024 * 1024; }, 30000));
  ASSERT_EQ(core.StopUpTask(1), 1);
  EXPECT_EQ(Field(core, 1, "Status"), "7");
  EXPECT_EQ(TaskFileCount(), 1);
  server_->ClearFaults();
  ASSERT_EQ(core.ContinueUpTask(1), 1);
  ASSERT_TRUE(WaitStatus(core, 1, 9, 15000))
      << Field(core, 1, "ErrCode") << " " << Field(core, 1, "Status");
  EXPECT_TRUE(ServerHasCopyOf(path));
  // Only what the server did not hold was sent again.
  EXPECT_EQ(server_->Stats().uploadBytes, 20 * 1024 * 1024);
  EXPECT_EQ(TaskFileCount(), 0);
}

TEST_F(UploadRoad, AControlDestroyedMidUploadResumesInTheNextOne) {
  std::string path = dir_.File("reload");
  testing_support::WritePatternFile(path, 12 * 1024 * 1024);
  {
    CUpLoadObjCore core(runtime_);
    Init(core);
    refserver::EndpointFault stall;
    stall.stallAfterBytes = 1024 * 1024;
    server_->SetFault("up", stall);
    ASSERT_EQ(core.AddUpTask(5, path.c_str(), Param(path).c_str()), 1);
    ASSERT_EQ(core.ContinueUpTask(5), 1);
    ASSERT_TRUE(WaitStatus(core, 5, 6));
    core.OnDestroy();  // the page closes
  }
  server_->ClearFaults();
  ASSERT_EQ(TaskFileCount(), 1);
  CUpLoadObjCore next(runtime_);
  Init(next);
  ASSERT_EQ(next.GetTaskCount(), 1);
  EXPECT_EQ(Field(next, 10000, "Status"), "7");
  EXPECT_EQ(Field(next, 10000, "FileName"), path);
  ASSERT_EQ(next.ContinueUpTask(10000), 1);
  ASSERT_TRUE(WaitStatus(next, 10000, 9, 15000))
      << Field(next, 10000, "ErrCode") << " " << Field(next, 10000, "Status");
  EXPECT_TRUE(ServerHasCopyOf(path));
  EXPECT_EQ(TaskFileCount(), 0);
  bool sawReupload = false;
  for (const std::string& t : server_->Stats().targets) {
    if (t.find("cmd=reupload") != std::string::npos) sawReupload = true;
  }
  EXPECT_TRUE(sawReupload);
}

TEST_F(UploadRoad, RetriesCarryATaskThroughADispatchOutage) {
  CUpLoadObjCore core(runtime_);
  Init(core, /*nRetry=*/3, /*nWait=*/0);
  refserver::EndpointFault refuse;
  refuse.refuseCount = 2;
  server_->SetFault("dispatch", refuse);
  std::string path = dir_.File("outage");
  testing_support::WritePatternFile(path, 100000);
  ASSERT_EQ(core.AddUpTask(1, path.c_str(), Param(path).c_str()), 1);
  ASSERT_EQ(core.ContinueUpTask(1), 1);
  ASSERT_TRUE(WaitStatus(core, 1, 70));
  EXPECT_EQ(Field(core, 1, "ErrCode"), "401");
  EXPECT_EQ(Field(core, 1, "ServerErrCode"), "500");
  ASSERT_TRUE(WaitStatus(core, 1, 9));
  EXPECT_TRUE(ServerHasCopyOf(path));
}

TEST_F(UploadRoad, ServerStatusIsShownAndDeletesReachTheServer) {
  CUpLoadObjCore core(runtime_);
  Init(core);
  refserver::EndpointFault status;
  status.status = 101;
  server_->SetFault("dispatch", status);
  std::string path = dir_.File("del");
  testing_support::WritePatternFile(path, 8 * 1024 * 1024);
  ASSERT_EQ(core.AddUpTask(1, path.c_str(), Param(path).c_str()), 1);
  ASSERT_EQ(core.ContinueUpTask(1), 1);
  ASSERT_TRUE(runtime_.workers.WaitIdle(10000));
  EXPECT_EQ(Field(core, 1, "Status"), "7");
  EXPECT_EQ(Field(core, 1, "ErrCode"), "401");
  EXPECT_EQ(Field(core, 1, "ServerErrCode"), "101");
  EXPECT_EQ(Field(core, 1, "ServerErrMsg"), "fault injected: status 101");
  // A new task that never began its upload: deleting it sends nothing.
  ASSERT_EQ(core.DeleteUpTask(1), 1);
  EXPECT_EQ(server_->Stats().requests["delete"], 0);
  // A begun, unfinished upload: the dispatch server hears of its deletion.
  server_->ClearFaults();
  refserver::EndpointFault stall;
  stall.stallAfterBytes = 1024 * 1024;
  server_->SetFault("up", stall);
  ASSERT_EQ(core.AddUpTask(2, path.c_str(), Param(path).c_str()), 1);
  ASSERT_EQ(core.ContinueUpTask(2), 1);
  ASSERT_TRUE(WaitStatus(core, 2, 6));
  std::string pickCode = Field(core, 2, "PickCode");
  ASSERT_EQ(core.DeleteUpTask(2), 1);
  EXPECT_EQ(core.GetTaskCount(), 0);
  EXPECT_EQ(TaskFileCount(), 0);
  ASSERT_TRUE(server_->WaitForStats(
      [](const refserver::ServerStats& s) { return !s.lastDeletePickCode.empty(); }, 10000));
  auto stats = server_->Stats();
  EXPECT_EQ(stats.requests["delete"], 1);
  EXPECT_EQ(stats.lastDeletePickCode, pickCode);
  EXPECT_EQ(stats.lastDeleteCookie, "SID=c1;%20uid=1");
}

}  // namespace
