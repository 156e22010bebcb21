// Deleting a task: the detached request to the dispatch server for a begun, unfinished upload,
// the task file removed at once, and a deletion that never waits for the network.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "protocol/Requests.h"
#include "store/TaskFile.h"
#include "tests/support/protocol_fixture.h"

using testing_support::ProtocolTest;

namespace {

const char kDeletePrefix[] =
    "\xC7\xEB\xC7\xF3"
    "Delete:";

class ServerDeleteTest : public ProtocolTest {
 protected:
  void SetUp() override {
    ProtocolTest::SetUp();
    platform::CopyText(task_.FileName, "/data/movie.avi");
    platform::CopyText(task_.Cookie, "sid=abc; t=1");
    platform::CopyText(task_.PickCode, "pc1");
  }
  // Saves the task's file as the worker would.
  void Save() {
    SavedTask saved{};
    platform::CopyText(saved.UserID, task_.UserID);
    platform::CopyText(saved.FileName, task_.FileName);
    ASSERT_TRUE(WriteTaskFile(env_, saved));
  }
};

TEST_F(ServerDeleteTest, OnlyABegunUnfinishedUploadIsDroppedOnTheServer) {
  // Never begun, or completed: nothing is sent, Deleted all the same.
  for (bool completed : {false, true}) {
    task_.IsUpload = completed;
    task_.Completed = completed;
    task_.Deleted = false;
    EXPECT_TRUE(DeleteOnServer(task_));
    EXPECT_TRUE(task_.Deleted);
  }
  ASSERT_TRUE(WaitForServerDeletes());
  EXPECT_TRUE(server_.Requests().empty());
  EXPECT_EQ(Console(), "DeleteTask FailedDeleteTask Failed");

  // Begun and unfinished, with its task file: both go.
  Save();
  ClearDiagnostics();
  task_.IsUpload = true;
  task_.Completed = false;
  const std::string body = "<root><cmd>delete</cmd><status>0</status></root>";
  server_.Reply(body);
  EXPECT_TRUE(DeleteOnServer(task_));
  EXPECT_EQ(Console(), "DeleteTask Success");
  ASSERT_TRUE(server_.WaitForRequests(1, 5000));
  ASSERT_TRUE(WaitForServerDeletes());
  const std::string target = "/index.php?cmd=delete&pickcode=pc1&cookie=sid=abc;%20t=1";
  EXPECT_EQ(server_.LastLine(), "GET " + target + " HTTP/1.1");
  EXPECT_EQ(server_.Requests().back().Header("Host"), "dispatch.corvel.example");
  std::string debug = Debug();
  EXPECT_EQ(debug.rfind(std::string(kDeletePrefix) + target + "\r\n", 0), 0u);
  EXPECT_EQ(debug.substr(debug.size() - body.size() - 2), body + "\r\n");
  EXPECT_FALSE(DeleteTaskFile(env_, task_.UserID, task_.FileName));
}

TEST_F(ServerDeleteTest, TheRequestThreadKeepsItsOwnCopyOfEverything) {
  task_.IsUpload = true;
  task_.PickCode[0] = '\0';
  server_.Stall();  // the dispatch server does not answer
  auto* owned = new TaskRecord(task_);
  auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(DeleteOnServer(*owned));
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  EXPECT_TRUE(owned->Deleted);
  // The task and the endpoint it was sent to may change or go while the request waits.
  delete owned;
  ASSERT_TRUE(server_.WaitForRequests(1, 5000));
  DispatchEndpointValue ep{};
  platform::CopyText(ep.Host, "elsewhere.example");
  runtime_.dispatch.Set(ep);
  EXPECT_EQ(server_.LastLine(),
            "GET /index.php?cmd=delete&pickcode=&cookie=sid=abc;%20t=1 HTTP/1.1");
  EXPECT_EQ(runtime_.deletions.Pending(), 1);
  EXPECT_EQ(Console(), "DeleteTask Failed");
  server_.EndStalls();
}

TEST_F(ServerDeleteTest, TheReplyIsRecognisedButItsStatusNotJudged) {
  struct Case {
    const char* body;
    bool ok;
  } cases[] = {{"<root><cmd>delete</cmd><status>-1</status></root>", true},
               {"<root><cmd>delete</cmd><status/></root>", false},
               {"<root><cmd>upload</cmd><status>100</status></root>", false},
               {"<ups><cmd>delete</cmd><status>100</status></ups>", false}};
  const std::string target = "/index.php?cmd=delete&pickcode=p&cookie=c";
  for (const Case& c : cases) {
    server_.Reply(c.body);
    EXPECT_EQ(RequestServerDelete(call(), runtime_.dispatch.Get(), target.c_str()), c.ok) << c.body;
  }
  EXPECT_EQ(server_.LastLine(), "GET " + target + " HTTP/1.1");
}

}  // namespace
