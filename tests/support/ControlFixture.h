// A control core on scripted steps, with a runtime and a data folder of its own: the base of
// the worker, manager and control tests.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "control/UpLoadObjCore.h"
#include "tests/support/FaultEnv.h"
#include "tests/support/ScriptedSteps.h"
#include "tests/support/TempDir.h"
#include "upload/Runtime.h"

namespace testing_support {

inline constexpr const char* kDispatchUrl = "http://dispatch.corvel.example/index.php";

// Waits until ready() holds, polling again at every change the core reports (a new Status,
// a run ended, a slot freed), for at most timeoutMs. No sleeps: a state the test waits for is
// always reached through such a change.
bool WaitOnChanges(CUpLoadObjCore& core, const std::function<bool()>& ready, int timeoutMs);

// Splits a status line into its "name=value" fields.
std::string StatusField(const std::string& line, const std::string& name);

class ControlFixture : public ::testing::Test {
 protected:
  ControlFixture();
  ~ControlFixture() override;

  // InitService for user "u1" with the given retry settings.
  void Init(int nRetry = 0, int nWait = 0);
  // A local file of size bytes in the temp folder; returns its path.
  std::string MakeFile(const std::string& name, int64_t size);
  // The status line's value of a field ("Status", "ErrCode", ...), or "" when absent.
  std::string Field(int taskId, const std::string& name);
  int StatusOf(int taskId) { return std::stoi(Field(taskId, "Status")); }
  // Polls the status line until Status equals status; false after timeoutMs.
  bool WaitStatus(int taskId, int status, int timeoutMs = 5000);

  TempDir dir_;
  FaultEnv env_;
  ScriptedSteps steps_;
  Runtime runtime_{env_};  // after the steps: its workers are gone before them
  std::unique_ptr<CUpLoadObjCore> core_;
};

}  // namespace testing_support
