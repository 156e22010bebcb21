// The whole client against the reference server on loopback: a runtime on the real steps with
// a data folder of its own, a server store, and the dispatch name mapped to the server. Tests
// make their controls on runtime_.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "control/UpLoadObjCore.h"
#include "server/ReferenceServer.h"
#include "tests/support/FaultEnv.h"
#include "tests/support/TempDir.h"
#include "upload/Runtime.h"

namespace testing_support {

class E2eFixture : public ::testing::Test {
 protected:
  E2eFixture();
  ~E2eFixture() override;

  std::string DispatchUrl() const;
  void Init(CUpLoadObjCore& core, int nRetry = 0, int nWait = 0, const char* user = "u1");
  // The reference server's task parameter for a file.
  std::string Param(const std::string& path);
  std::string Field(CUpLoadObjCore& core, int taskId, const std::string& name);
  bool WaitStatus(CUpLoadObjCore& core, int taskId, int status, int timeoutMs = 60000);
  // True when the server holds a complete copy equal to the local file.
  bool ServerHasCopyOf(const std::string& path);
  std::string UserFolder(const char* user = "u1") const;
  int TaskFileCount(const char* user = "u1") const;

  TempDir dir_;
  FaultEnv env_;
  std::unique_ptr<refserver::ReferenceServer> server_;
  Runtime runtime_{env_};  // after the server: its threads end before the server goes
};

// A file of size bytes made once per test run and shared by the tests that need it.
std::string SharedLargeFile(int64_t size);

}  // namespace testing_support
