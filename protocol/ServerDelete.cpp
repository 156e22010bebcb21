#include "protocol/ServerDelete.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <thread>

#include "net/Http.h"
#include "net/WireText.h"
#include "platform/Bounded.h"
#include "protocol/XmlReply.h"
#include "store/TaskFile.h"

namespace {

constexpr const char* kDeletePrefix =
    "\xC7\xEB\xC7\xF3"
    "Delete:";
constexpr size_t kTargetSize = 3072;
// How long a runtime going away lets its deletions finish before it cuts them short.
constexpr int kGraceMs = 5000;

}  // namespace

ServerDeletions::~ServerDeletions() {
  if (WaitIdle(kGraceMs)) return;
  cancel_ = true;
  std::unique_lock<std::mutex> g(lock_);
  idle_.wait(g, [this] { return pending_ == 0; });
}

bool ServerDeletions::Start(const DispatchEndpointValue& endpoint, std::string requestTarget) {
  {
    std::lock_guard<std::mutex> g(lock_);
    ++pending_;
  }
  try {
    std::thread(&ServerDeletions::Run, this, endpoint, std::move(requestTarget)).detach();
    return true;
  } catch (const std::exception&) {
    std::lock_guard<std::mutex> g(lock_);
    --pending_;
    idle_.notify_all();
    return false;
  }
}

void ServerDeletions::Run(DispatchEndpointValue endpoint, std::string requestTarget) {
  RequestServerDelete(Call{transport_, &cancel_}, endpoint, requestTarget.c_str());
  std::lock_guard<std::mutex> g(lock_);
  --pending_;
  // Notified under the lock: the destructor may run as soon as the count reaches zero.
  idle_.notify_all();
}

int ServerDeletions::Pending() {
  std::lock_guard<std::mutex> g(lock_);
  return pending_;
}

bool ServerDeletions::WaitIdle(int timeoutMs) {
  std::unique_lock<std::mutex> g(lock_);
  return idle_.wait_for(g, std::chrono::milliseconds(timeoutMs), [this] { return pending_ == 0; });
}

bool RequestServerDelete(const Call& call, const DispatchEndpointValue& endpoint,
                         const char* requestTarget) {
  platform::Diagnostics& diag = call.transport.diagnostics;
  diag.DebugOutput(kDeletePrefix);
  diag.DebugOutput(requestTarget);
  diag.DebugOutput("\r\n");
  std::unique_ptr<char[]> reply(new char[kReplyBufferSize]());
  if (!HttpGet(call, requestTarget, ServerOf(endpoint), reply.get()).ok()) return false;
  diag.DebugOutput(reply.get());
  diag.DebugOutput("\r\n");
  XmlReply xml(reply.get(), "root");
  int32_t status = 0;
  return xml.HasRoot() && xml.TextIs("cmd", "delete") && xml.Int("status", &status);
}

bool DeleteServerTask(Transport& transport, const DispatchEndpoint& dispatch,
                      ServerDeletions& deletions, TaskRecord& task) {
  if (task.IsUpload && !task.Completed) {
    const DispatchEndpointValue ep = dispatch.Get();
    // Blanks and control bytes of the cookie (its everyday form is "SID=x; uid=1") and of the
    // pick code are percent-encoded, so that the request line stays whole and the deletion
    // reaches the server.
    std::string raw(RequestPathOf(ep));
    raw += "?cmd=delete&pickcode=";
    raw += platform::FieldView(task.PickCode);
    raw += "&cookie=";
    raw += platform::FieldView(task.Cookie);
    std::string target = EncodeTargetBytes(raw);
    // Not reported when it cannot start: the task is deleted all the same.
    if (target.size() < kTargetSize) deletions.Start(ep, std::move(target));
  }
  bool removed = DeleteTaskFile(transport.env, task.UserID, task.FileName);
  transport.diagnostics.ConsoleOutput(removed ? "DeleteTask Success" : "DeleteTask Failed");
  task.Deleted = true;
  return true;
}
