// One connection of the reference server: (under TLS, the handshake first) read the request
// head, route it (server/Routes.h), answer, end the sending side, drain what the client still
// sends, close. It reads and writes only through its stream (server/ServerStream.h), so every
// route serves plain HTTP and HTTPS alike. Everything a connection does runs on its own strand
// (the socket's executor); Abort may be called from any thread.
//
// The handlers live beside their kin: the dispatch server's in DispatchRoutes.cpp, the upload
// server's check, finish and discard in UploadRoutes.cpp, the streamed multipart upload in
// UploadBody.cpp; this file's .cpp holds the plumbing they share.
//
// The upload ("/ups/up") reads the client's form head, checks it against the store, claims the
// upload key and appends the file bytes to the partial file as they arrive, in one fixed
// 64 KiB buffer, so the file is never held in memory. A connection that drops mid-body keeps
// what it wrote: the next upload check answers that offset. A request that needs a key another
// connection holds waits for that key's release (ServerState::AwaitRelease), not on a clock.
//
// Ownership: shared_ptr, kept alive by its pending handlers; the server keeps weak pointers.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/HttpRequest.h"
#include "server/Routes.h"
#include "server/ServerState.h"
#include "server/ServerStream.h"

namespace refserver {

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(std::shared_ptr<ServerState> state, asio::ip::tcp::socket socket);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Start();
  // Ends the connection at once (server stop, or a newer request for the key it writes).
  void Abort();

  // The handlers of the routes (server/Routes.h).
  void ServeDispatch();
  void ServeDelete();
  void ServeCheck();
  void ServeUpload();
  void ServeFinish();
  void ServeDiscard();
  void ServeUnknown();
  void ServePage();

 private:
  using Clock = std::chrono::steady_clock;

  // TLS: bounded by the idle time-out; a failure costs this connection only.
  void Handshake();
  void ReadHead();
  void Route();

  // The upload body (UploadBody.cpp).
  void ReadFormHead();
  void BeginBody();
  void ReadBody();
  // Appends file bytes to the partial file; false when writing fails (then WriteFailed).
  bool AppendToFile(const char* data, size_t n);
  // The partial file cannot be written: the upload ends, answered with 316.
  void WriteFailed();
  void EndBody();
  void ReadDiscard();

  // Answers an XML body, then drains and closes.
  void Answer(const std::string& body, const std::string& contentType = "text/xml");
  void AnswerStatus(const char* root, const std::string& cmd, int status, const std::string& msg);
  void CloseWithoutAnswer();
  // Ends the sending side (server/ServerStream.h), then drains.
  void EndSending();
  void Drain();
  // Holds the connection without answering until the peer leaves or the server stops. (Its
  // hangup shows only to a poll for POLLRDHUP, so this one wait looks every 50 ms.)
  void Stall();
  // Runs next(true) as soon as ready() holds, looking again whenever the key is released, or
  // next(false) at the deadline. ready() may act (take a claim); it is asked once per look.
  // Asks ready() now and at each release of key until it holds or deadline passes, then calls
  // next(held) once. Closing the connection drops the wait without calling next.
  void WaitForKey(const std::string& key, std::function<bool()> ready, Clock::time_point deadline,
                  std::function<void(bool)> next);
  void LookForKey();                  // one look of the pending wait
  void KeyReleased(uint64_t serial);  // a release woke the look numbered serial
  void DecideKeyWait(bool held);      // ends the pending wait and calls its next
  void DropKeyWait();
  void Arm(int ms);  // closes the connection when the next step takes longer than ms
  void WaitForDeadline();
  void EndUpload();  // closes the partial file, releases the key
  void Close(bool reset = false);
  uint64_t BodyLeft() const;

  std::shared_ptr<ServerState> state_;
  ServerStream stream_;
  asio::steady_timer timer_;
  uint64_t timerGeneration_ = 0;  // numbers each use of the timer; a stale wake is ignored
  uint64_t armedGeneration_ = 0;  // the use that waits for deadline_ (0: none), if current
  Clock::time_point deadline_;
  struct KeyWait {
    std::string key;
    std::function<bool()> ready;
    Clock::time_point deadline;
    std::function<void(bool)> next;  // empty when nothing waits
    uint64_t token = 0;              // the registered release wait, 0 when none
  } keyWait_;
  uint64_t keyWaitSerial_ = 0;  // numbers each look, so that a stale wake is told apart
  bool closed_ = false;
  std::vector<char> buf_;
  std::string data_;  // bytes read after the head and not yet consumed
  RequestHead head_;
  const refserver::Route* route_ = nullptr;
  EndpointFault fault_;
  std::string reply_;
  uint64_t bodyRead_ = 0;  // counted body bytes consumed so far
  uint64_t drainLeft_ = 0;

  // "/ups/up"
  std::string boundary_;
  std::string key_;
  int64_t offset_ = 0;
  bool claimed_ = false;
  int file_ = -1;
  uint64_t fileBytes_ = 0, received_ = 0;
};

}  // namespace refserver
