// Whole-file hashing: progress, the stop request, files that change while hashed, and the one
// full-speed slot.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "store/HashFile.h"
#include "tests/support/FaultEnv.h"
#include "tests/support/TempDir.h"

using testing_support::FaultEnv;
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
  bool Hash(const std::string& path, CSha1Digest& d, IHashProgress& p) {
    return HashFile(env_, gate_, path.c_str(), d, p);
  }
  TempDir dir_;
  FaultEnv env_;
  HashGate gate_;
};

// A read of a file that waits at the given read number until the test opens it.
struct Gate {
  int atRead = 0;
  std::mutex m;
  std::condition_variable cv;
  bool waiting = false, open = false;
  FaultEnv::ReadHook Hook() {
    return [this](int read) {
      if (read != atRead) return;
      std::unique_lock<std::mutex> lock(m);
      waiting = true;
      cv.notify_all();
      cv.wait(lock, [&] { return open; });
    };
  }
  void AwaitWaiting() {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return waiting; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(m);
    open = true;
    cv.notify_all();
  }
};

TEST_F(HashFileTest, PercentAfterEveryReadAndTheDigestOfTheWhole) {
  std::string path = dir_.File("f");
  std::string data(100000, 'x');
  testing_support::WriteFile(path, data);
  RecordingProgress progress;
  CSha1Digest d;
  ASSERT_TRUE(Hash(path, d, progress));
  EXPECT_EQ(progress.percents, (std::vector<int32_t>{16, 32, 49, 65, 81, 98, 100}));
  CSha1Digest whole;
  whole.Update(data.data(), static_cast<uint32_t>(data.size()));
  EXPECT_EQ(Digest(d), Digest(whole));
  EXPECT_FALSE(gate_.Held());
}

TEST_F(HashFileTest, EmptyMissingAndNullFiles) {
  std::string path = dir_.File("empty");
  testing_support::WriteFile(path, "");
  RecordingProgress progress;
  CSha1Digest d;
  ASSERT_TRUE(Hash(path, d, progress));
  EXPECT_TRUE(progress.percents.empty());
  EXPECT_EQ(Digest(d), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
  CSha1Digest d2;
  EXPECT_FALSE(Hash(dir_.File("missing"), d2, progress));
  EXPECT_FALSE(HashFile(env_, gate_, nullptr, d2, progress));
  EXPECT_FALSE(Hash(dir_.path(), d2, progress));  // a folder
}

TEST_F(HashFileTest, StopEndsWithinOneReadAndGivesTheGateBack) {
  std::string path = dir_.File("f");
  testing_support::WritePatternFile(path, 1 << 20);
  RecordingProgress progress;
  progress.stopAfter = 3;  // the stop arrives while the third piece is absorbed
  CSha1Digest d;
  EXPECT_FALSE(Hash(path, d, progress));
  EXPECT_EQ(env_.Reads(), 3);  // no read after the stop was seen
  EXPECT_EQ(progress.percents.size(), 3u);
  EXPECT_FALSE(gate_.Held());

  // A stop already set: nothing is read and the percentage stays where it was.
  RecordingProgress stopped;
  stopped.stop = true;
  CSha1Digest d2;
  EXPECT_FALSE(Hash(path, d2, stopped));
  EXPECT_EQ(env_.Reads(), 3);
  EXPECT_TRUE(stopped.percents.empty());
  EXPECT_FALSE(gate_.Held());
}

TEST_F(HashFileTest, AShrinkingOrFailingFileFailsAndAGrowingOneIsHashedToItsOpenedSize) {
  RecordingProgress progress;
  const struct {
    int64_t reported, real, forced;  // forced: a read error, or a count beyond what was asked
    bool ok;
  } cases[] = {{50000, 20000, 0, false},
               {20000, 50000, 0, true},
               {50000, 50000, -1, false},
               {50000, 50000, 16385, false}};
  for (const auto& c : cases) {
    env_.ServeFile("/any", {c.reported, std::string(static_cast<size_t>(c.real), 'a'), c.forced});
    CSha1Digest d;
    EXPECT_EQ(Hash("/any", d, progress), c.ok) << c.reported << " " << c.real;
    if (c.ok) {
      CSha1Digest w;
      const std::string s(static_cast<size_t>(c.reported), 'a');
      w.Update(s.data(), static_cast<uint32_t>(s.size()));
      EXPECT_EQ(Digest(d), Digest(w));
    }
  }
  EXPECT_FALSE(gate_.Held());
}

// The first hasher takes the gate at its first read and keeps it; a second one started
// meanwhile reads without it, pausing before each piece, and takes it once the first is done.
TEST_F(HashFileTest, SecondHasherPausesUntilTheFirstFinishesThenTakesTheGate) {
  const int64_t piece = 16384;
  std::string a = dir_.File("a"), b = dir_.File("b");
  testing_support::WritePatternFile(a, 4 * piece, 1);
  testing_support::WritePatternFile(b, 8 * piece, 2);
  Gate gateA, gateB;
  gateA.atRead = 2;  // the first hasher waits holding the gate
  gateB.atRead = 4;  // the second waits after three pieces without it
  env_.OnRead(a, gateA.Hook());
  env_.OnRead(b, gateB.Hook());

  RecordingProgress pa, pb;
  CSha1Digest da, db;
  bool okA = false, okB = false;
  std::thread first([&] { okA = Hash(a, da, pa); });
  gateA.AwaitWaiting();
  EXPECT_TRUE(gate_.Held());
  std::thread second([&] { okB = Hash(b, db, pb); });
  gateB.AwaitWaiting();
  EXPECT_TRUE(gate_.Held());  // still the first's: the second read three pieces without it
  EXPECT_EQ(pb.percents.size(), 3u);

  gateA.Open();
  first.join();
  gateB.Open();
  second.join();
  EXPECT_TRUE(okA);
  EXPECT_TRUE(okB);
  EXPECT_FALSE(gate_.Held());
  EXPECT_EQ(pb.percents.back(), 100);
  CSha1Digest wholeB;
  std::string dataB = testing_support::ReadFile(b);
  wholeB.Update(dataB.data(), static_cast<uint32_t>(dataB.size()));
  EXPECT_EQ(Digest(db), Digest(wholeB));
}

TEST(HashGate, OneHolderAtATimeAndAWaiterTakesItWhenFree) {
  HashGate gate;
  EXPECT_TRUE(gate.TryTake());
  EXPECT_FALSE(gate.TryTake());
  EXPECT_FALSE(gate.TakeWithin(1));  // held: the pause runs out
  std::thread release([&] { gate.Release(); });
  EXPECT_TRUE(gate.TakeWithin(60000));  // taken as soon as it is free, long before the limit
  release.join();
  gate.Release();
  EXPECT_FALSE(gate.Held());
}

}  // namespace
