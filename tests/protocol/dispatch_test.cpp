// The dispatch request against a scripted server: its target byte for byte, how the reply is
// read element by element, and the replies that cannot be used.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "protocol/Requests.h"
#include "protocol/XmlReply.h"
#include "tests/support/protocol_fixture.h"

using testing_support::kUploadName;
using testing_support::ProtocolTest;

namespace {

const char kDispatchPrefix[] = "\xC7\xEB\xC7\xF3\xB5\xF7\xB6\xC8:";

// status 100, an upload needed, then the elements given.
std::string NeedUpload(const std::string& rest) {
  return "<root><cmd>upload</cmd><status>100</status><is_need_upload>1</is_need_upload>" + rest +
         "</root>";
}

// A root holding elements nested depth deep.
std::string Nested(int depth) {
  std::string open, close;
  for (int i = 0; i < depth; ++i) {
    open += "<a>";
    close += "</a>";
  }
  return "<root><cmd>upload</cmd>" + open + close + "</root>";
}

class DispatchTest : public ProtocolTest {};

TEST_F(DispatchTest, TargetCarriesTheTemplateWithTheFirstPlaceholdersReplaced) {
  EXPECT_FALSE(Dispatch());  // empty reply
  EXPECT_EQ(server_.LastLine(), "GET /index.php?cmd=upload& HTTP/1.1");
  EXPECT_EQ(server_.Requests().back().Header("Host"), "dispatch.corvel.example");

  platform::CopyText(task_.ParamStr, "sha1={sha1}&again={sha1}&pc={pick_code}&n=a b\xB5\xC4");
  platform::CopyText(task_.SHA1Hash, "ABCDEF");
  EXPECT_FALSE(Dispatch());
  EXPECT_EQ(server_.LastLine(),
            "GET /index.php?cmd=upload&sha1=ABCDEF&again={sha1}&pc=&n=a%20b\xB5\xC4 HTTP/1.1");

  // A begun upload asks to resume, with the saved pick code, and wants "reupload" back.
  task_.IsUpload = true;
  platform::CopyText(task_.PickCode, "pc9");
  server_.Reply(NeedUpload("<ip>h</ip><port>81</port><pickcode>X</pickcode><key>k</key>"));
  EXPECT_FALSE(Dispatch());
  EXPECT_EQ(server_.LastLine(),
            "GET /index.php?cmd=reupload&sha1=ABCDEF&again={sha1}&pc=pc9&n=a%20b\xB5\xC4 HTTP/1.1");
  EXPECT_STREQ(task_.PickCode, "pc9");
  EXPECT_STREQ(task_.Host, kUploadName);
}

TEST_F(DispatchTest, DebuggerOutputHasThePrefixTheTargetAndTheReplyWithoutLineBreaks) {
  const std::string body = "<root><cmd>upload</cmd><status>5</status></root>";
  server_.Reply(body);
  EXPECT_FALSE(Dispatch());
  std::string debug = Debug();
  EXPECT_EQ(debug.rfind(std::string(kDispatchPrefix) + "/index.php?cmd=upload&", 0), 0u) << debug;
  ASSERT_GE(debug.size(), body.size());
  EXPECT_EQ(debug.substr(debug.size() - body.size()), body);
}

TEST_F(DispatchTest, RepliesAreReadByNameWhateverTheOrderAndDecoration) {
  server_.Reply(
      "<?xml version=\"1.0\"?>\n<!-- note --><root a=\"1\"><key>K1</key><extra><ip>no</ip></extra>"
      "<pickcode>P1</pickcode><port b=\"2\">8080</port><ip>up.corvel.example</ip>"
      "<is_need_upload>1</is_need_upload><status>100</status><cmd>upload</cmd>"
      "<cmd>other</cmd></root>");
  ASSERT_TRUE(Dispatch());
  EXPECT_TRUE(task_.NeedUpload);
  EXPECT_STREQ(task_.Host, "up.corvel.example");
  EXPECT_EQ(task_.Port, 8080);
  EXPECT_STREQ(task_.PickCode, "P1");
  EXPECT_STREQ(task_.Key, "K1");

  // A file the service holds: only the pick code changes.
  server_.Reply(
      "<root><cmd>upload</cmd><status>100</status><is_need_upload>0</is_need_upload>"
      "<pickcode>  P2\n </pickcode><ip>ignored</ip></root>");
  ASSERT_TRUE(Dispatch());
  EXPECT_FALSE(task_.NeedUpload);
  EXPECT_STREQ(task_.PickCode, "P2");  // white space condensed by the reader
  EXPECT_STREQ(task_.Host, "up.corvel.example");
  EXPECT_STREQ(task_.Key, "K1");
}

TEST_F(DispatchTest, AFailureKeepsWhatWasReadBeforeIt) {
  task_.NeedUpload = false;
  server_.Reply(NeedUpload("<ip>h2</ip><port>81</port><pickcode>P3</pickcode>"));  // no key
  EXPECT_FALSE(Dispatch());
  EXPECT_STREQ(task_.Host, "h2");
  EXPECT_EQ(task_.Port, 81);
  EXPECT_STREQ(task_.PickCode, "P3");
  EXPECT_STREQ(task_.Key, "");
  EXPECT_FALSE(task_.NeedUpload);
  EXPECT_EQ(task_.Status, kStatusCreated);

  // Missing or empty values fail before anything is stored.
  for (const char* body :
       {"<root><status>100</status></root>", "<root><cmd/><status>100</status></root>",
        "<root><cmd>upload</cmd></root>", "<root><cmd>upload</cmd><status></status></root>",
        "<root><cmd>upload</cmd><status>100</status></root>",
        "<root><cmd>upload</cmd><status>100</status><is_need_upload>0</is_need_upload></root>",
        "<root><cmd>upload</cmd><status>100</status><is_need_upload>1</is_need_upload>"
        "<ip></ip><port>1</port><pickcode>p</pickcode><key>k</key></root>",
        "<ups><cmd>upload</cmd><status>100</status><is_need_upload>0</is_need_upload>"
        "<pickcode>p</pickcode></ups>"}) {
    server_.Reply(body);
    EXPECT_FALSE(Dispatch()) << body;
    EXPECT_STREQ(task_.PickCode, "P3") << body;
    EXPECT_STREQ(task_.Host, "h2") << body;
    EXPECT_EQ(task_.ServerErrCode, 0) << body;
  }
}

TEST_F(DispatchTest, AServerStatusOtherThan100IsKeptWithItsMessage) {
  server_.Reply(
      "<root><cmd>upload</cmd><status>101</status><status_msg>  quota   full </status_msg>"
      "</root>");
  EXPECT_FALSE(Dispatch());
  EXPECT_EQ(task_.ServerErrCode, 101);
  EXPECT_STREQ(task_.ServerErrMsg, "quota full");
  EXPECT_EQ(task_.Status, kStatusStopped);

  // Without a message the code is still told; a message too long for its field is cut.
  task_.Status = kStatusDispatch;
  server_.Reply("<root><cmd>upload</cmd><status>-3</status></root>");
  EXPECT_FALSE(Dispatch());
  EXPECT_EQ(task_.ServerErrCode, -3);
  EXPECT_STREQ(task_.ServerErrMsg, "");
  EXPECT_EQ(task_.Status, kStatusStopped);
  server_.Reply("<root><cmd>upload</cmd><status>7</status><status_msg>" + std::string(2000, 'm') +
                "</status_msg></root>");
  EXPECT_FALSE(Dispatch());
  EXPECT_EQ(std::string(task_.ServerErrMsg), std::string(1023, 'm'));
}

TEST_F(DispatchTest, AReplyThatIsNot200OKChangesNothing) {
  const std::string good =
      NeedUpload("<ip>h</ip><port>81</port><pickcode>p</pickcode><key>k</key>");
  server_.Reply(good, "404 Not Found");
  server_.Reply(good, "500 Internal Server Error");
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(Dispatch());
    EXPECT_STREQ(task_.PickCode, "");
    EXPECT_STREQ(task_.Host, kUploadName);
  }
  // Nobody listening: the request fails without a reply.
  DispatchEndpointValue ep = runtime_.dispatch.Get();
  ep.Port = 1;
  runtime_.dispatch.Set(ep);
  runtime_.resolver.Add(testing_support::kDispatchName, 1, "127.0.0.1");
  EXPECT_FALSE(Dispatch());
}

TEST_F(DispatchTest, IdentifiersThatDoNotFitAndUnusablePortsFailTheRequest) {
  const std::string longId(100, 'x');
  const std::string fits(99, 'y');
  struct Case {
    std::string rest;
    bool ok;
  } cases[] = {
      {"<ip>" + longId + "</ip><port>80</port><pickcode>p</pickcode><key>k</key>", false},
      {"<ip>h</ip><port>80</port><pickcode>" + longId + "</pickcode><key>k</key>", false},
      {"<ip>h</ip><port>80</port><pickcode>p</pickcode><key>" + longId + "</key>", false},
      {"<ip>" + fits + "</ip><port>65535</port><pickcode>" + fits + "</pickcode><key>" + fits +
           "</key>",
       true},
      {"<ip>h</ip><port>0</port><pickcode>p</pickcode><key>k</key>", false},
      {"<ip>h</ip><port>65536</port><pickcode>p</pickcode><key>k</key>", false},
      {"<ip>h</ip><port>-80</port><pickcode>p</pickcode><key>k</key>", false},
      {"<ip>h</ip><port>http</port><pickcode>p</pickcode><key>k</key>", false},
      {"<ip>h</ip><port>4294967376</port><pickcode>p</pickcode><key>k</key>", false},
      {"<ip>h</ip><port> 443x</port><pickcode>p</pickcode><key>k</key>", true},
  };
  for (const Case& c : cases) {
    InitTask(task_);
    task_.NeedUpload = false;
    server_.Reply(NeedUpload(c.rest));
    EXPECT_EQ(Dispatch(), c.ok) << c.rest;
    EXPECT_EQ(task_.NeedUpload, c.ok) << c.rest;
    EXPECT_LT(std::strlen(task_.Host), sizeof task_.Host);
    EXPECT_LT(std::strlen(task_.PickCode), sizeof task_.PickCode);
    EXPECT_LT(std::strlen(task_.Key), sizeof task_.Key);
  }
  EXPECT_EQ(task_.Port, 443);
  // A known file's pick code that does not fit fails too.
  server_.Reply(
      "<root><cmd>upload</cmd><status>100</status><is_need_upload>0</is_need_upload>"
      "<pickcode>" +
      longId + "</pickcode></root>");
  EXPECT_FALSE(Dispatch());
}

TEST_F(DispatchTest, RepliesThatAreNotOneUsableDocumentFailQuietly) {
  for (const std::string& body :
       {std::string("<root><cmd>upload</cmd></root><root><cmd>upload</cmd></root>"),
        std::string(2000, '<'), Nested(600), std::string("<root><cmd>&#1114112;</cmd></root>"),
        std::string("\xEF\xBB\xBF"), std::string("<root><cmd>upload"), std::string(5200, 'a')}) {
    server_.Reply(body);
    EXPECT_FALSE(Dispatch());
    EXPECT_EQ(task_.Status, kStatusCreated);
  }
}

TEST(ReplaceFirst, OnlyTheFirstAndOnlyWhenItFits) {
  char text[32] = "a{x}b{x}";
  EXPECT_TRUE(ReplaceFirst(text, sizeof text, "{x}", "123"));
  EXPECT_STREQ(text, "a123b{x}");
  EXPECT_TRUE(ReplaceFirst(text, sizeof text, "{x}", ""));
  EXPECT_STREQ(text, "a123b");
  EXPECT_FALSE(ReplaceFirst(text, sizeof text, "{y}", "1"));
  EXPECT_FALSE(ReplaceFirst(text, sizeof text, "", "1"));
  EXPECT_FALSE(ReplaceFirst(text, sizeof text, nullptr, "1"));
  char full[10] = "ab{x}cd";
  EXPECT_FALSE(ReplaceFirst(full, sizeof full, "{x}", "123456"));  // 11 bytes needed
  EXPECT_STREQ(full, "ab{x}cd");
  EXPECT_TRUE(ReplaceFirst(full, sizeof full, "{x}", "12345"));  // exactly 10
  EXPECT_STREQ(full, "ab12345cd");
}

TEST(XmlReply, ValuesAndNumbersAreReadAsTheServersWriteThem) {
  EXPECT_EQ(ParseLeadingInt32("  42abc"), 42);
  EXPECT_EQ(ParseLeadingInt32("\t-7"), -7);
  EXPECT_EQ(ParseLeadingInt32("+8"), 8);
  EXPECT_EQ(ParseLeadingInt32("x1"), 0);
  EXPECT_EQ(ParseLeadingInt32("- 1"), 0);
  EXPECT_EQ(ParseLeadingInt64("99999999999"), 99999999999LL);
  EXPECT_EQ(ParseLeadingInt32("99999999999"), INT32_MAX);
  EXPECT_EQ(ParseLeadingInt32("-99999999999"), INT32_MIN);
  EXPECT_EQ(ParseLeadingInt64("99999999999999999999999"), INT64_MAX);

  XmlReply r(
      "<ups><cmd>co</cmd><empty/><blank>   </blank><child><x>1</x></child><cd><![CDATA[a<b]]></cd>"
      "<amp>a&amp;b&#65;</amp></ups>",
      "ups");
  ASSERT_TRUE(r.HasRoot());
  EXPECT_TRUE(r.TextIs("cmd", "co"));
  EXPECT_FALSE(r.TextIs("cmd", "CO"));
  EXPECT_EQ(r.Text("empty"), nullptr);
  EXPECT_EQ(r.Text("blank"), nullptr);  // white space only is no text
  EXPECT_EQ(r.Text("child"), nullptr);  // its first child is an element
  EXPECT_EQ(r.Text("x"), nullptr);      // only the root's own children count
  EXPECT_STREQ(r.Text("cd"), "a<b");
  EXPECT_STREQ(r.Text("amp"), "a&bA");
  int32_t n = 5;
  EXPECT_FALSE(r.Int("missing", &n));
  EXPECT_EQ(n, 5);
  EXPECT_FALSE(XmlReply("<root/>", "ups").HasRoot());
  EXPECT_FALSE(XmlReply("", "ups").HasRoot());
  EXPECT_FALSE(XmlReply(nullptr, "ups").HasRoot());
  EXPECT_FALSE(XmlReply("<x><ups><cmd>co</cmd></ups></x>", "ups").HasRoot());
}

}  // namespace
