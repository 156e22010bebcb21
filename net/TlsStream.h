// The TLS layer: a Stream over whatever stream is below it (TCP, or a proxy tunnel), with the
// platform's engine (platform/Tls.h) doing the cryptography in memory. This layer only moves
// bytes: the engine's output goes down with one Send, the peer's bytes come up in receives of
// up to kReadSize and are handed to the engine whole, so a record may arrive in any pieces.
// Waiting, time-outs and cancel are the stream below's.
//
// Handshake() runs the handshake to its verified end before the layer above sends a byte:
// nothing of a request leaves before the certificate has been checked. Its failures:
//   - the engine's (platform/TlsMessages.h: not trusted, out of date, other names, no TLS, too
//     old a version);
//   - the peer closed mid-handshake: kTlsHandshake "the TLS handshake with HOST:PORT failed
//     (the server closed the connection)";
//   - the stream's own (a time-out, a cancel, a reset), as it reported them.
//
// Receive reports the end of the stream (*got 0) only after the peer's close_notify. A peer
// that closes without it, before the caller has what it expects, fails with kConnectionLost
// "HOST:PORT ended the connection without closing TLS": the reply reader (net/ReplyReader.h)
// stops as soon as a reply's own framing is complete, so servers that never send close_notify
// after a whole reply are read fine, while a reply cut short by a forged close is refused.
//
// Close() sends close_notify when the connection is still sound, then closes the stream below.
//
// Ownership: owns the stream below and the engine. Thread safety: one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/Stream.h"
#include "platform/Tls.h"

class TlsStream : public Stream {
 public:
  static constexpr size_t kReadSize = 32 * 1024;

  TlsStream(std::unique_ptr<Stream> below, std::unique_ptr<platform::TlsEngine> engine,
            std::string host, uint16_t port);
  ~TlsStream() override;

  platform::Status Handshake();
  platform::TlsEngine& engine() { return *engine_; }

  platform::Status Send(const void* data, size_t n) override;
  platform::Status Receive(void* buffer, size_t n, size_t* got) override;
  void Close() override;

 private:
  // Sends what the engine has for the peer.
  platform::Status Flush();
  // Gives the engine the peer's next bytes; *closed when the peer ended the stream.
  platform::Status Fill(bool* closed);
  platform::Status Broken(platform::Status s);

  std::unique_ptr<Stream> below_;
  std::unique_ptr<platform::TlsEngine> engine_;
  std::string host_;
  uint16_t port_;
  std::string out_;
  std::unique_ptr<uint8_t[]> in_;
  bool open_ = false;    // handshake done, nothing failed since
  bool closed_ = false;  // Close ran
  bool ended_ = false;   // the peer's close_notify came
};
