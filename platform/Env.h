// The one door from the portable core to the operating system: clock, sleep, environment
// variables, files and folders, the user's proxy setting, and the sockets (SocketSystem.h).
//
// The core never includes an OS header; it is handed an Env (the runtime holds the one a front
// end chose, upload/Runtime.h) and asks it. Env::Default() is the real backend (Env_posix.cpp
// or Env_win32.cpp), which holds no state of its own. Tests hand the core an EnvWrapper that
// fakes the clock, the variables, the sockets or injects faults (tests/support/FaultEnv.h).
//
// Thread safety: every method may be called from any thread at once.
//
// Paths are narrow text: UTF-8 on Linux, the active code page on Windows. kPathSep is the
// separator the core uses when it forms a path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ProxySource.h"
#include "platform/SocketSystem.h"

namespace platform {

#ifdef _WIN32
inline constexpr char kPathSep = '\\';
#else
inline constexpr char kPathSep = '/';
#endif

// A file opened for binary reading. Owned by its caller; closed on destruction.
class IReadFile {
 public:
  virtual ~IReadFile() = default;
  // Current length of the file (seeks to the end and reads the position). False on error.
  virtual bool Length(int64_t* length) = 0;
  // Positions the next read at offset from the start. False on error.
  virtual bool Seek(int64_t offset) = 0;
  // Reads up to n bytes: the count read, 0 at the end of the file, -1 on error.
  virtual int64_t Read(void* buffer, size_t n) = 0;
};

class Env {
 public:
  virtual ~Env() = default;

  static Env& Default();

  // Seconds since 1970-01-01 00:00 UTC.
  virtual int64_t NowSeconds() = 0;
  // A steady clock in milliseconds, for measuring waits.
  virtual int64_t SteadyMillis() = 0;
  virtual void SleepMillis(int ms) = 0;

  // The value of an environment variable; false when it is not set.
  virtual bool GetVar(const char* name, std::string* value) = 0;

  // True when an entry exists at path and is a directory.
  virtual bool IsDirectory(const std::string& path) = 0;
  // True when any entry (file or directory) exists at path.
  virtual bool PathExists(const std::string& path) = 0;
  // Creates one directory level. False when it cannot be made (or already exists).
  virtual bool MakeDirectory(const std::string& path) = 0;
  // Deletes a file. False when there is none or it cannot be removed.
  virtual bool RemoveFile(const std::string& path) = 0;
  // The bare names of the entries of folder whose names end in suffix (compared without case
  // on Windows, with case elsewhere), in the order the file system lists them. Directories
  // are reported too. Empty when the folder cannot be read.
  virtual std::vector<std::string> ListMatching(const std::string& folder,
                                                const std::string& suffix) = 0;
  // 64-bit size and last-modification time (seconds since 1970) of a file.
  virtual bool FileSize(const std::string& path, int64_t* size) = 0;
  virtual bool FileModTime(const std::string& path, int64_t* seconds) = 0;
  // Opens a file for binary reading; null when it cannot be opened.
  virtual std::unique_ptr<IReadFile> OpenRead(const std::string& path) = 0;
  // Replaces the file at path with data: a temporary file beside it, a checked write, then a
  // rename over the old file, so that the path holds the old or the new text whole, never a
  // part, whenever the process ends. kSynced also puts the data on the disk before the rename
  // and the rename after it, so that the same holds when the machine loses power; kAtomicOnly
  // leaves both to the system's own write-back (seconds), so that after a power loss the path
  // may hold what it held before, or an empty file. On any failure the old file is left as it
  // was, the temporary file is removed, and the result is false.
  enum class Durability { kSynced, kAtomicOnly };
  virtual bool WriteFileAtomic(const std::string& path, const std::string& data,
                               Durability durability) = 0;

  // The current user's proxy setting as "[scheme=]host:port[;...]" text for a request to
  // target host, over TLS (https) or not; false when requests to that host go direct.
  virtual bool ProxyString(const std::string& targetHost, bool tls, std::string* text) = 0;

  // The sockets and the system resolver (SocketSystem::Default() for the real backends).
  virtual SocketSystem& Sockets() = 0;
};

// An Env that forwards everything to another; tests derive from it and override a few calls.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env& target) : target_(target) {}
  int64_t NowSeconds() override { return target_.NowSeconds(); }
  int64_t SteadyMillis() override { return target_.SteadyMillis(); }
  void SleepMillis(int ms) override { target_.SleepMillis(ms); }
  bool GetVar(const char* name, std::string* value) override { return target_.GetVar(name, value); }
  bool IsDirectory(const std::string& p) override { return target_.IsDirectory(p); }
  bool PathExists(const std::string& p) override { return target_.PathExists(p); }
  bool MakeDirectory(const std::string& p) override { return target_.MakeDirectory(p); }
  bool RemoveFile(const std::string& p) override { return target_.RemoveFile(p); }
  std::vector<std::string> ListMatching(const std::string& f, const std::string& s) override {
    return target_.ListMatching(f, s);
  }
  bool FileSize(const std::string& p, int64_t* s) override { return target_.FileSize(p, s); }
  bool FileModTime(const std::string& p, int64_t* s) override { return target_.FileModTime(p, s); }
  std::unique_ptr<IReadFile> OpenRead(const std::string& p) override { return target_.OpenRead(p); }
  bool WriteFileAtomic(const std::string& p, const std::string& d, Durability u) override {
    return target_.WriteFileAtomic(p, d, u);
  }
  // The proxy setting read through this Env's own variables (GetVar), so that a wrapper that
  // changes them changes the setting too.
  bool ProxyString(const std::string& h, bool tls, std::string* t) override {
    return SystemProxyString(*this, h, tls, t);
  }
  SocketSystem& Sockets() override { return target_.Sockets(); }

 protected:
  Env& target() { return target_; }

 private:
  Env& target_;
};

}  // namespace platform
