// The `ferrant` command as a process: exit codes, Ctrl-C leaving the task file for `resume`,
// and the end of `rpc` input with a task running.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/Env.h"
#include "platform/ProcessState.h"
#include "server/ReferenceServer.h"
#include "tests/support/TempDir.h"

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
  std::string Connection() {
    return " --dispatch http://dispatch.corvel.example:" + Port() +
           "/index.php --resolve dispatch.corvel.example:" + Port() +
           ":127.0.0.1 --user u1 --retry 0 --wait 0";
  }
  // Runs a shell command line; returns its exit status and output.
  int Run(const std::string& cmd, std::string* out = nullptr) {
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
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
  testing_support::TempDir dir_;
  std::unique_ptr<refserver::ReferenceServer> server_;
};

TEST_F(CommandTest, UploadExitsZeroWhenEveryTaskCompletedAndOneOtherwise) {
  std::string a = dir_.File("a.bin");
  testing_support::WritePatternFile(a, 200000);
  std::string out;
  EXPECT_EQ(Run(Ferrant() + " upload --status-lines" + Connection() + " " + a, &out), 0) << out;
  EXPECT_NE(out.find("Status=9"), std::string::npos);
  refserver::EndpointFault f;
  f.status = 101;
  server_->SetFault("dispatch", f);
  std::string b = dir_.File("b.bin");
  testing_support::WritePatternFile(b, 1000, 2);
  EXPECT_EQ(Run(Ferrant() + " upload --status-lines" + Connection() + " " + b, &out), 1);
  EXPECT_NE(out.find("error 401: the dispatch request failed"), std::string::npos) << out;
  EXPECT_NE(out.find("server status 101"), std::string::npos) << out;
  EXPECT_EQ(Run(Ferrant() + " upload --dispatch http://other.org/ " + b, &out), 2);
}

TEST_F(CommandTest, InterruptLeavesTheTaskFileAndResumeFinishes) {
  std::string big = dir_.File("big.bin");
  testing_support::WritePatternFile(big, 64 << 20);
  refserver::EndpointFault stall;
  stall.stallAfterBytes = 4 << 20;
  server_->SetFault("up", stall);
  pid_t pid = fork();
  if (pid == 0) {
    std::string cmd = "exec " + Ferrant() + " upload --status-lines" + Connection() + " " + big +
                      " >/dev/null 2>&1";
    execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 1000 && server_->Stats().uploadBytes < (4 << 20); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GE(server_->Stats().uploadBytes, 4 << 20);
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_EQ(TaskFiles(), 1);
  server_->ClearFaults();
  std::string out;
  EXPECT_EQ(Run(Ferrant() + " tasks" + Connection(), &out), 0);
  EXPECT_NE(out.find("big.bin"), std::string::npos) << out;
  EXPECT_EQ(Run(Ferrant() + " resume --status-lines" + Connection(), &out), 0) << out;
  EXPECT_EQ(TaskFiles(), 0);
  EXPECT_EQ(server_->Stats().uploadBytes, 64 << 20);
}

TEST_F(CommandTest, EndOfRpcInputStopsRunningTasksAndKeepsTheirFiles) {
  std::string big = dir_.File("r.bin");
  testing_support::WritePatternFile(big, 16 << 20);
  refserver::EndpointFault stall;
  stall.stallAfterBytes = 1 << 20;
  server_->SetFault("up", stall);
  std::string url = "http://dispatch.corvel.example:" + Port() + "/index.php";
  std::string param = "sha1={sha1}&size=" + std::to_string(16 << 20) + "&name=r.bin";
  std::string script = dir_.File("script.sh");
  testing_support::WriteFile(
      script,
      "echo '{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"InitService\",\"params\":[\"u1\","
      "\"c\",\"" +
          url +
          "\",0,0]}'\n"
          "echo '{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"AddUpTask\",\"params\":[1,\"" +
          big + "\",\"" + param +
          "\"]}'\n"
          "echo '{\"jsonrpc\":\"2.0\",\"id\":3,\"method\":\"ContinueUpTask\",\"params\":[1]}'\n"
          "sleep 1\n");
  std::string out;
  EXPECT_EQ(Run("sh " + script + " | " + Ferrant() +
                    " rpc --resolve dispatch.corvel.example:" + Port() + ":127.0.0.1",
                &out),
            0);
  EXPECT_EQ(out,
            "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":null}\n"
            "{\"id\":2,\"jsonrpc\":\"2.0\",\"result\":1}\n"
            "{\"id\":3,\"jsonrpc\":\"2.0\",\"result\":1}\n");
  EXPECT_EQ(TaskFiles(), 1);
}

}  // namespace
