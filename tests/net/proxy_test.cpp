// Proxies: the setting's text, the Linux environment variables, the tunnels' exact bytes, and
// real HTTP CONNECT (tinyproxy) and SOCKS4a (OpenSSH) proxies on loopback.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "net/Http.h"
#include "net/ProxyTunnel.h"
#include "net/TcpStream.h"
#include "platform/Env.h"
#include "platform/ProxySource.h"
#include "tests/support/FakePeer.h"
#include "tests/support/FaultEnv.h"
#include "tests/support/ProxyHarness.h"
#include "tests/support/TempDir.h"
#include "upload/Runtime.h"

using testing_support::FakePeer;
using testing_support::PeerStream;

namespace {

class ProxyTest : public ::testing::Test {
 protected:
  ProxyTest() {
    env_.IsolateVars();  // only the proxy variables each case sets
    runtime_.transport.idleTimeoutMs = 3000;
  }
  Call call() { return Call{runtime_.transport, nullptr}; }
  std::string Proxy(const std::string& host, bool tls = false) {
    std::string text;
    return platform::SystemProxyString(env_, host, tls, &text) ? text : "direct";
  }
  // A target server that answers every request with "hello".
  std::unique_ptr<FakePeer> Target() {
    return std::make_unique<FakePeer>([](PeerStream& p) {
      p.ReadUntil("\r\n\r\n");
      p.Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    });
  }
  testing_support::FaultEnv env_;
  Runtime runtime_{env_};
  testing_support::TempDir dir_;
};

TEST(ProxyString, FirstEntrySchemeHostAndPort) {
  struct Case {
    const char* text;
    ProxyType type;
    const char* host;
    int port;
  } cases[] = {
      {"10.0.0.3:3128", ProxyType::kOther, "10.0.0.3", 3128},
      {"http=10.0.0.1:8080;https=10.0.0.9:1", ProxyType::kHttp, "10.0.0.1", 8080},
      {"SOCKS=10.0.0.2:1080", ProxyType::kSocks, "10.0.0.2", 1080},
      {"socks=p:1080;http=q:80", ProxyType::kSocks, "p", 1080},
      {"ftp=h:21", ProxyType::kOther, "h", 21},
      {"h:50000", ProxyType::kOther, "h", 50000},
      {"h:", ProxyType::kOther, "h", 0},
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
}

TEST_F(ProxyTest, AProxyPortWithoutDigitsFailsTheConnect) {
  ProxySettings s{};
  ASSERT_TRUE(ParseProxyString("127.0.0.1:", &s));
  TcpStream toProxy(call());
  EXPECT_EQ(toProxy.Connect(s.Host, static_cast<uint16_t>(s.Port)).code(),
            platform::StatusCode::kInvalidArgument);
}

TEST_F(ProxyTest, EnvironmentVariablesAsCurlReadsThem) {
  EXPECT_EQ(Proxy("x.example"), "direct");
  env_.SetVar("HTTP_PROXY", "http://upper:1");
  EXPECT_EQ(Proxy("x.example"), "direct");  // the upper-case http variable does not count
  env_.SetVar("ALL_PROXY", "socks4a://s:1080");
  EXPECT_EQ(Proxy("x.example"), "socks=s:1080");
  env_.SetVar("all_proxy", "socks://t");
  EXPECT_EQ(Proxy("x.example"), "socks=t:1080");
  env_.SetVar("all_proxy", "http://u:pw@a:3128/");
  EXPECT_EQ(Proxy("x.example"), "http=a:3128");
  env_.SetVar("all_proxy", "socks5://s:1");
  EXPECT_EQ(Proxy("x.example"), "direct");
  env_.SetVar("http_proxy", "http://h:8080");
  EXPECT_EQ(Proxy("x.example"), "http=h:8080");
  EXPECT_EQ(Proxy("127.0.0.1"), "http=h:8080");  // loopback is not bypassed by itself
  env_.SetVar("NO_PROXY", "corvel.example, 127.0.0.1");
  EXPECT_EQ(Proxy("up.corvel.example"), "direct");
  EXPECT_EQ(Proxy("corvel.example"), "direct");
  EXPECT_EQ(Proxy("notcorvel.example"), "http=h:8080");
  EXPECT_EQ(Proxy("127.0.0.1"), "direct");
  env_.SetVar("no_proxy", ".other.example");
  EXPECT_EQ(Proxy("up.corvel.example"), "http=h:8080");  // lower case wins
  EXPECT_EQ(Proxy("a.other.example"), "direct");
  env_.SetVar("no_proxy", "*");
  EXPECT_EQ(Proxy("anything"), "direct");
}

TEST_F(ProxyTest, HttpsRequestsTakeTheirOwnProxy) {
  env_.SetVar("http_proxy", "http://h:1");
  env_.SetVar("all_proxy", "socks4a://s:2");
  EXPECT_EQ(Proxy("x.example", /*tls=*/true), "socks=s:2");  // http_proxy is for http only
  env_.SetVar("HTTPS_PROXY", "http://H:3");
  EXPECT_EQ(Proxy("x.example", true), "http=H:3");
  env_.SetVar("https_proxy", "t:4");
  EXPECT_EQ(Proxy("x.example", true), "http=t:4");
  EXPECT_EQ(Proxy("x.example"), "http=h:1");
  // A per-protocol list (the Windows setting) gives an https request its https= entry.
  struct Case {
    const char* text;
    bool tls;
    const char* host;
  } cases[] = {{"http=a:1;https=b:2", true, "b"},
               {"http=a:1;https=b:2", false, "a"},
               {"http=a:1;socks=c:3", true, "a"},
               {"HTTPS=d:4", true, "d"}};
  for (const Case& c : cases) {
    env_.ClearVars();
    struct ListEnv : platform::EnvWrapper {
      using EnvWrapper::EnvWrapper;
      bool ProxyString(const std::string&, bool, std::string* t) override {
        *t = text;
        return true;
      }
      std::string text;
    } list(env_);
    list.text = c.text;
    Runtime runtime(list);
    ProxySettings settings{};
    ASSERT_TRUE(DiscoverProxy(Call{runtime.transport, nullptr}, "x.example", c.tls, &settings));
    EXPECT_STREQ(settings.Host, c.host) << c.text;
  }
}

TEST_F(ProxyTest, EnvironmentEdgesAsCurlReadsThem) {
  // An empty variable counts as unset.
  env_.SetVar("http_proxy", "");
  env_.SetVar("all_proxy", "");
  env_.SetVar("ALL_PROXY", "socks4://s:9");
  EXPECT_EQ(Proxy("x.example"), "socks=s:9");
  env_.SetVar("no_proxy", "");
  env_.SetVar("NO_PROXY", "x.example");
  EXPECT_EQ(Proxy("x.example"), "direct");
  env_.ClearVars();
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
    env_.SetVar("http_proxy", value);
    EXPECT_EQ(Proxy("x.example"), expected) << value;
  }
  env_.SetVar("http_proxy", "http://h:8080");
  // no_proxy entries split by commas and blanks; IPv4 ranges; dots at either end; any case.
  env_.SetVar("no_proxy", "10.1.0.0/16 192.168.5.5,,.Corvel.Example.");
  EXPECT_EQ(Proxy("10.1.200.3"), "direct");
  EXPECT_EQ(Proxy("10.2.0.1"), "http=h:8080");
  EXPECT_EQ(Proxy("192.168.5.5"), "direct");
  EXPECT_EQ(Proxy("192.168.5.6"), "http=h:8080");
  EXPECT_EQ(Proxy("UP.corvel.example."), "direct");
  EXPECT_EQ(Proxy("10.1.0.0.evil.example"), "http=h:8080");
  env_.SetVar("no_proxy", "a.example,*");  // "*" counts only alone
  EXPECT_EQ(Proxy("b.example"), "http=h:8080");
}

TEST_F(ProxyTest, NoProxyReachesTheTargetDirectlyAndADeadProxyFailsTheRequest) {
  auto target = Target();
  uint16_t deadPort = testing_support::FreePort();
  env_.SetVar("http_proxy", "http://127.0.0.1:" + std::to_string(deadPort));
  char reply[kReplyBufferSize];
  // No fallback to a direct connection when the proxy cannot be reached.
  EXPECT_FALSE(HttpGet(call(), "/x", {Scheme::kHttp, "127.0.0.1", target->port()}, reply).ok());
  EXPECT_EQ(target->Connections(), 0);
  env_.SetVar("no_proxy", "127.0.0.1");
  ASSERT_TRUE(HttpGet(call(), "/x", {Scheme::kHttp, "127.0.0.1", target->port()}, reply).ok());
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
    FakePeer proxy([&](PeerStream& p) {
      p.ReadUntil("\r\n\r\n");
      p.Send(c.answer + "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nend");
      p.Stall(2000);
    });
    env_.SetVar("http_proxy", "127.0.0.1:" + std::to_string(proxy.port()));
    char reply[kReplyBufferSize];
    bool ok = HttpGet(call(), "/p", {Scheme::kHttp, "up.corvel.example", 80}, reply).ok();
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
  FakePeer connectProxy([&](PeerStream& p) {
    connectLine = p.ReadUntil("\r\n\r\n");
    p.Send("HTTP/1.0 200 Connection established\r\nProxy-Agent: x\r\n\r\n");
    p.ReadUntil("\r\n\r\n");
    p.Send("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nvia");
  });
  env_.SetVar("http_proxy", "http://127.0.0.1:" + std::to_string(connectProxy.port()));
  char reply[kReplyBufferSize];
  ASSERT_TRUE(HttpGet(call(), "/p", {Scheme::kHttp, "up.corvel.example", 50000}, reply).ok());
  EXPECT_STREQ(reply, "via");
  EXPECT_EQ(connectLine, "CONNECT up.corvel.example:50000 HTTP/1.0\r\n\r\n");

  // A host that would add lines to the CONNECT request never reaches the proxy.
  TcpStream unconnected(call());
  EXPECT_EQ(OpenConnectTunnel(unconnected, "a.example\r\nX-Injected: 1\r\nb.example", 80).code(),
            platform::StatusCode::kInvalidArgument);
  EXPECT_EQ(OpenSocks4aTunnel(unconnected, "a b.example", 80).code(),
            platform::StatusCode::kInvalidArgument);
  EXPECT_FALSE(HttpGet(call(), "/p", {Scheme::kHttp, "up.corvel.example x", 50000}, reply).ok());
  EXPECT_EQ(connectProxy.Connections(), 1);

  // SOCKS4a: 04 01 port 00 00 00 01 "MORVIK" 00 host 00; granted 00 5A, refused 00 5B.
  for (uint8_t answer : {uint8_t{0x5A}, uint8_t{0x5B}}) {
    std::string request;
    FakePeer socks([&](PeerStream& p) {
      request = p.ReadExactly(16 + std::strlen("up.corvel.example"));
      p.Send(std::string("\x00", 1) + static_cast<char>(answer) + std::string(6, '\0'));
      p.ReadUntil("\r\n\r\n");
      p.Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nsocks");
    });
    env_.ClearVars();
    env_.SetVar("all_proxy", "socks4a://127.0.0.1:" + std::to_string(socks.port()));
    bool ok = HttpGet(call(), "/p", {Scheme::kHttp, "up.corvel.example", 8080}, reply).ok();
    EXPECT_EQ(request, std::string("\x04\x01\x1f\x90\x00\x00\x00\x01MORVIK\x00", 15) +
                           "up.corvel.example" + std::string(1, '\0'));
    EXPECT_EQ(ok, answer == 0x5A);
    if (ok) {
      EXPECT_STREQ(reply, "socks");
    }
  }
  // A proxy that closes without answering, and one that sends a short reply.
  for (std::string answer : {std::string(), std::string("\x00\x5A", 2)}) {
    FakePeer bad([&](PeerStream& p) {
      p.ReadUntil(std::string(1, '\0') + "up", 64);
      p.Send(answer);
    });
    env_.SetVar("all_proxy", "socks4a://127.0.0.1:" + std::to_string(bad.port()));
    EXPECT_FALSE(HttpGet(call(), "/p", {Scheme::kHttp, "up.corvel.example", 8080}, reply).ok());
  }
}

TEST_F(ProxyTest, TinyproxyTunnelsAndRefuses) {
  auto target = Target();
  testing_support::TinyProxy proxy;
  ASSERT_TRUE(proxy.Start(dir_.path(), target->port())) << "tinyproxy did not start";
  env_.SetVar("http_proxy", "http://127.0.0.1:" + std::to_string(proxy.port()));
  char reply[kReplyBufferSize];
  ASSERT_TRUE(HttpGet(call(), "/x", {Scheme::kHttp, "127.0.0.1", target->port()}, reply).ok());
  EXPECT_STREQ(reply, "hello");
  EXPECT_EQ(target->Connections(), 1);
  // A port the proxy does not allow: 403.
  auto other = Target();
  EXPECT_FALSE(HttpGet(call(), "/x", {Scheme::kHttp, "127.0.0.1", other->port()}, reply).ok());
  EXPECT_EQ(other->Connections(), 0);
  // A proxy that wants credentials: 407.
  testing_support::TinyProxy authProxy;
  ASSERT_TRUE(authProxy.Start(dir_.path(), target->port(), "user secret"));
  env_.SetVar("http_proxy", "http://127.0.0.1:" + std::to_string(authProxy.port()));
  EXPECT_FALSE(HttpGet(call(), "/x", {Scheme::kHttp, "127.0.0.1", target->port()}, reply).ok());
}

TEST_F(ProxyTest, TinyproxyResolvesAServiceNameItself) {
  auto target = Target();
  std::string hosts = dir_.File("hosts");
  testing_support::WriteFile(hosts, "127.0.0.1 localhost\n127.0.0.1 up.corvel.example\n");
  testing_support::TinyProxy proxy;
  ASSERT_TRUE(proxy.Start(dir_.path(), target->port(), "", hosts))
      << "tinyproxy did not start in a mount namespace of its own";
  env_.SetVar("http_proxy", "http://127.0.0.1:" + std::to_string(proxy.port()));
  char reply[kReplyBufferSize];
  ASSERT_TRUE(
      HttpGet(call(), "/x", {Scheme::kHttp, "up.corvel.example", target->port()}, reply).ok());
  EXPECT_STREQ(reply, "hello");
}

TEST_F(ProxyTest, OpenSshDynamicForwardingCarriesSocks4a) {
  auto target = Target();
  testing_support::SshSocks socks;
  ASSERT_TRUE(socks.Start(dir_.path())) << "sshd or ssh did not start";
  env_.SetVar("all_proxy", "socks4a://127.0.0.1:" + std::to_string(socks.port()));
  char reply[kReplyBufferSize];
  ASSERT_TRUE(HttpGet(call(), "/x", {Scheme::kHttp, "localhost", target->port()}, reply).ok());
  EXPECT_STREQ(reply, "hello");
  // The name as given reaches the proxy, not this process's overrides.
  runtime_.resolver.Add("nowhere.corvel.example", target->port(), "127.0.0.1");
  EXPECT_FALSE(
      HttpGet(call(), "/x", {Scheme::kHttp, "nowhere.corvel.example", target->port()}, reply).ok());
}

}  // namespace
