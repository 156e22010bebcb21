// The reference server answering the control's exact requests on loopback: a new upload end to
// end, resuming, refusals of a wrong offset and a wrong finish, dedup, delete, the closing line
// after the counted body, concurrent uploads, and a store reused by a new server.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/support/server_fixture.h"

using testing_support::Exchange;
using testing_support::Get;
using testing_support::PatternBytes;
using testing_support::RawConnection;
using testing_support::RawReply;
using testing_support::ServerTest;
using testing_support::ServerUpload;

namespace {

constexpr const char* kEmptySha1 = "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709";

std::string ReadFileBytes(const std::string& path) {
  return testing_support::ReadFile(path);
}

class UploadFlow : public ServerTest {
 public:
  using ServerTest::server_;
  RawReply CheckOf(const ServerUpload& u) { return Check(u); }
};

// Waits until the server has written `bytes` of the upload, then asks the upload check. (A
// check ends a writer that is still reading, so asking earlier would cut the bytes in flight.)
bool WaitHeld(UploadFlow& t, const ServerUpload& u, int64_t bytes) {
  t.server_->WaitForStats(
      [&](const refserver::ServerStats& s) {
        auto it = s.uploadBytesByKey.find(u.key);
        return it != s.uploadBytesByKey.end() && it->second >= bytes;
      },
      5000);
  return t.CheckOf(u).Value("data") == std::to_string(bytes);
}

TEST_F(UploadFlow, ANewUploadIsStoredByItsSha1AndLaterDispatchesNeedNoUpload) {
  // 600 KiB: three blocks of 256 KiB, the last one short.
  ServerUpload u = NewUpload(PatternBytes(600 * 1024));
  RawReply d = Dispatch("upload", u.sha1, u.size);  // another task, same content, still partial
  EXPECT_EQ(d.Value("ip"), "127.0.0.1");
  EXPECT_EQ(d.Value("port"), std::to_string(port()));
  EXPECT_NE(d.Value("key"), u.key);

  RawReply co = Check(u);
  EXPECT_EQ(co.Value("cmd"), "co");
  EXPECT_EQ(co.Value("data_type"), "0");
  EXPECT_EQ(co.Value("data"), "0");
  RawReply up = Up(u, 0);
  EXPECT_FALSE(up.reset);
  EXPECT_EQ(up.Body(), "<ups><cmd>up</cmd><status>100</status></ups>");
  EXPECT_NE(up.raw.find("Content-Length: 44\r\n"), std::string::npos) << up.raw;
  EXPECT_NE(up.raw.find("Connection: close\r\n"), std::string::npos);
  RawReply fin = Fin(u);
  EXPECT_EQ(fin.Value("cmd"), "fin");
  EXPECT_EQ(fin.Value("status"), "100") << fin.raw;
  EXPECT_EQ(ReadFileBytes(server_->Store().CompletePath(u.sha1)), u.bytes);
  EXPECT_EQ(server_->Stats().uploadBytesByKey[u.key], u.size);

  for (const char* cmd : {"upload", "reupload"}) {
    RawReply again = Dispatch(cmd, u.sha1, u.size);
    EXPECT_EQ(again.Value("cmd"), cmd);
    EXPECT_EQ(again.Value("status"), "100");
    EXPECT_EQ(again.Value("is_need_upload"), "0");
    EXPECT_EQ(again.Value("pickcode"), u.pickCode);
    EXPECT_EQ(again.Value("key"), "");
  }
  // The empty file is always held.
  RawReply empty = Dispatch("upload", kEmptySha1, 0);
  EXPECT_EQ(empty.Value("is_need_upload"), "0");
  EXPECT_FALSE(empty.Value("pickcode").empty());
  EXPECT_EQ(ReadFileBytes(server_->Store().CompletePath(kEmptySha1)), "");
}

TEST_F(UploadFlow, AnUploadCutShortResumesFromTheBytesHeld) {
  ServerUpload u = NewUpload(PatternBytes(3 << 20, 7));
  auto req = testing_support::BuildUpload(u.sha1, u.pickCode, u.key, u.size, u.schema, 0, u.bytes);
  {
    RawConnection c(port());
    ASSERT_TRUE(c.Send(req.head + u.bytes.substr(0, 1000000)));
  }  // the client goes away mid-body
  ASSERT_TRUE(WaitHeld(*this, u, 1000000));
  RawReply up = Up(u, 1000000);
  EXPECT_EQ(up.Value("status"), "100") << up.raw;
  EXPECT_EQ(Fin(u).Value("status"), "100");
  EXPECT_EQ(ReadFileBytes(server_->Store().CompletePath(u.sha1)), u.bytes);
  EXPECT_EQ(server_->Stats().uploadBytes, u.size);  // nothing was sent twice
}

TEST_F(UploadFlow, AnOffsetOtherThanTheBytesHeldIsRefusedAndNothingIsAppended) {
  ServerUpload u = NewUpload(PatternBytes(4 << 20, 3));
  {
    // The first half arrives, then the client goes away.
    auto req =
        testing_support::BuildUpload(u.sha1, u.pickCode, u.key, u.size, u.schema, 0, u.bytes);
    RawConnection c(port());
    ASSERT_TRUE(c.Send(req.head + u.bytes.substr(0, 2 << 20)));
  }
  ASSERT_TRUE(WaitHeld(*this, u, 2 << 20));
  for (int64_t offset : {int64_t{0}, int64_t{1 << 20}, int64_t{3 << 20}}) {
    RawReply r = Up(u, offset);  // a refused body of up to 4 MiB is drained, not reset
    EXPECT_EQ(r.Value("status"), "313") << offset;
    EXPECT_NE(r.Value("status_msg").find("2097152"), std::string::npos) << r.raw;
    EXPECT_FALSE(r.reset) << offset;
    EXPECT_FALSE(r.sendFailed) << offset;
  }
  EXPECT_EQ(Check(u).Value("data"), std::to_string(2 << 20));
  EXPECT_EQ(Up(u, 2 << 20).Value("status"), "100");
  EXPECT_EQ(Fin(u).Value("status"), "100");
}

TEST_F(UploadFlow, AFinishIsRefusedUnlessSizeHashesAndSchemaAllMatch) {
  ServerUpload u = NewUpload(PatternBytes(300 * 1024, 5));
  // Before the data: the size does not match.
  RawReply early = Fin(u);
  EXPECT_EQ(early.Value("status"), "303");
  EXPECT_NE(early.Value("status_msg").find("holds 0"), std::string::npos) << early.raw;
  ASSERT_EQ(Up(u, 0).Value("status"), "100");
  std::string right = FinalBlockHash(u.bytes);
  ASSERT_EQ(right.substr(0, 2), "2:");
  std::string wrongBlock = "2:" + testing_support::Sha1Hex("x");
  std::string wrongCount = "1:" + right.substr(2);
  for (const std::string& hashes : {wrongBlock, wrongCount}) {
    RawReply r = Fin(u, hashes);
    EXPECT_EQ(r.Value("status"), "303") << hashes;
    EXPECT_EQ(r.Value("status_msg"), "final block hash does not match");
  }
  EXPECT_EQ(Fin(u, "", 1).Value("status"), "303");  // a schema the size does not call for
  ServerUpload otherSha = u;
  otherSha.sha1 = testing_support::Sha1Hex("other");
  EXPECT_EQ(Fin(otherSha).Value("status"), "303");
  EXPECT_TRUE(server_->Store().CompletePath(u.sha1).empty());
  EXPECT_EQ(Fin(u).Value("status"), "100");
  EXPECT_FALSE(server_->Store().CompletePath(u.sha1).empty());
}

TEST_F(UploadFlow, AReuploadWithAKnownPickCodeGoesOnWithTheSameUpload) {
  ServerUpload u = NewUpload(PatternBytes(1000, 9));
  RawReply same = Dispatch("reupload", u.sha1, u.size, u.pickCode);
  EXPECT_EQ(same.Value("cmd"), "reupload");
  EXPECT_EQ(same.Value("key"), u.key);
  EXPECT_EQ(same.Value("pickcode"), u.pickCode);
  RawReply unknown = Dispatch("reupload", u.sha1, u.size, "pc-nobody-knows");
  EXPECT_EQ(unknown.Value("status"), "100");
  EXPECT_NE(unknown.Value("key"), u.key);
  EXPECT_NE(unknown.Value("pickcode"), "pc-nobody-knows");
  // The pick code of another file's upload does not hand its bytes over.
  RawReply otherFile = Dispatch("reupload", testing_support::Sha1Hex("zz"), 2, u.pickCode);
  EXPECT_NE(otherFile.Value("key"), u.key);
}

TEST_F(UploadFlow, ADispatchNamesTheMissingOrWrongParameter) {
  std::string sha1 = testing_support::Sha1Hex("abc");
  struct Case {
    std::string query, status, word;
  };
  const Case cases[] = {
      {"cmd=upload&size=3&name=a&pick_code=", "201", "sha1"},
      {"cmd=upload&sha1=" + std::string(40, 'a') + "&size=3&name=a", "201", "sha1"},
      {"cmd=upload&sha1=" + sha1 + "&name=a", "202", "size"},
      {"cmd=upload&sha1=" + sha1 + "&size=-3&name=a", "202", "size"},
      {"cmd=upload&sha1=" + sha1 + "&size=3", "203", "name"},
      {"cmd=reupload&sha1=" + sha1 + "&size=3&name=", "203", "name"},
      {"cmd=bogus&sha1=" + sha1 + "&size=3&name=a", "200", "cmd"},
  };
  for (const Case& c : cases) {
    RawReply r = Get(port(), "/index.php?" + c.query);
    EXPECT_EQ(r.Value("status"), c.status) << c.query;
    EXPECT_NE(r.Value("status_msg").find(c.word), std::string::npos) << r.raw;
  }
  // The page's template with the control's substitutions: pick code empty for a new task.
  RawReply ok = Get(port(), "/index.php?cmd=upload&sha1=" + sha1 + "&size=3&name=a&pick_code=");
  EXPECT_EQ(ok.Value("status"), "100");
}

TEST_F(UploadFlow, TheDispatchAnnouncesTheConfiguredUploadHostAndPort) {
  refserver::ServerOptions o = DefaultOptions();
  o.uploadHost = "up.corvel.example";
  o.uploadPort = 8080;
  o.dispatchPath = "/d.php";
  Restart(o);
  RawReply r = Get(port(), "/d.php?cmd=upload&sha1=" + testing_support::Sha1Hex("q") +
                               "&size=1&name=q&pick_code=");
  EXPECT_EQ(r.Value("ip"), "up.corvel.example");
  EXPECT_EQ(r.Value("port"), "8080");
  EXPECT_EQ(Get(port(), "/index.php?cmd=upload").Body(), "<error>unknown path</error>");
}

TEST_F(UploadFlow, ADeleteDropsThePartialUploadAndIsRecorded) {
  ServerUpload u = NewUpload(PatternBytes(5000, 2));
  RawReply r = Get(port(), "/index.php?cmd=delete&pickcode=" + u.pickCode + "&cookie=sess-1");
  EXPECT_EQ(r.Body(), "<root><cmd>delete</cmd><status>100</status></root>");
  auto stats = server_->Stats();
  EXPECT_EQ(stats.lastDeletePickCode, u.pickCode);
  EXPECT_EQ(stats.lastDeleteCookie, "sess-1");
  EXPECT_EQ(stats.requests["delete"], 1);
  EXPECT_EQ(Check(u).Value("status"), "301");
  EXPECT_EQ(
      Get(port(), "/index.php?cmd=delete&pickcode=" + u.pickCode + "&cookie=c").Value("status"),
      "404");
  RawReply noCookie = Get(port(), "/index.php?cmd=delete&pickcode=x&cookie=");
  EXPECT_EQ(noCookie.Value("status"), "211");
  EXPECT_NE(noCookie.Value("status_msg").find("cookie"), std::string::npos);
  EXPECT_EQ(Get(port(), "/index.php?cmd=delete&pickcode=&cookie=c").Value("status"), "210");
}

TEST_F(UploadFlow, TheClosingLineAfterTheCountedBodyIsReadWithoutAReset) {
  ServerUpload u = NewUpload(PatternBytes(200000, 4));
  auto req = testing_support::BuildUpload(u.sha1, u.pickCode, u.key, u.size, u.schema, 0, u.bytes);
  RawConnection c(port());
  ASSERT_TRUE(c.Send(req.head + req.data));
  // The answer comes once the counted body is in, before the closing line is sent: the line
  // goes out after the server has answered.
  ASSERT_TRUE(c.WaitForData(5000));
  ASSERT_TRUE(c.Send(req.closing));
  RawReply r = c.ReadReply();
  EXPECT_FALSE(r.reset);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.Value("status"), "100");
  EXPECT_EQ(Fin(u).Value("status"), "100");
}

TEST_F(UploadFlow, ConcurrentUploadsOfDifferentKeysDoNotInterfere) {
  constexpr int kFiles = 4;
  std::vector<ServerUpload> uploads;
  for (int i = 0; i < kFiles; ++i) uploads.push_back(NewUpload(PatternBytes(1 << 20, 100 + i)));
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int i = 0; i < kFiles; ++i) {
    threads.emplace_back([&, i] {
      const ServerUpload& u = uploads[i];
      auto req =
          testing_support::BuildUpload(u.sha1, u.pickCode, u.key, u.size, u.schema, 0, u.bytes);
      RawConnection c(port());
      // Pieces of 8000 bytes, as the control sends them, interleaved across the uploads.
      c.Send(req.head);
      for (size_t off = 0; off < u.bytes.size(); off += 8000) c.Send(u.bytes.substr(off, 8000));
      c.Send(req.closing);
      if (c.ReadReply().Value("status") == "100") ok++;
    });
  }
  // Meanwhile many short dispatches.
  std::vector<std::thread> gets;
  std::atomic<int> answered{0};
  for (int i = 0; i < 40; ++i) {
    gets.emplace_back([&] {
      if (Get(port(), "/index.php?cmd=upload&sha1=" + std::string(kEmptySha1) + "&size=0&name=e")
              .Value("status") == "100") {
        answered++;
      }
    });
  }
  for (auto& t : threads) t.join();
  for (auto& t : gets) t.join();
  EXPECT_EQ(ok, kFiles);
  EXPECT_EQ(answered, 40);
  for (const ServerUpload& u : uploads) {
    EXPECT_EQ(Fin(u).Value("status"), "100");
    EXPECT_EQ(ReadFileBytes(server_->Store().CompletePath(u.sha1)), u.bytes);
  }
}

TEST_F(UploadFlow, ANewServerOnTheSameFolderFindsPartialAndCompleteUploadsAgain) {
  ServerUpload done = NewUpload(PatternBytes(7000, 11));
  ASSERT_EQ(Up(done, 0).Value("status"), "100");
  ASSERT_EQ(Fin(done).Value("status"), "100");
  ServerUpload part = NewUpload(PatternBytes(9000, 12));
  {
    auto req = testing_support::BuildUpload(part.sha1, part.pickCode, part.key, part.size,
                                            part.schema, 0, part.bytes);
    RawConnection c(port());
    c.Send(req.head + part.bytes.substr(0, 4000));
  }
  ASSERT_TRUE(WaitHeld(*this, part, 4000));
  Restart(DefaultOptions());
  EXPECT_EQ(Dispatch("upload", done.sha1, done.size).Value("pickcode"), done.pickCode);
  EXPECT_EQ(Dispatch("reupload", part.sha1, part.size, part.pickCode).Value("key"), part.key);
  EXPECT_EQ(Check(part).Value("data"), "4000");
  EXPECT_EQ(Up(part, 4000).Value("status"), "100");
  EXPECT_EQ(Fin(part).Value("status"), "100");
}

TEST_F(UploadFlow, MalformedOrEndlessHeadsAreNotServed) {
  RawReply junk = Exchange(port(), {"NONSENSE\r\n\r\n"});
  EXPECT_EQ(junk.Body(), "<error>malformed request</error>");
  RawReply twoLengths = Exchange(
      port(), {"POST /ups/up HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nx"});
  EXPECT_EQ(twoLengths.Body(), "<error>malformed request</error>");
  // A head that never ends is cut off instead of being buffered without limit.
  RawReply endless =
      Exchange(port(), {"GET /index.php HTTP/1.1\r\nX: " + std::string(64 * 1024, 'a')});
  EXPECT_EQ(endless.Body(), "");
  EXPECT_FALSE(endless.timedOut);
  EXPECT_EQ(Get(port(), "/index.php?cmd=upload&sha1=" + std::string(kEmptySha1) + "&size=0&name=e")
                .Value("status"),
            "100");
}

TEST_F(UploadFlow, DiscardReadsAnOrdinaryFormAndAnswersWithoutAReset) {
  std::string data = PatternBytes(3 << 20, 21);
  std::string b = "------------------------abc123";
  std::string body = "--" + b +
                     "\r\nContent-Disposition: form-data; name=\"Filedata\"; filename=\"f\"\r\n"
                     "Content-Type: application/octet-stream\r\n\r\n" +
                     data + "\r\n--" + b + "--\r\n";
  std::string head =
      "POST /discard HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: curl/8\r\n"
      "Accept: */*\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\nContent-Type: multipart/form-data; boundary=" + b +
      "\r\n\r\n";
  RawReply r = Exchange(port(), {head, body});
  EXPECT_FALSE(r.reset);
  EXPECT_EQ(r.Value("status"), "100");
  EXPECT_EQ(server_->Stats().requests["discard"], 1);
  EXPECT_EQ(server_->Stats().uploadBytes, 0);
}

}  // namespace
