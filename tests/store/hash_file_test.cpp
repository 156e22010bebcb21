// Whole-file hashing: progress, the stop request, files that change while hashed, and the one
// full-speed slot.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/ProcessState.h"
#include "store/HashFile.h"
#include "tests/support/TempDir.h"

using testing_support::TempDir;

namespace {

class RecordingProgress : public IHashProgress {
 public:
  bool StopRequested() override { return stop.load(); }
  void SetHashPercent(int32_t p) override {
    percents.push_back(p);
    if (stopAfter > 0 && static_cast<int>(percents.size()) == stopAfter) stop = true;
  }
  std::atomic<bool> stop{false};
  int stopAfter = 0;
  std::vector<int32_t> percents;
};

std::string Digest(CSha1Digest& d) {
  d.Final();
  char out[41];
  d.HexDigest(out);
  return out;
}

class HashFileTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::ResetProcessState(); }
  void TearDown() override { platform::ResetProcessState(); }
  TempDir dir_;
};

TEST_F(HashFileTest, PercentAfterEveryReadAndTheDigestOfTheWhole) {
  std::string path = dir_.File("f");
  std::string data(100000, 'x');
  testing_support::WriteFile(path, data);
  RecordingProgress progress;
  CSha1Digest d;
  ASSERT_TRUE(HashFile(path.c_str(), d, progress));
  EXPECT_EQ(progress.percents, (std::vector<int32_t>{16, 32, 49, 65, 81, 98, 100}));
  CSha1Digest whole;
  whole.Update(data.data(), static_cast<uint32_t>(data.size()));
  EXPECT_EQ(Digest(d), Digest(whole));
  EXPECT_EQ(platform::Process().HashSlotCount.load(), 0);
}

TEST_F(HashFileTest, EmptyMissingAndNullFiles) {
  std::string path = dir_.File("empty");
  testing_support::WriteFile(path, "");
  RecordingProgress progress;
  CSha1Digest d;
  ASSERT_TRUE(HashFile(path.c_str(), d, progress));
  EXPECT_TRUE(progress.percents.empty());
  EXPECT_EQ(Digest(d), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
  CSha1Digest d2;
  EXPECT_FALSE(HashFile(dir_.File("missing").c_str(), d2, progress));
  EXPECT_FALSE(HashFile(nullptr, d2, progress));
  EXPECT_FALSE(HashFile(dir_.path().c_str(), d2, progress));  // a folder
}

TEST_F(HashFileTest, StopEndsWithinOneReadAndGivesTheSlotBack) {
  std::string path = dir_.File("f");
  testing_support::WritePatternFile(path, 1 << 20);
  RecordingProgress progress;
  progress.stopAfter = 3;
  CSha1Digest d;
  EXPECT_FALSE(HashFile(path.c_str(), d, progress));
  EXPECT_EQ(progress.percents.size(), 3u);
  EXPECT_EQ(platform::Process().HashSlotCount.load(), 0);
}

// Serves a file whose reads run dry early (it shrank) or that grew after it was opened.
class ChangingFileEnv : public platform::EnvWrapper {
 public:
  ChangingFileEnv(int64_t reportedLength, int64_t realLength)
      : EnvWrapper(platform::Env::Default()), reported_(reportedLength), real_(realLength) {}
  std::unique_ptr<platform::IReadFile> OpenRead(const std::string&) override {
    return std::make_unique<File>(reported_, real_);
  }

 private:
  class File : public platform::IReadFile {
   public:
    File(int64_t reported, int64_t real) : reported_(reported), left_(real) {}
    bool Length(int64_t* n) override {
      *n = reported_;
      return true;
    }
    bool Seek(int64_t) override { return true; }
    int64_t Read(void* buf, size_t n) override {
      int64_t k = std::min<int64_t>(static_cast<int64_t>(n), left_);
      std::memset(buf, 'a', static_cast<size_t>(k));
      left_ -= k;
      return k;
    }
    int64_t reported_, left_;
  };
  int64_t reported_, real_;
};

TEST_F(HashFileTest, AShrinkingFileFailsAndAGrowingOneIsHashedToItsOpenedSize) {
  RecordingProgress progress;
  {
    ChangingFileEnv env(50000, 20000);
    platform::SetEnvForTest(&env);
    CSha1Digest d;
    EXPECT_FALSE(HashFile("/any", d, progress));
    platform::SetEnvForTest(nullptr);
  }
  {
    ChangingFileEnv env(20000, 50000);
    platform::SetEnvForTest(&env);
    CSha1Digest d;
    EXPECT_TRUE(HashFile("/any", d, progress));
    platform::SetEnvForTest(nullptr);
    EXPECT_EQ(Digest(d), [] {
      CSha1Digest w;
      std::string s(20000, 'a');
      w.Update(s.data(), 20000);
      return Digest(w);
    }());
  }
  EXPECT_EQ(platform::Process().HashSlotCount.load(), 0);
}

TEST_F(HashFileTest, SecondHasherWaitsForTheSlotThenTakesIt) {
  std::string a = dir_.File("a"), b = dir_.File("b");
  testing_support::WritePatternFile(a, 64 << 20);
  testing_support::WritePatternFile(b, 1 << 20);
  // The first hasher holds the slot; the second one, started meanwhile, sleeps 1 ms per
  // 16 KiB piece and so finishes its 64 pieces well after holding no slot.
  platform::Process().HashSlotCount = 1;  // someone else has it
  RecordingProgress pb;
  CSha1Digest db;
  std::thread second([&] { EXPECT_TRUE(HashFile(b.c_str(), db, pb)); });
  second.join();
  EXPECT_EQ(platform::Process().HashSlotCount.load(), 1);  // never took the busy slot
  platform::Process().HashSlotCount = 0;
  RecordingProgress pa;
  CSha1Digest da;
  ASSERT_TRUE(HashFile(a.c_str(), da, pa));
  EXPECT_EQ(platform::Process().HashSlotCount.load(), 0);  // taken, then given back
}

}  // namespace
