// The one fault-injecting environment of the tests, in the manner of a wrapped Env: the real
// files and sockets underneath (Env::Default), and whatever a test needs faked or broken on top.
// Every suite hands one to its runtime (upload/Runtime.h) or to the function under test.
//
//   variables  SetVar/UnsetVar override the process's; IsolateVars hides every other one, so
//              that neither the proxy variables nor HOME of the machine leak into a test.
//   clock      FixNow: NowSeconds answers a fixed time. FixModTime: every file's modification
//              time is fixed, or (nullopt) cannot be read.
//   files      FailWrites: every atomic write fails, the old file stays. ServeFile: reads of a
//              path (or of every path, "*") come from a file the test describes, which may claim
//              another length, run dry early, or report a read count of its own.
//              OnRead: a hook before every read of a path, told the read's number (1-based)
//              there: a gate, a counter, a stop.
//   sockets    UseSockets: the in-memory twin (tests/support/MemorySockets.h) instead of the
//              machine's sockets, with its resolver.
//
// Thread safety: configure before the code under test runs; the hooks run on that code's
// threads. Reads() may be asked at any time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Env.h"

namespace testing_support {

class FaultEnv : public platform::EnvWrapper {
 public:
  struct FakeFile {
    int64_t reportedLength = 0;  // what Length says
    std::string content;         // what reads return, in order, then nothing
    int64_t forcedResult = 0;    // when not 0, what every read claims to have read
  };
  using ReadHook = std::function<void(int readNumber)>;

  FaultEnv() : EnvWrapper(platform::Env::Default()) {}

  void IsolateVars();
  void SetVar(const std::string& name, const std::string& value);
  void UnsetVar(const std::string& name);
  // Forgets every SetVar and UnsetVar (IsolateVars stays).
  void ClearVars();
  void FixNow(int64_t seconds) { now_ = seconds; }
  void FixModTime(std::optional<int64_t> seconds);
  void FailWrites(bool fail) { failWrites_ = fail; }
  // The durability each WriteFileAtomic asked for, in order.
  std::vector<Durability> Durabilities();
  void ServeFile(const std::string& path, FakeFile file);
  void OnRead(const std::string& path, ReadHook hook);
  void UseSockets(platform::SocketSystem& sockets) { sockets_ = &sockets; }
  // Reads made through this Env so far.
  int Reads() const { return reads_.load(); }

  bool GetVar(const char* name, std::string* value) override;
  int64_t NowSeconds() override;
  bool FileModTime(const std::string& path, int64_t* seconds) override;
  bool WriteFileAtomic(const std::string& path, const std::string& data,
                       Durability durability) override;
  std::unique_ptr<platform::IReadFile> OpenRead(const std::string& path) override;
  platform::SocketSystem& Sockets() override;

 private:
  std::mutex m_;
  bool isolated_ = false;
  std::map<std::string, std::optional<std::string>> vars_;  // nullopt: unset
  std::atomic<int64_t> now_{0};
  bool modTimeFixed_ = false;
  std::optional<int64_t> modTime_;
  std::atomic<bool> failWrites_{false};
  std::vector<Durability> durabilities_;  // under m_
  std::map<std::string, FakeFile> served_;
  std::map<std::string, ReadHook> hooks_;
  std::atomic<int> reads_{0};
  platform::SocketSystem* sockets_ = nullptr;
};

}  // namespace testing_support
