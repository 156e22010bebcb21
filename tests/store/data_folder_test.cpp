// The per-user data folder: its levels, made on use, and the user ids that have none.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "store/DataFolder.h"
#include "tests/support/FaultEnv.h"
#include "tests/support/TempDir.h"

using testing_support::FaultEnv;
using testing_support::TempDir;

namespace {

class DataFolderTest : public ::testing::Test {
 protected:
  DataFolderTest() { env_.SetVar("APPDATA", dir_.path()); }
  bool IsFolder(const std::string& path) { return env_.IsDirectory(path); }
  TempDir dir_;
  FaultEnv env_;
};

TEST_F(DataFolderTest, MakesEachMissingLevelAndAgainAfterRemoval) {
  std::string folder;
  ASSERT_TRUE(DataFolder(env_, "user1", &folder));
  EXPECT_EQ(folder, dir_.path() + "/Corvel/Ferrant/user1");
  EXPECT_TRUE(IsFolder(dir_.path() + "/Corvel"));
  EXPECT_TRUE(IsFolder(folder));
  ASSERT_EQ(rmdir(folder.c_str()), 0);
  ASSERT_TRUE(DataFolder(env_, "user1", &folder));
  EXPECT_TRUE(IsFolder(folder));
  ASSERT_TRUE(DataFolder(env_, nullptr, &folder));
  EXPECT_EQ(folder, dir_.path() + "/Corvel/Ferrant");
}

TEST_F(DataFolderTest, UserIdsThatAreNotOnePlainNameHaveNoFolder) {
  std::string folder;
  for (const char* id : {"", ".", "..", "a/b", "a\\b", "../x", "a:b", "a*", "a\x01"}) {
    EXPECT_FALSE(DataFolder(env_, id, &folder)) << id;
  }
  EXPECT_FALSE(env_.PathExists(dir_.path() + "/x"));
  EXPECT_TRUE(DataFolder(env_, "user.name-1", &folder));
}

TEST_F(DataFolderTest, ALevelThatIsAFileFails) {
  testing_support::WriteFile(dir_.path() + "/Corvel", "not a folder");
  std::string folder;
  EXPECT_FALSE(DataFolder(env_, "u", &folder));
  EXPECT_TRUE(env_.PathExists(dir_.path() + "/Corvel"));
  EXPECT_FALSE(IsFolder(dir_.path() + "/Corvel"));
}

TEST_F(DataFolderTest, AMissingBaseIsMadePrivateAndOneThatCannotBeMadeFails) {
  testing_support::WriteFile(dir_.path() + "/file", "not a folder");
  const struct {
    const char* base;  // below the test's folder
    const char* top;   // the first folder that had to be made; null: none can be
  } cases[] = {
      {"/fresh/.local/share", "/fresh"}, {"/fresh2/", "/fresh2"}, {"/file/below", nullptr}};
  for (const auto& c : cases) {
    FaultEnv env;
    env.SetVar("APPDATA", dir_.path() + c.base);
    std::string folder, named;
    EXPECT_EQ(DataFolder(env, "u", &folder), c.top != nullptr) << c.base;
    ASSERT_TRUE(DataFolderPath(env, "u", &named));
    EXPECT_EQ(named.rfind(dir_.path() + c.base, 0), 0u) << named;
    struct stat st {};
    if (c.top != nullptr) {
      EXPECT_EQ(folder, named);
      ASSERT_EQ(stat((dir_.path() + c.top).c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0700u) << c.base;
    }
  }
}

TEST_F(DataFolderTest, FindsTaskFilesIncludingFolders) {
  std::string folder;
  ASSERT_TRUE(DataFolder(env_, "u", &folder));
  EXPECT_TRUE(FindTaskFiles(env_, folder).empty());
  for (const char* n : {"a.udu", "b.udu", "c.udu", "d.txt"}) {
    testing_support::WriteFile(folder + "/" + n, "");
  }
  ASSERT_EQ(mkdir((folder + "/dir.udu").c_str(), 0700), 0);
  EXPECT_EQ(FindTaskFiles(env_, folder).size(), 4u);
}

TEST(DataFolderBase, FallsBackToTheUsersDataFolderWithoutAppData) {
  TempDir dir;
  FaultEnv env;
  env.IsolateVars();
  env.SetVar("HOME", dir.path());
  std::string folder;
  EXPECT_TRUE(DataFolder(env, "u", &folder));
  EXPECT_EQ(folder, dir.path() + "/.local/share/Corvel/Ferrant/u");
}

}  // namespace
