#include "tests/support/ControlFixture.h"

#include <chrono>
#include <thread>

#include "platform/Env.h"

namespace testing_support {

ControlFixture::ControlFixture() : env_(dir_.path() + "/appdata") {
  WriteFile(dir_.path() + "/.keep", "");
  platform::Env::Default().MakeDirectory(dir_.path() + "/appdata");
  scope_ = std::make_unique<ScriptedStepsScope>(steps_);
  platform::SetEnvForTest(&env_);
  core_ = std::make_unique<CUpLoadObjCore>();
}

ControlFixture::~ControlFixture() {
  core_.reset();
  scope_.reset();
  platform::SetEnvForTest(nullptr);
}

void ControlFixture::Init(int nRetry, int nWait) {
  core_->InitService("u1", "cookie1", kDispatchUrl, nRetry, nWait);
  ASSERT_TRUE(core_->Initialized());
}

std::string ControlFixture::MakeFile(const std::string& name, int64_t size) {
  std::string path = dir_.File(name);
  WritePatternFile(path, size);
  return path;
}

std::string StatusField(const std::string& line, const std::string& name) {
  std::string key = name + "=";
  size_t pos = 0;
  while (pos <= line.size()) {
    size_t end = line.find('|', pos);
    if (end == std::string::npos) end = line.size();
    if (line.compare(pos, key.size(), key) == 0) {
      return line.substr(pos + key.size(), end - pos - key.size());
    }
    pos = end + 1;
  }
  return "";
}

std::string ControlFixture::Field(int taskId, const std::string& name) {
  std::string line;
  core_->GetTaskInfo(taskId, &line);
  return StatusField(line, name);
}

bool ControlFixture::WaitStatus(int taskId, int status, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    std::string s = Field(taskId, "Status");
    if (!s.empty() && std::stoi(s) == status) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

}  // namespace testing_support
