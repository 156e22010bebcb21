// The task file: its exact layout, texts that come back byte for byte, atomic replacement, and
// files that cannot be read.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Bounded.h"
#include "platform/Env.h"
#include "store/DataFolder.h"
#include "store/TaskFile.h"
#include "store/XmlRootExtent.h"
#include "tests/support/FaultEnv.h"
#include "tests/support/TempDir.h"

using testing_support::FaultEnv;
using testing_support::TempDir;

namespace {

class TaskFileTest : public ::testing::Test {
 protected:
  TaskFileTest() {
    env_.SetVar("APPDATA", dir_.path());
    env_.FixNow(1700000000);
    env_.FixModTime(1600000000);
  }

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
    EXPECT_TRUE(ReadTaskFile(env_, TaskFileName(saved.FileName).c_str(), back));
    return back;
  }
  std::string Folder() { return dir_.path() + "/Corvel/Ferrant/u1"; }

  TempDir dir_;
  FaultEnv env_;
};

TEST_F(TaskFileTest, WritesTheTwelveElementsInOrderWithCrLf) {
  SavedTask t = Task("/data/a.bin", "x=1");
  ASSERT_TRUE(WriteTaskFile(env_, t));
  std::string name = TaskFileName("/data/a.bin");
  EXPECT_EQ(name.size(), 44u);
  EXPECT_EQ(testing_support::ReadFile(Folder() + "/" + name),
            "<?xml version=\"1.0\" ?>\r\n<UpTask>\r\n    <TaskParam>\r\n"
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
  EXPECT_TRUE(back.IsUpload);  // saved with 0: a saved task has begun its upload

  // Saved again later, with the clock past 2^31 and the local file's time unreadable: one
  // file, the low 32 bits of the new time printed signed, and 0 for the file's time.
  env_.FixNow(0x180000005LL);
  env_.FixModTime(std::nullopt);
  t.IsUpload = true;
  ASSERT_TRUE(WriteTaskFile(env_, t));
  std::string text = testing_support::ReadFile(Folder() + "/" + name);
  EXPECT_NE(text.find("<IsUpload>1</IsUpload>\r\n"), std::string::npos);
  EXPECT_NE(text.find("<CreateTime>-2147483643</CreateTime>\r\n"), std::string::npos);
  EXPECT_NE(text.find("<LastWriteTime>0</LastWriteTime>\r\n"), std::string::npos);
  EXPECT_EQ(FindTaskFiles(env_, Folder()).size(), 1u);
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
    ASSERT_TRUE(WriteTaskFile(env_, t)) << text;
    SavedTask back = Reload(t);
    EXPECT_EQ(std::string(back.FileName), std::string(t.FileName)) << text;
    EXPECT_EQ(std::string(back.ParamStr), text);
  }
  // Every byte but NUL, in both fields.
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  SavedTask every = Task("/p/" + all, all);
  ASSERT_TRUE(WriteTaskFile(env_, every));
  SavedTask everyBack = Reload(every);
  EXPECT_EQ(std::string(everyBack.FileName), "/p/" + all);
  EXPECT_EQ(std::string(everyBack.ParamStr), all);
  // Texts as long as their fields, each character of them written as a reference.
  SavedTask t = Task(std::string(1023, '\t'), std::string(2047, ' '));
  ASSERT_TRUE(WriteTaskFile(env_, t));
  SavedTask back = Reload(t);
  EXPECT_EQ(std::string(back.FileName), std::string(1023, '\t'));
  EXPECT_EQ(std::string(back.ParamStr), std::string(2047, ' '));
}

TEST_F(TaskFileTest, LfFilesAreReadAndBadFilesAreRefused) {
  ASSERT_TRUE(env_.IsDirectory(dir_.path()));
  std::string folder;
  ASSERT_TRUE(DataFolder(env_, "u1", &folder));
  SavedTask back{};
  platform::CopyText(back.UserID, "u1");
  testing_support::WriteFile(folder + "/lf.udu",
                             "<?xml version=\"1.0\"?>\n<UpTask>\n<TaskParam>\n"
                             "<FileName>/f</FileName><FileSize> 12x</FileSize><SHA1Hash/>"
                             "<Host></Host><Port>80</Port><ParamStr/><PickCode>p</PickCode>"
                             "<LastWriteTime>-5</LastWriteTime></TaskParam></UpTask>\n");
  ASSERT_TRUE(ReadTaskFile(env_, "lf.udu", back));
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
  const SavedTask loaded = back;
  for (const auto& [name, content] : bad) {
    testing_support::WriteFile(folder + "/" + name, content);
    EXPECT_FALSE(ReadTaskFile(env_, name, back)) << name;
    EXPECT_STREQ(back.FileName, loaded.FileName) << name;  // untouched
    EXPECT_EQ(back.FileSize, loaded.FileSize) << name;
  }
  // Only bare names of the user's folder are read.
  testing_support::WriteFile(dir_.path() + "/Corvel/Ferrant/outside.udu",
                             testing_support::ReadFile(folder + "/lf.udu"));
  for (const char* name : {"../outside.udu", "..", ".", "", "a/b.udu", "a\\b.udu"}) {
    EXPECT_FALSE(ReadTaskFile(env_, name, back)) << name;
  }
  EXPECT_FALSE(ReadTaskFile(env_, nullptr, back));
  // Numbers read as the C library does, 32-bit ones saturating.
  testing_support::WriteFile(folder + "/big.udu",
                             "<UpTask><TaskParam><FileName>/f</FileName><FileSize>-1</FileSize>"
                             "<SHA1Hash/><Host/><Port>99999999999</Port><ParamStr/><PickCode/>"
                             "<LastWriteTime>-99999999999</LastWriteTime></TaskParam></UpTask>");
  ASSERT_TRUE(ReadTaskFile(env_, "big.udu", back));
  EXPECT_EQ(back.FileSize, -1);
  EXPECT_EQ(back.Port, INT32_MAX);
  EXPECT_EQ(back.LastWriteTime, INT32_MIN);
  ASSERT_EQ(mkdir((folder + "/dir.udu").c_str(), 0700), 0);
  EXPECT_FALSE(ReadTaskFile(env_, "dir.udu", back));
  EXPECT_FALSE(ReadTaskFile(env_, "missing.udu", back));
}

TEST_F(TaskFileTest, SizesReadExactlyToTheirLimitAndTrailingTextIsIgnored) {
  std::string folder;
  ASSERT_TRUE(DataFolder(env_, "u1", &folder));
  const auto file = [](const std::string& size, const std::string& after) {
    return "<?xml version=\"1.0\" ?>\r\n<UpTask><TaskParam><FileName>/f&#x09;g&#9;</FileName>"
           "<FileSize>" +
           size +
           "</FileSize><SHA1Hash/><Host/><Port>1</Port><ParamStr/>"
           "<PickCode/><LastWriteTime>0</LastWriteTime></TaskParam></UpTask>" +
           after;
  };
  const struct {
    const char* size;
    const char* after;
    int64_t expected;
  } cases[] = {{"9223372036854775807", "", INT64_MAX},
               {"9223372036854775806", "\r\n", INT64_MAX - 1},
               {"9223372036854775808", "", INT64_MAX},
               {"99999999999999999999", "", INT64_MAX},
               {"922337203685477580", "\nDone.\n", 922337203685477580LL},
               {"5", "<!-- c --> stray <", 5}};
  for (const auto& c : cases) {
    testing_support::WriteFile(folder + "/n.udu", file(c.size, c.after));
    SavedTask back{};
    platform::CopyText(back.UserID, "u1");
    ASSERT_TRUE(ReadTaskFile(env_, "n.udu", back)) << c.size << c.after;
    EXPECT_EQ(back.FileSize, c.expected) << c.size;
    EXPECT_STREQ(back.FileName, "/f\tg\t");  // hex and decimal references alike
  }
}

TEST_F(TaskFileTest, OnlyARewriteOfAnExistingFileIsSyncedToDisk) {
  SavedTask t = Task("/data/sync.bin", "first");
  ASSERT_TRUE(WriteTaskFile(env_, t));
  ASSERT_TRUE(WriteTaskFile(env_, t));
  using D = platform::Env::Durability;
  EXPECT_EQ(env_.Durabilities(), (std::vector<D>{D::kAtomicOnly, D::kSynced}));
}

TEST_F(TaskFileTest, AFailedWriteLeavesTheOldFileAndReportsIt) {
  SavedTask t = Task("/data/keep.bin", "first");
  ASSERT_TRUE(WriteTaskFile(env_, t));
  std::string path = Folder() + "/" + TaskFileName("/data/keep.bin");
  std::string before = testing_support::ReadFile(path);
  platform::CopyText(t.ParamStr, "second");
  env_.FailWrites(true);
  EXPECT_FALSE(WriteTaskFile(env_, t));
  EXPECT_EQ(testing_support::ReadFile(path), before);
  env_.FailWrites(false);
  // A folder that cannot be written: the real write fails and nothing is torn.
  ASSERT_EQ(chmod(Folder().c_str(), 0500), 0);
  if (access((Folder() + "/probe").c_str(), F_OK) != 0 && getuid() != 0) {
    EXPECT_FALSE(WriteTaskFile(env_, t));
  }
  chmod(Folder().c_str(), 0700);
  EXPECT_EQ(testing_support::ReadFile(path), before);
  EXPECT_TRUE(DeleteTaskFile(env_, "u1", "/data/keep.bin"));
  EXPECT_FALSE(DeleteTaskFile(env_, "u1", "/data/keep.bin"));
}

TEST_F(TaskFileTest, AUserIdThatIsNotAFolderNameHasNoStore) {
  SavedTask t = Task("/data/a.bin", "");
  platform::CopyText(t.UserID, "../escape");
  EXPECT_FALSE(WriteTaskFile(env_, t));
  platform::CopyText(t.UserID, "");
  EXPECT_FALSE(WriteTaskFile(env_, t));
  EXPECT_FALSE(env_.PathExists(dir_.path() + "/Corvel/escape"));
}

TEST(XmlRootExtent, EndsAfterTheRootWhateverItHolds) {
  const struct {
    const char* text;
    size_t extent;  // npos: no complete root
  } cases[] = {
      {"<r/>tail", 4},
      {"\xEF\xBB\xBF<?xml version=\"1.0\" ?>\r\n<!DOCTYPE r [<!ELEMENT r ANY>]><r></r>x", 65},
      {"<!-- <r></r> --><r a='>' b=\"/>\"><r/><![CDATA[</r>]]><!--</r>--></r>.", 67},
      {"<r><?pi </r>?></r> <", 18},
      {"<r><a>", std::string_view::npos},
      {"text<r/>", std::string_view::npos},
      {"", std::string_view::npos},
      {"<!-- open", std::string_view::npos}};
  for (const auto& c : cases) EXPECT_EQ(XmlRootExtent(c.text), c.extent) << c.text;
}

}  // namespace
