// A small blocking TLS client for the reference server's tests (OpenSSL over a loopback
// socket): it verifies the server against one root, sends SNI when given a name, keeps the
// session of its last connection and offers it on the next (so a test can count resumptions),
// and reads a reply as RawConnection does (server_client.h): until the server's close_notify,
// its FIN or a reset. It ends each connection with its own close_notify, as curl does.
//
// Failure: a handshake that fails leaves the connection unconnected, with the reason in
// handshakeError(); Send and ReadReply then report sendFailed and an empty reply.
// Thread safety: a TlsClient and its connections belong to one test thread.
// Process: the constructor ignores SIGPIPE (OpenSSL writes with write(2)).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/server_client.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct ssl_session_st SSL_SESSION;

namespace testing_support {

struct TlsClientOptions {
  std::string caFile;      // the root to trust; "" trusts nothing
  std::string serverName;  // sent as SNI and verified; "": no SNI, 127.0.0.1 verified
  int minVersion = 0;      // e.g. TLS1_1_VERSION (OpenSSL's codes); 0: the library's default
  int maxVersion = 0;      // 0: the library's highest
};

class TlsClient {
 public:
  explicit TlsClient(TlsClientOptions options);
  ~TlsClient();
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  // One connection: the pieces in order, then the reply.
  RawReply Exchange(uint16_t port, const std::vector<std::string>& pieces, int timeoutMs = 5000);
  // The control's GET (as server_client.h's Get).
  RawReply Get(uint16_t port, const std::string& target, int timeoutMs = 5000);
  // Whether the last handshake resumed the kept session, and why the last one failed.
  bool lastResumed() const { return lastResumed_; }
  const std::string& handshakeError() const { return handshakeError_; }
  // The next connection makes a full handshake.
  void ForgetSession();

 private:
  friend class TlsConnection;
  TlsClientOptions options_;
  SSL_CTX* ctx_ = nullptr;
  SSL_SESSION* session_ = nullptr;
  bool lastResumed_ = false;
  std::string handshakeError_;
};

// One connection of a TlsClient, for tests that act between sending and reading.
class TlsConnection {
 public:
  // Connects to 127.0.0.1:port and makes the handshake within timeoutMs.
  TlsConnection(TlsClient& client, uint16_t port, int timeoutMs = 5000);
  ~TlsConnection();
  TlsConnection(const TlsConnection&) = delete;
  TlsConnection& operator=(const TlsConnection&) = delete;
  bool connected() const { return ssl_ != nullptr; }
  bool Send(const std::string& bytes);
  // Waits up to timeoutMs for reply bytes or the end of the reply; true when either came.
  // Records without data (TLS 1.3 tickets) do not count.
  bool WaitForData(int timeoutMs);
  RawReply ReadReply(int timeoutMs = 5000);

 private:
  using Clock = std::chrono::steady_clock;
  enum class ReadResult { kData, kEnded, kTimedOut };
  // Reads what comes next into the reply.
  ReadResult ReadSome(Clock::time_point deadline);
  void Finish();  // keeps the session, sends close_notify, closes

  TlsClient& client_;
  int fd_ = -1;
  SSL* ssl_ = nullptr;
  RawReply reply_;
  bool ended_ = false;  // the server ended the reply (or the connection failed)
};

}  // namespace testing_support
