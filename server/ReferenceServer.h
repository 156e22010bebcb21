// The reference dispatch and upload server: a real peer for the demo, the tests and the
// benchmarks, on loopback.
//
// One port serves every endpoint, over plain HTTP or, given a certificate, HTTPS:
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
// then reads whatever the client still sends (the closing line after the counted body, or the
// rest of a body it refused early, within limits of time and size) before it closes, so the
// client never sees a reset.
//
// Threads: an asio io_context run by `threads` threads; each connection is a state machine on
// a strand of its own, so many connections are served at once; finish checks (whole-file
// hashing) run on a separate thread so they do not hold up the transfers.
//
// Thread safety: Start and Stop on one thread (the destructor stops); SetFault, ClearFaults,
// Stats, WaitForStats and Store from any thread. A server is started at most once.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server/UploadStore.h"

namespace refserver {

enum class TlsVersion { k1_2, k1_3 };

struct ServerOptions {
  std::string storeDir;  // required
  std::string bindAddress = "127.0.0.1";
  uint16_t port = 0;                     // 0: a free port
  std::string uploadHost = "127.0.0.1";  // the <ip> the dispatch reply names
  uint16_t uploadPort = 0;               // the <port> it names; 0: this server's own port
  std::string dispatchPath = "/index.php";
  // Benchmarks: uploads are read and discarded as /discard does, every dispatch asks for the
  // data, and the finish is accepted unchecked, so that only the transfer is measured.
  bool discardUploads = false;
  int threads = 2;            // threads running the io_context (at least 1)
  int idleTimeoutMs = 30000;  // a request that sends nothing this long is dropped
  int drainTimeoutMs = 5000;  // after answering, how long to wait for the client's next bytes
  // HTTPS: PEM files of the certificate chain (the leaf first, then its issuers) and of the
  // leaf's key. Both empty: plain HTTP. The handshake must end within idleTimeoutMs.
  std::string tlsCertFile, tlsKeyFile;
  // Tests: the highest version agreed (TLS 1.2 is always the lowest).
  TlsVersion tlsMaxVersion = TlsVersion::k1_3;
  // Tests: false issues no session tickets, so that TLS 1.2 resumes by session id (TLS 1.3
  // then resumes from the server's session cache).
  bool tlsTickets = true;
};

// Faults, per endpoint: "dispatch", "delete", "co", "up", "fin".
struct EndpointFault {
  int status = 0;                   // answer this status (not 100) with a status_msg
  bool garbage = false;             // answer text that is not XML
  bool oversized = false;           // answer a body of more than 5,120 bytes
  bool closeWithoutAnswer = false;  // close without a byte of answer ("up": after the body)
  bool stall = false;               // accept, read the head, never answer
  int64_t resetAfterBytes = -1;     // "up": reset the connection after this many file bytes
  int64_t stallAfterBytes = -1;     // "up": stop reading after this many file bytes
  // > 0: the fault applies to the next N requests of the endpoint only, then clears itself;
  // when nothing else is set, those requests are refused with status 500.
  int refuseCount = 0;
};

struct ServerStats {
  std::map<std::string, int> requests;  // per endpoint ("other" for unknown paths)
  std::vector<std::string> targets;     // request targets, in order (the last 10,000 at least)
  std::string lastDeletePickCode, lastDeleteCookie;
  int64_t uploadBytes = 0;                          // file bytes received by "up", in all
  std::map<std::string, int64_t> uploadBytesByKey;  // and per upload key
  int connections = 0;                              // connections accepted
  size_t openConnections = 0;                       // connections not yet closed
  // TLS: handshakes completed, of which resumed a session, and failed (garbage, a plain
  // request, a refused version or certificate, a client that left or stalled past the idle
  // time-out, or the server stopping meanwhile).
  int tlsHandshakes = 0, tlsResumed = 0, tlsHandshakeFailures = 0;
  // What the last completed handshake agreed: "TLSv1.3", the suite ("TLS_AES_128_GCM_SHA256"),
  // and the SNI name the client sent ("" when none).
  std::string lastTlsVersion, lastTlsCipher, lastTlsServerName;
};

class ReferenceServer {
 public:
  using Options = ServerOptions;

  explicit ReferenceServer(ServerOptions options);
  ~ReferenceServer();
  ReferenceServer(const ReferenceServer&) = delete;
  ReferenceServer& operator=(const ReferenceServer&) = delete;

  // Opens the store and listens; false when the TLS files cannot be used or the address cannot
  // be bound, with the reason in Error().
  bool Start();
  const std::string& Error() const { return error_; }
  // Ends every connection (stalled ones included) and the threads; returns within a few
  // seconds even when a finish check is hashing a large file.
  void Stop();
  uint16_t Port() const { return port_; }

  void SetFault(const std::string& endpoint, const EndpointFault& fault);
  void ClearFaults();
  ServerStats Stats();
  // Waits until ready holds for the statistics, at most timeoutMs; true when it does. Ready is
  // asked again at every change of the statistics.
  bool WaitForStats(const std::function<bool(const ServerStats&)>& ready, int timeoutMs);
  UploadStore& Store();

 private:
  struct Impl;
  ServerOptions options_;
  std::unique_ptr<Impl> impl_;
  uint16_t port_ = 0;
  std::string error_;
};

}  // namespace refserver
