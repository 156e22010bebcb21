// One connection of the reference server: read the request head, route it, answer, drain what
// the client still sends, close. Everything a connection does runs on its own strand (the
// socket's executor); Abort may be called from any thread.
//
// The upload ("/ups/up") reads the client's form head, checks it against the store, claims the
// upload key and appends the file bytes to the partial file as they arrive, in one fixed
// 64 KiB buffer, so the file is never held in memory. A connection that drops mid-body keeps
// what it wrote: the next upload check answers that offset.
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
#include "server/ServerState.h"

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

 private:
  using Clock = std::chrono::steady_clock;

  void ReadHead();
  void Route();
  void ServeDispatch(const std::string& cmd);
  void ServeDelete();
  void ServeCheck();
  void ServeUpload();
  void ReadFormHead();
  void BeginBody();
  void ReadBody();
  // Appends file bytes to the partial file; false (the upload ended) when writing fails.
  bool AppendToFile(const char* data, size_t n);
  void EndBody();
  void ServeFinish();
  void ServeDiscard();
  void ReadDiscard();

  // Answers an XML body, then drains and closes.
  void Answer(const std::string& body, const std::string& contentType = "text/xml");
  void AnswerStatus(const char* root, const std::string& cmd, int status, const std::string& msg);
  void CloseWithoutAnswer();
  void Drain();
  // Holds the connection without answering until the peer leaves or the server stops.
  void Stall();
  // Runs next(true) as soon as ready() holds, checking every few milliseconds, or next(false)
  // at the deadline.
  void WaitUntil(std::function<bool()> ready, Clock::time_point deadline,
                 std::function<void(bool)> next);
  void Arm(int ms);  // closes the connection when the next step takes longer than ms
  void EndUpload();  // closes the partial file, releases the key
  void Close(bool reset = false);
  uint64_t BodyLeft() const;

  std::shared_ptr<ServerState> state_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer timer_;
  uint64_t timerGeneration_ = 0;
  bool closed_ = false;
  std::vector<char> buf_;
  std::string data_;  // bytes read after the head and not yet consumed
  RequestHead head_;
  std::string endpoint_;
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
