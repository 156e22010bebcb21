#include "net/TcpStream.h"

using platform::SocketError;
using platform::Status;
using platform::StatusCode;

namespace {

const char* Words(SocketError e) {
  switch (e) {
    case SocketError::kConnectionRefused:
      return "connection refused";
    case SocketError::kConnectionReset:
      return "connection reset";
    case SocketError::kNotConnected:
      return "not connected";
    case SocketError::kConnectionAborted:
      return "connection aborted";
    case SocketError::kAddressInUse:
      return "address in use";
    default:
      return "socket error";
  }
}

std::string Seconds(int ms) {
  return std::to_string((ms + 999) / 1000) + " s";
}

}  // namespace

Status TcpStream::Connect(const char* host, uint16_t port) {
  peer_ = std::string(host ? host : "") + ":" + std::to_string(port);
  socket_.CreateSocket();
  if (socket_.Connect(host, port)) return Status::Ok();
  const SocketError e = socket_.LastError();
  if (call_.cancel && call_.cancel->load()) return Status(StatusCode::kCancelled, "cancelled");
  switch (e) {
    case SocketError::kInvalidAddress:
      return Status(StatusCode::kNoAddress,
                    std::string(host ? host : "(none)") + " has no address");
    case SocketError::kInvalidPort:
      return Status(StatusCode::kInvalidArgument, "port 0 cannot be connected to");
    case SocketError::kTimedOut:
      return Status(StatusCode::kTimedOut, peer_ + " did not answer within " +
                                               Seconds(call_.transport.connectTimeoutMs.load()));
    default:
      return Status(StatusCode::kConnectFailed,
                    "cannot connect to " + peer_ + " (" + Words(e) + ")");
  }
}

Status TcpStream::TransferFailed() const {
  const SocketError e = socket_.LastError();
  if (call_.cancel && call_.cancel->load()) return Status(StatusCode::kCancelled, "cancelled");
  if (e == SocketError::kTimedOut) {
    return Status(StatusCode::kTimedOut,
                  peer_ + " sent nothing for " + Seconds(call_.transport.idleTimeoutMs.load()));
  }
  if (e == SocketError::kConnectionReset) {
    return Status(StatusCode::kConnectionLost, peer_ + " reset the connection");
  }
  return Status(StatusCode::kConnectionLost,
                "the connection to " + peer_ + " failed (" + Words(e) + ")");
}

Status TcpStream::Send(const void* data, size_t n) {
  return socket_.SendAll(data, n) ? Status::Ok() : TransferFailed();
}

Status TcpStream::Receive(void* buffer, size_t n, size_t* got) {
  *got = 0;
  const int64_t r = socket_.ReceiveInto(buffer, n);
  if (r < 0) return TransferFailed();
  *got = static_cast<size_t>(r);
  return Status::Ok();
}
