// The POSIX backend of Env: the clock, environment, files and folders of Linux.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "platform/Env.h"
#include "platform/ProxySource.h"

namespace platform {
namespace {

class PosixReadFile : public IReadFile {
 public:
  explicit PosixReadFile(int fd) : fd_(fd) {}
  ~PosixReadFile() override { ::close(fd_); }
  bool Length(int64_t* length) override {
    off_t end = ::lseek(fd_, 0, SEEK_END);
    if (end < 0) return false;
    *length = static_cast<int64_t>(end);
    return true;
  }
  bool Seek(int64_t offset) override {
    if (offset < 0) return false;
    return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) >= 0;
  }
  int64_t Read(void* buffer, size_t n) override {
    for (;;) {
      ssize_t r = ::read(fd_, buffer, n);
      if (r < 0 && errno == EINTR) continue;
      return r < 0 ? -1 : static_cast<int64_t>(r);
    }
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Creates a new file beside path, exclusively, named "<path>.tmp.<pid>.<thread>.<n>": no two
// writers of this or another process ever share one.
int CreateTemporaryBeside(const std::string& path, std::string* tmp) {
  const auto thread = std::hash<std::thread::id>()(std::this_thread::get_id());
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  for (int attempt = 0; attempt < 100; ++attempt) {
    *tmp = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(thread % 1000000) +
           "." + std::to_string((stamp + attempt) % 1000000007);
    const int fd = ::open(tmp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

class PosixEnv : public Env {
 public:
  int64_t NowSeconds() override {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  int64_t SteadyMillis() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  void SleepMillis(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

  bool GetVar(const char* name, std::string* value) override {
    const char* v = std::getenv(name);
    if (v == nullptr) return false;
    *value = v;
    return true;
  }

  bool IsDirectory(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  bool PathExists(const std::string& path) override {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
  }
  bool MakeDirectory(const std::string& path) override { return ::mkdir(path.c_str(), 0700) == 0; }
  bool RemoveFile(const std::string& path) override { return ::unlink(path.c_str()) == 0; }

  std::vector<std::string> ListMatching(const std::string& folder,
                                        const std::string& suffix) override {
    std::vector<std::string> names;
    DIR* d = ::opendir(folder.c_str());
    if (d == nullptr) return names;
    while (dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      if (name.size() >= suffix.size() &&
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        names.push_back(name);
      }
    }
    ::closedir(d);
    return names;
  }

  bool FileSize(const std::string& path, int64_t* size) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    *size = static_cast<int64_t>(st.st_size);
    return true;
  }
  bool FileModTime(const std::string& path, int64_t* seconds) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    *seconds = static_cast<int64_t>(st.st_mtime);
    return true;
  }
  std::unique_ptr<IReadFile> OpenRead(const std::string& path) override {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
      ::close(fd);
      return nullptr;
    }
    return std::make_unique<PosixReadFile>(fd);
  }

  bool WriteFileAtomic(const std::string& path, const std::string& data,
                       Durability durability) override {
    std::string tmp;
    const int fd = CreateTemporaryBeside(path, &tmp);
    if (fd < 0) return false;
    const bool synced = durability == Durability::kSynced;
    bool ok = WriteAll(fd, data.data(), data.size()) && (!synced || ::fsync(fd) == 0);
    ok = (::close(fd) == 0) && ok;
    if (ok) ok = ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
      ::unlink(tmp.c_str());
      return false;
    }
    if (!synced) return true;
    // Make the rename itself durable.
    std::string dir = path;
    size_t slash = dir.find_last_of('/');
    dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      ::fsync(dfd);
      ::close(dfd);
    }
    return true;
  }

  bool ProxyString(const std::string& targetHost, bool tls, std::string* text) override {
    return SystemProxyString(*this, targetHost, tls, text);
  }
  SocketSystem& Sockets() override { return SocketSystem::Default(); }
};

}  // namespace

Env& Env::Default() {
  static PosixEnv env;
  return env;
}

}  // namespace platform
