// The `ferrant` command as a process against the reference server on loopback: exit codes,
// Ctrl-C leaving the task file for `resume` or the same upload, and `rpc` end to end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Env.h"
#include "server/ReferenceServer.h"
#include "tests/support/TempDir.h"

using nlohmann::json;

namespace {

std::string Ferrant() {
  return std::string(FERRANT_BUILD_DIR) + "/host/ferrant";
}

class CommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    refserver::ServerOptions o;
    o.storeDir = dir_.path() + "/server";
    server_ = std::make_unique<refserver::ReferenceServer>(o);
    ASSERT_TRUE(server_->Start());
    setenv("APPDATA", (dir_.path() + "/appdata").c_str(), 1);
    platform::Env::Default().MakeDirectory(dir_.path() + "/appdata");
  }
  void TearDown() override {
    server_->Stop();
    unsetenv("APPDATA");
  }
  std::string Port() { return std::to_string(server_->Port()); }
  std::string Dispatch() { return "http://dispatch.corvel.example:" + Port() + "/index.php"; }
  std::string Resolve() { return "dispatch.corvel.example:" + Port() + ":127.0.0.1"; }
  // --resolve comes last, right before the files, so that it must not take them as values.
  std::string Connection() {
    return " --dispatch " + Dispatch() + " --user u1 --retry 0 --wait 0 --resolve " + Resolve();
  }
  // Runs a shell command line; returns its exit status and its output (with standard error
  // unless the command redirects it).
  int Run(const std::string& cmd, std::string* out = nullptr, bool withStderr = true) {
    FILE* p = popen((cmd + (withStderr ? " 2>&1" : "")).c_str(), "r");
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    int status = pclose(p);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int TaskFiles() {
    return static_cast<int>(platform::Env::Default()
                                .ListMatching(dir_.path() + "/appdata/Corvel/Ferrant/u1", ".udu")
                                .size());
  }
  // Starts `ferrant upload` of file while the server stops reading after stallAt bytes, and
  // sends SIGINT once they arrived; expects exit 130 and the task file left behind.
  void InterruptUpload(const std::string& file, int64_t stallAt) {
    refserver::EndpointFault stall;
    stall.stallAfterBytes = stallAt;
    server_->SetFault("up", stall);
    const std::string cmd = "exec " + Ferrant() + " upload --status-lines" + Connection() + " " +
                            file + " >/dev/null 2>&1";
    pid_t pid = fork();
    if (pid == 0) {
      execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 1000 && server_->Stats().uploadBytes < stallAt; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GE(server_->Stats().uploadBytes, stallAt);
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_EQ(TaskFiles(), 1);
    server_->ClearFaults();
  }
  testing_support::TempDir dir_;
  std::unique_ptr<refserver::ReferenceServer> server_;
};

TEST_F(CommandTest, AFreshAccountGetsItsDataFolderMadeAndOneThatCannotBeMadeIsNamed) {
  const std::string a = dir_.File("a.bin");
  testing_support::WriteFile(dir_.File("afile"), "not a folder");
  platform::Env::Default().MakeDirectory(dir_.File("home"));
  const struct {
    std::string env;  // what the account has instead of our APPDATA
    int exit;
    std::string said;
  } cases[] = {{"XDG_DATA_HOME= HOME=" + dir_.File("home"), 0, ""},
               {"XDG_DATA_HOME=" + dir_.File("x/y"), 0, ""},
               {"XDG_DATA_HOME=" + dir_.File("afile/sub"), 1,
                "error 490: the task file could not be written in " + dir_.File("afile/sub") +
                    "/Corvel/Ferrant/u1"}};
  uint32_t seed = 100;
  for (const auto& c : cases) {
    std::string out;
    // Each run is a new file for the server, so that the task file is needed.
    testing_support::WritePatternFile(a, 5000, ++seed);
    EXPECT_EQ(Run("env -u APPDATA " + c.env + " " + Ferrant() + " upload --status-lines" +
                      Connection() + " " + a,
                  &out),
              c.exit)
        << c.env << out;
    EXPECT_NE(out.find(c.said), std::string::npos) << out;
  }
  EXPECT_TRUE(platform::Env::Default().IsDirectory(dir_.File("home/.local/share/Corvel")));
}

TEST_F(CommandTest, ExitCodesTellCompletedFailedRefusedAndBadOptions) {
  std::string a = dir_.File("a.bin");
  testing_support::WritePatternFile(a, 200000);
  std::string out;
  EXPECT_EQ(Run(Ferrant() + " upload --status-lines" + Connection() + " " + a, &out), 0) << out;
  EXPECT_NE(out.find("Status=9"), std::string::npos);
  EXPECT_EQ(server_->Stats().uploadBytes, 200000);
  // Once more: the server holds it, nothing is sent, and that is a success too.
  EXPECT_EQ(Run(Ferrant() + " upload --status-lines" + Connection() + " " + a, &out), 0) << out;
  EXPECT_EQ(server_->Stats().uploadBytes, 200000);

  refserver::EndpointFault f;
  f.status = 101;
  server_->SetFault("dispatch", f);
  std::string b = dir_.File("b.bin");
  testing_support::WritePatternFile(b, 1000, 2);
  EXPECT_EQ(Run(Ferrant() + " upload --status-lines" + Connection() + " " + b, &out), 1);
  EXPECT_NE(out.find("error 401: the dispatch request failed"), std::string::npos) << out;
  EXPECT_NE(out.find("server status 101"), std::string::npos) << out;
  server_->ClearFaults();

  // A path the control refuses (longer than its 1023-byte field) is a failure, not a success
  // with nothing done, even next to a file that completes.
  std::string tooLong = "/" + std::string(300, 'x') + "/" + std::string(300, 'y') + "/" +
                        std::string(300, 'z') + "/" + std::string(300, 'w');
  EXPECT_EQ(
      Run(Ferrant() + " upload --status-lines" + Connection() + " " + a + " " + tooLong, &out), 1);
  EXPECT_NE(out.find("refused"), std::string::npos) << out;

  EXPECT_EQ(Run(Ferrant() + " upload --dispatch http://other.org/ " + b, &out), 2);
  EXPECT_EQ(Run(Ferrant() + " upload --resolve nonsense " + b, &out), 2);
  EXPECT_NE(Run(Ferrant() + " upload", &out), 0);
  EXPECT_EQ(Run(Ferrant() + " upload --help", &out), 0);
  EXPECT_NE(out.find("--status-lines"), std::string::npos);
}

TEST_F(CommandTest, InterruptLeavesTheTaskFileAndResumeFinishes) {
  std::string big = dir_.File("big.bin");
  testing_support::WritePatternFile(big, 64 << 20);
  InterruptUpload(big, 4 << 20);
  std::string out;
  EXPECT_EQ(Run(Ferrant() + " tasks" + Connection(), &out), 0);
  EXPECT_NE(out.find("1 saved task(s)"), std::string::npos) << out;
  EXPECT_NE(out.find("10000  64.0 MiB"), std::string::npos) << out;
  EXPECT_NE(out.find("big.bin"), std::string::npos) << out;
  EXPECT_EQ(Run(Ferrant() + " resume --status-lines" + Connection(), &out), 0) << out;
  EXPECT_EQ(TaskFiles(), 0);
  // The resumed upload went on from the server's offset: no byte came twice.
  EXPECT_EQ(server_->Stats().uploadBytes, 64 << 20);
}

TEST_F(CommandTest, InterruptedUploadGoesOnWhenTheSameFileIsUploadedAgain) {
  std::string big = dir_.File("again.bin");
  testing_support::WritePatternFile(big, 48 << 20, 3);
  InterruptUpload(big, 8 << 20);
  std::string out;
  EXPECT_EQ(Run(Ferrant() + " upload --status-lines" + Connection() + " " + big, &out), 0) << out;
  // The saved task (10000) carried it, not a new one started from the first byte.
  EXPECT_NE(out.find("10000 FileName=" + big), std::string::npos) << out;
  EXPECT_EQ(TaskFiles(), 0);
  EXPECT_EQ(server_->Stats().uploadBytes, 48 << 20);
}

TEST_F(CommandTest, RpcSessionEndToEnd) {
  std::string small = dir_.File("s.txt");
  testing_support::WriteFile(small, "hello, server");
  const std::string param = "sha1={sha1}&size=13&name=s.txt&pick_code={pick_code}";
  std::vector<json> first = {
      {{"jsonrpc", "2.0"}, {"id", 1}, {"method", "GetTaskCount"}},
      {{"jsonrpc", "2.0"},
       {"id", 2},
       {"method", "InitService"},
       {"params", {"u1", "c", Dispatch(), 0, 0}}},
      {{"jsonrpc", "2.0"}, {"id", 3}, {"method", "AddUpTask"}, {"params", {5, small, param}}},
      {{"jsonrpc", "2.0"}, {"id", 4}, {"method", "AddUpTask"}, {"params", {6, small, param}}},
      {{"jsonrpc", "2.0"}, {"method", "GetTaskCount"}},  // a notification: no answer
      {{"jsonrpc", "2.0"}, {"id", "five"}, {"method", "ContinueUpTask"}, {"params", {5}}},
      {{"jsonrpc", "2.0"}, {"id", 6}, {"method", "Nope"}},
      {{"jsonrpc", "2.0"}, {"id", 7}, {"method", "StopUpTask"}, {"params", {"5"}}},
      {{"jsonrpc", "2.0"}, {"id", 8}, {"method", "SelectFileList"}, {"params", {"All|*.*"}}},
  };
  std::vector<json> second = {
      {{"jsonrpc", "2.0"}, {"id", 9}, {"method", "GetTaskInfo"}, {"params", {5}}},
      {{"jsonrpc", "2.0"}, {"id", 10}, {"method", "GetTaskInfo"}, {"params", {77}}},
      {{"jsonrpc", "2.0"}, {"id", 11}, {"method", "GetFileList"}},
      {{"jsonrpc", "2.0"}, {"id", 12}, {"method", "DeleteFileList"}},
      {{"jsonrpc", "2.0"}, {"id", 13}, {"method", "GetFileList"}},
      {{"jsonrpc", "2.0"}, {"id", 14}, {"method", "GetVersionInfo"}},
      {{"jsonrpc", "2.0"}, {"id", 15}, {"method", "StopUpTask"}, {"params", {5}}},
      {{"jsonrpc", "2.0"}, {"id", 16}, {"method", "DeleteUpTask"}, {"params", {5}}},
      {{"jsonrpc", "2.0"}, {"id", 17}, {"method", "GetTaskCount"}},
  };
  std::string part1, part2;
  for (const json& j : first) part1 += j.dump() + "\n";
  part1 += "{\"jsonrpc\":\"2.0\",\"id\":20,\"method\":\"GetVersionInfo\xFF\"}\n";  // not UTF-8
  part1 += "{\"jsonrpc\":\n";                                                      // cut short
  for (const json& j : second) part2 += j.dump() + "\n";
  testing_support::WriteFile(dir_.File("part1"), part1);
  testing_support::WriteFile(dir_.File("part2"), part2);
  // The selection names a file whose name is not UTF-8.
  std::string odd = dir_.File("odd\xB5.txt");
  testing_support::WriteFile(odd, "12345");
  std::string out;
  // Diagnostics switched on must still not reach standard output.
  EXPECT_EQ(Run("(cat " + dir_.File("part1") + "; sleep 1; cat " + dir_.File("part2") +
                    ") | FERRANT_DEBUG=1 FERRANT_FILE_SELECTION='" + odd + "' " + Ferrant() +
                    " rpc --resolve " + Resolve() + " 2>/dev/null",
                &out, false),
            0);
  std::vector<json> replies;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    ASSERT_NO_THROW(replies.push_back(json::parse(line))) << line;
  }
  ASSERT_EQ(replies.size(), 19u) << out;
  for (const json& r : replies) EXPECT_EQ(r["jsonrpc"], "2.0");
  EXPECT_EQ(replies[0]["result"], 0);
  EXPECT_TRUE(replies[1]["result"].is_null());
  EXPECT_EQ(replies[2]["result"], 1);
  EXPECT_EQ(replies[3]["result"], 0);  // the same path again
  EXPECT_EQ(replies[4]["id"], "five");
  EXPECT_EQ(replies[4]["result"], 1);
  EXPECT_EQ(replies[5]["error"]["code"], -32601);
  EXPECT_EQ(replies[6]["error"]["code"], -32602);
  EXPECT_TRUE(replies[7]["result"].is_null());
  EXPECT_EQ(replies[8]["error"]["code"], -32700);
  EXPECT_TRUE(replies[8]["id"].is_null());
  EXPECT_EQ(replies[9]["error"]["code"], -32700);
  EXPECT_EQ(replies[10]["id"], 9);
  EXPECT_NE(replies[10]["result"].get<std::string>().find("|Status=9|ErrCode=100"),
            std::string::npos)
      << replies[10];
  EXPECT_EQ(replies[11]["result"], "NULL");
  EXPECT_EQ(replies[12]["result"], dir_.File("odd\xEF\xBF\xBD.txt*5"));
  EXPECT_TRUE(replies[13]["result"].is_null());
  EXPECT_EQ(replies[14]["result"], "NULL");
  EXPECT_EQ(replies[15]["result"], "Tavik Upload Plug-in v1.5.6.6");
  EXPECT_EQ(replies[16]["result"], 1);
  EXPECT_EQ(replies[17]["result"], 1);
  EXPECT_EQ(replies[18]["result"], 0);
  EXPECT_EQ(server_->Stats().uploadBytes, 13);
}

TEST_F(CommandTest, EndOfRpcInputStopsRunningTasksAndKeepsTheirFiles) {
  std::string big = dir_.File("r.bin");
  testing_support::WritePatternFile(big, 16 << 20);
  refserver::EndpointFault stall;
  stall.stallAfterBytes = 1 << 20;
  server_->SetFault("up", stall);
  std::string param = "sha1={sha1}&size=" + std::to_string(16 << 20) + "&name=r.bin";
  std::string requests =
      json{{"jsonrpc", "2.0"},
           {"id", 1},
           {"method", "InitService"},
           {"params", {"u1", "c", Dispatch(), 0, 0}}}
          .dump() +
      "\n" +
      json{{"jsonrpc", "2.0"}, {"id", 2}, {"method", "AddUpTask"}, {"params", {1, big, param}}}
          .dump() +
      "\n" +
      json{{"jsonrpc", "2.0"}, {"id", 3}, {"method", "ContinueUpTask"}, {"params", {1}}}.dump() +
      "\n";
  testing_support::WriteFile(dir_.File("requests"), requests);
  std::string out;
  EXPECT_EQ(Run("(cat " + dir_.File("requests") + "; sleep 1) | " + Ferrant() + " rpc --resolve " +
                    Resolve(),
                &out),
            0);
  EXPECT_EQ(out,
            "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":null}\n"
            "{\"id\":2,\"jsonrpc\":\"2.0\",\"result\":1}\n"
            "{\"id\":3,\"jsonrpc\":\"2.0\",\"result\":1}\n");
  EXPECT_GE(server_->Stats().uploadBytes, 1 << 20);
  EXPECT_EQ(TaskFiles(), 1);
}

// DeleteUpTask of a begun upload through rpc, with the input ending right after: the dispatch
// server hears of it (on a thread nobody joins, which the command outwaits before it exits)
// with the user's cookie, and the task file is gone.
TEST_F(CommandTest, EndOfRpcInputRightAfterADeletionStillDropsTheServersUpload) {
  std::string big = dir_.File("d.bin");
  testing_support::WritePatternFile(big, 8 << 20, 6);
  refserver::EndpointFault stall;
  stall.stallAfterBytes = 1 << 20;
  server_->SetFault("up", stall);
  std::string param = "sha1={sha1}&size=" + std::to_string(8 << 20) + "&name=d.bin";
  auto line = [](const json& j) { return j.dump() + "\n"; };
  testing_support::WriteFile(
      dir_.File("start"),
      line({{"jsonrpc", "2.0"},
            {"id", 1},
            {"method", "InitService"},
            {"params", {"u1", "secret", Dispatch(), 0, 0}}}) +
          line({{"jsonrpc", "2.0"},
                {"id", 2},
                {"method", "AddUpTask"},
                {"params", {1, big, param}}}) +
          line({{"jsonrpc", "2.0"}, {"id", 3}, {"method", "ContinueUpTask"}, {"params", {1}}}));
  testing_support::WriteFile(
      dir_.File("delete"),
      line({{"jsonrpc", "2.0"}, {"id", 4}, {"method", "DeleteUpTask"}, {"params", {1}}}));
  std::string out;
  EXPECT_EQ(Run("(cat " + dir_.File("start") + "; sleep 1; cat " + dir_.File("delete") + ") | " +
                    Ferrant() + " rpc --resolve " + Resolve(),
                &out),
            0)
      << out;
  EXPECT_NE(out.find("\"id\":4,\"jsonrpc\":\"2.0\",\"result\":1"), std::string::npos) << out;
  refserver::ServerStats stats = server_->Stats();
  EXPECT_EQ(stats.requests["delete"], 1);
  EXPECT_EQ(stats.lastDeleteCookie, "secret");
  EXPECT_FALSE(stats.lastDeletePickCode.empty());
  EXPECT_EQ(TaskFiles(), 0);
}

// The live display on a terminal 40 columns wide: cursor-up redraws, and no line wider than the
// terminal whatever the file names hold.
TEST_F(CommandTest, LiveLinesOnATerminalFitItsWidth) {
  std::string a = dir_.File("a-file-with-a-rather-long-name-\x1b[31m-and-more.bin");
  std::string b = dir_.File("b.bin");
  testing_support::WritePatternFile(a, 3 << 20, 4);
  testing_support::WritePatternFile(b, 1 << 20, 5);
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::string slaveName = ptsname(master);
  const std::string cmd = "exec " + Ferrant() + " upload" + Connection() + " '" + a + "' " + b;
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    int slave = open(slaveName.c_str(), O_RDWR);
    winsize ws{};
    ws.ws_col = 40;
    ws.ws_row = 10;
    ioctl(slave, TIOCSWINSZ, &ws);
    dup2(slave, 1);
    dup2(slave, 2);
    close(master);
    execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << out;
  EXPECT_NE(out.find("\x1b[2A"), std::string::npos) << "no redraw of the two lines";
  // Each drawn line: "\r\x1b[2K" then the text up to the next "\r\n".
  int drawn = 0;
  for (size_t p = out.find("\r\x1b[2K"); p != std::string::npos; p = out.find("\r\x1b[2K", p)) {
    p += 5;
    std::string text = out.substr(p, out.find('\r', p) - p);
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
    EXPECT_LE(text.size(), 39u) << text;
    ++drawn;
  }
  EXPECT_GE(drawn, 2);
  EXPECT_NE(out.find("b.bin"), std::string::npos);
  EXPECT_NE(out.find("done"), std::string::npos) << out;
}

}  // namespace
