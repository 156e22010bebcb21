// The reference server over HTTPS, with a private root made for the test program: curl takes
// every route; a client that fails, stalls or sends garbage costs its own connection only;
// a task's four connections make one full handshake whichever way the session resumes; the
// faults and the drain behave as over plain HTTP; unusable certificate files stop the start.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <functional>
#include <iterator>
#include <memory>

#include "tests/support/TestPki.h"
#include "tests/support/TlsClient.h"
#include "tests/support/server_fixture.h"

using refserver::EndpointFault;
using refserver::ServerStats;
using testing_support::PatternBytes;
using testing_support::RawConnection;
using testing_support::RawReply;
using testing_support::ServerUpload;
using testing_support::TempDir;
using testing_support::TestPki;
using testing_support::TlsClient;
using testing_support::TlsClientOptions;
using testing_support::TlsConnection;

namespace {

constexpr const char* kName = "up.corvel.example";
constexpr int kWaitMs = 5000;

class HttpsServer : public testing_support::ServerTest {
 protected:
  static void SetUpTestSuite() {
    pkiDir_ = new TempDir;
    pki_ = new TestPki(pkiDir_->path());
    leaf_ = pki_->Issue("server", {{kName}, {"127.0.0.1"}});
  }
  static void TearDownTestSuite() {
    delete pki_;
    delete pkiDir_;
  }
  void SetUp() override { Restart(TlsOptions()); }

  refserver::ServerOptions TlsOptions() const {
    refserver::ServerOptions o = DefaultOptions();
    o.tlsCertFile = leaf_.chain;
    o.tlsKeyFile = leaf_.key;
    return o;
  }
  static TlsClientOptions Trusting(const std::string& name = "") {
    TlsClientOptions o;
    o.caFile = pki_->RootFile();
    o.serverName = name;
    return o;
  }
  // curl with only the test's root trusted (the environment names the system's bundle); -i
  // keeps the head, so that RawReply reads the answer.
  RawReply Curl(const std::string& args) {
    const std::string command =
        "env -u SSL_CERT_FILE -u SSL_CERT_DIR -u CURL_CA_BUNDLE curl -sS -i --cacert '" +
        pki_->RootFile() + "' " + args + " 2>&1";
    RawReply r;
    FILE* out = popen(command.c_str(), "r");
    char buf[4096];
    for (size_t n; out != nullptr && (n = fread(buf, 1, sizeof buf, out)) > 0;)
      r.raw.append(buf, n);
    if (out != nullptr) pclose(out);
    return r;
  }
  std::string Url(const std::string& target) const {
    return "'https://127.0.0.1:" + std::to_string(port()) + target + "'";
  }
  // A new file dispatched through get (a target in, the reply out).
  static ServerUpload Dispatched(const std::string& bytes,
                                 const std::function<RawReply(const std::string&)>& get) {
    ServerUpload u{bytes, testing_support::Sha1Hex(bytes),    "",
                   "",    static_cast<int64_t>(bytes.size()), 0};
    u.schema = refserver::BlockSchemaForSize(u.size);
    RawReply d = get(DispatchTarget(u));
    EXPECT_EQ(d.Value("is_need_upload"), "1") << d.raw;
    u.pickCode = d.Value("pickcode");
    u.key = d.Value("key");
    return u;
  }
  static std::string DispatchTarget(const ServerUpload& u) {
    return "/index.php?cmd=upload&sha1=" + u.sha1 + "&size=" + std::to_string(u.size) +
           "&name=f&pick_code=";
  }
  static std::string Target(const char* path, const ServerUpload& u) {
    return std::string(path) + "?sha1=" + u.sha1 + "&filename=" + u.pickCode +
           "&filesize=" + std::to_string(u.size) + "&key=" + u.key;
  }
  static std::string FinTarget(const ServerUpload& u) {
    return Target("/ups/fin", u) + "&block_schema=" + std::to_string(u.schema) +
           "&hashes=" + FinalBlockHash(u.bytes);
  }
  bool WaitFor(const std::function<bool(const ServerStats&)>& ready) {
    return server_->WaitForStats(ready, kWaitMs);
  }

  static inline TempDir* pkiDir_ = nullptr;
  static inline TestPki* pki_ = nullptr;
  static inline TestPki::Leaf leaf_;
};

TEST_F(HttpsServer, CurlTakesEveryRouteOverHttps) {
  ServerUpload u = Dispatched(PatternBytes(300 * 1024, 3),
                              [&](const std::string& target) { return Curl(Url(target)); });
  EXPECT_EQ(Curl(Url(Target("/ups/co", u))).Value("data"), "0");

  // The client's form, counted body only; and an ordinary form for /discard.
  auto req = testing_support::BuildUpload(u.sha1, u.pickCode, u.key, u.size, u.schema, 0, u.bytes,
                                          "B0UND");
  const std::string body = dir_.File("body");
  testing_support::WriteFile(body, req.head.substr(req.head.find("\r\n\r\n") + 4) + req.data);
  const std::string form = "-H 'Content-Type: multipart/form-data; B0UND' --data-binary @" + body;
  struct Step {
    std::string args, value, expected;
  };
  const Step steps[] = {
      {form + " " + Url(Target("/ups/up", u)), "status", "100"},
      {Url(FinTarget(u)), "status", "100"},
      {Url(DispatchTarget(u)), "is_need_upload", "0"},
      {Url("/index.php?cmd=delete&pickcode=" + u.pickCode + "&cookie=c"), "status", "404"},
      {"-F Filedata=@" + body + " " + Url("/discard"), "status", "100"},
      {Url("/nowhere"), "error", "unknown path"},
  };
  for (const Step& s : steps) EXPECT_EQ(Curl(s.args).Value(s.value), s.expected) << s.args;
  EXPECT_NE(Curl(Url("/")).raw.find("Content-Type: text/html"), std::string::npos);
  EXPECT_EQ(testing_support::ReadFile(server_->Store().CompletePath(u.sha1)), u.bytes);
  ServerStats s = server_->Stats();
  EXPECT_EQ(s.tlsHandshakes, 9);
  EXPECT_EQ(s.tlsHandshakeFailures, 0);
  EXPECT_EQ(s.lastTlsVersion, "TLSv1.3");
  EXPECT_EQ(s.lastTlsCipher, "TLS_AES_128_GCM_SHA256");  // the server's first choice
  EXPECT_EQ(s.lastTlsServerName, "");                    // none is sent for an address
}

TEST_F(HttpsServer, AClientThatFailsOrStallsItsHandshakeCostsOneConnection) {
  refserver::ServerOptions o = TlsOptions();
  o.idleTimeoutMs = 400;
  Restart(o);
  TlsClientOptions tls11 = Trusting();
  tls11.minVersion = TLS1_1_VERSION;
  tls11.maxVersion = TLS1_1_VERSION;
  struct Case {
    const char* what;
    std::string raw;                       // sent over plain TCP; "" with a TLS client
    std::unique_ptr<TlsClient> tlsClient;  // a TLS client the server refuses or that refuses it
    bool stalls;  // the raw client then waits: it is still held while the other is served
  };
  Case cases[] = {
      {"plain HTTP", "GET /index.php HTTP/1.1\r\nHost: x\r\n\r\n", nullptr, false},
      {"garbage", std::string(300, '\x16'), nullptr, false},
      {"silence", "", nullptr, true},
      {"half a ClientHello", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11),
       nullptr, true},
      {"TLS 1.1 only", "", std::make_unique<TlsClient>(tls11), false},
      {"an untrusted root", "", std::make_unique<TlsClient>(TlsClientOptions{}), false},
  };
  TlsClient good(Trusting(kName));
  int failures = 0;
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<RawConnection> bad;
    std::unique_ptr<TlsConnection> badTls;
    if (c.tlsClient) {
      badTls = std::make_unique<TlsConnection>(*c.tlsClient, port());
      EXPECT_FALSE(badTls->connected());
    } else {
      bad = std::make_unique<RawConnection>(port());
      ASSERT_TRUE(c.raw.empty() || bad->Send(c.raw));
    }
    // Another client is served meanwhile, on a fresh handshake.
    good.ForgetSession();
    RawReply r = good.Get(port(), "/index.php?cmd=upload");
    EXPECT_EQ(r.Value("status"), "201") << good.handshakeError();
    if (c.stalls) {
      EXPECT_EQ(server_->Stats().tlsHandshakeFailures, failures);
    }
    ++failures;
    EXPECT_TRUE(WaitFor([&](const ServerStats& s) {
      return s.tlsHandshakeFailures == failures && s.openConnections == 0;
    })) << server_->Stats().tlsHandshakeFailures;
    if (bad) {
      RawReply seen = bad->ReadReply(kWaitMs);
      EXPECT_FALSE(seen.timedOut);  // the server closed it
      EXPECT_EQ(seen.raw.find("HTTP/"), std::string::npos);
    }
  }
  EXPECT_EQ(server_->Stats().tlsHandshakes, static_cast<int>(std::size(cases)));
  EXPECT_EQ(server_->Stats().requests["dispatch"], static_cast<int>(std::size(cases)));
}

TEST_F(HttpsServer, ATasksFourConnectionsMakeOneFullHandshake) {
  struct Case {
    const char* what;
    refserver::TlsVersion highest;
    bool tickets;
    const char* version;
  };
  const Case cases[] = {
      {"TLS 1.3 tickets", refserver::TlsVersion::k1_3, true, "TLSv1.3"},
      {"TLS 1.2 tickets", refserver::TlsVersion::k1_2, true, "TLSv1.2"},
      {"TLS 1.2 session ids", refserver::TlsVersion::k1_2, false, "TLSv1.2"},
  };
  uint32_t seed = 70;  // the store is shared: each case a new file
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    refserver::ServerOptions o = TlsOptions();
    o.tlsMaxVersion = c.highest;
    o.tlsTickets = c.tickets;
    Restart(o);
    TlsClient client(Trusting(kName));
    ServerUpload u = Dispatched(PatternBytes(200 * 1024, ++seed), [&](const std::string& target) {
      return client.Get(port(), target);
    });
    EXPECT_EQ(client.Get(port(), Target("/ups/co", u)).Value("data"), "0");
    EXPECT_TRUE(client.lastResumed());
    {
      // The closing line goes out after the answer: the drain takes it, the session stays.
      auto req =
          testing_support::BuildUpload(u.sha1, u.pickCode, u.key, u.size, u.schema, 0, u.bytes);
      TlsConnection up(client, port());
      ASSERT_TRUE(up.Send(req.head + req.data));
      ASSERT_TRUE(up.WaitForData(kWaitMs));
      EXPECT_TRUE(up.Send(req.closing));
      RawReply r = up.ReadReply();
      EXPECT_EQ(r.Value("status"), "100");
      EXPECT_FALSE(r.reset);
    }
    EXPECT_EQ(client.Get(port(), FinTarget(u)).Value("status"), "100");
    ASSERT_TRUE(WaitFor([](const ServerStats& s) { return s.openConnections == 0; }));
    ServerStats s = server_->Stats();
    EXPECT_EQ(s.tlsHandshakes, 4);
    EXPECT_EQ(s.tlsResumed, 3);
    EXPECT_EQ(s.lastTlsVersion, c.version);
    EXPECT_NE(s.lastTlsCipher.find("AES"), std::string::npos);
    EXPECT_NE(s.lastTlsCipher.find("128"), std::string::npos);
    EXPECT_EQ(s.lastTlsServerName, kName);
  }
}

TEST_F(HttpsServer, FaultsAndRefusalsEndAsOverPlainHttp) {
  TlsClient client(Trusting());
  const std::string dispatch = "GET /index.php?cmd=upload&sha1=" + std::string(40, 'A') +
                               "&size=1&name=d HTTP/1.1\r\nHost: h\r\n\r\n";
  Restart(DefaultOptions());  // the fixture's helpers speak plain HTTP; the store stays
  ServerUpload u = NewUpload(PatternBytes(4 << 20, 9));
  Restart(TlsOptions());
  auto req = testing_support::BuildUpload(u.sha1, u.pickCode, u.key, u.size, u.schema, 0, u.bytes);
  auto wrongOffset = testing_support::BuildUpload(u.sha1, u.pickCode, u.key, u.size, u.schema, 1,
                                                  u.bytes.substr(1));
  EndpointFault close, reset;
  close.closeWithoutAnswer = true;
  reset.resetAfterBytes = 1 << 20;
  struct Case {
    const char* what;
    const char* endpoint;  // of the fault; nullptr: none
    EndpointFault fault;
    std::vector<std::string> pieces;
    std::string status;  // "" : no answer
    bool reset;
  };
  const Case cases[] = {
      {"close without answer", "dispatch", close, {dispatch}, "", false},
      {"reset mid-body", "up", reset, {req.head, req.data, req.closing}, "", true},
      {"refused body, drained", nullptr, {}, {wrongOffset.head, wrongOffset.data}, "313", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server_->ClearFaults();
    if (c.endpoint != nullptr) server_->SetFault(c.endpoint, c.fault);
    RawReply r = client.Exchange(port(), c.pieces);
    EXPECT_EQ(r.Value("status"), c.status) << r.raw;
    EXPECT_EQ(r.reset || r.sendFailed, c.reset);
    EXPECT_FALSE(r.timedOut);
  }
  // A stalled request: the client's leaving is seen on the socket below TLS.
  EndpointFault stall;
  stall.stall = true;
  server_->SetFault("dispatch", stall);
  {
    TlsConnection c(client, port());
    ASSERT_TRUE(c.Send(dispatch));
    ASSERT_TRUE(WaitFor([](const ServerStats& s) { return s.requests.count("dispatch") > 0; }));
    EXPECT_FALSE(c.WaitForData(200));
  }
  EXPECT_TRUE(WaitFor([](const ServerStats& s) { return s.openConnections == 0; }));
  EXPECT_EQ(server_->Stats().tlsHandshakeFailures, 0);
}

TEST_F(HttpsServer, UnusableCertificateFilesStopTheStartAndSaySo) {
  const std::string notPem = dir_.File("not.pem");
  testing_support::WriteFile(notPem, "not a certificate");
  struct Case {
    std::string chain, key, named;
  };
  const Case cases[] = {
      {dir_.File("missing.pem"), leaf_.key, "missing.pem"},
      {notPem, leaf_.key, "not.pem"},
      {leaf_.chain, pkiDir_->File("root.key"), "root.key"},
  };
  for (const Case& c : cases) {
    refserver::ServerOptions o = DefaultOptions();
    o.tlsCertFile = c.chain;
    o.tlsKeyFile = c.key;
    refserver::ReferenceServer s(o);
    EXPECT_FALSE(s.Start());
    EXPECT_NE(s.Error().find(c.named), std::string::npos) << s.Error();
  }
}

}  // namespace
