// Values from a page, a server reply or a task file on the wire: every request line is three
// parts whatever the values hold, the part header's file name stays quoted, the dispatch path
// defaults to "/", an upload server's name must be a plain host name, and text after a reply's
// root element is ignored.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/WireText.h"
#include "protocol/Requests.h"
#include "tests/support/protocol_fixture.h"

using testing_support::ProtocolTest;

namespace {

class NoStop : public IBodyProgress {
 public:
  bool StopRequested() override { return false; }
  void PieceSent(int64_t) override {}
};

// The parts of a request line split at single spaces.
std::vector<std::string> Parts(const std::string& line) {
  std::vector<std::string> parts;
  size_t pos = 0;
  for (size_t sp; (sp = line.find(' ', pos)) != std::string::npos; pos = sp + 1) {
    parts.push_back(line.substr(pos, sp - pos));
  }
  parts.push_back(line.substr(pos));
  return parts;
}

class WireHygieneTest : public ProtocolTest {
 protected:
  void UseFile() {
    std::string path = dir_.File("f.bin");
    testing_support::WriteFile(path, std::string(3000, 'x'));
    platform::CopyText(task_.FileName, path);
    task_.FileSize = 3000;
    ChooseBlockSize(task_);
  }
};

TEST_F(WireHygieneTest, EveryRequestLineIsThreePartsWhateverTheValuesHold) {
  UseFile();
  platform::CopyText(task_.ParamStr, "a=1 2&t=\tx&c=\x7f&nl=\r\nX-Injected: 1&pc={pick_code}");
  platform::CopyText(task_.PickCode, "p q\"r\r\n");
  platform::CopyText(task_.Key, "k y");
  platform::CopyText(task_.SHA1Hash, "S");
  platform::CopyText(task_.Cookie, "SID=x; uid=1");
  task_.IsUpload = true;
  server_.Reply("<root><cmd>reupload</cmd><status>7</status></root>");
  Dispatch();
  server_.Reply("<ups><cmd>co</cmd><data_type>0</data_type><data>0</data></ups>");
  ASSERT_TRUE(Check());
  NoStop progress;
  server_.Reply("<ups><cmd>up</cmd><status>100</status></ups>");
  ASSERT_TRUE(Upload(progress));
  server_.Reply("<ups><cmd>fin</cmd><status>100</status></ups>");
  ASSERT_TRUE(Finish());
  server_.Reply("<root><cmd>delete</cmd><status>0</status></root>");
  DeleteOnServer(task_);
  ASSERT_TRUE(server_.WaitForRequests(5, 5000));
  ASSERT_TRUE(WaitForServerDeletes());

  const auto requests = server_.Requests();
  const char* expected[] = {
      "/index.php?cmd=reupload&a=1%202&t=%09x&c=%7F&nl=%0D%0AX-Injected:%201&pc=p%20q\"r%0D%0A",
      "/ups/co?sha1=S&filename=p%20q\"r%0D%0A&filesize=3000&key=k%20y",
      "/ups/up?sha1=S&filename=p%20q\"r%0D%0A&filesize=3000&key=k%20y",
      "/ups/fin?sha1=S&filename=p%20q\"r%0D%0A&filesize=3000&key=k%20y&block_schema=0&hashes=1:",
      "/index.php?cmd=delete&pickcode=p%20q\"r%0D%0A&cookie=SID=x;%20uid=1"};
  for (size_t i = 0; i < requests.size(); ++i) {
    const std::vector<std::string> parts = Parts(requests[i].Line());
    ASSERT_EQ(parts.size(), 3u) << requests[i].Line();
    EXPECT_EQ(parts[1].rfind(expected[i], 0), 0u) << parts[1];
    EXPECT_EQ(requests[i].head.find("\r\nX-Injected"), std::string::npos);
  }
  // In the form, the file name is a quoted string: only '"', CR and LF are encoded.
  EXPECT_NE(requests[2].body.find("filename=\"p q%22r%0D%0A\"\r\n"), std::string::npos);
}

TEST_F(WireHygieneTest, AnAddressWithoutAPathIsAskedAtTheRoot) {
  DispatchEndpointValue ep = runtime_.dispatch.Get();
  ep.Path[0] = '\0';
  runtime_.dispatch.Set(ep);
  Dispatch();
  EXPECT_EQ(server_.LastLine(), "GET /?cmd=upload& HTTP/1.1");
  task_.IsUpload = true;
  DeleteOnServer(task_);
  ASSERT_TRUE(server_.WaitForRequests(2, 5000));
  EXPECT_EQ(server_.LastLine(), "GET /?cmd=delete&pickcode=&cookie= HTTP/1.1");
}

TEST_F(WireHygieneTest, AnUploadServerNameThatIsNotAPlainHostNameIsRefused) {
  for (const char* ip : {"a b", "h\r\nX: 1", "u@h", "h/x", "h:80", "a..b", "h.", "\t"}) {
    server_.Reply(
        std::string("<root><cmd>upload</cmd><status>100</status><is_need_upload>1</is_need_upload>"
                    "<ip>") +
        ip + "</ip><port>81</port><pickcode>p</pickcode><key>k</key></root>");
    EXPECT_FALSE(Dispatch()) << ip;
  }
}

TEST_F(WireHygieneTest, TextAfterTheRootElementIsNotTheReplysBusiness) {
  UseFile();
  platform::CopyText(task_.PickCode, "p");
  for (const char* trailer : {"\nDone.\n", "<br />\n<b>Notice</b>: x", " <unclosed", "\0"}) {
    server_.Reply(std::string("<root><cmd>upload</cmd><status>100</status>"
                              "<is_need_upload>0</is_need_upload><pickcode>P</pickcode></root>") +
                  trailer);
    EXPECT_TRUE(Dispatch()) << trailer;
    server_.Reply(std::string("<ups><cmd>co</cmd><data_type>0</data_type><data>5</data></ups>") +
                  trailer);
    EXPECT_TRUE(Check()) << trailer;
    NoStop progress;
    server_.Reply(std::string("<ups><cmd>up</cmd><status>100</status></ups>") + trailer);
    EXPECT_TRUE(Upload(progress)) << trailer;
    server_.Reply(std::string("<ups><cmd>fin</cmd><status>100</status></ups>") + trailer);
    EXPECT_TRUE(Finish()) << trailer;
  }
  // Text before the root is still no reply.
  server_.Reply("Done.<root><cmd>upload</cmd><status>100</status></root>");
  EXPECT_FALSE(Dispatch());
}

TEST(WireText, HostNamesAndTargetBytes) {
  struct {
    const char* host;
    bool plain;
  } hosts[] = {{"dispatch.corvel.example", true},
               {"127.0.0.1", true},
               {"a_b-c.d", true},
               {"", false},
               {".example", false},
               {"a..b", false},
               {"a.", false},
               {"a b", false},
               {"a\tb", false},
               {"a\vb", false},
               {"a@b", false},
               {"a/b", false},
               {"a:1", false},
               {"\xC3\xA9.example", false}};
  for (const auto& h : hosts) EXPECT_EQ(IsPlainHostName(h.host), h.plain) << h.host;
  EXPECT_EQ(EncodeTargetBytes(std::string("a b\t\x01\x1f\x20\x7f%~\xB5", 11)),
            "a%20b%09%01%1F%20%7F%~\xB5");
  EXPECT_FALSE(IsWireTarget("/a b"));
  EXPECT_FALSE(IsWireTarget(""));
  EXPECT_TRUE(IsWireTarget("/a%20b?x=\"\xB5"));
  EXPECT_EQ(EncodeFormFileName("a \"b\"\r\n%"), "a %22b%22%0D%0A%");
}

}  // namespace
