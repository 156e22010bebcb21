// Proxies: the setting's text, the Linux environment variables, the tunnels' exact bytes, and
// real HTTP CONNECT (tinyproxy) and SOCKS4a (OpenSSH) proxies on loopback.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "net/Http.h"
#include "net/ProxySocket.h"
#include "platform/Env.h"
#include "platform/ProcessState.h"
#include "platform/ProxySource.h"
#include "platform/Resolver.h"
#include "tests/support/FakePeer.h"
#include "tests/support/ProxyHarness.h"
#include "tests/support/TempDir.h"

using testing_support::FakePeer;
using testing_support::ReadUntil;
using testing_support::SendText;

namespace {

// An Env whose proxy variables the test sets.
class ProxyEnv : public platform::EnvWrapper {
 public:
  ProxyEnv() : EnvWrapper(platform::Env::Default()) {}
  bool GetVar(const char* name, std::string* value) override {
    auto it = vars.find(name);
    if (it == vars.end()) return false;
    *value = it->second;
    return true;
  }
  std::map<std::string, std::string> vars;
};

class ProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ResetProcessState();
    platform::Process().IdleTimeoutMs = 3000;
    platform::SetEnvForTest(&env_);
  }
  void TearDown() override {
    platform::SetEnvForTest(nullptr);
    platform::ResetProcessState();
  }
  std::string Proxy(const std::string& host) {
    std::string text;
    return platform::SystemProxyString(host, &text) ? text : "direct";
  }
  // A target server that answers every request with "hello".
  std::unique_ptr<FakePeer> Target() {
    return std::make_unique<FakePeer>([](int fd) {
      ReadUntil(fd, "\r\n\r\n");
      SendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    });
  }
  ProxyEnv env_;
  testing_support::TempDir dir_;
};

TEST(ProxyString, FirstEntrySchemeHostAndPort) {
  struct Case {
    const char* text;
    int type;
    const char* host;
    int port;
  } cases[] = {
      {"10.0.0.3:3128", 5, "10.0.0.3", 3128},
      {"http=10.0.0.1:8080;https=10.0.0.9:1", 1, "10.0.0.1", 8080},
      {"SOCKS=10.0.0.2:1080", 3, "10.0.0.2", 1080},
      {"socks=p:1080;http=q:80", 3, "p", 1080},
      {"ftp=h:21", 5, "h", 21},
      {"h:50000", 5, "h", 50000},
      {"h:", 5, "h", 0},
  };
  for (const Case& c : cases) {
    ProxySettings s{};
    ASSERT_TRUE(ParseProxyString(c.text, &s)) << c.text;
    EXPECT_EQ(s.Type, c.type) << c.text;
    EXPECT_STREQ(s.Host, c.host) << c.text;
    EXPECT_EQ(s.Port, c.port) << c.text;
  }
  ProxySettings s{};
  EXPECT_FALSE(ParseProxyString("nocolon", &s));
  EXPECT_FALSE(ParseProxyString("a:1=b", &s));
  EXPECT_FALSE(ParseProxyString((std::string(60, 'h') + ":1").c_str(), &s));
  EXPECT_FALSE(ParseProxyString("h:70000", &s));
  EXPECT_FALSE(ParseProxyString("http=:80", &s));
  // A port without digits is 0: the connect to the proxy fails with code 3.
  CProxySocket socket;
  socket.CreateSocket();
  ASSERT_TRUE(ParseProxyString("127.0.0.1:", &socket.Settings));
  EXPECT_FALSE(socket.ConnectViaProxy("up.corvel.example", 80));
  EXPECT_EQ(socket.LastError, 3);
}

TEST_F(ProxyTest, EnvironmentVariablesAsCurlReadsThem) {
  EXPECT_EQ(Proxy("x.example"), "direct");
  env_.vars["HTTP_PROXY"] = "http://upper:1";
  EXPECT_EQ(Proxy("x.example"), "direct");  // the upper-case http variable does not count
  env_.vars["ALL_PROXY"] = "socks4a://s:1080";
  EXPECT_EQ(Proxy("x.example"), "socks=s:1080");
  env_.vars["all_proxy"] = "socks://t";
  EXPECT_EQ(Proxy("x.example"), "socks=t:1080");
  env_.vars["all_proxy"] = "http://u:pw@a:3128/";
  EXPECT_EQ(Proxy("x.example"), "http=a:3128");
  env_.vars["all_proxy"] = "socks5://s:1";
  EXPECT_EQ(Proxy("x.example"), "direct");
  env_.vars["http_proxy"] = "http://h:8080";
  EXPECT_EQ(Proxy("x.example"), "http=h:8080");
  EXPECT_EQ(Proxy("127.0.0.1"), "http=h:8080");  // loopback is not bypassed by itself
  env_.vars["NO_PROXY"] = "corvel.example, 127.0.0.1";
  EXPECT_EQ(Proxy("up.corvel.example"), "direct");
  EXPECT_EQ(Proxy("corvel.example"), "direct");
  EXPECT_EQ(Proxy("notcorvel.example"), "http=h:8080");
  EXPECT_EQ(Proxy("127.0.0.1"), "direct");
  env_.vars["no_proxy"] = ".other.example";
  EXPECT_EQ(Proxy("up.corvel.example"), "http=h:8080");  // lower case wins
  EXPECT_EQ(Proxy("a.other.example"), "direct");
  env_.vars["no_proxy"] = "*";
  EXPECT_EQ(Proxy("anything"), "direct");
}

TEST_F(ProxyTest, EnvironmentEdgesAsCurlReadsThem) {
  // An empty variable counts as unset.
  env_.vars["http_proxy"] = "";
  env_.vars["all_proxy"] = "";
  env_.vars["ALL_PROXY"] = "socks4://s:9";
  EXPECT_EQ(Proxy("x.example"), "socks=s:9");
  env_.vars["no_proxy"] = "";
  env_.vars["NO_PROXY"] = "x.example";
  EXPECT_EQ(Proxy("x.example"), "direct");
  env_.vars.clear();
  // A missing port is 1080; proxies this client cannot speak to are ignored.
  for (auto [value, expected] : std::map<std::string, std::string>{
           {"http://h", "http=h:1080"},
           {"h:3128", "http=h:3128"},
           {"HTTP://H:1/path?q", "http=H:1"},
           {"https://h:443", "direct"},
           {"http://[::1]:3128", "direct"},
           {"http://h:0", "direct"},
           {"http://h:65536", "direct"},
           {"http://h:80x", "direct"},
           {"http://" + std::string(52, 'h') + ":1", "direct"},
       }) {
    env_.vars["http_proxy"] = value;
    EXPECT_EQ(Proxy("x.example"), expected) << value;
  }
  env_.vars["http_proxy"] = "http://h:8080";
  // no_proxy entries split by commas and blanks; IPv4 ranges; dots at either end; any case.
  env_.vars["no_proxy"] = "10.1.0.0/16 192.168.5.5,,.Corvel.Example.";
  EXPECT_EQ(Proxy("10.1.200.3"), "direct");
  EXPECT_EQ(Proxy("10.2.0.1"), "http=h:8080");
  EXPECT_EQ(Proxy("192.168.5.5"), "direct");
  EXPECT_EQ(Proxy("192.168.5.6"), "http=h:8080");
  EXPECT_EQ(Proxy("UP.corvel.example."), "direct");
  EXPECT_EQ(Proxy("10.1.0.0.evil.example"), "http=h:8080");
  env_.vars["no_proxy"] = "a.example,*";  // "*" counts only alone
  EXPECT_EQ(Proxy("b.example"), "http=h:8080");
}

TEST_F(ProxyTest, NoProxyReachesTheTargetDirectlyAndADeadProxyFailsTheRequest) {
  auto target = Target();
  uint16_t deadPort = testing_support::FreePort();
  env_.vars["http_proxy"] = "http://127.0.0.1:" + std::to_string(deadPort);
  char reply[kReplyBufferSize];
  // No fallback to a direct connection when the proxy cannot be reached.
  EXPECT_FALSE(HttpGet("/x", "127.0.0.1", target->port(), reply));
  EXPECT_EQ(target->Connections(), 0);
  env_.vars["no_proxy"] = "127.0.0.1";
  ASSERT_TRUE(HttpGet("/x", "127.0.0.1", target->port(), reply));
  EXPECT_STREQ(reply, "hello");
}

TEST_F(ProxyTest, ConnectAnswersAreReadToTheirEmptyLineOnly) {
  struct Case {
    const char* name;
    std::string answer;  // sent at once with the server's reply right behind it
    bool ok;
  } cases[] = {
      {"1.1 200 and headers", "HTTP/1.1 200 Connection established\r\nVia: p\r\n\r\n", true},
      {"any case", "http/1.0 200 ok\r\n\r\n", true},
      {"407", "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", false},
      {"not http", "SSH-2.0-OpenSSH\r\n\r\n", false},
      {"never ends", "HTTP/1.1 200 OK\r\n" + std::string(9000, 'x'), false},
  };
  for (const Case& c : cases) {
    FakePeer proxy([&](int fd) {
      ReadUntil(fd, "\r\n\r\n");
      SendText(fd, c.answer + "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nend");
      testing_support::Stall(fd, 2000);
    });
    env_.vars["http_proxy"] = "127.0.0.1:" + std::to_string(proxy.port());
    char reply[kReplyBufferSize];
    bool ok = HttpGet("/p", "up.corvel.example", 80, reply);
    EXPECT_EQ(ok, c.ok) << c.name;
    if (ok) {
      EXPECT_STREQ(reply, "end") << c.name;
    }
  }
}

TEST_F(ProxyTest, TunnelsSendExactBytesAndHonourRefusals) {
  auto target = Target();
  // A scripted HTTP proxy: checks the CONNECT line, then relays to the target by itself.
  std::string connectLine;
  FakePeer connectProxy([&](int fd) {
    connectLine = ReadUntil(fd, "\r\n\r\n");
    SendText(fd, "HTTP/1.0 200 Connection established\r\nProxy-Agent: x\r\n\r\n");
    ReadUntil(fd, "\r\n\r\n");
    SendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nvia");
  });
  env_.vars["http_proxy"] = "http://127.0.0.1:" + std::to_string(connectProxy.port());
  char reply[kReplyBufferSize];
  ASSERT_TRUE(HttpGet("/p", "up.corvel.example", 50000, reply));
  EXPECT_STREQ(reply, "via");
  EXPECT_EQ(connectLine, "CONNECT up.corvel.example:50000 HTTP/1.0\r\n\r\n");

  // A host that would add lines to the CONNECT request never reaches the proxy.
  CProxySocket tunnel;
  ASSERT_TRUE(tunnel.CreateSocket());
  EXPECT_FALSE(tunnel.TunnelHttpConnect("a.example\r\nX-Injected: 1\r\nb.example", 80));
  EXPECT_FALSE(tunnel.TunnelSocks4a("a b.example", 80));
  EXPECT_FALSE(HttpGet("/p", "up.corvel.example x", 50000, reply));
  EXPECT_EQ(connectProxy.Connections(), 1);

  // SOCKS4a: 04 01 port 00 00 00 01 "MORVIK" 00 host 00; granted 00 5A, refused 00 5B.
  for (uint8_t answer : {uint8_t{0x5A}, uint8_t{0x5B}}) {
    std::string request;
    FakePeer socks([&](int fd) {
      request = testing_support::ReadExactly(fd, 16 + std::strlen("up.corvel.example"));
      SendText(fd, std::string("\x00", 1) + static_cast<char>(answer) + std::string(6, '\0'));
      ReadUntil(fd, "\r\n\r\n");
      SendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nsocks");
    });
    env_.vars.clear();
    env_.vars["all_proxy"] = "socks4a://127.0.0.1:" + std::to_string(socks.port());
    bool ok = HttpGet("/p", "up.corvel.example", 8080, reply);
    EXPECT_EQ(request, std::string("\x04\x01\x1f\x90\x00\x00\x00\x01MORVIK\x00", 15) +
                           "up.corvel.example" + std::string(1, '\0'));
    EXPECT_EQ(ok, answer == 0x5A);
    if (ok) {
      EXPECT_STREQ(reply, "socks");
    }
  }
  // A proxy that closes without answering, and one that sends a short reply.
  for (std::string answer : {std::string(), std::string("\x00\x5A", 2)}) {
    FakePeer bad([&](int fd) {
      ReadUntil(fd, std::string(1, '\0') + "up", 64);
      SendText(fd, answer);
    });
    env_.vars["all_proxy"] = "socks4a://127.0.0.1:" + std::to_string(bad.port());
    EXPECT_FALSE(HttpGet("/p", "up.corvel.example", 8080, reply));
  }
}

TEST_F(ProxyTest, TinyproxyTunnelsAndRefuses) {
  auto target = Target();
  testing_support::TinyProxy proxy;
  if (!proxy.Start(dir_.path(), target->port())) GTEST_SKIP() << "tinyproxy not available";
  env_.vars["http_proxy"] = "http://127.0.0.1:" + std::to_string(proxy.port());
  char reply[kReplyBufferSize];
  ASSERT_TRUE(HttpGet("/x", "127.0.0.1", target->port(), reply));
  EXPECT_STREQ(reply, "hello");
  EXPECT_EQ(target->Connections(), 1);
  // A port the proxy does not allow: 403.
  auto other = Target();
  EXPECT_FALSE(HttpGet("/x", "127.0.0.1", other->port(), reply));
  EXPECT_EQ(other->Connections(), 0);
  // A proxy that wants credentials: 407.
  testing_support::TinyProxy authProxy;
  ASSERT_TRUE(authProxy.Start(dir_.path(), target->port(), "user secret"));
  env_.vars["http_proxy"] = "http://127.0.0.1:" + std::to_string(authProxy.port());
  EXPECT_FALSE(HttpGet("/x", "127.0.0.1", target->port(), reply));
}

TEST_F(ProxyTest, TinyproxyResolvesAServiceNameItself) {
  auto target = Target();
  std::string hosts = dir_.File("hosts");
  testing_support::WriteFile(hosts, "127.0.0.1 localhost\n127.0.0.1 up.corvel.example\n");
  testing_support::TinyProxy proxy;
  if (!proxy.Start(dir_.path(), target->port(), "", hosts)) {
    GTEST_SKIP() << "no private mount namespace here";
  }
  env_.vars["http_proxy"] = "http://127.0.0.1:" + std::to_string(proxy.port());
  char reply[kReplyBufferSize];
  ASSERT_TRUE(HttpGet("/x", "up.corvel.example", target->port(), reply));
  EXPECT_STREQ(reply, "hello");
}

TEST_F(ProxyTest, OpenSshDynamicForwardingCarriesSocks4a) {
  auto target = Target();
  testing_support::SshSocks socks;
  if (!socks.Start(dir_.path())) GTEST_SKIP() << "sshd/ssh not available";
  env_.vars["all_proxy"] = "socks4a://127.0.0.1:" + std::to_string(socks.port());
  char reply[kReplyBufferSize];
  ASSERT_TRUE(HttpGet("/x", "localhost", target->port(), reply));
  EXPECT_STREQ(reply, "hello");
  // The name as given reaches the proxy, not this process's overrides.
  platform::AddResolveOverride("nowhere.corvel.example", target->port(), "127.0.0.1");
  EXPECT_FALSE(HttpGet("/x", "nowhere.corvel.example", target->port(), reply));
}

}  // namespace
