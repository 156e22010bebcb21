#include "server/ReferenceServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio.hpp>
#include <chrono>
#include <cstring>

#include "server/HttpRequest.h"
#include "server/Multipart.h"

namespace refserver {
namespace {

constexpr size_t kMaxHead = 16384;
constexpr int kIoTimeoutMs = 30000;
constexpr int kDrainTimeoutMs = 5000;

// Waits until fd is readable; false after timeoutMs.
bool WaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeoutMs);
  } while (r < 0 && errno == EINTR);
  return r > 0;
}

// One read with a time limit: the count, 0 at the end, -1 on error or time-out.
ssize_t ReadSome(int fd, char* buf, size_t n, int timeoutMs) {
  if (!WaitReadable(fd, timeoutMs)) return -1;
  ssize_t r;
  do {
    r = ::recv(fd, buf, n, 0);
  } while (r < 0 && errno == EINTR);
  return r;
}

bool WriteAll(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t r = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    off += static_cast<size_t>(r);
  }
  return true;
}

std::string Element(const char* name, const std::string& value) {
  return std::string("<") + name + ">" + value + "</" + name + ">";
}

}  // namespace

struct ReferenceServer::Impl {
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor{io};
};

ReferenceServer::ReferenceServer(ServerOptions options)
    : options_(std::move(options)), impl_(std::make_unique<Impl>()) {}

ReferenceServer::~ReferenceServer() {
  Stop();
}

bool ReferenceServer::Start() {
  store_ = std::make_unique<UploadStore>(options_.storeDir);
  asio::error_code ec;
  asio::ip::tcp::endpoint ep(asio::ip::make_address(options_.bindAddress, ec), options_.port);
  if (ec) return false;
  impl_->acceptor.open(ep.protocol(), ec);
  if (ec) return false;
  impl_->acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
  impl_->acceptor.bind(ep, ec);
  if (ec) return false;
  impl_->acceptor.listen(128, ec);
  if (ec) return false;
  port_ = impl_->acceptor.local_endpoint().port();
  acceptThread_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void ReferenceServer::Stop() {
  if (!acceptThread_.joinable()) return;
  stopping_ = true;
  ::shutdown(impl_->acceptor.native_handle(), SHUT_RDWR);
  stopCv_.notify_all();
  acceptThread_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> g(m_);
    for (int fd : liveFds_) ::shutdown(fd, SHUT_RDWR);
    threads.swap(connections_);
  }
  stopCv_.notify_all();
  for (std::thread& t : threads) t.join();
  asio::error_code ec;
  impl_->acceptor.close(ec);
}

void ReferenceServer::AcceptLoop() {
  while (!stopping_) {
    asio::error_code ec;
    asio::ip::tcp::socket socket(impl_->io);
    impl_->acceptor.accept(socket, ec);
    if (ec) {
      if (stopping_) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    int fd = socket.release(ec);
    if (ec) continue;
    std::lock_guard<std::mutex> g(m_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    liveFds_.insert(fd);
    connections_.emplace_back([this, fd] { Serve(fd); });
  }
}

void ReferenceServer::SetFault(const std::string& endpoint, const EndpointFault& fault) {
  std::lock_guard<std::mutex> g(m_);
  faults_[endpoint] = fault;
}

void ReferenceServer::ClearFaults() {
  std::lock_guard<std::mutex> g(m_);
  faults_.clear();
}

ServerStats ReferenceServer::Stats() {
  std::lock_guard<std::mutex> g(m_);
  return stats_;
}

EndpointFault ReferenceServer::TakeFault(const std::string& endpoint) {
  std::lock_guard<std::mutex> g(m_);
  stats_.requests[endpoint]++;
  auto it = faults_.find(endpoint);
  if (it == faults_.end()) return EndpointFault{};
  EndpointFault f = it->second;
  if (it->second.refuseCount > 0) {
    // A refusal is used up by this request; the next ones are answered normally.
    if (--it->second.refuseCount == 0 && it->second.status == 0 && !it->second.garbage) {
      faults_.erase(it);
    }
    f.status = 500;
  }
  return f;
}

// One connection: read the head, route, answer, drain, close.
class Exchange {
 public:
  Exchange(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}

  bool ReadHead(RequestHead* head) {
    char buf[4096];
    while (data_.find("\r\n\r\n") == std::string::npos) {
      if (data_.size() > kMaxHead) return false;
      ssize_t n = ReadSome(fd_, buf, sizeof buf, kIoTimeoutMs);
      if (n <= 0) return false;
      data_.append(buf, static_cast<size_t>(n));
    }
    size_t end = data_.find("\r\n\r\n") + 4;
    bool ok = ParseRequestHead(std::string_view(data_).substr(0, end), head);
    data_.erase(0, end);
    return ok;
  }

  // Body bytes already read past the head.
  std::string& Pending() { return data_; }
  int fd() const { return fd_; }

  // Answers with an XML body, then drains what the client still sends and closes.
  void Answer(const std::string& body) {
    std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    WriteAll(fd_, reply);
    ::shutdown(fd_, SHUT_WR);
    Drain();
  }

  void Drain() {
    char buf[65536];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainTimeoutMs);
    while (!stopping_ && std::chrono::steady_clock::now() < deadline) {
      ssize_t n = ReadSome(fd_, buf, sizeof buf, 200);
      if (n == 0) return;
      if (n < 0 && errno != 0 && errno != EAGAIN) {
        if (!WaitReadable(fd_, 0)) continue;
        return;
      }
    }
  }

  void Reset() {
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }

 private:
  int fd_;
  const std::atomic<bool>& stopping_;
  std::string data_;
};

namespace {

std::string FaultBody(const EndpointFault& f, const char* root, const char* cmd) {
  if (f.garbage) return "this is not <xml";
  if (f.oversized) {
    return std::string("<") + root + ">" + Element("cmd", cmd) + Element("status", "100") +
           std::string(6000, ' ') + "</" + root + ">";
  }
  return std::string("<") + root + ">" + Element("cmd", cmd) +
         Element("status", std::to_string(f.status)) +
         Element("status_msg", "fault injected: status " + std::to_string(f.status)) + "</" + root +
         ">";
}

bool IsHex40(const std::string& s) {
  if (s.size() != 40) return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

bool ParseSize(const std::string& s, int64_t* v) {
  if (s.empty() || s.size() > 18) return false;
  int64_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  *v = n;
  return true;
}

}  // namespace

void ReferenceServer::Serve(int fd) {
  {
    Exchange ex(fd, stopping_);
    RequestHead head;
    if (ex.ReadHead(&head)) {
      std::string endpoint;
      if (head.path == options_.dispatchPath) {
        endpoint = QueryValue(head, "cmd") == "delete" ? "delete" : "dispatch";
      } else if (head.path == "/ups/co") {
        endpoint = "co";
      } else if (head.path == "/ups/up") {
        endpoint = "up";
      } else if (head.path == "/ups/fin") {
        endpoint = "fin";
      } else if (head.path == "/discard") {
        endpoint = "discard";
      } else {
        endpoint = "other";
      }
      {
        std::lock_guard<std::mutex> g(m_);
        stats_.targets.push_back(head.target);
      }
      EndpointFault fault = TakeFault(endpoint);
      const char* root = (endpoint == "dispatch" || endpoint == "delete") ? "root" : "ups";
      std::string cmd = endpoint == "dispatch" ? QueryValue(head, "cmd")
                        : endpoint == "delete" ? "delete"
                        : endpoint == "co"     ? "co"
                        : endpoint == "up"     ? "up"
                                               : "fin";
      if (fault.closeWithoutAnswer) {
        // nothing
      } else if (fault.stall) {
        std::unique_lock<std::mutex> g(m_);
        stopCv_.wait(g, [this] { return stopping_.load(); });
      } else if (endpoint != "up" && endpoint != "discard" &&
                 (fault.status || fault.garbage || fault.oversized)) {
        ex.Answer(FaultBody(fault, root, cmd.c_str()));
      } else if (endpoint == "dispatch") {
        ServeDispatch(ex, head, cmd);
      } else if (endpoint == "delete") {
        std::string pc = QueryValue(head, "pickcode");
        std::string cookie = QueryValue(head, "cookie");
        {
          std::lock_guard<std::mutex> g(m_);
          stats_.lastDeletePickCode = pc;
          stats_.lastDeleteCookie = cookie;
        }
        bool dropped = store_->DeleteByPickCode(pc);
        ex.Answer("<root>" + Element("cmd", "delete") + Element("status", dropped ? "100" : "404") +
                  "</root>");
      } else if (endpoint == "co") {
        // An upload still being received (a connection the client has just left) is allowed
        // to finish first, so that the offset answered is the one the next upload must use.
        store_->Supersede(QueryValue(head, "key"));
        store_->WaitUnclaimed(QueryValue(head, "key"), 10000);
        int64_t held = options_.discardUploads ? 0 : store_->Held(QueryValue(head, "key"));
        PartialUpload u;
        bool known = held >= 0 && store_->FindByKey(QueryValue(head, "key"), &u) &&
                     u.sha1 == QueryValue(head, "sha1") &&
                     u.pickCode == QueryValue(head, "filename");
        if (!known) {
          ex.Answer("<ups>" + Element("cmd", "co") + Element("status", "301") +
                    Element("status_msg", "unknown upload") + "</ups>");
        } else {
          ex.Answer("<ups>" + Element("cmd", "co") + Element("status", "100") +
                    Element("data_type", "0") + Element("data", std::to_string(held)) + "</ups>");
        }
      } else if (endpoint == "up") {
        ServeUpload(ex, head, fault);
      } else if (endpoint == "fin" && options_.discardUploads) {
        ex.Answer("<ups>" + Element("cmd", "fin") + Element("status", "100") + "</ups>");
      } else if (endpoint == "fin") {
        std::string error;
        int64_t size = 0;
        ParseSize(QueryValue(head, "filesize"), &size);
        bool ok = store_->Finish(QueryValue(head, "key"), QueryValue(head, "sha1"), size,
                                 std::atoi(QueryValue(head, "block_schema").c_str()),
                                 QueryValue(head, "hashes"), &error);
        ex.Answer("<ups>" + Element("cmd", "fin") + Element("status", ok ? "100" : "303") +
                  (ok ? "" : Element("status_msg", error)) + "</ups>");
      } else if (endpoint == "discard") {
        ServeDiscard(ex, head);
      } else {
        ex.Answer("<error>unknown path</error>");
      }
    }
  }
  std::lock_guard<std::mutex> g(m_);
  liveFds_.erase(fd);
  ::close(fd);
}

void ReferenceServer::ServeDispatch(Exchange& ex, const RequestHead& head, const std::string& cmd) {
  auto fail = [&](int status, const std::string& msg) {
    ex.Answer("<root>" + Element("cmd", cmd) + Element("status", std::to_string(status)) +
              Element("status_msg", msg) + "</root>");
  };
  if (cmd != "upload" && cmd != "reupload") return fail(200, "unknown cmd");
  std::string sha1 = QueryValue(head, "sha1");
  std::string name = QueryValue(head, "name");
  int64_t size = 0;
  if (!IsHex40(sha1)) return fail(201, "missing or bad parameter: sha1");
  if (!ParseSize(QueryValue(head, "size"), &size)) {
    return fail(202, "missing or bad parameter: size");
  }
  if (name.empty()) return fail(203, "missing parameter: name");
  std::string pickCode;
  if (!options_.discardUploads && store_->FindComplete(sha1, size, &pickCode)) {
    return ex.Answer("<root>" + Element("cmd", cmd) + Element("status", "100") +
                     Element("is_need_upload", "0") + Element("pickcode", pickCode) + "</root>");
  }
  PartialUpload u = store_->Begin(sha1, size, name, QueryValue(head, "pick_code"));
  ex.Answer("<root>" + Element("cmd", cmd) + Element("status", "100") +
            Element("is_need_upload", "1") + Element("ip", options_.uploadHost) +
            Element("port", std::to_string(port_)) + Element("pickcode", u.pickCode) +
            Element("key", u.key) + "</root>");
}

void ReferenceServer::ServeUpload(Exchange& ex, const RequestHead& head,
                                  const EndpointFault& fault) {
  if (options_.discardUploads) {
    // Read the counted body and the closing line after it, as /discard reads a form.
    ServeDiscard(ex, head);
    return;
  }
  auto answer = [&](int status, const std::string& msg) {
    ex.Answer("<ups>" + Element("cmd", "up") + Element("status", std::to_string(status)) +
              (msg.empty() ? "" : Element("status_msg", msg)) + "</ups>");
  };
  auto ctIt = head.headers.find("content-type");
  std::string boundary = ctIt == head.headers.end() ? "" : MultipartBoundary(ctIt->second);
  if (boundary.empty() || !head.contentLength || head.badLength) {
    return answer(310, "no multipart boundary or Content-Length");
  }
  const uint64_t total = *head.contentLength;
  std::string& pending = ex.Pending();
  // The form's head: schema, offset, and the file part's headers.
  FormHead form;
  char buf[65536];
  for (;;) {
    FormResult r = ParseFormHead(pending, boundary, &form);
    if (r == FormResult::kDone) break;
    if (r == FormResult::kMalformed || pending.size() > 16384) return answer(311, "bad form");
    ssize_t n = ReadSome(ex.fd(), buf, sizeof buf, kIoTimeoutMs);
    if (n <= 0) return;
    pending.append(buf, static_cast<size_t>(n));
  }
  if (form.headLength > total) return answer(311, "bad form");
  std::string key = QueryValue(head, "key");
  PartialUpload u;
  if (!store_->FindByKey(key, &u) || u.pickCode != QueryValue(head, "filename")) {
    return answer(312, "unknown upload");
  }
  int64_t offset = 0;
  if (!ParseSize(form.fields["U_Offset"], &offset) || offset != store_->Held(key)) {
    return answer(313, "offset does not match the bytes held");
  }
  const uint64_t fileBytes = total - form.headLength;
  if (static_cast<int64_t>(fileBytes) + offset > u.size) {
    return answer(314, "more bytes than the file has");
  }
  // A connection the client has just abandoned may still hold the key for a moment.
  store_->Supersede(key);
  bool claimed = store_->Claim(key);
  for (int i = 0; !claimed && i < 500 && !stopping_; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    claimed = store_->Claim(key);
  }
  if (!claimed) return answer(315, "upload busy");
  if (offset != store_->Held(key)) {
    store_->Release(key);
    return answer(313, "offset does not match the bytes held");
  }
  int out = ::open(store_->PartialPath(key).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (out < 0) {
    store_->Release(key);
    return answer(316, "cannot write");
  }
  const uint64_t generation = store_->Generation(key);
  uint64_t received = 0;
  bool ok = true;
  std::string first = pending.substr(form.headLength);
  pending.clear();
  auto store = [&](const char* p, size_t n) {
    if (n > fileBytes - received) n = static_cast<size_t>(fileBytes - received);
    size_t off = 0;
    while (off < n) {
      ssize_t w = ::write(out, p + off, n - off);
      if (w <= 0) return false;
      off += static_cast<size_t>(w);
    }
    received += n;
    std::lock_guard<std::mutex> g(m_);
    stats_.uploadBytes += static_cast<int64_t>(n);
    return true;
  };
  size_t extra = first.size() > fileBytes ? first.size() - static_cast<size_t>(fileBytes) : 0;
  ok = store(first.data(), first.size() - extra);
  std::string tailSeen = first.substr(first.size() - extra);
  while (ok && received < fileBytes) {
    if (store_->Generation(key) != generation) {
      ok = false;  // the client has moved on to a newer request
      break;
    }
    if (fault.resetAfterBytes >= 0 && static_cast<int64_t>(received) >= fault.resetAfterBytes) {
      ex.Reset();
      ok = false;
      break;
    }
    if (fault.stallAfterBytes >= 0 && static_cast<int64_t>(received) >= fault.stallAfterBytes) {
      // Stop reading until the server stops or the client gives up on the connection.
      while (!stopping_ && store_->Generation(key) == generation) {
        pollfd p{ex.fd(), POLLRDHUP, 0};
        if (::poll(&p, 1, 50) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) break;
      }
      ok = false;
      break;
    }
    size_t want = sizeof buf;
    if (fault.resetAfterBytes >= 0) {
      want = std::min<uint64_t>(want, static_cast<uint64_t>(fault.resetAfterBytes) - received);
    }
    if (fault.stallAfterBytes >= 0) {
      want = std::min<uint64_t>(want, static_cast<uint64_t>(fault.stallAfterBytes) - received);
    }
    if (want == 0) continue;
    ssize_t n =
        ReadSome(ex.fd(), buf, std::min<uint64_t>(want, fileBytes - received), kIoTimeoutMs);
    if (n <= 0) {
      ok = false;
      break;
    }
    ok = store(buf, static_cast<size_t>(n));
  }
  ::fsync(out);
  ::close(out);
  store_->Release(key);
  if (!ok) return;
  // The closing line follows the counted body: read it before answering.
  const std::string closing = "\r\n" + boundary + "--";
  while (tailSeen.size() < closing.size()) {
    ssize_t n = ReadSome(ex.fd(), buf, closing.size() - tailSeen.size(), 2000);
    if (n <= 0) break;
    tailSeen.append(buf, static_cast<size_t>(n));
  }
  if (fault.status) return answer(fault.status, "fault injected");
  if (fault.garbage || fault.oversized) return ex.Answer(FaultBody(fault, "ups", "up"));
  answer(100, "");
}

void ReferenceServer::ServeDiscard(Exchange& ex, const RequestHead& head) {
  uint64_t left = head.contentLength.value_or(0);
  uint64_t have = std::min<uint64_t>(left, ex.Pending().size());
  left -= have;
  char buf[1 << 16];
  while (left > 0) {
    ssize_t n = ReadSome(ex.fd(), buf, std::min<uint64_t>(left, sizeof buf), kIoTimeoutMs);
    if (n <= 0) return;
    left -= static_cast<uint64_t>(n);
  }
  ex.Answer("<ups><cmd>up</cmd><status>100</status></ups>");
}

}  // namespace refserver
