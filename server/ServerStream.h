// The byte stream under one connection of the reference server: plain TCP, or TLS over it
// (asio::ssl with the server's context). Every route reads and writes through this one seam,
// so each serves both.
//
//   AsyncHandshake   TLS: the server's side of the handshake. Plain: not to be called.
//   AsyncReadSome    the client's bytes (decrypted under TLS) into the caller's buffer, which
//                    is filled in place: no copy beyond the TLS engine's own. Under TLS one
//                    call yields at most one record (16 KiB); the engine reads its ciphertext
//                    from a buffer of kTlsReadBytes that one receive fills, because asio's
//                    engine asks for at most 17 KiB at a time: reading the socket that way cost
//                    as much CPU as decrypting (a receive, an ACK and a reactor wake-up per
//                    record).
//   AsyncWrite       all of the caller's bytes.
//   AsyncEndSending  the orderly end of this side once the answer is out. TLS: close_notify,
//                    then the TCP send side is shut; plain: the TCP send side is shut. Reading
//                    may go on afterwards (the drain): it ends with an error at the peer's
//                    close_notify (eof), its FIN, or a reset.
//   Tcp()            the socket below, for hang-up polls and the reset of Close.
//   Close(reset)     closes the socket (with a reset when asked); pending operations end
//                    with operation_aborted.
//
// Thread safety: none; it lives on its connection's strand. At most one read and one write
// are outstanding, as for any asio stream.
// Ownership: owns the socket; the TLS context (when there is one) outlives the stream.
#pragma once

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <optional>
#include <string>
#include <utility>

namespace refserver {

class ServerStream {
 public:
  // tls: the server's context, or nullptr for plain HTTP.
  static constexpr size_t kTlsReadBytes = 256 * 1024;

  ServerStream(asio::ip::tcp::socket socket, asio::ssl::context* tls) : socket_(std::move(socket)) {
    if (tls != nullptr) {
      buffered_.emplace(socket_, kTlsReadBytes);
      tls_.emplace(*buffered_, *tls);
    }
  }
  ServerStream(const ServerStream&) = delete;
  ServerStream& operator=(const ServerStream&) = delete;

  bool IsTls() const { return tls_.has_value(); }
  asio::ip::tcp::socket& Tcp() { return socket_; }
  asio::any_io_executor Executor() { return socket_.get_executor(); }
  // The TLS connection (nullptr for plain), for what the handshake agreed.
  SSL* Native() { return tls_ ? tls_->native_handle() : nullptr; }

  template <typename Handler>  // void(const std::error_code&)
  void AsyncHandshake(Handler&& handler) {
    tls_->async_handshake(asio::ssl::stream_base::server, std::forward<Handler>(handler));
  }

  template <typename Buffer, typename Handler>  // void(const std::error_code&, size_t)
  void AsyncReadSome(const Buffer& buffer, Handler&& handler) {
    if (tls_) return tls_->async_read_some(buffer, std::forward<Handler>(handler));
    socket_.async_read_some(buffer, std::forward<Handler>(handler));
  }

  template <typename Buffer, typename Handler>  // void(const std::error_code&, size_t)
  void AsyncWrite(const Buffer& buffer, Handler&& handler) {
    if (tls_) return asio::async_write(*tls_, buffer, std::forward<Handler>(handler));
    asio::async_write(socket_, buffer, std::forward<Handler>(handler));
  }

  // Calls handler(ec) once this side is ended (plain: at once, from this call).
  template <typename Handler>  // void(const std::error_code&)
  void AsyncEndSending(Handler&& handler) {
    if (!tls_) {
      std::error_code ec;
      socket_.shutdown(asio::socket_base::shutdown_send, ec);
      return handler(ec);
    }
    closeNotify_ = TakeCloseNotify();
    asio::async_write(socket_, asio::buffer(closeNotify_),
                      [this, handler = std::forward<Handler>(handler)](const std::error_code& ec,
                                                                       size_t) mutable {
                        std::error_code ignored;
                        if (!ec) socket_.shutdown(asio::socket_base::shutdown_send, ignored);
                        handler(ec);
                      });
  }

  void Close(bool reset) {
    std::error_code ec;
    if (reset) socket_.set_option(asio::socket_base::linger(true, 0), ec);
    socket_.close(ec);
  }

 private:
  // Makes the engine's close_notify and returns its bytes; see ServerStream.cpp.
  std::string TakeCloseNotify();

  using Buffered = asio::buffered_read_stream<asio::ip::tcp::socket&>;

  asio::ip::tcp::socket socket_;
  std::optional<Buffered> buffered_;  // TLS only: the ciphertext below the engine
  std::optional<asio::ssl::stream<Buffered&>> tls_;
  std::string closeNotify_;  // the record in flight
};

}  // namespace refserver
