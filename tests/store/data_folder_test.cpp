// The per-user data folder: its levels, made on use, and the user ids that have none.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/Env.h"
#include "store/DataFolder.h"
#include "tests/support/TempDir.h"

using testing_support::AppDataEnv;
using testing_support::TempDir;

namespace {

class DataFolderTest : public ::testing::Test {
 protected:
  DataFolderTest() : env_(dir_.path()) { platform::SetEnvForTest(&env_); }
  ~DataFolderTest() override { platform::SetEnvForTest(nullptr); }
  TempDir dir_;
  AppDataEnv env_;
};

TEST_F(DataFolderTest, MakesEachMissingLevelAndAgainAfterRemoval) {
  std::string folder;
  ASSERT_TRUE(DataFolder("user1", &folder));
  EXPECT_EQ(folder, dir_.path() + "/Corvel/Ferrant/user1");
  EXPECT_TRUE(IsExistingFolder(dir_.path() + "/Corvel"));
  EXPECT_TRUE(IsExistingFolder(folder));
  ASSERT_EQ(rmdir(folder.c_str()), 0);
  ASSERT_TRUE(DataFolder("user1", &folder));
  EXPECT_TRUE(IsExistingFolder(folder));
  ASSERT_TRUE(DataFolder(nullptr, &folder));
  EXPECT_EQ(folder, dir_.path() + "/Corvel/Ferrant");
}

TEST_F(DataFolderTest, UserIdsThatAreNotOnePlainNameHaveNoFolder) {
  std::string folder;
  for (const char* id : {"", ".", "..", "a/b", "a\\b", "../x", "a:b", "a*", "a\x01"}) {
    EXPECT_FALSE(DataFolder(id, &folder)) << id;
  }
  EXPECT_FALSE(PathExists(dir_.path() + "/x"));
  EXPECT_TRUE(DataFolder("user.name-1", &folder));
}

TEST_F(DataFolderTest, ALevelThatIsAFileFails) {
  testing_support::WriteFile(dir_.path() + "/Corvel", "not a folder");
  std::string folder;
  EXPECT_FALSE(DataFolder("u", &folder));
  EXPECT_TRUE(PathExists(dir_.path() + "/Corvel"));
  EXPECT_FALSE(IsExistingFolder(dir_.path() + "/Corvel"));
}

TEST_F(DataFolderTest, AMissingBaseIsMadePrivateAndOneThatCannotBeMadeFails) {
  testing_support::WriteFile(dir_.path() + "/file", "not a folder");
  const struct {
    const char* base;  // below the test's folder
    const char* top;   // the first folder that had to be made; null: none can be
  } cases[] = {
      {"/fresh/.local/share", "/fresh"}, {"/fresh2/", "/fresh2"}, {"/file/below", nullptr}};
  for (const auto& c : cases) {
    AppDataEnv env(dir_.path() + c.base);
    platform::SetEnvForTest(&env);
    std::string folder, named;
    EXPECT_EQ(DataFolder("u", &folder), c.top != nullptr) << c.base;
    ASSERT_TRUE(DataFolderPath("u", &named));
    EXPECT_EQ(named.rfind(dir_.path() + c.base, 0), 0u) << named;
    struct stat st {};
    if (c.top != nullptr) {
      EXPECT_EQ(folder, named);
      ASSERT_EQ(stat((dir_.path() + c.top).c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0700u) << c.base;
    }
  }
  platform::SetEnvForTest(&env_);
}

TEST_F(DataFolderTest, FindsTaskFilesIncludingFolders) {
  std::string folder;
  ASSERT_TRUE(DataFolder("u", &folder));
  EXPECT_TRUE(FindTaskFiles(folder).empty());
  for (const char* n : {"a.udu", "b.udu", "c.udu", "d.txt"}) {
    testing_support::WriteFile(folder + "/" + n, "");
  }
  ASSERT_EQ(mkdir((folder + "/dir.udu").c_str(), 0700), 0);
  EXPECT_EQ(FindTaskFiles(folder).size(), 4u);
}

class NoAppDataEnv : public platform::EnvWrapper {
 public:
  explicit NoAppDataEnv(std::string home) : EnvWrapper(platform::Env::Default()), home_(home) {}
  bool GetVar(const char* name, std::string* value) override {
    if (std::string(name) == "HOME") {
      *value = home_;
      return true;
    }
    return false;
  }
  std::string home_;
};

TEST(DataFolderBase, FallsBackToTheUsersDataFolderWithoutAppData) {
  TempDir dir;
  NoAppDataEnv env(dir.path());
  platform::SetEnvForTest(&env);
  ASSERT_EQ(mkdir((dir.path() + "/.local").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((dir.path() + "/.local/share").c_str(), 0700), 0);
  std::string folder;
  EXPECT_TRUE(DataFolder("u", &folder));
  EXPECT_EQ(folder, dir.path() + "/.local/share/Corvel/Ferrant/u");
  platform::SetEnvForTest(nullptr);
}

}  // namespace
