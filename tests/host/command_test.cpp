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
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Env.h"
#include "server/ReferenceServer.h"
#include "tests/support/TempDir.h"

using nlohmann::json;

namespace {

std::string Ferrant() {
  return std::string(FERRANT_BUILD_DIR) + "/host/ferrant";
}

// `ferrant rpc` as a process the test talks to: lines in, lines out, the end of its input when
// the test says so. Reads block until the command answers: the test waits on the command's own
// replies, never on the clock.
class RpcProcess {
 public:
  RpcProcess(const std::string& cmd) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      execl("/bin/sh", "sh", "-c", ("exec " + cmd).c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    in_ = in[1];
    out_ = fdopen(out[0], "r");
  }
  ~RpcProcess() {
    CloseInput();
    if (out_) fclose(out_);
  }
  void Send(const json& request) {
    const std::string line = request.dump() + "\n";
    ASSERT_EQ(write(in_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }
  void SendRaw(const std::string& text) {
    ASSERT_EQ(write(in_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // The next reply line, parsed; null at the end of the output.
  json Read() {
    char* line = nullptr;
    size_t cap = 0;
    const ssize_t n = getline(&line, &cap, out_);
    json j = n > 0 ? json::parse(std::string(line, static_cast<size_t>(n))) : json();
    free(line);
    return j;
  }
  // Asks until the answer satisfies done (each ask a round trip), at most tries times.
  json AskUntil(const json& request, const std::function<bool(const json&)>& done, int tries) {
    json reply;
    for (int i = 0; i < tries; ++i) {
      Send(request);
      reply = Read();
      if (done(reply)) break;
    }
    return reply;
  }
  void CloseInput() {
    if (in_ >= 0) close(in_);
    in_ = -1;
  }
  int Wait() {
    CloseInput();
    int status = 0;
    waitpid(pid_, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  FILE* out_ = nullptr;
};

json Request(int id, const std::string& method, json params = json::array()) {
  return json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}};
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
    ASSERT_TRUE(server_->WaitForStats(
        [&](const refserver::ServerStats& st) { return st.uploadBytes >= stallAt; }, 30000));
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
  // The selection names a file whose name is not UTF-8.
  std::string odd = dir_.File("odd\xB5.txt");
  testing_support::WriteFile(odd, "12345");
  // Diagnostics switched on must still not reach standard output.
  RpcProcess rpc("env FERRANT_DEBUG=1 FERRANT_FILE_SELECTION='" + odd + "' " + Ferrant() +
                 " rpc --resolve " + Resolve() + " 2>/dev/null");
  const struct {
    json request;
    std::function<void(const json&)> check;
  } steps[] = {
      {Request(1, "GetTaskCount"), [](const json& r) { EXPECT_EQ(r["result"], 0); }},
      {Request(2, "InitService", {"u1", "c", Dispatch(), 0, 0}),
       [](const json& r) { EXPECT_TRUE(r["result"].is_null()); }},
      {Request(3, "AddUpTask", {5, small, param}),
       [](const json& r) { EXPECT_EQ(r["result"], 1); }},
      {Request(4, "AddUpTask", {6, small, param}),  // the same path again
       [](const json& r) { EXPECT_EQ(r["result"], 0); }},
      {json{{"jsonrpc", "2.0"}, {"method", "GetTaskCount"}}, nullptr},  // a notification
      {json{{"jsonrpc", "2.0"}, {"id", "five"}, {"method", "ContinueUpTask"}, {"params", {5}}},
       [](const json& r) {
         EXPECT_EQ(r["id"], "five");
         EXPECT_EQ(r["result"], 1);
       }},
      {Request(6, "Nope"), [](const json& r) { EXPECT_EQ(r["error"]["code"], -32601); }},
      {Request(7, "StopUpTask", {"5"}),
       [](const json& r) { EXPECT_EQ(r["error"]["code"], -32602); }},
      {Request(8, "SelectFileList", {"All|*.*"}),
       [](const json& r) { EXPECT_TRUE(r["result"].is_null()); }},
  };
  for (const auto& step : steps) {
    rpc.Send(step.request);
    if (step.check) step.check(rpc.Read());
  }
  // Bytes that are not UTF-8, and a line cut short: parse errors without an id.
  rpc.SendRaw("{\"jsonrpc\":\"2.0\",\"id\":20,\"method\":\"GetVersionInfo\xFF\"}\n{\"jsonrpc\":\n");
  for (int i = 0; i < 2; ++i) {
    const json r = rpc.Read();
    EXPECT_EQ(r["error"]["code"], -32700);
    EXPECT_TRUE(r["id"].is_null());
  }
  // The page's way of waiting: it polls.
  const json info = rpc.AskUntil(
      Request(9, "GetTaskInfo", {5}),
      [](const json& r) {
        return r["result"].get<std::string>().find("|Status=9") != std::string::npos;
      },
      100000);
  EXPECT_NE(info["result"].get<std::string>().find("|Status=9|ErrCode=100"), std::string::npos)
      << info;
  const json list = rpc.AskUntil(
      Request(11, "GetFileList"), [](const json& r) { return r["result"] != "NULL"; }, 100000);
  EXPECT_EQ(list["result"], dir_.File("odd\xEF\xBF\xBD.txt*5"));
  const struct {
    json request;
    json result;
  } rest[] = {{Request(10, "GetTaskInfo", {77}), "NULL"},
              {Request(12, "DeleteFileList"), nullptr},
              {Request(13, "GetFileList"), "NULL"},
              {Request(14, "GetVersionInfo"), "Tavik Upload Plug-in v1.5.6.6"},
              {Request(15, "StopUpTask", {5}), 1},
              {Request(16, "DeleteUpTask", {5}), 1},
              {Request(17, "GetTaskCount"), 0}};
  for (const auto& step : rest) {
    rpc.Send(step.request);
    const json r = rpc.Read();
    EXPECT_EQ(r["jsonrpc"], "2.0");
    EXPECT_EQ(r["result"], step.result) << step.request;
  }
  EXPECT_EQ(rpc.Wait(), 0);
  EXPECT_EQ(server_->Stats().uploadBytes, 13);
}

TEST_F(CommandTest, EndOfRpcInputStopsRunningTasksAndKeepsTheirFiles) {
  std::string big = dir_.File("r.bin");
  testing_support::WritePatternFile(big, 16 << 20);
  refserver::EndpointFault stall;
  stall.stallAfterBytes = 1 << 20;
  server_->SetFault("up", stall);
  std::string param = "sha1={sha1}&size=" + std::to_string(16 << 20) + "&name=r.bin";
  RpcProcess rpc(Ferrant() + " rpc --resolve " + Resolve());
  rpc.Send(Request(1, "InitService", {"u1", "c", Dispatch(), 0, 0}));
  rpc.Send(Request(2, "AddUpTask", {1, big, param}));
  rpc.Send(Request(3, "ContinueUpTask", {1}));
  EXPECT_EQ(rpc.Read().dump(), "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":null}");
  EXPECT_EQ(rpc.Read().dump(), "{\"id\":2,\"jsonrpc\":\"2.0\",\"result\":1}");
  EXPECT_EQ(rpc.Read().dump(), "{\"id\":3,\"jsonrpc\":\"2.0\",\"result\":1}");
  ASSERT_TRUE(server_->WaitForStats(
      [](const refserver::ServerStats& st) { return st.uploadBytes >= (1 << 20); }, 30000));
  EXPECT_EQ(rpc.Wait(), 0);  // the end of the input while the upload runs
  EXPECT_TRUE(rpc.Read().is_null());
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
  RpcProcess rpc(Ferrant() + " rpc --resolve " + Resolve());
  rpc.Send(Request(1, "InitService", {"u1", "secret", Dispatch(), 0, 0}));
  rpc.Send(Request(2, "AddUpTask", {1, big, param}));
  rpc.Send(Request(3, "ContinueUpTask", {1}));
  for (int i = 0; i < 3; ++i) rpc.Read();
  ASSERT_TRUE(server_->WaitForStats(
      [](const refserver::ServerStats& st) { return st.uploadBytes >= (1 << 20); }, 30000));
  rpc.Send(Request(4, "DeleteUpTask", {1}));
  rpc.CloseInput();
  EXPECT_EQ(rpc.Read()["result"], 1);
  EXPECT_EQ(rpc.Wait(), 0);
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
