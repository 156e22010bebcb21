#include "tests/support/ControlFixture.h"

#include <chrono>

namespace testing_support {

bool WaitOnChanges(CUpLoadObjCore& core, const std::function<bool()>& ready, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  uint64_t seen = 0;
  for (;;) {
    if (ready()) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    seen = core.WaitForChange(seen, static_cast<int>(left));
  }
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

ControlFixture::ControlFixture() {
  env_.SetVar("APPDATA", dir_.path() + "/appdata");
  env_.MakeDirectory(dir_.path() + "/appdata");
  runtime_.SetSteps(&steps_);
  core_ = std::make_unique<CUpLoadObjCore>(runtime_);
}

ControlFixture::~ControlFixture() {
  core_.reset();
  // Nothing may stay blocked in a scripted step when the runtime waits for its workers.
  steps_.Release();
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

std::string ControlFixture::Field(int taskId, const std::string& name) {
  std::string line;
  core_->GetTaskInfo(taskId, &line);
  return StatusField(line, name);
}

bool ControlFixture::WaitStatus(int taskId, int status, int timeoutMs) {
  return WaitOnChanges(
      *core_,
      [&] {
        const std::string s = Field(taskId, "Status");
        return !s.empty() && std::stoi(s) == status;
      },
      timeoutMs);
}

}  // namespace testing_support
