// The upload server's three requests: the check's offset, the block upload's multipart body
// byte for byte and its error codes, the finish request with the final block's hash.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "protocol/Requests.h"
#include "store/Sha1.h"
#include "tests/support/protocol_fixture.h"

using testing_support::ProtocolTest;

namespace {

const char kCheckPrefix[] =
    "\xC7\xEB\xC7\xF3"
    "CO:";
const char kFinishPrefix[] =
    "\xC7\xEB\xC7\xF3"
    "Fin:";

std::string Sha1Hex(const std::string& data) {
  CSha1Digest d;
  d.Update(data.data(), static_cast<uint32_t>(data.size()));
  d.Final();
  char hex[41];
  d.HexDigest(hex);
  return hex;
}

class NoStop : public IBodyProgress {
 public:
  bool StopRequested() override { return false; }
  void PieceSent(int64_t transferred) override { last = transferred; }
  int64_t last = -1;
};

class UploadChainTest : public ProtocolTest {
 protected:
  void SetUp() override {
    ProtocolTest::SetUp();
    platform::CopyText(task_.SHA1Hash, "S");
    platform::CopyText(task_.PickCode, "P");
    platform::CopyText(task_.Key, "K");
  }
  // A local file of the given content as the task's file, with its block plan.
  void UseFile(const std::string& content) {
    std::string path = dir_.File("local file");
    testing_support::WriteFile(path, content);
    platform::CopyText(task_.FileName, path);
    task_.FileSize = static_cast<int64_t>(content.size());
    ChooseBlockSize(task_);
  }
};

TEST_F(UploadChainTest, CheckSendsTheIdentityAndStoresTheOffset) {
  task_.FileSize = 6000000000LL;
  const std::string body =
      "<ups><cmd>co</cmd><data_type>0</data_type><data>5000000000</data></ups>";
  server_.Reply(body);
  ASSERT_TRUE(Check());
  EXPECT_EQ(task_.Offset, 5000000000LL);
  EXPECT_EQ(server_.LastLine(), "GET /ups/co?sha1=S&filename=P&filesize=6000000000&key=K HTTP/1.1");
  EXPECT_EQ(server_.Requests().back().Header("Host"), "up.corvel.example");
  std::string debug = Debug();
  EXPECT_EQ(
      debug.rfind(
          std::string(kCheckPrefix) + "/ups/co?sha1=S&filename=P&filesize=6000000000&key=K\r\n", 0),
      0u);
  EXPECT_EQ(debug.substr(debug.size() - body.size() - 2), body + "\r\n");

  // No status needed; the offset may be the file's end; text after the digits is ignored.
  server_.Reply("<ups><data>6000000000 bytes</data><cmd>co</cmd><data_type>0</data_type></ups>");
  ASSERT_TRUE(Check());
  EXPECT_EQ(task_.Offset, 6000000000LL);
}

TEST_F(UploadChainTest, CheckRefusesRepliesAndOffsetsItCannotResumeFrom) {
  for (const char* bad :
       {"<ups><cmd>co</cmd><data_type>1</data_type><data>0</data></ups>",
        "<ups><cmd>co</cmd><data_type>00</data_type><data>0</data></ups>",
        "<ups><cmd>co</cmd><data>0</data></ups>",
        "<ups><cmd>co</cmd><data_type>0</data_type></ups>",
        "<ups><cmd>co</cmd><data_type>0</data_type><data/></ups>",
        "<ups><cmd>up</cmd><data_type>0</data_type><data>0</data></ups>",
        "<ups><cmd>co</cmd><data_type>0</data_type><data>-5</data></ups>",
        "<ups><cmd>co</cmd><data_type>0</data_type><data>1001</data></ups>",
        "<ups><cmd>co</cmd><data_type>0</data_type><data>99999999999999999999</data></ups>",
        "<root><cmd>co</cmd><data_type>0</data_type><data>0</data></root>"}) {
    task_.Offset = 42;
    server_.Reply(bad);
    EXPECT_FALSE(Check()) << bad;
    EXPECT_EQ(task_.Offset, 42) << bad;
  }
  server_.Reply("<ups><cmd>co</cmd><data_type>0</data_type><data>0</data></ups>", "404 Not Found");
  EXPECT_FALSE(Check());
  // A data text that is not a number reads as the file's start.
  server_.Reply("<ups><cmd>co</cmd><data_type>0</data_type><data>none</data></ups>");
  EXPECT_TRUE(Check());
  EXPECT_EQ(task_.Offset, 0);
}

TEST_F(UploadChainTest, BlockUploadSendsTheMultipartBodyByteForByte) {
  // 2^32 + 2^31 + 5 seconds: the boundary carries the low 32 bits, printed signed.
  env_.FixNow(0x180000005LL);
  const std::string boundary = "--------UpsClient.Package.-2147483643";
  UseFile("0123456789");
  task_.Offset = 4;
  task_.BlockSchema = 0;
  server_.Reply("<ups><cmd>up</cmd><status>100</status></ups>");
  NoStop progress;
  ASSERT_TRUE(Upload(progress));
  EXPECT_EQ(task_.ErrCode, kErrNone);
  EXPECT_EQ(progress.last, 10);

  const std::string head = "--" + boundary +
                           "\r\nContent-Disposition: form-data; name=\"U_BlockSchema\"\r\n\r\n0\r\n"
                           "--" +
                           boundary +
                           "\r\nContent-Disposition: form-data; name=\"U_Offset\"\r\n\r\n4\r\n"
                           "--" +
                           boundary +
                           "\r\nContent-Disposition: form-data; name=\"Filedata\"; filename=\"P\""
                           "\r\nContent-Type: application/octet-stream\r\n\r\n";
  auto r = server_.Requests().back();
  EXPECT_EQ(r.Line(), "POST /ups/up?sha1=S&filename=P&filesize=10&key=K HTTP/1.1");
  EXPECT_EQ(r.Header("Host"), "up.corvel.example");
  EXPECT_EQ(r.Header("Content-Type"), "multipart/form-data; " + boundary);
  EXPECT_EQ(r.Header("Content-Length"), std::to_string(head.size() + 6));
  EXPECT_EQ(r.body, head + "456789");
  EXPECT_EQ(r.tail, "\r\n" + boundary + "--");

  // From the file's end: the head alone is counted.
  task_.Offset = 10;
  server_.Reply("<ups><cmd>up</cmd><status>100</status></ups>");
  ASSERT_TRUE(Upload(progress));
  r = server_.Requests().back();
  std::string headAtEnd = head;
  headAtEnd.replace(headAtEnd.find("\n4\r"), 3, "\n10\r");
  EXPECT_EQ(r.Header("Content-Length"), std::to_string(headAtEnd.size()));
  EXPECT_EQ(r.body, headAtEnd);
  EXPECT_EQ(r.tail, "\r\n" + boundary + "--");
}

TEST_F(UploadChainTest, BlockUploadRecordsWhyItFailed) {
  UseFile("x");
  NoStop progress;
  struct Case {
    const char* reply;
    const char* status;
    bool ok;
    int code;
  } cases[] = {{"<ups><cmd>up</cmd><status>100</status></ups>", "200 OK", true, kErrNone},
               {"<ups><cmd>up</cmd><status>101</status></ups>", "200 OK", false, 603},
               {"<ups><cmd>up</cmd></ups>", "200 OK", false, 603},
               {"<ups><cmd>co</cmd><status>100</status></ups>", "200 OK", false, 602},
               {"<ups><status>100</status></ups>", "200 OK", false, 602},
               {"not xml", "200 OK", false, 602},
               {"<ups><cmd>up</cmd><status>100</status></ups>", "502 Bad Gateway", false, 602}};
  for (const Case& c : cases) {
    task_.ErrCode = kErrNone;
    server_.Reply(c.reply, c.status);
    EXPECT_EQ(Upload(progress), c.ok) << c.reply;
    EXPECT_EQ(task_.ErrCode, c.code) << c.reply;
  }
  // The file is gone: nothing to send.
  platform::CopyText(task_.FileName, dir_.File("missing"));
  task_.ErrCode = kErrNone;
  EXPECT_FALSE(Upload(progress));
  EXPECT_EQ(task_.ErrCode, kErrUploadSend);
}

TEST_F(UploadChainTest, FinishCarriesThePlanAndTheFinalBlockHash) {
  UseFile("x");
  char out[100];
  ASSERT_TRUE(HashFinalBlock(runtime_.transport, task_, out, task_.BlockCount));
  EXPECT_STREQ(out, "1:11F6AD8EC52A2984ABAAFD7C3B516503785C2072");

  const std::string body = "<ups><cmd>fin</cmd><status>100</status></ups>";
  server_.Reply(body);
  EXPECT_TRUE(Finish());
  const std::string target =
      "/ups/fin?sha1=S&filename=P&filesize=1&key=K&block_schema=0"
      "&hashes=1:11F6AD8EC52A2984ABAAFD7C3B516503785C2072";
  EXPECT_EQ(server_.LastLine(), "GET " + target + " HTTP/1.1");
  std::string debug = Debug();
  EXPECT_EQ(debug.rfind(std::string(kFinishPrefix) + target + "\r\n", 0), 0u);
  EXPECT_EQ(debug.substr(debug.size() - body.size() - 2), body + "\r\n");

  for (const char* bad :
       {"<ups><cmd>fin</cmd><status>101</status></ups>", "<ups><cmd>fin</cmd></ups>",
        "<ups><cmd>up</cmd><status>100</status></ups>",
        "<root><cmd>fin</cmd><status>100</status></root>"}) {
    server_.Reply(bad);
    EXPECT_FALSE(Finish()) << bad;
  }
  EXPECT_EQ(Console(), "");
}

TEST_F(UploadChainTest, TheFinalBlockIsAWholeBlockOrTheRest) {
  // Two whole blocks of 256 KiB: the second is hashed.
  std::string content(2 * 262144, 'a');
  content[262144] = 'b';
  UseFile(content);
  ASSERT_EQ(task_.BlockCount, 2);
  char out[100];
  ASSERT_TRUE(HashFinalBlock(runtime_.transport, task_, out, task_.BlockCount));
  EXPECT_EQ(std::string(out), "2:" + Sha1Hex(content.substr(262144)));

  // One byte past 128 MiB, sparse: 257 blocks of 512 KiB, the last one a single byte.
  std::string path = dir_.File("sparse");
  { std::ofstream create(path, std::ios::binary); }
  std::filesystem::resize_file(path, 134217728);
  {
    std::ofstream append(path, std::ios::binary | std::ios::app);
    append << 'z';
  }
  platform::CopyText(task_.FileName, path);
  task_.FileSize = 134217729;
  ChooseBlockSize(task_);
  ASSERT_EQ(task_.BlockSchema, 1);
  ASSERT_EQ(task_.BlockCount, 257);
  const std::string hashes = "257:" + Sha1Hex("z");
  ASSERT_TRUE(HashFinalBlock(runtime_.transport, task_, out, task_.BlockCount));
  EXPECT_EQ(std::string(out), hashes);
  server_.Reply("<ups><cmd>fin</cmd><status>100</status></ups>");
  EXPECT_TRUE(Finish());
  EXPECT_EQ(server_.LastLine(),
            "GET /ups/fin?sha1=S&filename=P&filesize=134217729&key=K"
            "&block_schema=1&hashes=" +
                hashes + " HTTP/1.1");
}

TEST_F(UploadChainTest, AFileWithoutItsFinalBlockCannotBeFinished) {
  // Empty: the final block would start before the file.
  UseFile("");
  EXPECT_FALSE(Finish());
  EXPECT_EQ(Console(), "Error:2\nBlockHash Error\n");
  // Shrunk below the final block's start: no hash of nothing is sent.
  ClearDiagnostics();
  UseFile(std::string(262145, 'q'));
  testing_support::WriteFile(task_.FileName, std::string(262144, 'q'));
  EXPECT_FALSE(Finish());
  EXPECT_EQ(Console(), "Error:2\nBlockHash Error\n");
  // Gone: it cannot be opened.
  ClearDiagnostics();
  platform::CopyText(task_.FileName, dir_.File("missing"));
  EXPECT_FALSE(Finish());
  EXPECT_EQ(Console(), "BlockHash Error\n");
  EXPECT_TRUE(server_.Requests().empty());
}

}  // namespace
