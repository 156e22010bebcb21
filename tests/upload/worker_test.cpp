// The worker's walk through the task states, its retry wait, and Start/Stop, on scripted steps.
#include "upload/Worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/ProcessState.h"
#include "tests/support/ControlFixture.h"
#include "upload/Uploader.h"

using testing_support::ControlFixture;
using testing_support::StepOutcome;
using B = StepOutcome;

namespace {

class WorkerTest : public ControlFixture {
 protected:
  int Running() { return platform::Process().RunningCount.load(); }
  TaskRecord Record(int id) { return core_->Uploader()->GetTask(id)->Snapshot(); }
};

TEST_F(WorkerTest, NewTaskWalksEveryStateToCompletion) {
  Init();
  std::string path = MakeFile("a.bin", 1000);
  ASSERT_EQ(core_->AddUpTask(1, path.c_str(), "p"), 1);
  for (const char* step : {"hash", "dispatch", "write", "check", "upload", "finish"}) {
    steps_.Script(step, {B::kBlock});
  }
  steps_.SetUploadPieces(1000, 4);
  ASSERT_EQ(core_->ContinueUpTask(1), 1);
  const std::pair<const char*, int> walk[] = {{"hash", 3},  {"dispatch", 4}, {"write", 4},
                                              {"check", 5}, {"upload", 6},   {"finish", 8}};
  for (auto [step, status] : walk) {
    ASSERT_TRUE(steps_.WaitBlocked(step)) << step;
    EXPECT_EQ(StatusOf(1), status) << step;
    if (status == 6) {
      EXPECT_EQ(Field(1, "Total"), "1000");
      EXPECT_EQ(Field(1, "Offset"), "0");
      EXPECT_FALSE(Field(1, "TotalElapsed").empty());
    }
    steps_.Release();
  }
  ASSERT_TRUE(WaitStatus(1, 9));
  EXPECT_EQ(Field(1, "ErrCode"), "100");
  EXPECT_EQ(Field(1, "PickCode"), "pc1");
  EXPECT_EQ(steps_.Calls("delete"), 1);
  EXPECT_TRUE(WaitForIdleWorkers(5000));
  EXPECT_EQ(Running(), 0);
  TaskRecord rec = Record(1);
  EXPECT_TRUE(rec.Completed);
  EXPECT_TRUE(rec.IsUpload);
  EXPECT_FALSE(rec.Running);
}

TEST_F(WorkerTest, KnownFileCompletesWithoutUploadOrTaskFile) {
  Init();
  steps_.SetNeedUpload(false);
  ASSERT_EQ(core_->AddUpTask(1, MakeFile("a", 10).c_str(), ""), 1);
  ASSERT_EQ(core_->ContinueUpTask(1), 1);
  ASSERT_TRUE(WaitStatus(1, 9));
  EXPECT_EQ(steps_.Calls("check"), 0);
  EXPECT_EQ(steps_.Calls("write"), 0);
  EXPECT_EQ(steps_.Calls("delete"), 1);
}

TEST_F(WorkerTest, FailedDispatchRetriesThenStopsWithoutHashingAgain) {
  Init(/*nRetry=*/2, /*nWait=*/0);
  steps_.SetDefault("dispatch", B::kFail);
  ASSERT_EQ(core_->AddUpTask(1, MakeFile("a", 10).c_str(), ""), 1);
  ASSERT_EQ(core_->ContinueUpTask(1), 1);
  ASSERT_TRUE(WaitStatus(1, 70));
  EXPECT_EQ(Field(1, "Retry"), "1");
  EXPECT_EQ(Field(1, "ErrCode"), "401");
  ASSERT_TRUE(WaitForIdleWorkers(10000));
  EXPECT_EQ(StatusOf(1), 7);
  EXPECT_EQ(Field(1, "ErrCode"), "401");
  EXPECT_EQ(Record(1).Retry, 0);
  EXPECT_EQ(steps_.Calls("dispatch"), 3);
  EXPECT_EQ(steps_.Calls("hash"), 1);
  EXPECT_EQ(Running(), 0);
}

TEST_F(WorkerTest, RetryWaitShowsWholeSecondsAndSuccessfulCheckResetsTheCount) {
  Init(/*nRetry=*/1, /*nWait=*/1);
  // Check fails once, then the retry's check succeeds (count back to 0), then the upload
  // fails once and gets a retry of its own.
  steps_.Script("check", {B::kFail});
  steps_.Script("upload", {B::kFail});
  ASSERT_EQ(core_->AddUpTask(1, MakeFile("a", 10).c_str(), ""), 1);
  ASSERT_EQ(core_->ContinueUpTask(1), 1);
  ASSERT_TRUE(WaitStatus(1, 70));
  EXPECT_EQ(Field(1, "ErrCode"), "501");
  EXPECT_EQ(Field(1, "Wait"), "0");
  ASSERT_TRUE(WaitStatus(1, 9, 10000));
  EXPECT_EQ(steps_.Calls("check"), 3);
  EXPECT_EQ(steps_.Calls("upload"), 2);
  EXPECT_EQ(steps_.Calls("dispatch"), 3);
}

TEST_F(WorkerTest, HashOrTaskFileFailureEndsWithoutRetry) {
  Init(/*nRetry=*/5, /*nWait=*/0);
  steps_.Script("hash", {B::kFail});
  steps_.Script("write", {B::kFail});
  ASSERT_EQ(core_->AddUpTask(1, MakeFile("a", 10).c_str(), ""), 1);
  ASSERT_EQ(core_->AddUpTask(2, MakeFile("b", 10).c_str(), ""), 1);
  ASSERT_EQ(core_->ContinueUpTask(1), 1);
  ASSERT_TRUE(WaitForIdleWorkers(5000));
  EXPECT_EQ(StatusOf(1), 7);
  EXPECT_EQ(Field(1, "ErrCode"), "302");
  ASSERT_EQ(core_->ContinueUpTask(2), 1);
  ASSERT_TRUE(WaitForIdleWorkers(5000));
  EXPECT_EQ(StatusOf(2), 7);
  EXPECT_EQ(Field(2, "ErrCode"), "490");
  EXPECT_EQ(steps_.Calls("dispatch"), 1);
  EXPECT_EQ(Running(), 0);
  // Started again after a failure: ErrCode 300 until something else is recorded.
  steps_.Script("hash", {B::kBlock});
  ASSERT_EQ(core_->ContinueUpTask(1), 1);
  ASSERT_TRUE(steps_.WaitBlocked("hash"));
  EXPECT_EQ(Field(1, "ErrCode"), "300");
}

TEST_F(WorkerTest, StopWhileHashingWaitsForTheHasherAndRecords302) {
  Init();
  steps_.Script("hash", {B::kBlock});
  steps_.SetHashSteps(4);
  ASSERT_EQ(core_->AddUpTask(1, MakeFile("a", 10).c_str(), ""), 1);
  ASSERT_EQ(core_->ContinueUpTask(1), 1);
  ASSERT_TRUE(steps_.WaitBlocked("hash"));
  EXPECT_EQ(Field(1, "Total"), "100");
  ASSERT_EQ(core_->StopUpTask(1), 1);
  // Stop returned only after the worker ended.
  EXPECT_TRUE(WaitForIdleWorkers(0));
  EXPECT_EQ(StatusOf(1), 7);
  EXPECT_EQ(Field(1, "ErrCode"), "302");
  EXPECT_EQ(Running(), 0);
  // A new start hashes from the beginning again.
  ASSERT_EQ(core_->ContinueUpTask(1), 1);
  ASSERT_TRUE(WaitStatus(1, 9));
  EXPECT_EQ(steps_.Calls("hash"), 2);
}

TEST_F(WorkerTest, StopDuringUploadReturnsAtOnceAndTheAbandonedWorkerChangesNothing) {
  Init(/*nRetry=*/3, /*nWait=*/0);
  steps_.Script("upload", {B::kBlock});
  steps_.Script("finish", {B::kBlock});
  ASSERT_EQ(core_->AddUpTask(1, MakeFile("a", 10).c_str(), ""), 1);
  ASSERT_EQ(core_->ContinueUpTask(1), 1);
  ASSERT_TRUE(steps_.WaitBlocked("upload"));
  ASSERT_EQ(core_->StopUpTask(1), 1);
  EXPECT_EQ(StatusOf(1), 7);
  EXPECT_EQ(Field(1, "ErrCode"), "100");
  EXPECT_EQ(Running(), 0);
  // A fresh run starts while the abandoned one may still be winding down; only the fresh one
  // writes, and the slot count never goes below zero or above one.
  ASSERT_EQ(core_->ContinueUpTask(1), 1);
  EXPECT_EQ(Running(), 1);
  ASSERT_TRUE(steps_.WaitBlocked("finish"));
  steps_.Release();
  ASSERT_TRUE(WaitStatus(1, 9));
  ASSERT_TRUE(WaitForIdleWorkers(5000));
  EXPECT_EQ(Running(), 0);
  EXPECT_EQ(StatusOf(1), 9);
}

TEST_F(WorkerTest, FourthTaskQueuesAndTheStatusPollStartsIt) {
  Init();
  steps_.SetDefault("dispatch", B::kBlock);
  for (int id = 1; id <= 4; ++id) {
    ASSERT_EQ(core_->AddUpTask(id, MakeFile("f" + std::to_string(id), 10).c_str(), ""), 1);
  }
  for (int id = 1; id <= 3; ++id) ASSERT_EQ(core_->ContinueUpTask(id), 1);
  for (int id = 1; id <= 3; ++id) ASSERT_TRUE(WaitStatus(id, 4));
  ASSERT_EQ(core_->ContinueUpTask(4), 1);
  EXPECT_EQ(StatusOf(4), 2);
  EXPECT_FALSE(Record(4).Running);
  EXPECT_EQ(platform::Process().RunningCount.load(), 3);
  // Stopping a queued task makes no thread and gives Status 7.
  ASSERT_EQ(core_->StopUpTask(4), 1);
  EXPECT_EQ(StatusOf(4), 7);
  ASSERT_EQ(core_->ContinueUpTask(4), 1);
  // One of the three ends: the next poll of the queued task starts it and still shows 2.
  ASSERT_EQ(core_->StopUpTask(1), 1);
  EXPECT_EQ(StatusOf(4), 2);
  EXPECT_TRUE(Record(4).Running);
  ASSERT_TRUE(WaitStatus(4, 4));
  steps_.SetDefault("dispatch", B::kSucceed);
  steps_.Release();
  for (int id = 2; id <= 4; ++id) ASSERT_TRUE(WaitStatus(id, 9)) << id;
}

TEST_F(WorkerTest, ContinueDuringRetryWaitEndsTheWaitWithoutASecondWorker) {
  Init(/*nRetry=*/3, /*nWait=*/3600);
  steps_.Script("dispatch", {B::kFail});
  ASSERT_EQ(core_->AddUpTask(1, MakeFile("a", 10).c_str(), ""), 1);
  ASSERT_EQ(core_->ContinueUpTask(1), 1);
  ASSERT_TRUE(WaitStatus(1, 70));
  ASSERT_EQ(core_->ContinueUpTask(1), 1);
  ASSERT_EQ(core_->ContinueUpTask(1), 1);
  ASSERT_TRUE(WaitStatus(1, 9));
  ASSERT_TRUE(WaitForIdleWorkers(5000));
  EXPECT_EQ(steps_.Calls("dispatch"), 2);
  EXPECT_EQ(platform::Process().RunningCount.load(), 0);
}

TEST_F(WorkerTest, CompletedTaskRunsAgainFromTheDispatchRequest) {
  Init();
  ASSERT_EQ(core_->AddUpTask(1, MakeFile("a", 10).c_str(), ""), 1);
  ASSERT_EQ(core_->ContinueUpTask(1), 1);
  ASSERT_TRUE(WaitStatus(1, 9));
  ASSERT_TRUE(WaitForIdleWorkers(5000));
  ASSERT_EQ(core_->ContinueUpTask(1), 1);
  ASSERT_TRUE(WaitForIdleWorkers(5000));
  EXPECT_EQ(StatusOf(1), 9);
  EXPECT_EQ(steps_.Calls("hash"), 1);
  EXPECT_EQ(steps_.Calls("dispatch"), 2);
}

TEST_F(WorkerTest, ThreadCreationFailureKeepsTheSlotUntilStop) {
  Init();
  ASSERT_EQ(core_->AddUpTask(1, MakeFile("a", 10).c_str(), ""), 1);
  FailNextWorkerThreadForTest();
  EXPECT_EQ(core_->ContinueUpTask(1), 0);
  EXPECT_EQ(Field(1, "ErrCode"), "301");
  EXPECT_TRUE(Record(1).Running);
  EXPECT_EQ(platform::Process().RunningCount.load(), 1);
  ASSERT_EQ(core_->StopUpTask(1), 1);
  EXPECT_EQ(StatusOf(1), 7);
  EXPECT_EQ(platform::Process().RunningCount.load(), 0);
}

TEST_F(WorkerTest, DeletingOrDestroyingWhileWorkersRunFreesNothingUnderThem) {
  Init(/*nRetry=*/1, /*nWait=*/3600);
  steps_.Script("upload", {B::kBlock});
  steps_.Script("dispatch", {B::kSucceed, B::kFail});
  ASSERT_EQ(core_->AddUpTask(1, MakeFile("a", 10).c_str(), ""), 1);
  ASSERT_EQ(core_->AddUpTask(2, MakeFile("b", 10).c_str(), ""), 1);
  ASSERT_EQ(core_->ContinueUpTask(1), 1);
  ASSERT_TRUE(steps_.WaitBlocked("upload"));
  ASSERT_EQ(core_->ContinueUpTask(2), 1);
  ASSERT_TRUE(WaitStatus(2, 70));
  ASSERT_EQ(core_->DeleteUpTask(1), 1);
  EXPECT_EQ(steps_.Calls("server-delete"), 1);
  EXPECT_EQ(core_->GetTaskCount(), 1);
  core_->OnDestroy();
  EXPECT_EQ(core_->GetTaskCount(), 0);
  EXPECT_EQ(platform::Process().RunningCount.load(), 0);
  steps_.Release();
  EXPECT_TRUE(WaitForIdleWorkers(5000));
}

}  // namespace
