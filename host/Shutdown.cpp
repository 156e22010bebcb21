#include "host/Shutdown.h"

#include <chrono>
#include <thread>

#include "protocol/Requests.h"
#include "upload/Worker.h"

namespace host {
namespace {
// Stopped workers end within one read; a deletion request ends with the transport's time-outs.
constexpr int kWorkerWaitMs = 5000;
constexpr int kDeleteWaitMs = 5000;
constexpr int kPollMs = 10;
}  // namespace

bool ShutDownControl(CUpLoadObjCore& core) {
  core.OnDestroy();
  bool idle = WaitForIdleWorkers(kWorkerWaitMs);
  for (int waited = 0; PendingServerDeletes() > 0; waited += kPollMs) {
    if (waited >= kDeleteWaitMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  return idle;
}

}  // namespace host
