// Real proxies for transport tests, started on free loopback ports and stopped with the test:
// tinyproxy (HTTP CONNECT) and OpenSSH's dynamic forwarding (SOCKS4a) to an sshd of the test's
// own. The scripts install both programs; a Start that fails fails the test.
//
// Readiness is read, not guessed: a child's output runs through a pipe into its log file, and
// Start returns once the child has written the line that says it listens (or has ended, or the
// time limit passed). Stopping waits for the child's exit on a process descriptor.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <thread>

namespace testing_support {

// A free TCP port on 127.0.0.1 (bound, read, released).
uint16_t FreePort();

class ChildProcess {
 public:
  ~ChildProcess();
  // Runs cmd through /bin/sh -c in a process group of its own, its output copied to logPath;
  // true once a line of that output holds readyText, within timeoutMs.
  bool Start(const std::string& cmd, const std::string& logPath, const std::string& readyText,
             int timeoutMs = 10000);
  // SIGTERM to the group, then SIGKILL if it has not ended within two seconds.
  void Stop();

 private:
  pid_t pid_ = -1;
  std::thread drain_;  // copies the rest of the output to the log until the child ends
};

class TinyProxy {
 public:
  // allowPort: the only CONNECT port allowed. auth: "user pass" for BasicAuth (407), or "".
  // hostsFile: when set, tinyproxy runs in a private mount namespace with that file over
  // /etc/hosts, so that it resolves names the test chooses.
  bool Start(const std::string& dir, uint16_t allowPort, const std::string& auth = "",
             const std::string& hostsFile = "");
  uint16_t port() const { return port_; }

 private:
  ChildProcess process_;
  uint16_t port_ = 0;
};

class SshSocks {
 public:
  bool Start(const std::string& dir);
  uint16_t port() const { return socksPort_; }

 private:
  ChildProcess sshd_, ssh_;
  uint16_t socksPort_ = 0;
};

}  // namespace testing_support
