#include "tests/support/FaultEnv.h"

#include <algorithm>
#include <cstring>

namespace testing_support {
namespace {

// A file whose reads pass through the Env's count and hook.
class WatchedFile : public platform::IReadFile {
 public:
  WatchedFile(std::unique_ptr<platform::IReadFile> inner, FaultEnv::ReadHook hook,
              std::atomic<int>* reads)
      : inner_(std::move(inner)), hook_(std::move(hook)), reads_(reads) {}
  bool Length(int64_t* n) override { return inner_->Length(n); }
  bool Seek(int64_t offset) override { return inner_->Seek(offset); }
  int64_t Read(void* buffer, size_t n) override {
    ++*reads_;
    if (hook_) hook_(++mine_);
    return inner_->Read(buffer, n);
  }

 private:
  std::unique_ptr<platform::IReadFile> inner_;
  FaultEnv::ReadHook hook_;
  std::atomic<int>* reads_;
  int mine_ = 0;
};

// A file the test described.
class ServedFile : public platform::IReadFile {
 public:
  explicit ServedFile(FaultEnv::FakeFile file) : file_(std::move(file)) {}
  bool Length(int64_t* n) override {
    *n = file_.reportedLength;
    return true;
  }
  bool Seek(int64_t) override { return true; }
  int64_t Read(void* buffer, size_t n) override {
    const size_t k = std::min(n, file_.content.size() - pos_);
    std::memcpy(buffer, file_.content.data() + pos_, k);
    pos_ += k;
    return file_.forcedResult != 0 ? file_.forcedResult : static_cast<int64_t>(k);
  }

 private:
  FaultEnv::FakeFile file_;
  size_t pos_ = 0;
};

}  // namespace

void FaultEnv::IsolateVars() {
  std::lock_guard<std::mutex> g(m_);
  isolated_ = true;
}

void FaultEnv::SetVar(const std::string& name, const std::string& value) {
  std::lock_guard<std::mutex> g(m_);
  vars_[name] = value;
}

void FaultEnv::UnsetVar(const std::string& name) {
  std::lock_guard<std::mutex> g(m_);
  vars_[name] = std::nullopt;
}

void FaultEnv::ClearVars() {
  std::lock_guard<std::mutex> g(m_);
  vars_.clear();
}

void FaultEnv::FixModTime(std::optional<int64_t> seconds) {
  std::lock_guard<std::mutex> g(m_);
  modTimeFixed_ = true;
  modTime_ = seconds;
}

void FaultEnv::ServeFile(const std::string& path, FakeFile file) {
  std::lock_guard<std::mutex> g(m_);
  served_[path] = std::move(file);
}

void FaultEnv::OnRead(const std::string& path, ReadHook hook) {
  std::lock_guard<std::mutex> g(m_);
  hooks_[path] = std::move(hook);
}

bool FaultEnv::GetVar(const char* name, std::string* value) {
  {
    std::lock_guard<std::mutex> g(m_);
    auto it = vars_.find(name);
    if (it != vars_.end()) {
      if (!it->second) return false;
      *value = *it->second;
      return true;
    }
    if (isolated_) return false;
  }
  return EnvWrapper::GetVar(name, value);
}

int64_t FaultEnv::NowSeconds() {
  const int64_t fixed = now_.load();
  return fixed != 0 ? fixed : EnvWrapper::NowSeconds();
}

bool FaultEnv::FileModTime(const std::string& path, int64_t* seconds) {
  {
    std::lock_guard<std::mutex> g(m_);
    if (modTimeFixed_) {
      if (!modTime_) return false;
      *seconds = *modTime_;
      return true;
    }
  }
  return EnvWrapper::FileModTime(path, seconds);
}

bool FaultEnv::WriteFileAtomic(const std::string& path, const std::string& data,
                               Durability durability) {
  {
    std::lock_guard<std::mutex> g(m_);
    durabilities_.push_back(durability);
  }
  return !failWrites_.load() && EnvWrapper::WriteFileAtomic(path, data, durability);
}

std::unique_ptr<platform::IReadFile> FaultEnv::OpenRead(const std::string& path) {
  ReadHook hook;
  {
    std::lock_guard<std::mutex> g(m_);
    auto served = served_.find(path);
    if (served == served_.end()) served = served_.find("*");
    if (served != served_.end()) return std::make_unique<ServedFile>(served->second);
    auto it = hooks_.find(path);
    if (it != hooks_.end()) hook = it->second;
  }
  std::unique_ptr<platform::IReadFile> inner = EnvWrapper::OpenRead(path);
  if (!inner) return nullptr;
  return std::make_unique<WatchedFile>(std::move(inner), std::move(hook), &reads_);
}

platform::SocketSystem& FaultEnv::Sockets() {
  return sockets_ != nullptr ? *sockets_ : EnvWrapper::Sockets();
}

std::vector<FaultEnv::Durability> FaultEnv::Durabilities() {
  std::lock_guard<std::mutex> g(m_);
  return durabilities_;
}

}  // namespace testing_support
