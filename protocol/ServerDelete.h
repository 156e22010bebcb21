// The server-side deletion of a task: when the page deletes a task whose upload was begun and
// never finished, the dispatch server is asked, on a thread of its own that the page never
// waits for, to drop the partial upload
//   GET <DispatchPath or "/">?cmd=delete&pickcode=<PickCode>&cookie=<Cookie>
// (blanks and control bytes of the values percent-encoded, net/WireText.h), and the task file
// is removed at once.
//
//   DeleteServerTask     starts that request for a begun, unfinished upload (IsUpload set,
//                        Completed not), removes the task file ("DeleteTask Success" or
//                        "DeleteTask Failed" on the console), sets Deleted; always true.
//   RequestServerDelete  the request itself: true when the server answered cmd "delete" with a
//                        status that has text (the number is not judged).
//   ServerDeletions      the runtime's deletion threads. Each owns a copy of its request target
//                        and of the dispatch endpoint taken when it was started; none touches
//                        the task, which may be freed meanwhile. Its destructor lets them run
//                        for a grace period, then cancels those still waiting and waits for
//                        them, so that none outlives the runtime whose transport it uses.
//
// Thread safety: DeleteServerTask runs on the page's thread; ServerDeletions may be used from
// any thread.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>

#include "net/Transport.h"
#include "protocol/DispatchEndpoint.h"
#include "protocol/TaskRecord.h"

class ServerDeletions {
 public:
  explicit ServerDeletions(Transport& transport) : transport_(transport) {}
  ~ServerDeletions();
  ServerDeletions(const ServerDeletions&) = delete;
  ServerDeletions& operator=(const ServerDeletions&) = delete;

  // Runs RequestServerDelete on a thread of its own; false when no thread could be made (the
  // deletion of the task goes on all the same).
  bool Start(const DispatchEndpointValue& endpoint, std::string requestTarget);
  // Deletion threads started and not yet ended.
  int Pending();
  // Waits until none is pending, at most timeoutMs; true when none is.
  bool WaitIdle(int timeoutMs);

 private:
  void Run(DispatchEndpointValue endpoint, std::string requestTarget);

  Transport& transport_;
  std::mutex lock_;
  std::condition_variable idle_;
  int pending_ = 0;
  std::atomic<bool> cancel_{false};
};

bool DeleteServerTask(Transport& transport, const DispatchEndpoint& dispatch,
                      ServerDeletions& deletions, TaskRecord& task);
bool RequestServerDelete(const Call& call, const DispatchEndpointValue& endpoint,
                         const char* requestTarget);
