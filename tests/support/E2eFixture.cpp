#include "tests/support/E2eFixture.h"

#include <map>
#include <mutex>

#include "store/HashFile.h"
#include "tests/support/ControlFixture.h"

namespace testing_support {

E2eFixture::E2eFixture() {
  env_.SetVar("APPDATA", dir_.path() + "/appdata");
  runtime_.transport.connectTimeoutMs = 5000;
  runtime_.transport.idleTimeoutMs = 10000;
  refserver::ServerOptions options;
  options.storeDir = dir_.path() + "/server";
  server_ = std::make_unique<refserver::ReferenceServer>(options);
  if (!server_->Start()) throw std::runtime_error("reference server did not start");
  runtime_.resolver.Add("dispatch.corvel.example", server_->Port(), "127.0.0.1");
}

E2eFixture::~E2eFixture() {
  // Every control of the test is gone by now; their worker threads end within one read.
  runtime_.workers.WaitIdle(20000);
}

std::string E2eFixture::DispatchUrl() const {
  return "http://dispatch.corvel.example:" + std::to_string(server_->Port()) + "/index.php";
}

void E2eFixture::Init(CUpLoadObjCore& core, int nRetry, int nWait, const char* user) {
  // The cookie in its everyday form: its blank must not break the deletion request.
  core.InitService(user, "SID=c1; uid=1", DispatchUrl().c_str(), nRetry, nWait);
  ASSERT_TRUE(core.Initialized());
}

std::string E2eFixture::Param(const std::string& path) {
  int64_t size = 0;
  platform::Env::Default().FileSize(path, &size);
  std::string name = path.substr(path.find_last_of('/') + 1);
  return "sha1={sha1}&size=" + std::to_string(size) + "&name=" + name + "&pick_code={pick_code}";
}

std::string E2eFixture::Field(CUpLoadObjCore& core, int taskId, const std::string& name) {
  std::string line;
  core.GetTaskInfo(taskId, &line);
  return StatusField(line, name);
}

bool E2eFixture::WaitStatus(CUpLoadObjCore& core, int taskId, int status, int timeoutMs) {
  return WaitOnChanges(
      core,
      [&] {
        const std::string s = Field(core, taskId, "Status");
        return !s.empty() && std::stoi(s) == status;
      },
      timeoutMs);
}

bool E2eFixture::ServerHasCopyOf(const std::string& path) {
  std::string sha1 = FileDigestText(env_, path.c_str());
  std::string copy = server_->Store().CompletePath(sha1);
  if (copy.empty()) return false;
  return FileDigestText(env_, copy.c_str()) == sha1;
}

std::string E2eFixture::UserFolder(const char* user) const {
  return dir_.path() + "/appdata/Corvel/Ferrant/" + user;
}

int E2eFixture::TaskFileCount(const char* user) const {
  return static_cast<int>(platform::Env::Default().ListMatching(UserFolder(user), ".udu").size());
}

std::string SharedLargeFile(int64_t size) {
  static std::mutex m;
  static std::map<int64_t, std::string> files;
  static TempDir shared;  // removed at exit
  std::lock_guard<std::mutex> g(m);
  auto it = files.find(size);
  if (it != files.end()) return it->second;
  std::string path = shared.File("large-" + std::to_string(size));
  WritePatternFile(path, size, static_cast<uint32_t>(size));
  files[size] = path;
  return path;
}

}  // namespace testing_support
