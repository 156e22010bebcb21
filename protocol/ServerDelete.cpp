// The page deletes a task whose upload was begun and never finished: the dispatch server is
// asked, on a detached thread that nobody waits for, to drop the partial upload
//   GET <DispatchPath>?cmd=delete&pickcode=<PickCode>&cookie=<Cookie>
// and the task file is removed at once.
//
// The thread owns a copy of its request target and takes the dispatch endpoint when it starts;
// it touches nothing of the task, which may be freed meanwhile.
#include <atomic>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <thread>

#include "net/WireText.h"
#include "platform/Bounded.h"
#include "platform/Diagnostics.h"
#include "platform/ProcessState.h"
#include "protocol/Requests.h"
#include "protocol/XmlReply.h"
#include "store/TaskFile.h"

namespace {

constexpr const char* kDeletePrefix =
    "\xC7\xEB\xC7\xF3"
    "Delete:";

// Never destroyed: a deletion thread may still end while the process is exiting.
std::atomic<int>& Pending() {
  static std::atomic<int>* pending = new std::atomic<int>(0);
  return *pending;
}

}  // namespace

int PendingServerDeletes() {
  return Pending().load();
}

void ServerDeleteThread(std::string requestTarget) {
  RequestServerDelete(requestTarget.c_str());
  requestTarget.clear();
  requestTarget.shrink_to_fit();
  Pending().fetch_sub(1);
}

bool RequestServerDelete(const char* requestTarget) {
  platform::DebugOutput(kDeletePrefix);
  platform::DebugOutput(requestTarget);
  platform::DebugOutput("\r\n");
  platform::DispatchEndpointValue ep = platform::DispatchEndpoint();
  std::unique_ptr<char[]> reply(new char[kReplyBufferSize]());
  if (!HttpGet(requestTarget, ep.Host, ep.Port, reply.get())) return false;
  platform::DebugOutput(reply.get());
  platform::DebugOutput("\r\n");
  XmlReply xml(reply.get(), "root");
  int32_t status = 0;
  return xml.HasRoot() && xml.TextIs("cmd", "delete") && xml.Int("status", &status);
}

bool DeleteServerTask(TaskRecord& task) {
  if (task.IsUpload && !task.Completed) {
    platform::DispatchEndpointValue ep = platform::DispatchEndpoint();
    char target[3072] = {};
    // Without a path the target is "/..."; blanks and control bytes of the cookie (its
    // everyday form is "SID=x; uid=1") and of the pick code are percent-encoded, so that the
    // request line stays whole and the deletion reaches the server.
    std::string raw = ep.Path[0] == '\0' ? std::string("/") : std::string(ep.Path);
    raw += "?cmd=delete&pickcode=";
    raw += platform::FieldView(task.PickCode);
    raw += "&cookie=";
    raw += platform::FieldView(task.Cookie);
    if (platform::CopyText(target, EncodeTargetBytes(raw))) {
      Pending().fetch_add(1);
      try {
        std::thread(ServerDeleteThread, std::string(target)).detach();
      } catch (const std::exception&) {
        // Not reported: the task is deleted all the same.
        Pending().fetch_sub(1);
      }
    }
  }
  bool removed = DeleteTaskFile(task.UserID, task.FileName);
  platform::ConsoleOutput(removed ? "DeleteTask Success" : "DeleteTask Failed");
  task.Deleted = true;
  return true;
}
