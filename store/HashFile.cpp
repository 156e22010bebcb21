// Whole-file hashing: 16 KiB reads, the stop check, the percentage and the full-speed gate.
#include "store/HashFile.h"

#include <memory>

namespace {

constexpr size_t kReadSize = 16384;
// How long a hasher without the gate waits for it before each read.
constexpr int kPauseMs = 1;

// Holds the gate while this hasher has it; lets go on every exit.
class GateHolder {
 public:
  explicit GateHolder(HashGate& gate) : gate_(gate), held_(gate.TryTake()) {}
  ~GateHolder() {
    if (held_) gate_.Release();
  }
  GateHolder(const GateHolder&) = delete;
  GateHolder& operator=(const GateHolder&) = delete;
  // Before a read: at full speed with the gate, else a pause that takes it if it comes free.
  void BeforeRead() {
    if (!held_) held_ = gate_.TakeWithin(kPauseMs);
  }

 private:
  HashGate& gate_;
  bool held_;
};

}  // namespace

bool HashFile(platform::Env& env, HashGate& gate, const char* path, CSha1Digest& digest,
              IHashProgress& progress) {
  if (path == nullptr) return false;
  std::unique_ptr<platform::IReadFile> file = env.OpenRead(path);
  if (!file) return false;
  int64_t size = 0;
  if (!file->Length(&size) || !file->Seek(0) || size < 0) return false;
  if (size == 0) return true;

  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kReadSize]);
  GateHolder holder(gate);
  int64_t remaining = size, done = 0;
  for (;;) {
    if (progress.StopRequested()) return false;
    holder.BeforeRead();
    size_t want =
        remaining < static_cast<int64_t>(kReadSize) ? static_cast<size_t>(remaining) : kReadSize;
    int64_t n = file->Read(buffer.get(), want);
    // Nothing (the file shrank), an error, or more than asked for: the hash cannot be trusted.
    if (n <= 0 || n > static_cast<int64_t>(want)) return false;
    digest.Update(buffer.get(), static_cast<uint32_t>(n));
    done += n;
    remaining -= n;
    progress.SetHashPercent(
        static_cast<int32_t>(static_cast<double>(done) / static_cast<double>(size) * 100.0));
    if (remaining == 0) return true;
  }
}

std::string FileDigestText(platform::Env& env, const char* path) {
  class NoProgress : public IHashProgress {
   public:
    bool StopRequested() override { return false; }
    void SetHashPercent(int32_t) override {}
  } progress;
  HashGate gate;
  CSha1Digest digest;
  if (!HashFile(env, gate, path, digest, progress)) return "";
  digest.Final();
  char hex[41];
  digest.HexDigest(hex);
  return hex;
}
