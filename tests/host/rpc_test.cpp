// The `ferrant rpc` contract: methods, results as integers, errors that change nothing, and
// text that is not UTF-8.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "host/FileSelection.h"
#include "host/JsonRpcDispatcher.h"
#include "tests/support/FaultEnv.h"
#include "tests/support/TempDir.h"
#include "upload/Runtime.h"

using nlohmann::json;

namespace {

class RpcTest : public ::testing::Test {
 protected:
  RpcTest() { env_.SetVar("APPDATA", dir_.path()); }
  ~RpcTest() override { core_.Shutdown(5000); }
  json Call(const std::string& method, json params = json::array(), int id = 1) {
    return json::parse(Handle(
        json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}.dump()));
  }
  std::string Handle(const std::string& line) { return dispatcher_.Handle(line); }
  testing_support::TempDir dir_;
  testing_support::FaultEnv env_;
  Runtime runtime_{env_};
  CUpLoadObjCore core_{runtime_};
  host::JsonRpcDispatcher dispatcher_{core_};
};

TEST_F(RpcTest, EveryMethodAnswersWithItsResultType) {
  EXPECT_EQ(Call("GetVersionInfo")["result"], "Tavik Upload Plug-in v1.5.6.6");
  EXPECT_EQ(Call("GetTaskCount")["result"], 0);
  EXPECT_TRUE(
      Call("InitService", {"u1", "c", "http://dispatch.corvel.example/index.php", 1, 1})["result"]
          .is_null());
  std::string path = dir_.File("a.txt");
  testing_support::WriteFile(path, "hello");
  json added = Call("AddUpTask", {3, path, "x=1"});
  EXPECT_TRUE(added["result"].is_number_integer());
  EXPECT_EQ(added["result"], 1);
  EXPECT_EQ(Call("AddUpTask", {4, path, ""})["result"], 0);
  EXPECT_EQ(Call("GetTaskCount")["result"], 1);
  EXPECT_EQ(Call("GetTaskInfo", {3})["result"],
            "FileName=" + path +
                "|FileSize=5|PickCode=|Status=1|ErrCode=100|ServerErrCode=0|ServerErrMsg=");
  EXPECT_EQ(Call("GetTaskInfo", {9})["result"], "NULL");
  EXPECT_EQ(Call("StopUpTask", {3})["result"], 1);
  EXPECT_EQ(Call("StopUpTask", {9})["result"], 0);
  EXPECT_EQ(Call("ContinueUpTask", {9})["result"], 0);
  EXPECT_EQ(Call("DeleteUpTask", {3})["result"], 1);
  EXPECT_EQ(Call("DeleteUpTask", {3})["result"], 0);
  EXPECT_EQ(Call("GetFileList")["result"], "NULL");
  EXPECT_TRUE(Call("DeleteFileList")["result"].is_null());
  EXPECT_TRUE(Call("SelectFileList", {"All|*.*"})["result"].is_null());
}

TEST_F(RpcTest, BadRequestsGetErrorsAndChangeNothing) {
  EXPECT_EQ(json::parse(Handle("{not json"))["error"]["code"], -32700);
  EXPECT_EQ(json::parse(Handle("[1,2]"))["error"]["code"], -32600);
  EXPECT_EQ(json::parse(Handle(R"({"jsonrpc":"1.0","id":1,"method":"x"})"))["error"]["code"],
            -32600);
  EXPECT_EQ(Call("Unknown")["error"]["code"], -32601);
  EXPECT_EQ(Call("AddUpTask", {1})["error"]["code"], -32602);
  EXPECT_EQ(Call("AddUpTask", {"one", "/x", ""})["error"]["code"], -32602);
  EXPECT_EQ(Call("GetTaskInfo", {1.5})["error"]["code"], -32602);
  EXPECT_EQ(Call("InitService", {"u", "c", "http://dispatch.corvel.example/", 1})["error"]["code"],
            -32602);
  EXPECT_FALSE(core_.Initialized());
  EXPECT_EQ(
      json::parse(Handle(
          R"({"jsonrpc":"2.0","id":2,"method":"GetTaskCount","params":{}})"))["error"]["code"],
      -32602);
  EXPECT_EQ(
      json::parse(Handle(R"({"jsonrpc":"2.0","id":[1],"method":"GetTaskCount"})"))["error"]["code"],
      -32600);
  // Nesting a million deep is refused before it is parsed, copied or written (each recursive).
  std::string deep = R"({"jsonrpc":"2.0","id":3,"method":"GetTaskInfo","params":[)" +
                     std::string(1000000, '[') + std::string(1000000, ']') + "]}";
  EXPECT_EQ(json::parse(Handle(deep))["error"]["code"], -32600);
  std::string deepId = R"({"jsonrpc":"2.0","method":"GetTaskCount","id":)" +
                       std::string(1000000, '{') + std::string(1000000, '}') + "}";
  EXPECT_EQ(json::parse(Handle(deepId))["error"]["code"], -32600);
  // Brackets inside strings are text, not nesting.
  EXPECT_EQ(Call("GetTaskInfo", {std::string(100, '[')})["error"]["code"], -32602);
  // A notification gets no answer.
  EXPECT_EQ(Handle(R"({"jsonrpc":"2.0","method":"GetTaskCount"})"), "");
  EXPECT_EQ(Call("GetTaskCount", json::array(), 7)["id"], 7);
}

TEST_F(RpcTest, NumbersAndTextsThatWouldNameSomethingElseAreRefused) {
  Call("InitService", {"u1", "c", "http://dispatch.corvel.example/index.php", 0, 0});
  std::string path = dir_.File("a.txt");
  testing_support::WriteFile(path, "hello");
  ASSERT_EQ(Call("AddUpTask", {1, path, ""})["result"], 1);
  // 2^64 - 1 and 2^32 + 1 must not wrap onto task 1 or -1.
  EXPECT_EQ(
      json::parse(Handle(
          R"({"jsonrpc":"2.0","id":1,"method":"StopUpTask","params":[18446744073709551615]})"))
          ["error"]["code"],
      -32602);
  EXPECT_EQ(Call("DeleteUpTask", {4294967297LL})["error"]["code"], -32602);
  EXPECT_EQ(Call("GetTaskInfo", {2147483647})["result"], "NULL");
  // A NUL inside a path would make the control read a shorter one.
  std::string cut = path + std::string(1, '\0') + ".exe";
  EXPECT_EQ(Call("AddUpTask", {2, cut, ""})["error"]["code"], -32602);
  EXPECT_EQ(Call("GetTaskCount")["result"], 1);
  EXPECT_EQ(Call("DeleteUpTask", {1})["result"], 1);
}

TEST_F(RpcTest, TextThatIsNotUtf8IsReplacedNotFatal) {
  Call("InitService", {"u1", "c", "http://dispatch.corvel.example/index.php", 0, 0});
  std::string name = "bad\xB5\xC4name";
  std::string path = dir_.File(name);
  testing_support::WriteFile(path, "x");
  // The path cannot travel in JSON as it is; a JSON path with a replacement character names
  // another file, so the task is made from the control core directly.
  ASSERT_EQ(core_.AddUpTask(1, path.c_str(), ""), 1);
  std::string out = Handle(R"({"jsonrpc":"2.0","id":1,"method":"GetTaskInfo","params":[1]})");
  json reply = json::parse(out);
  std::string line = reply["result"];
  EXPECT_NE(line.find("bad\xEF\xBF\xBD"), std::string::npos);
}

TEST(FileChooser, SelectionFromTheEnvironment) {
  std::string sel;
  unsetenv("FERRANT_FILE_SELECTION");
  EXPECT_FALSE(host::EnvironmentFileChooser({}, &sel));
  setenv("FERRANT_FILE_SELECTION", "/d/x.txt\n/d/y.txt", 1);
  ASSERT_TRUE(host::EnvironmentFileChooser({}, &sel));
  EXPECT_EQ(sel, std::string("/d\0x.txt\0y.txt\0\0", 16));
  setenv("FERRANT_FILE_SELECTION", "/d/x.txt\n", 1);
  ASSERT_TRUE(host::EnvironmentFileChooser({}, &sel));
  EXPECT_EQ(sel, std::string("/d/x.txt\0\0", 10));
  setenv("FERRANT_FILE_SELECTION", "/d/x.txt\n/e/y.txt", 1);
  EXPECT_FALSE(host::EnvironmentFileChooser({}, &sel));
  setenv("FERRANT_FILE_SELECTION", "\n\n", 1);
  EXPECT_FALSE(host::EnvironmentFileChooser({}, &sel));
  unsetenv("FERRANT_FILE_SELECTION");
}

}  // namespace
