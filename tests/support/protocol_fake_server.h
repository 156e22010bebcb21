// A scripted HTTP peer on loopback for the protocol's requests: it answers each request with the
// next scripted reply and records what it received, head and body apart.
//
// A POST's body is read by its Content-Length, then the closing line that follows the counted
// body ("\r\n" + boundary + "--", the boundary taken from the Content-Type header) is read into
// Request::tail, so the test sees exactly what the client put where.
//
// A stalled reply holds the connection without answering until EndStalls or the server's end.
// Thread safety: the script and the records are guarded; the server runs
// one thread per connection and joins them all when destroyed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testing_support {

class FakePeer;
class PeerStream;

class ProtocolFakeServer {
 public:
  struct Request {
    std::string head;  // request line and headers, up to and including the empty line
    std::string body;  // the counted body of a POST
    std::string tail;  // what followed the counted body
    std::string Line() const { return head.substr(0, head.find("\r\n")); }
    // The value of a header, empty when absent.
    std::string Header(const std::string& name) const;
  };

  ProtocolFakeServer();
  ~ProtocolFakeServer();
  ProtocolFakeServer(const ProtocolFakeServer&) = delete;
  ProtocolFakeServer& operator=(const ProtocolFakeServer&) = delete;

  uint16_t port() const;
  // The next request gets "HTTP/1.1 <status>" with body; without a script, 200 and no body.
  void Reply(const std::string& body, const std::string& status = "200 OK");
  // The next request gets no answer, until EndStalls or the server's end closes it.
  void Stall();
  void EndStalls();
  std::vector<Request> Requests();
  // The request line of the latest request; empty when none came.
  std::string LastLine();
  // Waits until count requests have been recorded; false after timeoutMs.
  bool WaitForRequests(size_t count, int timeoutMs);

 private:
  struct Scripted {
    std::string status;
    std::string body;
    bool stall;
  };
  void Serve(PeerStream& stream);

  std::mutex m_;
  std::deque<Scripted> script_;
  std::vector<Request> requests_;
  std::condition_variable changed_;  // a request recorded, or the stalls ended
  bool endStalls_ = false;
  std::unique_ptr<FakePeer> peer_;  // last: its threads use the members above
};

}  // namespace testing_support
