// The worker's walk through the task states, its retry wait, and Start/Stop, on scripted steps:
// the manager and the worker pool of a runtime of the test's own, read through the task records.
#include <gtest/gtest.h>

#include "tests/support/FaultEnv.h"
#include "tests/support/ScriptedSteps.h"
#include "tests/support/TempDir.h"
#include "upload/Runtime.h"
#include "upload/Uploader.h"
#include "upload/WorkerPool.h"

using testing_support::StepOutcome;
using B = StepOutcome;

namespace {

class WorkerTest : public ::testing::Test {
 protected:
  WorkerTest() {
    env_.SetVar("APPDATA", dir_.path() + "/appdata");
    runtime_.SetSteps(&steps_);
  }
  ~WorkerTest() override {
    manager_.reset();
    steps_.Release();  // nothing stays blocked when the runtime waits for its workers
  }
  void Init(int retry = 0, int wait = 0) {
    runtime_.workers.SetRetry(retry, wait);
    manager_ = std::make_unique<CUploader>(runtime_, "u1", "cookie1");
  }
  bool Add(int id, const std::string& name, int64_t size = 10) {
    const std::string path = dir_.File(name);
    testing_support::WritePatternFile(path, size);
    return manager_->AddTask(id, path.c_str(), "p");
  }
  TaskPtr Task(int id) { return manager_->GetTask(id); }
  TaskRecord Record(int id) { return Task(id)->Snapshot(); }
  int StatusOf(int id) { return Record(id).Status; }
  int ErrOf(int id) { return Record(id).ErrCode; }
  int Running() { return runtime_.workers.Running(); }
  // Waits, on the runtime's changes, until the task has status.
  bool WaitStatus(int id, int status, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    uint64_t seen = 0;
    while (StatusOf(id) != status) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return false;
      seen = runtime_.changes.WaitBeyond(seen, static_cast<int>(left));
    }
    return true;
  }
  bool Idle(int timeoutMs = 5000) { return runtime_.workers.WaitIdle(timeoutMs); }

  testing_support::TempDir dir_;
  testing_support::FaultEnv env_;
  testing_support::ScriptedSteps steps_;
  Runtime runtime_{env_};
  std::unique_ptr<CUploader> manager_;
};

TEST_F(WorkerTest, NewTaskWalksEveryStateToCompletion) {
  Init();
  ASSERT_TRUE(Add(1, "a.bin", 1000));
  for (const char* step : {"hash", "dispatch", "write", "check", "upload", "finish"}) {
    steps_.Script(step, {B::kBlock});
  }
  steps_.SetUploadPieces(1000, 4);
  ASSERT_TRUE(manager_->ContinueTask(1));
  const std::pair<const char*, int> walk[] = {
      {"hash", kStatusHashing}, {"dispatch", kStatusDispatch}, {"write", kStatusDispatch},
      {"check", kStatusCheck},  {"upload", kStatusUploading},  {"finish", kStatusFinishing}};
  for (auto [step, status] : walk) {
    ASSERT_TRUE(steps_.WaitBlocked(step)) << step;
    EXPECT_EQ(StatusOf(1), status) << step;
    if (status == kStatusUploading) {
      EXPECT_EQ(Task(1)->Progress.Transferred.load(), 1000);
      EXPECT_EQ(Record(1).Offset, 0);
    }
    steps_.Release();
  }
  ASSERT_TRUE(WaitStatus(1, kStatusCompleted));
  EXPECT_EQ(ErrOf(1), kErrNone);
  EXPECT_STREQ(Record(1).PickCode, "pc1");
  EXPECT_EQ(steps_.Calls("delete"), 1);
  EXPECT_TRUE(Idle());
  EXPECT_EQ(Running(), 0);
  TaskRecord rec = Record(1);
  EXPECT_TRUE(rec.Completed);
  EXPECT_TRUE(rec.IsUpload);
  EXPECT_FALSE(rec.Running);
}

TEST_F(WorkerTest, KnownFileCompletesWithoutUploadOrTaskFile) {
  Init();
  steps_.SetNeedUpload(false);
  ASSERT_TRUE(Add(1, "a"));
  ASSERT_TRUE(manager_->ContinueTask(1));
  ASSERT_TRUE(WaitStatus(1, kStatusCompleted));
  EXPECT_EQ(steps_.Calls("check"), 0);
  EXPECT_EQ(steps_.Calls("write"), 0);
  EXPECT_EQ(steps_.Calls("delete"), 1);
}

TEST_F(WorkerTest, FailedDispatchRetriesThenStopsWithoutHashingAgain) {
  Init(/*retry=*/2, /*wait=*/0);
  steps_.SetDefault("dispatch", B::kFail);
  ASSERT_TRUE(Add(1, "a"));
  ASSERT_TRUE(manager_->ContinueTask(1));
  ASSERT_TRUE(WaitStatus(1, kStatusRetryWait));
  EXPECT_GE(Record(1).Retry, 1);
  EXPECT_EQ(ErrOf(1), kErrDispatch);
  ASSERT_TRUE(Idle(10000));
  EXPECT_EQ(StatusOf(1), kStatusStopped);
  EXPECT_EQ(ErrOf(1), kErrDispatch);
  EXPECT_EQ(Record(1).Retry, 0);
  EXPECT_EQ(steps_.Calls("dispatch"), 3);
  EXPECT_EQ(steps_.Calls("hash"), 1);
  EXPECT_EQ(Running(), 0);
}

TEST_F(WorkerTest, RetryWaitShowsWholeSecondsAndSuccessfulCheckResetsTheCount) {
  Init(/*retry=*/1, /*wait=*/1);
  // Check fails once, then the retry's check succeeds (count back to 0), then the upload
  // fails once and gets a retry of its own.
  steps_.Script("check", {B::kFail});
  steps_.Script("upload", {B::kFail});
  ASSERT_TRUE(Add(1, "a"));
  ASSERT_TRUE(manager_->ContinueTask(1));
  ASSERT_TRUE(WaitStatus(1, kStatusRetryWait));
  EXPECT_EQ(ErrOf(1), kErrCheck);
  EXPECT_EQ(Record(1).Wait, 0);
  ASSERT_TRUE(WaitStatus(1, kStatusCompleted, 10000));
  EXPECT_EQ(steps_.Calls("check"), 3);
  EXPECT_EQ(steps_.Calls("upload"), 2);
  EXPECT_EQ(steps_.Calls("dispatch"), 3);
}

TEST_F(WorkerTest, HashOrTaskFileFailureEndsWithoutRetry) {
  Init(/*retry=*/5, /*wait=*/0);
  steps_.Script("hash", {B::kFail});
  steps_.Script("write", {B::kFail});
  ASSERT_TRUE(Add(1, "a"));
  ASSERT_TRUE(Add(2, "b"));
  ASSERT_TRUE(manager_->ContinueTask(1));
  ASSERT_TRUE(Idle());
  EXPECT_EQ(StatusOf(1), kStatusStopped);
  EXPECT_EQ(ErrOf(1), kErrHash);
  ASSERT_TRUE(manager_->ContinueTask(2));
  ASSERT_TRUE(Idle());
  EXPECT_EQ(StatusOf(2), kStatusStopped);
  EXPECT_EQ(ErrOf(2), kErrTaskFile);
  EXPECT_EQ(steps_.Calls("dispatch"), 1);
  EXPECT_EQ(Running(), 0);
  // Started again after a failure: ErrCode 300 until something else is recorded.
  steps_.Script("hash", {B::kBlock});
  ASSERT_TRUE(manager_->ContinueTask(1));
  ASSERT_TRUE(steps_.WaitBlocked("hash"));
  EXPECT_EQ(ErrOf(1), kErrRestarted);
}

TEST_F(WorkerTest, StopWhileHashingWaitsForTheHasherAndRecords302) {
  Init();
  steps_.Script("hash", {B::kBlock});
  steps_.SetHashSteps(4);
  ASSERT_TRUE(Add(1, "a"));
  ASSERT_TRUE(manager_->ContinueTask(1));
  ASSERT_TRUE(steps_.WaitBlocked("hash"));
  EXPECT_EQ(Task(1)->Progress.HashPercent.load(), 100);
  ASSERT_TRUE(manager_->StopTask(1));
  // Stop returned only after the worker ended.
  EXPECT_TRUE(Idle(0));
  EXPECT_EQ(StatusOf(1), kStatusStopped);
  EXPECT_EQ(ErrOf(1), kErrHash);
  EXPECT_EQ(Running(), 0);
  // A new start hashes from the beginning again.
  ASSERT_TRUE(manager_->ContinueTask(1));
  ASSERT_TRUE(WaitStatus(1, kStatusCompleted));
  EXPECT_EQ(steps_.Calls("hash"), 2);
}

TEST_F(WorkerTest, StopDuringUploadReturnsAtOnceAndTheAbandonedWorkerChangesNothing) {
  Init(/*retry=*/3, /*wait=*/0);
  steps_.Script("upload", {B::kBlock});
  steps_.Script("finish", {B::kBlock});
  ASSERT_TRUE(Add(1, "a"));
  ASSERT_TRUE(manager_->ContinueTask(1));
  ASSERT_TRUE(steps_.WaitBlocked("upload"));
  ASSERT_TRUE(manager_->StopTask(1));
  EXPECT_EQ(StatusOf(1), kStatusStopped);
  EXPECT_EQ(ErrOf(1), kErrNone);
  EXPECT_EQ(Running(), 0);
  // A fresh run starts while the abandoned one may still be winding down; only the fresh one
  // writes, and the slot count never goes below zero or above one.
  ASSERT_TRUE(manager_->ContinueTask(1));
  EXPECT_EQ(Running(), 1);
  ASSERT_TRUE(steps_.WaitBlocked("finish"));
  steps_.Release();
  ASSERT_TRUE(WaitStatus(1, kStatusCompleted));
  ASSERT_TRUE(Idle());
  EXPECT_EQ(Running(), 0);
  EXPECT_EQ(StatusOf(1), kStatusCompleted);
}

TEST_F(WorkerTest, AFourthTaskQueuesWithoutAThreadUntilStartedAgain) {
  Init();
  steps_.SetDefault("dispatch", B::kBlock);
  for (int id = 1; id <= 4; ++id) ASSERT_TRUE(Add(id, "f" + std::to_string(id)));
  for (int id = 1; id <= 3; ++id) ASSERT_TRUE(manager_->ContinueTask(id));
  for (int id = 1; id <= 3; ++id) ASSERT_TRUE(WaitStatus(id, kStatusDispatch));
  ASSERT_TRUE(manager_->ContinueTask(4));
  EXPECT_EQ(StatusOf(4), kStatusStarting);
  EXPECT_FALSE(Record(4).Running);
  EXPECT_EQ(Running(), 3);
  // Stopping a queued task makes no thread and gives Status 7.
  ASSERT_TRUE(manager_->StopTask(4));
  EXPECT_EQ(StatusOf(4), kStatusStopped);
  // Once a slot is free, starting it again gives it a worker.
  ASSERT_TRUE(manager_->StopTask(1));
  ASSERT_TRUE(manager_->ContinueTask(4));
  EXPECT_TRUE(Record(4).Running);
  ASSERT_TRUE(WaitStatus(4, kStatusDispatch));
  steps_.SetDefault("dispatch", B::kSucceed);
  steps_.Release();
  for (int id = 2; id <= 4; ++id) ASSERT_TRUE(WaitStatus(id, kStatusCompleted)) << id;
}

TEST_F(WorkerTest, TasksOneAfterAnotherShareOneThread) {
  Init();
  for (int id = 1; id <= 4; ++id) {
    ASSERT_TRUE(Add(id, "f" + std::to_string(id)));
    ASSERT_TRUE(manager_->ContinueTask(id));
    ASSERT_TRUE(WaitStatus(id, kStatusCompleted));
    ASSERT_TRUE(Idle());
  }
  EXPECT_EQ(runtime_.workers.Threads(), 1u);
}

TEST_F(WorkerTest, ContinueDuringRetryWaitEndsTheWaitWithoutASecondWorker) {
  Init(/*retry=*/3, /*wait=*/3600);
  steps_.Script("dispatch", {B::kFail, B::kBlock});
  ASSERT_TRUE(Add(1, "a"));
  ASSERT_TRUE(manager_->ContinueTask(1));
  ASSERT_TRUE(WaitStatus(1, kStatusRetryWait));
  ASSERT_TRUE(manager_->ContinueTask(1));  // ends the hour's wait at once
  ASSERT_TRUE(steps_.WaitBlocked("dispatch"));
  ASSERT_TRUE(manager_->ContinueTask(1));  // the task runs: no second worker
  EXPECT_EQ(Running(), 1);
  steps_.Release();
  ASSERT_TRUE(WaitStatus(1, kStatusCompleted));
  ASSERT_TRUE(Idle());
  EXPECT_EQ(steps_.Calls("dispatch"), 2);
  EXPECT_EQ(Running(), 0);
}

TEST_F(WorkerTest, CompletedTaskRunsAgainFromTheDispatchRequest) {
  Init();
  ASSERT_TRUE(Add(1, "a"));
  ASSERT_TRUE(manager_->ContinueTask(1));
  ASSERT_TRUE(WaitStatus(1, kStatusCompleted));
  ASSERT_TRUE(Idle());
  ASSERT_TRUE(manager_->ContinueTask(1));
  ASSERT_TRUE(Idle());
  EXPECT_EQ(StatusOf(1), kStatusCompleted);
  EXPECT_EQ(steps_.Calls("hash"), 1);
  EXPECT_EQ(steps_.Calls("dispatch"), 2);
}

TEST_F(WorkerTest, ThreadCreationFailureKeepsTheSlotUntilStop) {
  Init();
  ASSERT_TRUE(Add(1, "a"));
  runtime_.workers.FailNextThreadForTest();
  EXPECT_FALSE(manager_->ContinueTask(1));
  EXPECT_EQ(ErrOf(1), kErrThreadFailed);
  EXPECT_TRUE(Record(1).Running);
  EXPECT_EQ(Running(), 1);
  ASSERT_TRUE(manager_->StopTask(1));
  EXPECT_EQ(StatusOf(1), kStatusStopped);
  EXPECT_EQ(Running(), 0);
}

TEST_F(WorkerTest, DeletingOrDestroyingWhileWorkersRunFreesNothingUnderThem) {
  Init(/*retry=*/1, /*wait=*/3600);
  steps_.Script("upload", {B::kBlock});
  steps_.Script("dispatch", {B::kSucceed, B::kFail});
  ASSERT_TRUE(Add(1, "a"));
  ASSERT_TRUE(Add(2, "b"));
  ASSERT_TRUE(manager_->ContinueTask(1));
  ASSERT_TRUE(steps_.WaitBlocked("upload"));
  ASSERT_TRUE(manager_->ContinueTask(2));
  ASSERT_TRUE(WaitStatus(2, kStatusRetryWait));
  ASSERT_TRUE(manager_->DeleteTask(1));
  EXPECT_EQ(steps_.Calls("server-delete"), 1);
  EXPECT_EQ(manager_->GetTaskCount(), 1);
  manager_.reset();
  EXPECT_EQ(Running(), 0);
  steps_.Release();
  EXPECT_TRUE(Idle());
}

TEST_F(WorkerTest, AReloadedTaskHasBegunItsUploadAndHasItsBlockPlan) {
  Init();
  steps_.AddSavedFile("A.udu", "/data/a", 300 * 1024 * 1024);
  ASSERT_TRUE(manager_->LoadTask(10000, "A.udu"));
  const TaskRecord rec = Record(10000);
  EXPECT_EQ(rec.Status, kStatusStopped);
  EXPECT_TRUE(rec.IsUpload);
  EXPECT_EQ(rec.BlockSize, 1048576);
  EXPECT_EQ(rec.BlockSchema, 2);
  EXPECT_EQ(rec.BlockCount, 300);
  EXPECT_FALSE(manager_->LoadTask(10001, "missing.udu"));
}

}  // namespace
