// Crash safety: the `ferrant` process killed (SIGKILL) at random points of a large upload, then
// started again, until the upload completes; and a task file killed mid-write.
//
// FERRANT_KILL_ITERATIONS sets the number of kills (CI: 6; try 200 for a long run).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>

#include "platform/Bounded.h"
#include "platform/Env.h"
#include "store/TaskFile.h"
#include "tests/support/E2eFixture.h"

using testing_support::E2eFixture;

namespace {

int Iterations() {
  const char* n = std::getenv("FERRANT_KILL_ITERATIONS");
  return n ? std::max(1, std::atoi(n)) : 6;
}

// Reads n bytes of the child's output (or to its end): a point in its run that the child
// itself marks, so that the kill lands where the test chose without guessing times.
void ReadOutput(int fd, size_t n) {
  char buf[256];
  while (n > 0) {
    const ssize_t k = read(fd, buf, std::min(n, sizeof buf));
    if (k <= 0) return;
    n -= static_cast<size_t>(k);
  }
}

class CrashResume : public E2eFixture {
 protected:
  // Starts `ferrant` with the status lines on a pipe (*out, the read end).
  pid_t Spawn(const std::string& args, int* out) {
    int p[2];
    if (pipe(p) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
      dup2(p[1], 1);
      close(p[0]);
      close(p[1]);
      setenv("APPDATA", (dir_.path() + "/appdata").c_str(), 1);
      std::string cmd = "exec " + std::string(FERRANT_BUILD_DIR) + "/host/ferrant " + args +
                        " --status-lines --user u1 --retry 0 --wait 0 --dispatch " + DispatchUrl() +
                        " --resolve dispatch.corvel.example:" + std::to_string(server_->Port()) +
                        ":127.0.0.1 2>/dev/null";
      execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(p[1]);
    *out = p[0];
    return pid;
  }
  int Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
};

TEST_F(CrashResume, KilledAtRandomPointsTheUploadStillEndsWhole) {
  const int64_t size = 256 << 20;
  std::string path = dir_.File("big.bin");
  testing_support::WritePatternFile(path, size, 77);
  std::mt19937 rng(12345);
  int kills = 0;
  bool started = false;
  for (int i = 0; i < Iterations(); ++i) {
    int out = -1;
    pid_t pid = Spawn(started ? "resume" : "upload " + path, &out);
    started = true;
    // A random point: after some of the status lines (hashing, the requests, the upload's
    // progress), each some 100 bytes.
    ReadOutput(out, 100 * (1 + rng() % 60));
    if (kill(pid, SIGKILL) == 0) ++kills;
    Wait(pid);
    close(out);
    // The task file is whole whenever it is there.
    for (const std::string& name : platform::Env::Default().ListMatching(UserFolder(), ".udu")) {
      SavedTask t{};
      platform::CopyText(t.UserID, "u1");
      EXPECT_TRUE(ReadTaskFile(env_, name.c_str(), t)) << name;
    }
  }
  // The last run goes to the end.
  int out = -1;
  pid_t pid = Spawn(TaskFileCount() > 0 ? "resume" : "upload " + path, &out);
  ReadOutput(out, SIZE_MAX);
  close(out);
  int rc = Wait(pid);
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(ServerHasCopyOf(path));
  EXPECT_EQ(TaskFileCount(), 0);
  // No byte the server already held was appended twice.
  EXPECT_EQ(server_->Stats().uploadBytes, size);
  std::printf("kills: %d\n", kills);
}

TEST_F(CrashResume, AKillDuringATaskFileWriteLeavesTheOldOrTheNewFile) {
  std::mt19937 rng(99);
  const std::string user = "u1";
  for (int i = 0; i < 20; ++i) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t pid = fork();
    if (pid == 0) {
      close(p[0]);
      SavedTask t{};
      platform::CopyText(t.UserID, "u1");
      platform::CopyText(t.FileName, "/data/file");
      for (int n = 0;; ++n) {
        platform::CopyText(t.ParamStr, std::string(1000 + (n % 2) * 900, n % 2 ? 'b' : 'a'));
        WriteTaskFile(env_, t);
        if (write(p[1], "w", 1) != 1) _exit(1);  // one byte per whole write
      }
    }
    close(p[1]);
    // Killed during a write after a random number of whole ones.
    ReadOutput(p[0], 1 + rng() % 40);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(p[0]);
    SavedTask back{};
    platform::CopyText(back.UserID, "u1");
    std::string name = TaskFileName("/data/file");
    if (!platform::Env::Default().PathExists(UserFolder() + "/" + name)) continue;
    ASSERT_TRUE(ReadTaskFile(env_, name.c_str(), back)) << i;
    size_t len = std::strlen(back.ParamStr);
    EXPECT_TRUE(len == 1000 || len == 1900) << len;
  }
}

}  // namespace
