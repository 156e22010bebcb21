// The control's methods: status lines, InitService's address and identity checks, the task
// table's rules as the page sees them, and the file list.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "tests/support/ControlFixture.h"

using testing_support::ControlFixture;

namespace {

class ControlCoreTest : public ControlFixture {};

TEST_F(ControlCoreTest, NewTaskStatusLineAndUnknownNumbers) {
  EXPECT_EQ(core_->GetTaskCount(), 0);
  std::string line;
  EXPECT_FALSE(core_->GetTaskInfo(1, &line));
  EXPECT_EQ(line, "NULL");
  EXPECT_EQ(core_->AddUpTask(1, "/x", ""), 0);  // no manager yet
  Init();
  std::string path = MakeFile("a b.txt", 1234);
  ASSERT_EQ(core_->AddUpTask(7, path.c_str(), "x=1"), 1);
  ASSERT_TRUE(core_->GetTaskInfo(7, &line));
  EXPECT_EQ(line,
            "FileName=" + path +
                "|FileSize=1234|PickCode=|Status=1|ErrCode=100|ServerErrCode=0|ServerErrMsg=");
  EXPECT_FALSE(core_->GetTaskInfo(8, &line));
  EXPECT_EQ(line, "NULL");
  EXPECT_EQ(core_->ContinueUpTask(8), 0);
  EXPECT_EQ(core_->StopUpTask(8), 0);
  EXPECT_EQ(core_->DeleteUpTask(8), 0);
  EXPECT_EQ(core_->StopUpTask(7), 1);
  EXPECT_EQ(core_->GetTaskCount(), 1);
  EXPECT_STREQ(CUpLoadObjCore::GetVersionInfo(), "Tavik Upload Plug-in v1.5.6.6");
}

TEST_F(ControlCoreTest, TableRefusesASecondTaskForAPathOrANumber) {
  Init();
  std::string a = MakeFile("a", 1), b = MakeFile("b", 2);
  EXPECT_EQ(core_->AddUpTask(1, a.c_str(), ""), 1);
  EXPECT_EQ(core_->AddUpTask(2, a.c_str(), ""), 0);  // same path, other number
  EXPECT_EQ(core_->AddUpTask(1, b.c_str(), ""), 0);  // number in use: nothing added
  EXPECT_EQ(Field(1, "FileSize"), "1");
  EXPECT_EQ(core_->GetTaskCount(), 1);
  EXPECT_EQ(core_->DeleteUpTask(1), 1);
  EXPECT_EQ(core_->AddUpTask(1, b.c_str(), ""), 1);
  EXPECT_EQ(steps_.Calls("local-delete"), 1);  // never began an upload: nothing sent
}

TEST_F(ControlCoreTest, RefusedAddressReplacesNothing) {
  core_->InitService("u1", "c", "http://evil.other.com:81/steal", 1, 1);
  EXPECT_FALSE(core_->Initialized());
  EXPECT_EQ(core_->GetTaskCount(), 0);
  EXPECT_STREQ(runtime_.dispatch.Get().Host, "dispatch.corvel.example");
  EXPECT_EQ(runtime_.dispatch.Get().Port, 80);
  Init(2, 3);
  core_->InitService("u1", "c", "http://dispatch.corvel.example.evil.com/x", 9, 9);
  auto ep = runtime_.dispatch.Get();
  EXPECT_STREQ(ep.Host, "dispatch.corvel.example");
  EXPECT_STREQ(ep.Path, "/index.php");
  EXPECT_EQ(runtime_.workers.RetryLimit(), 2);
  EXPECT_EQ(runtime_.workers.RetryWaitSeconds(), 3);
  core_->InitService("u1", "c", "http://up.corvel.example:8080/a/b/", 4, 5);
  ep = runtime_.dispatch.Get();
  EXPECT_STREQ(ep.Host, "up.corvel.example");
  EXPECT_EQ(ep.Port, 8080);
  EXPECT_STREQ(ep.Path, "/a/b/");
  // A page outside the service domain may not initialise the control.
  core_->SetPageHost("www.other.org");
  core_->InitService("u1", "c", "http://x.corvel.example/", 1, 1);
  EXPECT_STREQ(runtime_.dispatch.Get().Host, "up.corvel.example");
}

TEST_F(ControlCoreTest, HostsThatAreNotPlainServiceNamesAreRefusedLikeForeignOnes) {
  Init(2, 3);
  for (const char* url :
       {"http://a.corvel.example\r\nX-Injected: 1\r\nb.corvel.example/x",
        "http://a b.corvel.example/", "http://a\tb.corvel.example/", "http://a\vb.corvel.example/",
        "http://u@h.corvel.example/", "http://x..corvel.example/", "http://.example/",
        "http://a/b.corvel.example"}) {
    core_->InitService("u1", "c", url, 9, 9);
    EXPECT_STREQ(runtime_.dispatch.Get().Host, "dispatch.corvel.example") << url;
    EXPECT_EQ(runtime_.workers.RetryLimit(), 2) << url;
    // A page whose host breaks the rule may not initialise the control either.
    CUpLoadObjCore fresh(runtime_);
    fresh.SetPageHost(std::string("www") + (url + 7));
    fresh.InitService("u1", "c", testing_support::kDispatchUrl, 0, 0);
    EXPECT_FALSE(fresh.Initialized()) << url;
  }
}

TEST_F(ControlCoreTest, OverlongIdentifiersAreRefusedWhole) {
  std::string cookie500(500, 'c');
  core_->InitService("u1", cookie500.c_str(), testing_support::kDispatchUrl, 0, 0);
  EXPECT_FALSE(core_->Initialized());
  std::string user100(100, 'u');
  core_->InitService(user100.c_str(), "c", testing_support::kDispatchUrl, 0, 0);
  EXPECT_FALSE(core_->Initialized());
  std::string url = std::string(testing_support::kDispatchUrl) + "?" + std::string(200, 'q');
  core_->InitService("u1", "c", url.c_str(), 0, 0);
  EXPECT_FALSE(core_->Initialized());
  Init();
  std::string path(1024, 'p');
  EXPECT_EQ(core_->AddUpTask(1, path.c_str(), ""), 0);
  std::string param(1024, 'x');
  EXPECT_EQ(core_->AddUpTask(1, MakeFile("a", 1).c_str(), param.c_str()), 0);
  EXPECT_EQ(core_->GetTaskCount(), 0);
}

TEST_F(ControlCoreTest, SecondInitServiceShutsTheEarlierManagerDown) {
  steps_.AddSavedFile("A.udu", "/data/a", 300 * 1024 * 1024);
  platform::Env::Default().MakeDirectory(dir_.path() + "/appdata/Corvel");
  platform::Env::Default().MakeDirectory(dir_.path() + "/appdata/Corvel/Ferrant");
  platform::Env::Default().MakeDirectory(dir_.path() + "/appdata/Corvel/Ferrant/u1");
  testing_support::WriteFile(dir_.path() + "/appdata/Corvel/Ferrant/u1/A.udu", "x");
  Init();
  ASSERT_EQ(core_->GetTaskCount(), 1);
  EXPECT_EQ(StatusOf(10000), 7);
  EXPECT_EQ(Field(10000, "ErrCode"), "100");
  steps_.Script("dispatch", {testing_support::StepOutcome::kBlock});
  ASSERT_EQ(core_->ContinueUpTask(10000), 1);
  ASSERT_TRUE(steps_.WaitBlocked("dispatch"));
  Init();  // again: the running task of the first manager stops; one task, one worker
  EXPECT_EQ(core_->GetTaskCount(), 1);
  EXPECT_EQ(runtime_.workers.Running(), 0);
  EXPECT_EQ(StatusOf(10000), 7);
  // A second control in the same process does not load the file the first one holds.
  CUpLoadObjCore other(runtime_);
  other.InitService("u1", "c", testing_support::kDispatchUrl, 0, 0);
  EXPECT_EQ(other.GetTaskCount(), 0);
  EXPECT_EQ(other.AddUpTask(1, "/data/a", ""), 0);
  core_->OnDestroy();
  EXPECT_EQ(core_->ContinueUpTask(10000), 0);
}

TEST_F(ControlCoreTest, ReloadNumbersFilesFrom10000AndSkipsUnreadableOnes) {
  std::string folder = dir_.path() + "/appdata/Corvel/Ferrant/u1";
  platform::Env::Default().MakeDirectory(dir_.path() + "/appdata/Corvel");
  platform::Env::Default().MakeDirectory(dir_.path() + "/appdata/Corvel/Ferrant");
  platform::Env::Default().MakeDirectory(folder);
  std::vector<std::string> names = platform::Env::Default().ListMatching(folder, ".udu");
  for (const char* n : {"1.udu", "2.udu", "3.udu"})
    testing_support::WriteFile(folder + "/" + n, "");
  names = platform::Env::Default().ListMatching(folder, ".udu");
  ASSERT_EQ(names.size(), 3u);
  // Every file but the second in the folder's order can be read.
  steps_.AddSavedFile(names[0], "/p0", 1);
  steps_.AddSavedFile(names[2], "/p2", 1);
  Init();
  EXPECT_EQ(core_->GetTaskCount(), 2);
  EXPECT_EQ(Field(10000, "FileName"), "/p0");
  EXPECT_EQ(Field(10002, "FileName"), "/p2");
  std::string line;
  EXPECT_FALSE(core_->GetTaskInfo(10001, &line));
}

TEST_F(ControlCoreTest, FileListFromTheChooser) {
  std::string a = MakeFile("x.txt", 10), b = MakeFile("y.txt", 0);
  std::vector<std::string> seenFilter;
  core_->SetFileChooser([&](const std::vector<std::string>& filter, std::string* sel) {
    seenFilter = filter;
    *sel = dir_.path() + std::string(1, '\0') + "x.txt" + std::string(1, '\0') + "y.txt" +
           std::string(2, '\0');
    return true;
  });
  Init();
  EXPECT_EQ(core_->GetFileList(), "NULL");
  core_->SelectFileList("Text|*.txt;*.log|");
  ASSERT_TRUE(core_->WaitForFileDialog(5000));
  EXPECT_EQ(core_->GetFileList(), a + "*10|" + b + "*0");
  EXPECT_EQ(seenFilter, (std::vector<std::string>{"Text", "*.txt;*.log"}));
  core_->DeleteFileList();
  EXPECT_EQ(core_->GetFileList(), "NULL");
  EXPECT_EQ(BuildFileListText(env_, a + std::string(2, '\0')), a + "*10");
  EXPECT_EQ(BuildFileListText(env_, std::string(1100, 'p') + std::string(2, '\0')), "NULL");
}

TEST_F(ControlCoreTest, OnlyOneDialogAtATimeAndCancelClearsTheList) {
  std::mutex m;
  std::condition_variable cv;
  int opened = 0;
  bool release = false;
  core_->SetFileChooser([&](const std::vector<std::string>&, std::string*) {
    std::unique_lock<std::mutex> g(m);
    ++opened;
    cv.notify_all();
    cv.wait(g, [&] { return release; });
    return false;  // cancelled
  });
  Init();
  core_->SelectFileList("");
  core_->SelectFileList("");
  // Another control of the process shares the one dialog.
  CUpLoadObjCore other(runtime_);
  other.SetFileChooser([&](const std::vector<std::string>&, std::string*) {
    std::lock_guard<std::mutex> g(m);
    ++opened;
    return false;
  });
  other.SelectFileList("");
  {
    std::unique_lock<std::mutex> g(m);
    cv.wait(g, [&] { return opened > 0; });
    release = true;
    cv.notify_all();
  }
  ASSERT_TRUE(core_->WaitForFileDialog(5000));
  EXPECT_FALSE(runtime_.fileDialogOpen->load());
  EXPECT_EQ(opened, 1);
  EXPECT_EQ(core_->GetFileList(), "NULL");
}

// The page's poll is what starts a queued task once a slot is free.
TEST_F(ControlCoreTest, FourthTaskQueuesAndTheStatusPollStartsIt) {
  Init();
  steps_.SetDefault("dispatch", testing_support::StepOutcome::kBlock);
  for (int id = 1; id <= 4; ++id) {
    ASSERT_EQ(core_->AddUpTask(id, MakeFile("f" + std::to_string(id), 10).c_str(), ""), 1);
  }
  for (int id = 1; id <= 3; ++id) ASSERT_EQ(core_->ContinueUpTask(id), 1);
  for (int id = 1; id <= 3; ++id) ASSERT_TRUE(WaitStatus(id, kStatusDispatch));
  ASSERT_EQ(core_->ContinueUpTask(4), 1);
  EXPECT_EQ(StatusOf(4), kStatusStarting);
  EXPECT_EQ(runtime_.workers.Running(), 3);
  // One of the three ends: the next poll of the queued task starts it and still shows 2.
  ASSERT_EQ(core_->StopUpTask(1), 1);
  EXPECT_EQ(StatusOf(4), kStatusStarting);
  EXPECT_EQ(runtime_.workers.Running(), 3);
  ASSERT_TRUE(WaitStatus(4, kStatusDispatch));
  steps_.SetDefault("dispatch", testing_support::StepOutcome::kSucceed);
  steps_.Release();
  for (int id = 2; id <= 4; ++id) ASSERT_TRUE(WaitStatus(id, kStatusCompleted)) << id;
}

TEST_F(ControlCoreTest, StatusLineTailsOfHashingRetryWaitAndUploading) {
  using testing_support::StepOutcome;
  Init(/*nRetry=*/1, /*nWait=*/3600);
  // One task per state, each held there by a blocked or failed step.
  const struct {
    const char* step;
    StepOutcome outcome;
    int status;
    std::string tail;
  } cases[] = {
      {"hash", StepOutcome::kBlock, kStatusHashing, "|ServerErrMsg=|Total=0"},
      {"dispatch", StepOutcome::kFail, kStatusRetryWait, "|ServerErrMsg=|Retry=1|Wait=0"},
      {"upload", StepOutcome::kBlock, kStatusUploading,
       "|ServerErrMsg=|Total=0|Offset=0|Elapsed=0|TotalElapsed=0"},
  };
  int id = 0;
  for (const auto& c : cases) {
    ++id;
    steps_.Script(c.step, {c.outcome});
    ASSERT_EQ(core_->AddUpTask(id, MakeFile("f" + std::to_string(id), 10).c_str(), ""), 1);
    ASSERT_EQ(core_->ContinueUpTask(id), 1);
    ASSERT_TRUE(WaitStatus(id, c.status)) << c.step;
    std::string line;
    ASSERT_TRUE(core_->GetTaskInfo(id, &line));
    EXPECT_TRUE(line.ends_with(c.tail)) << line;
  }
}

}  // namespace
