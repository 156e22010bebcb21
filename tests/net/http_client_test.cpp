// The HTTP client against scripted peers: the exact request bytes, reply framing, time-outs,
// resets, the cancel hook, and the socket error codes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "net/Cancel.h"
#include "net/Http.h"
#include "net/Socket.h"
#include "platform/Diagnostics.h"
#include "platform/Env.h"
#include "platform/ProcessState.h"
#include "platform/Resolver.h"
#include "tests/support/FakePeer.h"
#include "tests/support/TempDir.h"

using testing_support::FakePeer;
using testing_support::ReadUntil;
using testing_support::SendText;

namespace {

// The real environment without its proxy variables: these requests always go direct.
class DirectEnv : public platform::EnvWrapper {
 public:
  DirectEnv() : EnvWrapper(platform::Env::Default()) {}
  bool ProxyString(const std::string&, std::string*) override { return false; }
};

class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ResetProcessState();
    platform::Process().IdleTimeoutMs = 400;
    platform::Process().ConnectTimeoutMs = 1000;
    platform::SetEnvForTest(&env_);
  }
  void TearDown() override {
    platform::SetEnvForTest(nullptr);
    platform::SetDiagnosticSink(nullptr);
    platform::ResetProcessState();
  }
  DirectEnv env_;

  // A peer that reads the request head and answers with reply.
  std::unique_ptr<FakePeer> Answering(std::string reply) {
    return std::make_unique<FakePeer>([this, reply](int fd) {
      Record(ReadUntil(fd, "\r\n\r\n"));
      SendText(fd, reply);
    });
  }
  void Record(const std::string& s) {
    std::lock_guard<std::mutex> g(m_);
    requests_.push_back(s);
  }
  std::string Get(uint16_t port, bool* ok = nullptr) {
    char reply[kReplyBufferSize];
    std::memset(reply, 'x', sizeof reply);
    bool r = HttpGet("/p?a=1", "127.0.0.1", port, reply);
    if (ok) *ok = r;
    return r ? std::string(reply) : "<failed>";
  }
  std::mutex m_;
  std::vector<std::string> requests_;
};

TEST_F(HttpClientTest, GetSendsExactlyTheRequestLineHostAndUserAgent) {
  auto peer = Answering("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  platform::AddResolveOverride("up.corvel.example", peer->port(), "127.0.0.1");
  char reply[kReplyBufferSize];
  ASSERT_TRUE(HttpGet("/ups/co?sha1=AB&key=k", "up.corvel.example", peer->port(), reply));
  EXPECT_STREQ(reply, "ok");
  peer.reset();
  ASSERT_EQ(requests_.size(), 1u);
  EXPECT_EQ(requests_[0],
            "GET /ups/co?sha1=AB&key=k HTTP/1.1\r\nHost: up.corvel.example\r\n"
            "User-Agent: UCorvelClient\r\n\r\n");
}

TEST_F(HttpClientTest, ReplyFraming) {
  struct Case {
    const char* name;
    std::string reply;
    std::string body;
  } cases[] = {
      {"length then close", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", "hello"},
      {"close ends body", "HTTP/1.1 200 OK\r\n\r\nto the end", "to the end"},
      {"one chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
       "hello"},
      {"several chunks",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nhel\r\n2\r\nlo\r\n0\r\n\r\n",
       "hello"},
      {"chunked wins over length",
       "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: chunked\r\n\r\n"
       "2\r\nok\r\n0\r\n\r\n",
       "ok"},
      {"bad hex", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n",
       ""},
      {"chunk size overflow",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFF\r\nab\r\n0\r\n\r\n", ""},
      {"premature close in chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n9\r\nabc",
       ""},
      {"404", "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nno!", ""},
      {"1.0", "HTTP/1.0 200 OK\r\n\r\nold", "old"},
      {"reason in other case", "HTTP/1.1 200 Ok\r\n\r\nfine", "fine"},
      {"truncated length body", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", ""},
      {"bad length", "HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\nabc", ""},
      {"cut inside headers", "HTTP/1.1 200 OK\r\nContent-Len", ""},
      {"NUL in a header", std::string("HTTP/1.1 200 OK\r\nX: a\0b\r\n\r\nbody", 28), ""},
      {"closed without data", "", ""},
      {"header names in lower case",
       "HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", "ok"},
      {"chunk extension and trailer",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3;x=1\r\nabc\r\n"
       "0\r\nX-Sum: 1\r\n\r\n",
       "abc"},
      {"chunk data holding CR LF 0",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
       "5\r\na\r\n0b\r\n0\r\n\r\n",
       "a\r\n0b"},
      {"closed right after the last chunk",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n", "ok"},
      {"interim 100 first", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\nafter", "after"},
      {"a 200 line in the body of a 404",
       "HTTP/1.1 404 Not Found\r\n\r\nHTTP/1.1 200 OK\r\n\r\nfake", ""},
      {"status 2000", "HTTP/1.1 2000 OK\r\n\r\nno", ""},
      {"headers never end", "HTTP/1.1 200 OK\r\nX: y\r\nbody", ""},
  };
  for (const Case& c : cases) {
    auto peer = Answering(c.reply);
    bool ok = false;
    EXPECT_EQ(Get(peer->port(), &ok), c.body) << c.name;
    EXPECT_TRUE(ok) << c.name;
  }
}

// HTTP/1.1 servers keep the connection open after a framed reply: the framing must end the read
// (the peer stalls far beyond the idle time-out, which would fail the request).
TEST_F(HttpClientTest, FramedRepliesEndWithoutAClose) {
  platform::Process().IdleTimeoutMs = 300;
  struct Case {
    const char* name;
    std::string reply;
    std::string body;
  } cases[] = {
      {"length", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", "ok"},
      {"404 with length", "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found", ""},
      {"chunked with trailer",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\nX: 1\r\n\r\n", "ok"},
      {"204", "HTTP/1.1 204 No Content\r\n\r\n", ""},
  };
  for (const Case& c : cases) {
    FakePeer peer([&](int fd) {
      ReadUntil(fd, "\r\n\r\n");
      // In small pieces, so the reply is whole only at its last byte.
      for (size_t i = 0; i < c.reply.size(); i += 7) SendText(fd, c.reply.substr(i, 7));
      testing_support::Stall(fd, 3000);
    });
    bool ok = false;
    EXPECT_EQ(Get(peer.port(), &ok), c.body) << c.name;
    EXPECT_TRUE(ok) << c.name;
  }
}

TEST_F(HttpClientTest, GetWritesItsReplyToTheDebuggerBehindItsPrefix) {
  std::vector<std::string> lines;
  std::mutex m;
  platform::SetDiagnosticSink([&](platform::DiagChannel ch, std::string_view text) {
    std::lock_guard<std::mutex> g(m);
    if (ch == platform::DiagChannel::kDebugger) lines.emplace_back(text);
  });
  const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  auto peer = Answering(reply);
  EXPECT_EQ(Get(peer->port()), "ok");
  std::lock_guard<std::mutex> g(m);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "\x47\x45\x54\xB7\xB5\xBB\xD8");
  EXPECT_EQ(lines[1], reply);
}

TEST_F(HttpClientTest, TerminatorSplitAcrossReceivesEndsTheReply) {
  FakePeer peer([](int fd) {
    ReadUntil(fd, "\r\n\r\n");
    SendText(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    SendText(fd, "\n\r\n");
    testing_support::Stall(fd, 3000);  // keeps the connection open: the terminator must end it
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Get(peer.port()), "ok");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(HttpClientTest, StalledOversizedOrResetRepliesFail) {
  {
    FakePeer stall([](int fd) {
      ReadUntil(fd, "\r\n\r\n");
      testing_support::Stall(fd, 3000);
    });
    bool ok = true;
    Get(stall.port(), &ok);
    EXPECT_FALSE(ok) << "idle time-out";
  }
  {
    auto big = Answering("HTTP/1.1 200 OK\r\n\r\n" + std::string(6000, 'a'));
    bool ok = true;
    Get(big->port(), &ok);
    EXPECT_FALSE(ok) << "oversized";
  }
  {
    FakePeer reset([](int fd) {
      ReadUntil(fd, "\r\n\r\n");
      SendText(fd, "HTTP/1.1 200 OK\r\n");
      testing_support::ResetConnection(fd);
    });
    bool ok = true;
    Get(reset.port(), &ok);
    EXPECT_FALSE(ok) << "reset";
  }
}

TEST_F(HttpClientTest, CancelCutsARequestShortAtOnce) {
  platform::Process().IdleTimeoutMs = 60000;
  FakePeer stall([](int fd) {
    ReadUntil(fd, "\r\n\r\n");
    testing_support::Stall(fd, 5000);
  });
  std::atomic<bool> cancel{false};
  std::atomic<bool> result{true};
  std::thread worker([&] {
    ScopedCancelFlag scope(&cancel);
    char reply[kReplyBufferSize];
    result = HttpGet("/", "127.0.0.1", stall.port(), reply);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto start = std::chrono::steady_clock::now();
  cancel = true;
  worker.join();
  EXPECT_FALSE(result);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

// The body sender: progress per piece of at most 8000 bytes, recorded from the file's start.
class Pieces : public IBodyProgress {
 public:
  bool StopRequested() override {
    return stopAfter >= 0 && static_cast<int>(seen.size()) >= stopAfter;
  }
  void PieceSent(int64_t t) override { seen.push_back(t); }
  std::vector<int64_t> seen;
  int stopAfter = -1;
};

class PostTest : public HttpClientTest {
 protected:
  // Posts path from offset to a recording peer; returns the bytes the peer received.
  std::string Post(const std::string& path, int64_t fileSize, int64_t offset, Pieces& pieces,
                   bool* ok) {
    std::string received;
    FakePeer peer([&](int fd) {
      received = testing_support::ReadAll(fd, 500);
      SendText(fd, "HTTP/1.1 200 OK\r\n\r\n<ups><cmd>up</cmd><status>100</status></ups>");
    });
    char reply[kReplyBufferSize];
    *ok = HttpPostFile(path.c_str(), pieces, "127.0.0.1", peer.port(), "/ups/up?x=1", "HEAD", "--B",
                       fileSize, offset, reply);
    return received;
  }
  testing_support::TempDir dir_;
};

TEST_F(PostTest, ExactBytesForOffsetsAtTheStartMiddleAndEnd) {
  platform::Process().IdleTimeoutMs = 2000;
  std::string path = dir_.File("f");
  std::string data(20000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  testing_support::WriteFile(path, data);
  for (int64_t offset : {int64_t{0}, int64_t{12345}, int64_t{20000}}) {
    Pieces pieces;
    bool ok = false;
    std::string got = Post(path, 20000, offset, pieces, &ok);
    ASSERT_TRUE(ok) << offset;
    std::string expected = "POST /ups/up?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                           std::to_string(4 + 20000 - offset) +
                           "\r\nContent-Type: multipart/form-data; --B\r\n"
                           "User-Agent: UCorvelClient\r\n\r\nHEAD" +
                           data.substr(static_cast<size_t>(offset)) + "\r\n--B--";
    EXPECT_EQ(got, expected) << offset;
    if (offset == 0) {
      EXPECT_EQ(pieces.seen, (std::vector<int64_t>{8000, 16000, 20000}));
    } else if (offset == 20000) {
      EXPECT_TRUE(pieces.seen.empty());
    } else {
      EXPECT_EQ(pieces.seen.back(), 20000);
    }
  }
}

TEST_F(PostTest, StopRequestsAndChangedFilesFail) {
  platform::Process().IdleTimeoutMs = 2000;
  std::string path = dir_.File("f");
  testing_support::WritePatternFile(path, 100000);
  Pieces stop;
  stop.stopAfter = 0;
  bool ok = true;
  Post(path, 100000, 0, stop, &ok);
  EXPECT_FALSE(ok);
  // The file is no longer the size the request announces.
  Pieces pieces;
  Post(path, 90000, 0, pieces, &ok);
  EXPECT_FALSE(ok);
  Post(dir_.File("missing"), 10, 0, pieces, &ok);
  EXPECT_FALSE(ok);
}

// Changes the file on disk after its first piece has gone.
class ChangingFile : public Pieces {
 public:
  explicit ChangingFile(std::string path, int64_t newSize) : path_(path), newSize_(newSize) {}
  void PieceSent(int64_t t) override {
    if (seen.empty()) {
      EXPECT_EQ(::truncate(path_.c_str(), newSize_), 0);
    }
    Pieces::PieceSent(t);
  }

 private:
  std::string path_;
  int64_t newSize_;
};

TEST_F(PostTest, AFileThatChangesWhileSentNeverBreaksTheFraming) {
  platform::Process().IdleTimeoutMs = 2000;
  std::string path = dir_.File("f");
  std::string data(100000, 'd');
  testing_support::WriteFile(path, data);
  // Shrinks: the announced length can no longer be sent, so the request fails.
  ChangingFile shrinking(path, 50000);
  bool ok = true;
  std::string got = Post(path, 100000, 0, shrinking, &ok);
  EXPECT_FALSE(ok);
  EXPECT_LT(got.size(), 100000u);
  // Grows: only the announced bytes go out, then the tail.
  testing_support::WriteFile(path, data);
  ChangingFile growing(path, 150000);
  got = Post(path, 100000, 0, growing, &ok);
  EXPECT_TRUE(ok);
  ASSERT_NE(got.find("\r\n\r\n"), std::string::npos);
  EXPECT_EQ(got.substr(got.find("\r\n\r\n") + 4), "HEAD" + data + "\r\n--B--");
}

TEST_F(PostTest, AnOffsetBeyondTheFileIsRefusedBeforeConnecting) {
  std::string path = dir_.File("f");
  testing_support::WriteFile(path, "0123456789");
  FakePeer peer([](int fd) { testing_support::ReadAll(fd, 100); });
  Pieces pieces;
  char reply[kReplyBufferSize];
  EXPECT_FALSE(
      HttpPostFile(path.c_str(), pieces, "127.0.0.1", peer.port(), "/u", "H", "B", 10, 11, reply));
  EXPECT_FALSE(
      HttpPostFile(path.c_str(), pieces, "127.0.0.1", peer.port(), "/u", "H", "B", 10, -1, reply));
  EXPECT_EQ(peer.Connections(), 0);
}

TEST_F(PostTest, CancelCutsAStalledSendShort) {
  platform::Process().IdleTimeoutMs = 60000;
  std::string path = dir_.File("big");
  testing_support::WritePatternFile(path, 32 << 20);
  // Never reads. (Its wait is short: the client's close queues behind the unread bytes.)
  FakePeer peer([](int fd) { testing_support::Stall(fd, 1000); });
  std::atomic<bool> cancel{false};
  std::atomic<bool> result{true};
  Pieces pieces;
  std::thread worker([&] {
    ScopedCancelFlag scope(&cancel);
    char reply[kReplyBufferSize];
    result = HttpPostFile(path.c_str(), pieces, "127.0.0.1", peer.port(), "/u", "H", "B", 32 << 20,
                          0, reply);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto start = std::chrono::steady_clock::now();
  cancel = true;
  worker.join();
  EXPECT_FALSE(result);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_LT(pieces.seen.size(), size_t{(32 << 20) / 8000});
}

TEST_F(PostTest, APeerThatResetsMidBodyFailsTheRequestNotTheProcess) {
  platform::Process().IdleTimeoutMs = 2000;
  std::string path = dir_.File("big");
  testing_support::WritePatternFile(path, 32 << 20);
  FakePeer peer([](int fd) {
    testing_support::ReadExactly(fd, 100000);
    testing_support::ResetConnection(fd);
  });
  Pieces pieces;
  char reply[kReplyBufferSize];
  EXPECT_FALSE(HttpPostFile(path.c_str(), pieces, "127.0.0.1", peer.port(), "/u", "H", "B",
                            32 << 20, 0, reply));
}

}  // namespace
