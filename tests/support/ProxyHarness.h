// Real proxies for transport tests, started on free loopback ports and stopped with the test:
// tinyproxy (HTTP CONNECT) and OpenSSH's dynamic forwarding (SOCKS4a) to an sshd of the test's
// own. Each Start returns false (and the test skips) when the program is not available.
#pragma once

#include <sys/types.h>

#include <string>

namespace testing_support {

// A free TCP port on 127.0.0.1 (bound, read, released).
uint16_t FreePort();
// Waits until something listens on 127.0.0.1:port.
bool WaitListening(uint16_t port, int timeoutMs);

class ChildProcess {
 public:
  ~ChildProcess();
  // Runs argv through /bin/sh -c cmd, output to logPath.
  bool Start(const std::string& cmd, const std::string& logPath);
  void Stop();

 private:
  pid_t pid_ = -1;
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
