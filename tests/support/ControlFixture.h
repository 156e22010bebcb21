// A control core on scripted steps with its own APPDATA: the base of the worker, manager and
// control tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "control/UpLoadObj.h"
#include "tests/support/ScriptedSteps.h"
#include "tests/support/TempDir.h"

namespace testing_support {

inline constexpr const char* kDispatchUrl = "http://dispatch.corvel.example/index.php";

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
  AppDataEnv env_;
  ScriptedSteps steps_;
  std::unique_ptr<ScriptedStepsScope> scope_;
  std::unique_ptr<CUpLoadObjCore> core_;
};

// Splits a status line into its "name=value" fields.
std::string StatusField(const std::string& line, const std::string& name);

}  // namespace testing_support
