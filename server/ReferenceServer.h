// The reference dispatch and upload server: a real peer for the demo, the tests and the
// benchmarks, on loopback.
//
// One port serves every endpoint:
//   <dispatch path>?cmd=upload|reupload&sha1=<SHA-1>&size=<bytes>&name=<name>&pick_code=<pc>
//        -> <root><cmd/><status>100</status><is_need_upload>0|1</is_need_upload>
//           [<ip/><port/>]<pickcode/>[<key/>]</root>; a missing or bad parameter gives another
//           status with a status_msg naming it
//   <dispatch path>?cmd=delete&pickcode=<pc>&cookie=<cookie>  -> drops a partial upload
//   /ups/co?sha1=&filename=&filesize=&key=   -> <ups><cmd>co</cmd>..<data_type>0</data_type>
//                                               <data>bytes held</data></ups>
//   /ups/up?...  the client's multipart form; appended when U_Offset equals the bytes held
//   /ups/fin?...&block_schema=S&hashes=<count>:<SHA-1 of the last block>
//   /discard     reads and discards any POST body (the benchmarks' curl baseline)
// Every answer is "HTTP/1.1 200 OK" with Content-Length and "Connection: close"; the server
// then reads whatever the client still sends (the closing line after the counted body) before
// it closes, so the client never sees a reset.
//
// Thread safety: Start/Stop on one thread; faults and statistics from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/UploadStore.h"

namespace refserver {

class Exchange;
struct RequestHead;

struct ServerOptions {
  std::string storeDir;  // required
  std::string bindAddress = "127.0.0.1";
  uint16_t port = 0;                     // 0: a free port
  std::string uploadHost = "127.0.0.1";  // the <ip> the dispatch reply names
  std::string dispatchPath = "/index.php";
  // Benchmarks: uploads are read and discarded as /discard does, every dispatch asks for the
  // data, and the finish is accepted unchecked, so that only the transfer is measured.
  bool discardUploads = false;
};

// Faults, per endpoint ("dispatch", "delete", "co", "up", "fin").
struct EndpointFault {
  int status = 0;          // answer this status (not 100) with a status_msg
  bool garbage = false;    // answer text that is not XML
  bool oversized = false;  // answer more than 5,120 bytes
  bool closeWithoutAnswer = false;
  bool stall = false;            // accept and never answer
  int64_t resetAfterBytes = -1;  // "up": reset the connection after this many body bytes
  int64_t stallAfterBytes = -1;  // "up": stop reading after this many body bytes
  int refuseCount = 0;           // answer status 500 to the next N requests
};

struct ServerStats {
  std::map<std::string, int> requests;  // per endpoint
  std::vector<std::string> targets;     // every request target, in order
  std::string lastDeletePickCode, lastDeleteCookie;
  int64_t uploadBytes = 0;  // file bytes received by "up"
};

class ReferenceServer {
 public:
  explicit ReferenceServer(ServerOptions options);
  ~ReferenceServer();
  ReferenceServer(const ReferenceServer&) = delete;
  ReferenceServer& operator=(const ReferenceServer&) = delete;

  bool Start();
  void Stop();
  uint16_t Port() const { return port_; }

  void SetFault(const std::string& endpoint, const EndpointFault& fault);
  void ClearFaults();
  ServerStats Stats();
  UploadStore& Store() { return *store_; }

 private:
  struct Impl;
  void AcceptLoop();
  void Serve(int fd);
  EndpointFault TakeFault(const std::string& endpoint);
  void ServeDispatch(Exchange& ex, const RequestHead& head, const std::string& cmd);
  void ServeUpload(Exchange& ex, const RequestHead& head, const EndpointFault& fault);
  void ServeDiscard(Exchange& ex, const RequestHead& head);

  ServerOptions options_;
  std::unique_ptr<UploadStore> store_;
  std::unique_ptr<Impl> impl_;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  std::mutex m_;
  std::condition_variable stopCv_;
  std::map<std::string, EndpointFault> faults_;
  ServerStats stats_;
  std::set<int> liveFds_;
  std::vector<std::thread> connections_;
};

}  // namespace refserver
