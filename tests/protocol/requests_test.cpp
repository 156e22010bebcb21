// The protocol's requests against a scripted server: the request targets byte for byte, and
// how each reply is read.
#include "protocol/Requests.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <mutex>

#include "platform/Bounded.h"
#include "platform/Diagnostics.h"
#include "platform/ProcessState.h"
#include "platform/Resolver.h"
#include "protocol/XmlReply.h"
#include "tests/support/FakePeer.h"
#include "tests/support/TempDir.h"

using testing_support::FakePeer;

namespace {

// Answers each request with the next body from a queue; records the request lines.
class ScriptedServer {
 public:
  ScriptedServer()
      : peer_([this](int fd) {
          std::string head = testing_support::ReadUntil(fd, "\r\n\r\n");
          std::string body;
          {
            std::lock_guard<std::mutex> g(m_);
            targets_.push_back(head.substr(0, head.find("\r\n")));
            if (!bodies_.empty()) {
              body = bodies_.front();
              bodies_.pop_front();
            }
          }
          if (head.rfind("POST", 0) == 0) testing_support::ReadAll(fd, 200);
          testing_support::SendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: " +
                                            std::to_string(body.size()) + "\r\n\r\n" + body);
        }) {}
  void Reply(const std::string& body) {
    std::lock_guard<std::mutex> g(m_);
    bodies_.push_back(body);
  }
  std::string LastTarget() {
    std::lock_guard<std::mutex> g(m_);
    return targets_.empty() ? "" : targets_.back();
  }
  uint16_t port() const { return peer_.port(); }

 private:
  std::mutex m_;
  std::deque<std::string> bodies_;
  std::vector<std::string> targets_;
  FakePeer peer_;
};

class RequestsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ResetProcessState();
    platform::Process().IdleTimeoutMs = 2000;
    platform::DispatchEndpointValue ep{};
    platform::CopyText(ep.Host, "dispatch.corvel.example");
    ep.Port = server_.port();
    platform::CopyText(ep.Path, "/index.php");
    platform::SetDispatchEndpoint(ep);
    platform::AddResolveOverride("dispatch.corvel.example", server_.port(), "127.0.0.1");
    platform::AddResolveOverride("up.corvel.example", server_.port(), "127.0.0.1");
    InitTask(task_);
    task_.FileSize = 1000;
  }
  void TearDown() override { platform::ResetProcessState(); }
  void Set(char* field, size_t n, const char* text) { platform::CopyText(field, n, text); }
  template <size_t N>
  void Set(char (&field)[N], const char* text) {
    platform::CopyText(field, text);
  }
  ScriptedServer server_;
  TaskRecord task_{};
};

TEST_F(RequestsTest, DispatchTargetsCarryTheTemplateWithPlaceholdersReplaced) {
  server_.Reply("");
  EXPECT_FALSE(RequestDispatch(task_));
  EXPECT_EQ(server_.LastTarget(), "GET /index.php?cmd=upload& HTTP/1.1");
  Set(task_.ParamStr, "sha1={sha1}&again={sha1}&pc={pick_code}&n=a b");
  Set(task_.SHA1Hash, "ABCDEF");
  server_.Reply("");
  RequestDispatch(task_);
  EXPECT_EQ(server_.LastTarget(),
            "GET /index.php?cmd=upload&sha1=ABCDEF&again={sha1}&pc=&n=a b HTTP/1.1");
  task_.IsUpload = true;
  Set(task_.PickCode, "pc9");
  server_.Reply("<root><cmd>upload</cmd><status>100</status></root>");
  EXPECT_FALSE(RequestDispatch(task_));  // a reupload wants cmd reupload back
  EXPECT_EQ(server_.LastTarget(),
            "GET /index.php?cmd=reupload&sha1=ABCDEF&again={sha1}&pc=pc9&n=a b HTTP/1.1");
  EXPECT_STREQ(task_.PickCode, "pc9");
}

TEST_F(RequestsTest, DispatchRepliesAreReadElementByElement) {
  server_.Reply(
      "<?xml version=\"1.0\"?><root a=\"1\"><key>K1</key><extra/><pickcode>P1</pickcode>"
      "<port>8080</port><ip>up.corvel.example</ip><is_need_upload>1</is_need_upload>"
      "<status>100</status><cmd>upload</cmd></root>");
  ASSERT_TRUE(RequestDispatch(task_));
  EXPECT_TRUE(task_.NeedUpload);
  EXPECT_STREQ(task_.Host, "up.corvel.example");
  EXPECT_EQ(task_.Port, 8080);
  EXPECT_STREQ(task_.PickCode, "P1");
  EXPECT_STREQ(task_.Key, "K1");
  // Known file: only the pick code changes.
  server_.Reply(
      "<root><cmd>upload</cmd><status>100</status><is_need_upload>0</is_need_upload>"
      "<pickcode>P2</pickcode></root>");
  ASSERT_TRUE(RequestDispatch(task_));
  EXPECT_FALSE(task_.NeedUpload);
  EXPECT_STREQ(task_.PickCode, "P2");
  EXPECT_STREQ(task_.Key, "K1");
  // No key: what was read before stays, NeedUpload does not change.
  server_.Reply(
      "<root><cmd>upload</cmd><status>100</status><is_need_upload>1</is_need_upload>"
      "<ip>h2</ip><port>81</port><pickcode>P3</pickcode></root>");
  EXPECT_FALSE(RequestDispatch(task_));
  EXPECT_STREQ(task_.Host, "h2");
  EXPECT_EQ(task_.Port, 81);
  EXPECT_STREQ(task_.PickCode, "P3");
  EXPECT_FALSE(task_.NeedUpload);
  // A server status other than 100.
  server_.Reply(
      "<root><cmd>upload</cmd><status>101</status><status_msg>  quota   full </status_msg>"
      "</root>");
  EXPECT_FALSE(RequestDispatch(task_));
  EXPECT_EQ(task_.ServerErrCode, 101);
  EXPECT_STREQ(task_.ServerErrMsg, "quota full");
  EXPECT_EQ(task_.Status, 7);
}

TEST_F(RequestsTest, DispatchRefusesValuesThatDoNotFitOrCannotBeUsed) {
  std::string longHost(100, 'h');
  const std::string ok = "<root><cmd>upload</cmd><status>100</status><is_need_upload>1";
  server_.Reply(ok + "</is_need_upload><ip>" + longHost +
                "</ip><port>80</port><pickcode>p</pickcode><key>k</key></root>");
  EXPECT_FALSE(RequestDispatch(task_));
  EXPECT_STREQ(task_.Host, "");
  for (const char* port : {"0", "65536", "-1", "x"}) {
    server_.Reply(ok + "</is_need_upload><ip>h</ip><port>" + port +
                  "</port><pickcode>p</pickcode><key>k</key></root>");
    EXPECT_FALSE(RequestDispatch(task_)) << port;
  }
  std::string longMsg(2000, 'm');
  server_.Reply("<root><cmd>upload</cmd><status>7</status><status_msg>" + longMsg +
                "</status_msg></root>");
  EXPECT_FALSE(RequestDispatch(task_));
  EXPECT_EQ(std::strlen(task_.ServerErrMsg), 1023u);
  // Two roots, deep nesting, references out of range: no usable reply, no crash.
  for (std::string body :
       {std::string("<root><cmd>upload</cmd></root><root><cmd>upload</cmd></root>"),
        std::string(2000, '<'), std::string("<root><cmd>&#1114112;</cmd></root>")}) {
    server_.Reply(body);
    EXPECT_FALSE(RequestDispatch(task_));
  }
}

TEST_F(RequestsTest, UploadCheckReadsTheOffset) {
  Set(task_.Host, "up.corvel.example");
  task_.Port = server_.port();
  Set(task_.SHA1Hash, "S");
  Set(task_.PickCode, "P");
  Set(task_.Key, "K");
  task_.FileSize = 6000000000LL;
  server_.Reply("<ups><cmd>co</cmd><data_type>0</data_type><data>5000000000</data></ups>");
  ASSERT_TRUE(RequestUploadCheck(task_));
  EXPECT_EQ(task_.Offset, 5000000000LL);
  EXPECT_EQ(server_.LastTarget(),
            "GET /ups/co?sha1=S&filename=P&filesize=6000000000&key=K HTTP/1.1");
  for (const char* bad : {"<ups><cmd>co</cmd><data_type>1</data_type><data>0</data></ups>",
                          "<ups><cmd>co</cmd><data_type>0</data_type></ups>",
                          "<ups><cmd>up</cmd><data_type>0</data_type><data>0</data></ups>",
                          "<ups><cmd>co</cmd><data_type>0</data_type><data>-5</data></ups>",
                          "<ups><cmd>co</cmd><data_type>0</data_type><data>7000000000</data></ups>",
                          "<root><cmd>co</cmd></root>"}) {
    task_.Offset = 42;
    server_.Reply(bad);
    EXPECT_FALSE(RequestUploadCheck(task_)) << bad;
    EXPECT_EQ(task_.Offset, 42);
  }
}

class NoStop : public IBodyProgress {
 public:
  bool StopRequested() override { return false; }
  void PieceSent(int64_t) override {}
};

TEST_F(RequestsTest, BlockUploadCodesAndFinalBlockHash) {
  testing_support::TempDir dir;
  std::string path = dir.File("f");
  testing_support::WriteFile(path, "x");
  Set(task_.FileName, path.c_str());
  Set(task_.Host, "up.corvel.example");
  task_.Port = server_.port();
  task_.FileSize = 1;
  ChooseBlockSize(task_);
  NoStop progress;
  struct Case {
    const char* reply;
    bool ok;
    int code;
  } cases[] = {{"<ups><cmd>up</cmd><status>100</status></ups>", true, 100},
               {"<ups><cmd>up</cmd><status>101</status></ups>", false, 603},
               {"<ups><cmd>co</cmd><status>100</status></ups>", false, 602},
               {"not xml", false, 602}};
  for (const Case& c : cases) {
    task_.ErrCode = 100;
    server_.Reply(c.reply);
    EXPECT_EQ(RequestBlockUpload(task_, progress), c.ok) << c.reply;
    EXPECT_EQ(task_.ErrCode, c.code) << c.reply;
  }
  char out[100];
  ASSERT_TRUE(HashFinalBlock(task_, out, task_.BlockCount));
  EXPECT_STREQ(out, "1:11F6AD8EC52A2984ABAAFD7C3B516503785C2072");
  // Finish: the request carries the schema and the final block's hash.
  server_.Reply("<ups><cmd>fin</cmd><status>100</status></ups>");
  EXPECT_TRUE(RequestUploadFinish(task_));
  EXPECT_NE(server_.LastTarget().find("&block_schema=0&hashes=1:11F6AD8E"), std::string::npos);
  server_.Reply("<ups><cmd>fin</cmd><status>101</status></ups>");
  EXPECT_FALSE(RequestUploadFinish(task_));
}

TEST_F(RequestsTest, AnEmptyFileCannotBeFinished) {
  testing_support::TempDir dir;
  std::string path = dir.File("empty");
  testing_support::WriteFile(path, "");
  Set(task_.FileName, path.c_str());
  task_.FileSize = 0;
  ChooseBlockSize(task_);
  std::string console;
  platform::SetDiagnosticSink([&](platform::DiagChannel ch, std::string_view text) {
    if (ch == platform::DiagChannel::kConsole) console += text;
  });
  EXPECT_FALSE(RequestUploadFinish(task_));
  platform::SetDiagnosticSink(nullptr);
  EXPECT_EQ(console, "Error:2\nBlockHash Error\n");
}

TEST(ReplaceFirst, OnlyTheFirstAndOnlyWhenItFits) {
  char text[32] = "a{x}b{x}";
  EXPECT_TRUE(ReplaceFirst(text, sizeof text, "{x}", "123"));
  EXPECT_STREQ(text, "a123b{x}");
  EXPECT_FALSE(ReplaceFirst(text, sizeof text, "{y}", "1"));
  EXPECT_FALSE(ReplaceFirst(text, 10, "{x}", "0123456789"));
  EXPECT_STREQ(text, "a123b{x}");
}

TEST(XmlReply, NumbersReadAsAtoiDoes) {
  EXPECT_EQ(ParseLeadingInt32("  42abc"), 42);
  EXPECT_EQ(ParseLeadingInt32("-7"), -7);
  EXPECT_EQ(ParseLeadingInt32("x"), 0);
  EXPECT_EQ(ParseLeadingInt64("99999999999"), 99999999999LL);
  EXPECT_EQ(ParseLeadingInt32("99999999999"), INT32_MAX);
  XmlReply r("<ups><cmd>co</cmd><empty/><n>5</n></ups>", "ups");
  ASSERT_TRUE(r.HasRoot());
  EXPECT_EQ(r.Text("empty"), nullptr);
  EXPECT_EQ(r.Text("missing"), nullptr);
  XmlReply wrongRoot("<root/>", "ups");
  EXPECT_FALSE(wrongRoot.HasRoot());
}

}  // namespace
