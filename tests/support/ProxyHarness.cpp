#include "tests/support/ProxyHarness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

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

bool WaitListening(uint16_t port, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

ChildProcess::~ChildProcess() {
  Stop();
}

bool ChildProcess::Start(const std::string& cmd, const std::string& logPath) {
  pid_ = ::fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    ::setpgid(0, 0);
    std::string full = "exec " + cmd + " >" + logPath + " 2>&1";
    ::execl("/bin/sh", "sh", "-c", full.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return true;
}

void ChildProcess::Stop() {
  if (pid_ <= 0) return;
  ::kill(-pid_, SIGTERM);
  ::kill(pid_, SIGTERM);
  int status;
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
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
  if (!process_.Start(cmd, conf + ".log")) return false;
  return WaitListening(port_, 5000);
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
  if (!sshd_.Start("/usr/sbin/sshd -D -e -f " + conf, dir + "/sshd.log")) return false;
  if (!WaitListening(sshPort, 5000)) return false;
  socksPort_ = FreePort();
  std::string user = std::getenv("USER") ? std::getenv("USER") : "root";
  std::string ssh = "ssh -N -D 127.0.0.1:" + std::to_string(socksPort_) + " -p " +
                    std::to_string(sshPort) + " -i " + dir +
                    "/user_key -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null "
                    "-o BatchMode=yes -o ExitOnForwardFailure=yes " +
                    user + "@127.0.0.1";
  if (!ssh_.Start(ssh, dir + "/ssh.log")) return false;
  return WaitListening(socksPort_, 8000);
}

}  // namespace testing_support
