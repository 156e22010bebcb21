// The HTTP client over the in-memory twin of the sockets: the exact request bytes, reply
// framing, time-outs, resets, the call's cancel, and the body sender's progress and file checks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "net/Http.h"
#include "tests/support/FaultEnv.h"
#include "tests/support/MemorySockets.h"
#include "tests/support/TempDir.h"
#include "upload/Runtime.h"

using testing_support::MemorySockets;
using testing_support::PeerStream;

namespace {

class HttpClientTest : public ::testing::Test {
 protected:
  HttpClientTest() {
    env_.UseSockets(net_);
    env_.IsolateVars();  // no proxy variables: these requests go direct
    runtime_.transport.idleTimeoutMs = 400;
    runtime_.transport.connectTimeoutMs = 1000;
  }
  Call call(const std::atomic<bool>* cancel = nullptr) { return Call{runtime_.transport, cancel}; }

  // A peer that reads the request head, records it, and answers with reply.
  uint16_t Answering(std::string reply) {
    return net_.Listen([this, reply](PeerStream& p) {
      Record(p.ReadUntil("\r\n\r\n"));
      p.Send(reply);
    });
  }
  void Record(const std::string& s) {
    std::lock_guard<std::mutex> g(m_);
    requests_.push_back(s);
  }
  std::string Get(uint16_t port, bool* ok = nullptr) {
    char reply[kReplyBufferSize];
    std::memset(reply, 'x', sizeof reply);
    bool r = HttpGet(call(), "/p?a=1", {Scheme::kHttp, "127.0.0.1", port}, reply).ok();
    if (ok) *ok = r;
    return r ? std::string(reply) : "<failed>";
  }

  MemorySockets net_;
  testing_support::FaultEnv env_;
  Runtime runtime_{env_};
  std::mutex m_;
  std::vector<std::string> requests_;
};

TEST_F(HttpClientTest, GetSendsExactlyTheRequestLineHostAndUserAgent) {
  const uint16_t port = Answering("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  runtime_.resolver.Add("up.corvel.example", port, "127.0.0.1");
  char reply[kReplyBufferSize];
  ASSERT_TRUE(
      HttpGet(call(), "/ups/co?sha1=AB&key=k", {Scheme::kHttp, "up.corvel.example", port}, reply)
          .ok());
  EXPECT_STREQ(reply, "ok");
  std::lock_guard<std::mutex> g(m_);
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
    const uint16_t port = Answering(c.reply);
    bool ok = false;
    EXPECT_EQ(Get(port, &ok), c.body) << c.name;
    EXPECT_TRUE(ok) << c.name;
  }
}

// HTTP/1.1 servers keep the connection open after a framed reply: the framing must end the read
// (the peer stalls far beyond the idle time-out, which would fail the request).
TEST_F(HttpClientTest, FramedRepliesEndWithoutAClose) {
  runtime_.transport.idleTimeoutMs = 300;
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
    const std::string reply = c.reply;
    const uint16_t port = net_.Listen([reply](PeerStream& p) {
      p.ReadUntil("\r\n\r\n");
      // In small pieces, each read on its own, so the reply is whole only at its last byte.
      for (size_t i = 0; i < reply.size(); i += 7) {
        p.Send(reply.substr(i, 7));
        p.AwaitDrained(3000);
      }
      p.Stall(3000);
    });
    bool ok = false;
    EXPECT_EQ(Get(port, &ok), c.body) << c.name;
    EXPECT_TRUE(ok) << c.name;
  }
}

TEST_F(HttpClientTest, GetWritesItsReplyToTheDebuggerBehindItsPrefix) {
  std::vector<std::string> lines;
  std::mutex m;
  runtime_.diagnostics.SetSink([&](platform::DiagChannel ch, std::string_view text) {
    std::lock_guard<std::mutex> g(m);
    if (ch == platform::DiagChannel::kDebugger) lines.emplace_back(text);
  });
  const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  EXPECT_EQ(Get(Answering(reply)), "ok");
  runtime_.diagnostics.SetSink(nullptr);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "\x47\x45\x54\xB7\xB5\xBB\xD8");
  EXPECT_EQ(lines[1], reply);
}

TEST_F(HttpClientTest, TerminatorSplitAcrossReceivesEndsTheReply) {
  runtime_.transport.idleTimeoutMs = 60000;  // only the terminator can end this read
  const uint16_t port = net_.Listen([](PeerStream& p) {
    p.ReadUntil("\r\n\r\n");
    p.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r");
    p.AwaitDrained(3000);
    p.Send("\n\r\n");
    p.Stall(60000);  // keeps the connection open
  });
  EXPECT_EQ(Get(port), "ok");
}

TEST_F(HttpClientTest, StalledOversizedOrResetRepliesFail) {
  const struct {
    const char* name;
    std::function<void(PeerStream&)> peer;
  } cases[] = {{"idle time-out",
                [](PeerStream& p) {
                  p.ReadUntil("\r\n\r\n");
                  p.Stall(3000);
                }},
               {"oversized",
                [](PeerStream& p) {
                  p.ReadUntil("\r\n\r\n");
                  p.Send("HTTP/1.1 200 OK\r\n\r\n" + std::string(6000, 'a'));
                }},
               {"reset", [](PeerStream& p) {
                  p.ReadUntil("\r\n\r\n");
                  p.Send("HTTP/1.1 200 OK\r\n");
                  p.AwaitDrained(3000);
                  p.Reset();
                }}};
  for (const auto& c : cases) {
    bool ok = true;
    Get(net_.Listen(c.peer), &ok);
    EXPECT_FALSE(ok) << c.name;
  }
}

TEST_F(HttpClientTest, CancelCutsARequestShort) {
  runtime_.transport.idleTimeoutMs = 0;  // no limit: only the cancel can end the wait
  const uint16_t port = net_.Listen([](PeerStream& p) {
    p.ReadUntil("\r\n\r\n");
    p.Stall(60000);
  });
  std::atomic<bool> cancel{false};
  std::atomic<bool> result{true};
  std::thread worker([&] {
    char reply[kReplyBufferSize];
    result = HttpGet(call(&cancel), "/", {Scheme::kHttp, "127.0.0.1", port}, reply).ok();
  });
  ASSERT_TRUE(net_.AwaitConnects(port, 1, 5000));
  cancel = true;
  worker.join();
  EXPECT_FALSE(result);
  EXPECT_TRUE(net_.AwaitHandlersDone(port, 5000));
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
    auto received = std::make_shared<std::string>();
    const uint16_t port = net_.Listen([received](PeerStream& p) {
      *received = p.ReadAll(500);
      p.Send("HTTP/1.1 200 OK\r\n\r\n<ups><cmd>up</cmd><status>100</status></ups>");
    });
    char reply[kReplyBufferSize];
    *ok = HttpPostFile(call(), path.c_str(), pieces, {Scheme::kHttp, "127.0.0.1", port},
                       "/ups/up?x=1", "HEAD", "--B", fileSize, offset, reply)
              .ok();
    EXPECT_TRUE(net_.AwaitHandlersDone(port, 10000));
    return *received;
  }
  testing_support::TempDir dir_;
};
TEST_F(PostTest, ExactBytesForOffsetsAtTheStartMiddleAndEnd) {
  runtime_.transport.idleTimeoutMs = 2000;
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
  runtime_.transport.idleTimeoutMs = 2000;
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
  runtime_.transport.idleTimeoutMs = 2000;
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
  const uint16_t port = net_.Listen([](PeerStream& p) { p.ReadAll(100); });
  Pieces pieces;
  char reply[kReplyBufferSize];
  for (int64_t offset : {int64_t{11}, int64_t{-1}}) {
    EXPECT_FALSE(HttpPostFile(call(), path.c_str(), pieces, {Scheme::kHttp, "127.0.0.1", port},
                              "/u", "H", "B", 10, offset, reply)
                     .ok());
  }
  EXPECT_EQ(net_.Connections(port), 0);
}

TEST_F(PostTest, CancelCutsAStalledSendShort) {
  runtime_.transport.idleTimeoutMs = 0;  // no limit: only the cancel can end the wait
  std::string path = dir_.File("big");
  testing_support::WritePatternFile(path, 32 << 20);
  const uint16_t port = net_.Listen([](PeerStream& p) { p.Stall(60000); });  // never reads
  std::atomic<bool> cancel{false};
  std::atomic<bool> result{true};
  Pieces pieces;
  std::thread worker([&] {
    char reply[kReplyBufferSize];
    result = HttpPostFile(call(&cancel), path.c_str(), pieces, {Scheme::kHttp, "127.0.0.1", port},
                          "/u", "H", "B", 32 << 20, 0, reply)
                 .ok();
  });
  ASSERT_TRUE(net_.AwaitStalledSend(port, 5000));
  cancel = true;
  worker.join();
  EXPECT_FALSE(result);
  EXPECT_LT(pieces.seen.size(), size_t{(32 << 20) / 8000});
}

TEST_F(PostTest, APeerThatResetsMidBodyFailsTheRequestNotTheProcess) {
  runtime_.transport.idleTimeoutMs = 2000;
  std::string path = dir_.File("big");
  testing_support::WritePatternFile(path, 32 << 20);
  const uint16_t port = net_.Listen([](PeerStream& p) {
    p.ReadExactly(100000);
    p.Reset();
  });
  Pieces pieces;
  char reply[kReplyBufferSize];
  EXPECT_FALSE(HttpPostFile(call(), path.c_str(), pieces, {Scheme::kHttp, "127.0.0.1", port}, "/u",
                            "H", "B", 32 << 20, 0, reply)
                   .ok());
}

}  // namespace
