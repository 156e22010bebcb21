// The TLS layer over the in-memory twin of the sockets, against an OpenSSL server scripted in
// the test: records in pieces of every size, verification refusals with proof that no request
// reached the server, the ends of replies with and without close_notify, a stalled or
// cancelled handshake, and session reuse.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "net/Http.h"
#include "tests/support/FaultEnv.h"
#include "tests/support/MemorySockets.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPki.h"
#include "tests/support/TlsPeer.h"
#include "upload/Runtime.h"

using platform::Status;
using platform::StatusCode;
using testing_support::MemorySockets;
using testing_support::PeerStream;
using testing_support::TestPki;
using testing_support::TlsPeerContext;
using testing_support::TlsPeerSession;

namespace {

constexpr const char* kHost = "dispatch.corvel.example";
const std::string kReply = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";

class TlsTest : public ::testing::Test {
 protected:
  TlsTest() {
    env_.UseSockets(net_);
    env_.IsolateVars();
    runtime_.transport.idleTimeoutMs = 3000;
    net_.Name(kHost, "127.0.0.1");
    net_.Name("127.0.0.1", "127.0.0.1");
    runtime_.transport.SetTrust({pki_.RootFile()});
  }

  TlsPeerContext::Options Server(const TestPki::LeafSpec& spec, TestPki& pki) {
    const TestPki::Leaf leaf = pki.Issue("leaf" + std::to_string(++leaves_), spec);
    return {leaf.chain, leaf.key};
  }
  TlsPeerContext::Options Server() { return Server({{kHost}}, pki_); }

  // A TLS server on the twin: a handshake, then script(session). Records whether any request
  // bytes arrived.
  uint16_t Serve(TlsPeerContext& context, std::function<void(TlsPeerSession&)> script,
                 size_t piece = 0) {
    return net_.Listen([this, &context, script, piece](PeerStream& p) {
      TlsPeerSession s(context, p, piece);
      if (!s.Accept()) return;
      script(s);
    });
  }
  // Reads the request (noting it) and answers reply; ends with close_notify when notify.
  std::function<void(TlsPeerSession&)> Answer(const std::string& reply, bool notify = true) {
    return [this, reply, notify](TlsPeerSession& s) {
      Note(s.ReadUntil("\r\n\r\n"));
      s.Send(reply);
      s.Close(notify);
    };
  }
  void Note(const std::string& request) {
    std::lock_guard<std::mutex> g(m_);
    requests_.push_back(request);
  }
  size_t Requests() {
    std::lock_guard<std::mutex> g(m_);
    return requests_.size();
  }

  Status Get(uint16_t port, std::string* body = nullptr, const char* host = kHost,
             const std::atomic<bool>* cancel = nullptr) {
    char reply[kReplyBufferSize];
    Status s = HttpGet(Call{runtime_.transport, cancel}, "/index.php?cmd=upload",
                       {Scheme::kHttps, host, port}, reply);
    if (body) *body = s.ok() ? reply : "";
    return s;
  }

  MemorySockets net_;
  testing_support::FaultEnv env_;
  Runtime runtime_{env_};
  testing_support::TempDir dir_;
  TestPki pki_{dir_.path()};
  int leaves_ = 0;
  std::mutex m_;
  std::vector<std::string> requests_;
};

TEST_F(TlsTest, RecordsInPiecesOfEverySizeCarryTheSameRequestAndReply) {
  TlsPeerContext context(Server());
  for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{7}, size_t{64},
                       size_t{1000}, size_t{5000}, size_t{0}}) {
    const uint16_t port = Serve(context, Answer(kReply), piece);
    std::string body;
    const Status s = Get(port, &body);
    EXPECT_TRUE(s.ok()) << piece << ": " << s.text();
    EXPECT_EQ(body, "hello") << piece;
  }
  ASSERT_EQ(Requests(), 9u);
  // Inside TLS the request is byte for byte the plain one.
  EXPECT_EQ(requests_[0], std::string("GET /index.php?cmd=upload HTTP/1.1\r\nHost: ") + kHost +
                              "\r\nUser-Agent: UCorvelClient\r\n\r\n");
}

TEST_F(TlsTest, RefusedCertificatesSayWhyAndNoRequestLeaves) {
  testing_support::TempDir otherDir;
  TestPki stranger(otherDir.path(), "Stranger");
  using V = TestPki::Validity;
  struct Case {
    TestPki::LeafSpec spec;
    TestPki* issuer;
    const char* host;
    StatusCode code;
    std::string text;
  } cases[] = {
      {{{kHost}},
       &stranger,
       kHost,
       StatusCode::kTlsCertificate,
       std::string("the certificate of ") + kHost +
           " is not trusted (unable to get local issuer certificate)"},
      {{{"other.corvel.example"}},
       &pki_,
       kHost,
       StatusCode::kTlsName,
       std::string("the certificate of ") + kHost + " names other hosts"},
      {{{kHost}, {}, V::kExpired},
       &pki_,
       kHost,
       StatusCode::kTlsCertificate,
       std::string("the certificate of ") + kHost + " has expired"},
      {{{kHost}, {}, V::kNotYetValid},
       &pki_,
       kHost,
       StatusCode::kTlsCertificate,
       std::string("the certificate of ") + kHost + " is not valid yet"},
      // An address is matched against the IP entries only.
      {{{"127.0.0.1"}},
       &pki_,
       "127.0.0.1",
       StatusCode::kTlsName,
       "the certificate of 127.0.0.1 names other hosts"},
  };
  for (Case& c : cases) {
    TlsPeerContext context(Server(c.spec, *c.issuer));
    const uint16_t port = Serve(context, Answer(kReply));
    const Status s = Get(port, nullptr, c.host);
    EXPECT_EQ(s.code(), c.code) << c.text;
    EXPECT_EQ(s.text(), c.text);
    EXPECT_TRUE(net_.AwaitHandlersDone(port, 5000));
  }
  EXPECT_EQ(Requests(), 0u);
  // The good cases of the same rules: an address entry, and a wildcard.
  TlsPeerContext byAddress(Server({{"x.corvel.example"}, {"127.0.0.1"}}, pki_));
  EXPECT_TRUE(Get(Serve(byAddress, Answer(kReply)), nullptr, "127.0.0.1").ok());
  TlsPeerContext wildcard(Server({{"*.corvel.example"}}, pki_));
  EXPECT_TRUE(Get(Serve(wildcard, Answer(kReply))).ok());
}

TEST_F(TlsTest, PeersThatDoNotSpeakModernTlsAreRefused) {
  // A plain HTTP server on the port answers the ClientHello with an error page.
  const uint16_t plain = net_.Listen([](PeerStream& p) {
    p.Take(4096, PeerStream::kReadTimeoutMs);
    p.Send("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
  });
  Status s = Get(plain);
  EXPECT_EQ(s.code(), StatusCode::kTlsHandshake);
  EXPECT_EQ(s.text(), "dispatch.corvel.example:" + std::to_string(plain) + " does not speak TLS");

  TlsPeerContext::Options old = Server();
  old.minVersion = TLS1_VERSION;
  old.maxVersion = TLS1_1_VERSION;
  TlsPeerContext oldContext(old);
  const uint16_t oldPort = Serve(oldContext, Answer(kReply));
  s = Get(oldPort);
  EXPECT_EQ(s.code(), StatusCode::kTlsHandshake);
  EXPECT_EQ(s.text(), "dispatch.corvel.example:" + std::to_string(oldPort) +
                          " offers no TLS version from 1.2 up");
  EXPECT_EQ(Requests(), 0u);
}

TEST_F(TlsTest, AReplyEndsByItsFramingOrByCloseNotifyNeverByABareClose) {
  TlsPeerContext context(Server());
  const std::string unframed = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nhello";
  struct Case {
    std::function<void(TlsPeerSession&)> script;
    bool ok;
  } cases[] = {
      {Answer(kReply, /*notify=*/false), true},   // framed: whole without close_notify
      {Answer(unframed, /*notify=*/true), true},  // ended by close_notify
      {Answer(unframed, /*notify=*/false), false},
      {[&](TlsPeerSession& s) {  // a record cut off, then a close
         s.ReadUntil("\r\n\r\n");
         s.SendCut(kReply, 20);
       },
       false},
  };
  for (Case& c : cases) {
    std::string body;
    const Status s = Get(Serve(context, c.script), &body);
    EXPECT_EQ(s.ok(), c.ok) << s.text();
    if (c.ok) {
      EXPECT_EQ(body, "hello");
    } else {
      EXPECT_EQ(s.code(), StatusCode::kConnectionLost) << s.text();
    }
  }
}

TEST_F(TlsTest, AHandshakeThatStallsTimesOutAndOneCutShortFails) {
  runtime_.transport.idleTimeoutMs = 300;
  const uint16_t silent = net_.Listen([](PeerStream& p) { p.Stall(10000); });
  Status s = Get(silent);
  EXPECT_EQ(s.code(), StatusCode::kTimedOut) << s.text();

  // A handshake record that announces 4096 bytes and brings 100, then a close.
  const uint16_t cut = net_.Listen([](PeerStream& p) {
    p.Take(4096, PeerStream::kReadTimeoutMs);
    p.Send(std::string("\x16\x03\x03\x10\x00", 5) + std::string(100, '\0'));
  });
  s = Get(cut);
  EXPECT_EQ(s.code(), StatusCode::kTlsHandshake) << s.text();
}

TEST_F(TlsTest, CancelEndsAHandshakeInFlight) {
  runtime_.transport.idleTimeoutMs = 0;  // only the cancel ends the wait
  const uint16_t silent = net_.Listen([](PeerStream& p) { p.Stall(20000); });
  std::atomic<bool> cancel{false};
  Status s;
  std::thread worker([&] { s = Get(silent, nullptr, kHost, &cancel); });
  ASSERT_TRUE(net_.AwaitConnects(silent, 1, 5000));
  cancel = true;
  worker.join();
  EXPECT_EQ(s.code(), StatusCode::kCancelled);
}

TEST_F(TlsTest, FourRequestsToOneServerMakeOneFullHandshake) {
  for (int maxVersion : {0, TLS1_2_VERSION}) {
    TlsPeerContext::Options options = Server();
    options.maxVersion = maxVersion;
    TlsPeerContext context(options);
    const uint16_t port = Serve(context, Answer(kReply));
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(Get(port).ok());
    EXPECT_EQ(context.Handshakes(), 4);
    EXPECT_EQ(context.Resumed(), 3) << "max version " << maxVersion;
  }
}

}  // namespace
