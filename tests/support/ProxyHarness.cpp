#include "tests/support/ProxyHarness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace testing_support {

uint16_t FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

namespace {

// Waits for the process behind pidfd to end, at most timeoutMs; true when it did.
bool WaitExit(int pidfd, int timeoutMs) {
  pollfd p{pidfd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}

}  // namespace

ChildProcess::~ChildProcess() {
  Stop();
}

bool ChildProcess::Start(const std::string& cmd, const std::string& logPath,
                         const std::string& readyText, int timeoutMs) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  pid_ = ::fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    ::setpgid(0, 0);
    ::dup2(out[1], 1);
    ::dup2(out[1], 2);
    std::string full = "exec " + cmd;
    ::execl("/bin/sh", "sh", "-c", full.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  FILE* log = std::fopen(logPath.c_str(), "w");
  if (log) std::setvbuf(log, nullptr, _IONBF, 0);  // whole on disk when a test fails
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string seen;
  bool ready = false;
  char buf[4096];
  while (!ready) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    pollfd p{out[0], POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    const ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    if (log) std::fwrite(buf, 1, static_cast<size_t>(n), log);
    seen.append(buf, static_cast<size_t>(n));
    ready = seen.find(readyText) != std::string::npos;
  }
  drain_ = std::thread([fd = out[0], log] {
    char b[4096];
    ssize_t n;
    while ((n = ::read(fd, b, sizeof b)) > 0) {
      if (log) std::fwrite(b, 1, static_cast<size_t>(n), log);
    }
    if (log) std::fclose(log);
    ::close(fd);
  });
  return ready;
}

void ChildProcess::Stop() {
  if (pid_ > 0) {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    ::kill(-pid_, SIGTERM);
    ::kill(pid_, SIGTERM);
    if (pidfd < 0 || !WaitExit(pidfd, 2000)) {
      ::kill(-pid_, SIGKILL);
      ::kill(pid_, SIGKILL);
    }
    if (pidfd >= 0) ::close(pidfd);
    int status;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  // The output pipe ends when every process of the group has ended.
  if (drain_.joinable()) drain_.join();
}

bool TinyProxy::Start(const std::string& dir, uint16_t allowPort, const std::string& auth,
                      const std::string& hostsFile) {
  if (::access("/usr/bin/tinyproxy", X_OK) != 0) return false;
  port_ = FreePort();
  std::string conf = dir + "/tinyproxy-" + std::to_string(port_) + ".conf";
  {
    std::ofstream out(conf);
    out << "Port " << port_ << "\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\n"
        << "ConnectPort " << allowPort << "\nMaxClients 20\nLogLevel Info\n";
    if (!auth.empty()) out << "BasicAuth " << auth << "\n";
  }
  std::string cmd = "/usr/bin/tinyproxy -d -c " + conf;
  if (!hostsFile.empty()) {
    cmd = "unshare -m sh -c 'mount --bind " + hostsFile + " /etc/hosts && exec " + cmd + "'";
  }
  return process_.Start(cmd, conf + ".log", "Accepting connections");
}

bool SshSocks::Start(const std::string& dir) {
  if (::access("/usr/sbin/sshd", X_OK) != 0 || ::access("/usr/bin/ssh", X_OK) != 0) return false;
  std::string keys = "ssh-keygen -q -t ed25519 -N '' -f " + dir + "/host_key && " +
                     "ssh-keygen -q -t ed25519 -N '' -f " + dir + "/user_key && cp " + dir +
                     "/user_key.pub " + dir + "/authorized_keys && mkdir -p /run/sshd";
  if (std::system(keys.c_str()) != 0) return false;
  uint16_t sshPort = FreePort();
  std::string conf = dir + "/sshd_config";
  {
    std::ofstream out(conf);
    out << "Port " << sshPort << "\nListenAddress 127.0.0.1\nHostKey " << dir
        << "/host_key\nAuthorizedKeysFile " << dir
        << "/authorized_keys\nUsePAM no\nStrictModes no\nPermitRootLogin yes\n"
        << "PasswordAuthentication no\nPidFile " << dir << "/sshd.pid\nAllowTcpForwarding yes\n";
  }
  if (!sshd_.Start("/usr/sbin/sshd -D -e -f " + conf, dir + "/sshd.log", "Server listening")) {
    return false;
  }
  socksPort_ = FreePort();
  std::string user = std::getenv("USER") ? std::getenv("USER") : "root";
  std::string ssh = "ssh -v -N -D 127.0.0.1:" + std::to_string(socksPort_) + " -p " +
                    std::to_string(sshPort) + " -i " + dir +
                    "/user_key -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null "
                    "-o BatchMode=yes -o ExitOnForwardFailure=yes " +
                    user + "@127.0.0.1";
  // ssh names the forward before it binds and serves it only once the session is up: a
  // connection made before that is dropped.
  return ssh_.Start(ssh, dir + "/ssh.log", "Entering interactive session");
}

}  // namespace testing_support
