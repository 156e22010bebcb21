// The task-file reader on arbitrary file contents, served from memory through the platform
// seam.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "platform/Bounded.h"
#include "platform/Env.h"
#include "store/TaskFile.h"

namespace {

class MemoryEnv : public platform::EnvWrapper {
 public:
  MemoryEnv() : EnvWrapper(platform::Env::Default()) {}
  std::string content;
  bool GetVar(const char* name, std::string* v) override {
    if (std::strcmp(name, "APPDATA") != 0) return false;
    *v = "/fuzz-appdata";
    return true;
  }
  bool IsDirectory(const std::string&) override { return true; }
  bool PathExists(const std::string&) override { return true; }
  std::unique_ptr<platform::IReadFile> OpenRead(const std::string&) override {
    return std::make_unique<File>(content);
  }

 private:
  class File : public platform::IReadFile {
   public:
    explicit File(const std::string& c) : c_(c) {}
    bool Length(int64_t* n) override {
      *n = static_cast<int64_t>(c_.size());
      return true;
    }
    bool Seek(int64_t o) override {
      pos_ = static_cast<size_t>(o);
      return o >= 0 && static_cast<size_t>(o) <= c_.size();
    }
    int64_t Read(void* b, size_t n) override {
      size_t k = std::min(n, c_.size() - pos_);
      std::memcpy(b, c_.data() + pos_, k);
      pos_ += k;
      return static_cast<int64_t>(k);
    }
    const std::string& c_;
    size_t pos_ = 0;
  };
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static MemoryEnv env;
  env.content.assign(reinterpret_cast<const char*>(data), size);
  SavedTask task{};
  platform::CopyText(task.UserID, "u");
  if (ReadTaskFile(env, "x.udu", task)) {
    if (strnlen(task.FileName, sizeof task.FileName) == sizeof task.FileName) __builtin_trap();
    if (strnlen(task.ParamStr, sizeof task.ParamStr) == sizeof task.ParamStr) __builtin_trap();
  }
  return 0;
}
