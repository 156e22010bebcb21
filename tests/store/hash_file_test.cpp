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

// Real files, with every read counted, an optional gate that holds one read of one file until
// the test opens it, and the sleeps counted per thread.
class WatchingEnv : public platform::EnvWrapper {
 public:
  struct Gate {
    std::string path;
    int atRead = 0;  // 1-based number of the read that waits
    std::mutex m;
    std::condition_variable cv;
    bool waiting = false, open = false;
    void Pass() {
      std::unique_lock<std::mutex> lock(m);
      waiting = true;
      cv.notify_all();
      cv.wait(lock, [&] { return open; });
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

  WatchingEnv() : EnvWrapper(platform::Env::Default()) {}
  void AddGate(Gate* g) { gates_.push_back(g); }
  std::unique_ptr<platform::IReadFile> OpenRead(const std::string& p) override {
    std::unique_ptr<platform::IReadFile> inner = target().OpenRead(p);
    if (!inner) return nullptr;
    Gate* gate = nullptr;
    for (Gate* g : gates_) {
      if (g->path == p) gate = g;
    }
    return std::make_unique<File>(std::move(inner), gate, &reads_);
  }
  void SleepMillis(int ms) override {
    {
      std::lock_guard<std::mutex> lock(m_);
      ++sleeps_[std::this_thread::get_id()];
    }
    target().SleepMillis(ms);
  }
  int SleepsOf(std::thread::id id) {
    std::lock_guard<std::mutex> lock(m_);
    return sleeps_[id];
  }
  int reads() const { return reads_.load(); }

 private:
  class File : public platform::IReadFile {
   public:
    File(std::unique_ptr<platform::IReadFile> inner, Gate* gate, std::atomic<int>* reads)
        : inner_(std::move(inner)), gate_(gate), reads_(reads) {}
    bool Length(int64_t* n) override { return inner_->Length(n); }
    bool Seek(int64_t o) override { return inner_->Seek(o); }
    int64_t Read(void* buf, size_t n) override {
      ++*reads_;
      if (gate_ != nullptr && ++mine_ == gate_->atRead) gate_->Pass();
      return inner_->Read(buf, n);
    }

   private:
    std::unique_ptr<platform::IReadFile> inner_;
    Gate* gate_;
    std::atomic<int>* reads_;
    int mine_ = 0;
  };
  std::vector<Gate*> gates_;
  std::atomic<int> reads_{0};
  std::mutex m_;
  std::map<std::thread::id, int> sleeps_;
};

TEST_F(HashFileTest, StopEndsWithinOneReadAndGivesTheSlotBack) {
  std::string path = dir_.File("f");
  testing_support::WritePatternFile(path, 1 << 20);
  WatchingEnv env;
  platform::SetEnvForTest(&env);
  RecordingProgress progress;
  progress.stopAfter = 3;  // the stop arrives while the third piece is absorbed
  CSha1Digest d;
  EXPECT_FALSE(HashFile(path.c_str(), d, progress));
  EXPECT_EQ(env.reads(), 3);  // no read after the stop was seen
  EXPECT_EQ(progress.percents.size(), 3u);
  EXPECT_EQ(platform::Process().HashSlotCount.load(), 0);

  // A stop already set: nothing is read and the percentage stays where it was.
  RecordingProgress stopped;
  stopped.stop = true;
  CSha1Digest d2;
  EXPECT_FALSE(HashFile(path.c_str(), d2, stopped));
  EXPECT_EQ(env.reads(), 3);
  EXPECT_TRUE(stopped.percents.empty());
  EXPECT_EQ(platform::Process().HashSlotCount.load(), 0);
  platform::SetEnvForTest(nullptr);
}

// Serves a file whose reads run dry early (it shrank) or that grew after it was opened.
class ChangingFileEnv : public platform::EnvWrapper {
 public:
  // forcedResult, when not 0, is what every read claims to have read (an error, or a count
  // larger than asked for).
  ChangingFileEnv(int64_t reportedLength, int64_t realLength, int64_t forcedResult = 0)
      : EnvWrapper(platform::Env::Default()),
        reported_(reportedLength),
        real_(realLength),
        forced_(forcedResult) {}
  std::unique_ptr<platform::IReadFile> OpenRead(const std::string&) override {
    return std::make_unique<File>(reported_, real_, forced_);
  }

 private:
  class File : public platform::IReadFile {
   public:
    File(int64_t reported, int64_t real, int64_t forced)
        : reported_(reported), left_(real), forced_(forced) {}
    bool Length(int64_t* n) override {
      *n = reported_;
      return true;
    }
    bool Seek(int64_t) override { return true; }
    int64_t Read(void* buf, size_t n) override {
      int64_t k = std::min<int64_t>(static_cast<int64_t>(n), left_);
      std::memset(buf, 'a', static_cast<size_t>(k));
      left_ -= k;
      return forced_ != 0 ? forced_ : k;
    }
    int64_t reported_, left_, forced_;
  };
  int64_t reported_, real_, forced_;
};

TEST_F(HashFileTest, AShrinkingOrFailingFileFailsAndAGrowingOneIsHashedToItsOpenedSize) {
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
  for (int64_t forced : {int64_t{-1}, int64_t{16385}}) {  // a read error; a read beyond asked
    ChangingFileEnv env(50000, 50000, forced);
    platform::SetEnvForTest(&env);
    CSha1Digest d;
    EXPECT_FALSE(HashFile("/any", d, progress)) << forced;
    platform::SetEnvForTest(nullptr);
  }
  EXPECT_EQ(platform::Process().HashSlotCount.load(), 0);
}

// The first hasher takes the slot after its first read and keeps it; a second one started
// meanwhile sleeps before every piece while the slot is taken, and takes it (after one more
// sleep) once the first has finished.
TEST_F(HashFileTest, SecondHasherSleepsUntilTheFirstFinishesThenTakesTheSlot) {
  const int64_t piece = 16384;
  std::string a = dir_.File("a"), b = dir_.File("b");
  testing_support::WritePatternFile(a, 4 * piece, 1);
  testing_support::WritePatternFile(b, 8 * piece, 2);
  WatchingEnv env;
  WatchingEnv::Gate gateA, gateB;
  gateA.path = a;
  gateA.atRead = 2;  // the first hasher pauses holding the slot
  gateB.path = b;
  gateB.atRead = 4;  // the second pauses after three pieces without it
  env.AddGate(&gateA);
  env.AddGate(&gateB);
  platform::SetEnvForTest(&env);

  RecordingProgress pa, pb;
  CSha1Digest da, db;
  bool okA = false, okB = false;
  std::thread::id idA, idB;  // written before the gates, read after them
  std::thread first([&] {
    idA = std::this_thread::get_id();
    okA = HashFile(a.c_str(), da, pa);
  });
  gateA.AwaitWaiting();
  EXPECT_EQ(platform::Process().HashSlotCount.load(), 1);
  EXPECT_EQ(env.SleepsOf(idA), 1);  // one sleep, then the slot
  std::thread second([&] {
    idB = std::this_thread::get_id();
    okB = HashFile(b.c_str(), db, pb);
  });
  gateB.AwaitWaiting();
  EXPECT_EQ(env.SleepsOf(idB), 3);
  EXPECT_EQ(platform::Process().HashSlotCount.load(), 1);

  gateA.Open();
  first.join();
  EXPECT_EQ(platform::Process().HashSlotCount.load(), 0);
  gateB.Open();
  second.join();
  platform::SetEnvForTest(nullptr);

  EXPECT_TRUE(okA);
  EXPECT_TRUE(okB);
  EXPECT_EQ(env.SleepsOf(idA), 1);
  EXPECT_EQ(env.SleepsOf(idB), 4);  // one more sleep, then the slot: the last four run free
  EXPECT_EQ(platform::Process().HashSlotCount.load(), 0);
  EXPECT_EQ(pb.percents.back(), 100);
  CSha1Digest wholeB;
  std::string dataB = testing_support::ReadFile(b);
  wholeB.Update(dataB.data(), static_cast<uint32_t>(dataB.size()));
  EXPECT_EQ(Digest(db), Digest(wholeB));
}

}  // namespace
