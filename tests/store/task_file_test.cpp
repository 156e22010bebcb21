// The task file: its exact layout, texts that come back byte for byte, atomic replacement, and
// files that cannot be read.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Bounded.h"
#include "platform/Env.h"
#include "store/DataFolder.h"
#include "store/TaskFile.h"
#include "tests/support/TempDir.h"

using testing_support::AppDataEnv;
using testing_support::TempDir;

namespace {

class FixedClockEnv : public AppDataEnv {
 public:
  using AppDataEnv::AppDataEnv;
  int64_t NowSeconds() override { return 1700000000; }
  bool FileModTime(const std::string&, int64_t* s) override {
    *s = 1600000000;
    return true;
  }
  bool WriteFileAtomic(const std::string& p, const std::string& d) override {
    return failWrites ? false : AppDataEnv::WriteFileAtomic(p, d);
  }
  bool failWrites = false;
};

class TaskFileTest : public ::testing::Test {
 protected:
  TaskFileTest() : env_(dir_.path()) { platform::SetEnvForTest(&env_); }
  ~TaskFileTest() override { platform::SetEnvForTest(nullptr); }

  SavedTask Task(const std::string& path, const std::string& param) {
    SavedTask t{};
    platform::CopyText(t.UserID, "u1");
    platform::CopyText(t.FileName, path);
    platform::CopyText(t.ParamStr, param);
    platform::CopyText(t.SHA1Hash, "0123456789ABCDEF0123456789ABCDEF01234567");
    platform::CopyText(t.Host, "up.corvel.example");
    platform::CopyText(t.PickCode, "pc&<1>");
    t.FileSize = 314572800;
    t.Port = 8080;
    t.IsUpload = false;
    return t;
  }
  SavedTask Reload(const SavedTask& saved) {
    SavedTask back{};
    platform::CopyText(back.UserID, "u1");
    EXPECT_TRUE(ReadTaskFile(TaskFileName(saved.FileName).c_str(), back));
    return back;
  }
  std::string Folder() { return dir_.path() + "/Corvel/Ferrant/u1"; }

  TempDir dir_;
  FixedClockEnv env_;
};

TEST_F(TaskFileTest, WritesTheTwelveElementsInOrderWithCrLf) {
  SavedTask t = Task("/data/a.bin", "x=1");
  ASSERT_TRUE(WriteTaskFile(t));
  std::string name = TaskFileName("/data/a.bin");
  EXPECT_EQ(name.size(), 44u);
  EXPECT_EQ(testing_support::ReadFile(Folder() + "/" + name),
            "<?xml version=\"1.0\"?>\r\n<UpTask>\r\n    <TaskParam>\r\n"
            "        <FileName>/data/a.bin</FileName>\r\n"
            "        <FileSize>314572800</FileSize>\r\n"
            "        <IsUpload>0</IsUpload>\r\n"
            "        <SHA1Hash>0123456789ABCDEF0123456789ABCDEF01234567</SHA1Hash>\r\n"
            "        <Host>up.corvel.example</Host>\r\n"
            "        <Port>8080</Port>\r\n"
            "        <ValidUpBytes>0</ValidUpBytes>\r\n"
            "        <UpType>0</UpType>\r\n"
            "        <ParamStr>x=1</ParamStr>\r\n"
            "        <PickCode>pc&amp;&lt;1&gt;</PickCode>\r\n"
            "        <CreateTime>1700000000</CreateTime>\r\n"
            "        <LastWriteTime>1600000000</LastWriteTime>\r\n"
            "    </TaskParam>\r\n</UpTask>\r\n");
  SavedTask back = Reload(t);
  EXPECT_STREQ(back.PickCode, "pc&<1>");
  EXPECT_EQ(back.FileSize, 314572800);
  EXPECT_EQ(back.Port, 8080);
  EXPECT_EQ(back.LastWriteTime, 1600000000);
}

TEST_F(TaskFileTest, TextsComeBackByteForByte) {
  const std::string texts[] = {"  lead and trail  ",
                               "double  space",
                               "ends in GBK \xB5\xC4",
                               "tab\there and\r\nnewline",
                               "   ",
                               "",
                               "quote\" apos' gt>",
                               "\xFF\xFE bytes",
                               "x"};
  for (const std::string& text : texts) {
    SavedTask t = Task("/p/" + text + ".bin", text);
    ASSERT_TRUE(WriteTaskFile(t)) << text;
    SavedTask back = Reload(t);
    EXPECT_EQ(std::string(back.FileName), std::string(t.FileName)) << text;
    EXPECT_EQ(std::string(back.ParamStr), text);
  }
}

TEST_F(TaskFileTest, LfFilesAreReadAndBadFilesAreRefused) {
  ASSERT_TRUE(IsExistingFolder(dir_.path()));
  std::string folder;
  ASSERT_TRUE(DataFolder("u1", &folder));
  SavedTask back{};
  platform::CopyText(back.UserID, "u1");
  testing_support::WriteFile(folder + "/lf.udu",
                             "<?xml version=\"1.0\"?>\n<UpTask>\n<TaskParam>\n"
                             "<FileName>/f</FileName><FileSize> 12x</FileSize><SHA1Hash/>"
                             "<Host></Host><Port>80</Port><ParamStr/><PickCode>p</PickCode>"
                             "<LastWriteTime>-5</LastWriteTime></TaskParam></UpTask>\n");
  ASSERT_TRUE(ReadTaskFile("lf.udu", back));
  EXPECT_STREQ(back.FileName, "/f");
  EXPECT_EQ(back.FileSize, 12);
  EXPECT_EQ(back.LastWriteTime, -5);
  EXPECT_STREQ(back.SHA1Hash, "");
  const std::pair<const char*, std::string> bad[] = {
      {"empty.udu", ""},
      {"corrupt.udu", "<UpTask><TaskParam><FileName>/f</FileName"},
      {"noport.udu",
       "<UpTask><TaskParam><FileName>/f</FileName><FileSize>1</FileSize><SHA1Hash/><Host/>"
       "<ParamStr/><PickCode/><LastWriteTime>0</LastWriteTime></TaskParam></UpTask>"},
      {"emptyname.udu",
       "<UpTask><TaskParam><FileName></FileName><FileSize>1</FileSize><SHA1Hash/><Host/>"
       "<Port>1</Port><ParamStr/><PickCode/><LastWriteTime>0</LastWriteTime></TaskParam>"
       "</UpTask>"},
      {"longhost.udu",
       "<UpTask><TaskParam><FileName>/f</FileName><FileSize>1</FileSize><SHA1Hash/><Host>" +
           std::string(100, 'h') +
           "</Host><Port>1</Port><ParamStr/><PickCode/><LastWriteTime>0</LastWriteTime>"
           "</TaskParam></UpTask>"},
  };
  for (const auto& [name, content] : bad) {
    testing_support::WriteFile(folder + "/" + name, content);
    EXPECT_FALSE(ReadTaskFile(name, back)) << name;
  }
  ASSERT_EQ(mkdir((folder + "/dir.udu").c_str(), 0700), 0);
  EXPECT_FALSE(ReadTaskFile("dir.udu", back));
  EXPECT_FALSE(ReadTaskFile("missing.udu", back));
}

TEST_F(TaskFileTest, AFailedWriteLeavesTheOldFileAndReportsIt) {
  SavedTask t = Task("/data/keep.bin", "first");
  ASSERT_TRUE(WriteTaskFile(t));
  std::string path = Folder() + "/" + TaskFileName("/data/keep.bin");
  std::string before = testing_support::ReadFile(path);
  platform::CopyText(t.ParamStr, "second");
  env_.failWrites = true;
  EXPECT_FALSE(WriteTaskFile(t));
  EXPECT_EQ(testing_support::ReadFile(path), before);
  env_.failWrites = false;
  // A folder that cannot be written: the real write fails and nothing is torn.
  ASSERT_EQ(chmod(Folder().c_str(), 0500), 0);
  if (access((Folder() + "/probe").c_str(), F_OK) != 0 && getuid() != 0) {
    EXPECT_FALSE(WriteTaskFile(t));
  }
  chmod(Folder().c_str(), 0700);
  EXPECT_EQ(testing_support::ReadFile(path), before);
  EXPECT_TRUE(DeleteTaskFile("u1", "/data/keep.bin"));
  EXPECT_FALSE(DeleteTaskFile("u1", "/data/keep.bin"));
}

TEST_F(TaskFileTest, AUserIdThatIsNotAFolderNameHasNoStore) {
  SavedTask t = Task("/data/a.bin", "");
  platform::CopyText(t.UserID, "../escape");
  EXPECT_FALSE(WriteTaskFile(t));
  platform::CopyText(t.UserID, "");
  EXPECT_FALSE(WriteTaskFile(t));
  EXPECT_FALSE(PathExists(dir_.path() + "/Corvel/escape"));
}

}  // namespace
