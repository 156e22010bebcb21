// Whole-file hashing: 16 KiB reads, the stop check, the percentage and the full-speed slot.
#include "store/HashFile.h"

#include <memory>

#include "platform/Env.h"
#include "platform/ProcessState.h"

namespace {

constexpr size_t kReadSize = 16384;

// Holds the full-speed slot while this hasher has it; gives it back on every exit.
class HashSlot {
 public:
  ~HashSlot() {
    if (held_) platform::Process().HashSlotCount.fetch_sub(1);
  }
  bool held() const { return held_; }
  void TryTake() {
    int32_t expected = 0;
    held_ = platform::Process().HashSlotCount.compare_exchange_strong(expected, 1);
  }

 private:
  bool held_ = false;
};

}  // namespace

bool HashFile(const char* path, CSha1Digest& digest, IHashProgress& progress) {
  if (path == nullptr) return false;
  platform::Env& env = platform::Env::Current();
  std::unique_ptr<platform::IReadFile> file = env.OpenRead(path);
  if (!file) return false;
  int64_t size = 0;
  if (!file->Length(&size) || !file->Seek(0) || size < 0) return false;
  if (size == 0) return true;

  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kReadSize]);
  HashSlot slot;
  int64_t remaining = size, done = 0;
  for (;;) {
    if (progress.StopRequested()) return false;
    size_t want =
        remaining < static_cast<int64_t>(kReadSize) ? static_cast<size_t>(remaining) : kReadSize;
    int64_t n = file->Read(buffer.get(), want);
    // Nothing (the file shrank), an error, or more than asked for: the hash cannot be trusted.
    if (n <= 0 || n > static_cast<int64_t>(want)) return false;
    if (!slot.held()) {
      // Only one hasher runs at full speed; the others pause before each piece.
      env.SleepMillis(1);
      if (platform::Process().HashSlotCount.load() == 0) slot.TryTake();
    }
    digest.Update(buffer.get(), static_cast<uint32_t>(n));
    done += n;
    remaining -= n;
    progress.SetHashPercent(
        static_cast<int32_t>(static_cast<double>(done) / static_cast<double>(size) * 100.0));
    if (remaining == 0) return true;
  }
}

std::string FileDigestText(const char* path) {
  class NoProgress : public IHashProgress {
   public:
    bool StopRequested() override { return false; }
    void SetHashPercent(int32_t) override {}
  } progress;
  CSha1Digest digest;
  if (!HashFile(path, digest, progress)) return "";
  digest.Final();
  char hex[41];
  digest.HexDigest(hex);
  return hex;
}
