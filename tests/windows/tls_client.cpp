// The Windows TLS backend under Wine, against the reference server serving TLS on loopback
// (scripts/lib/windows.sh):
//
//   ferrant_tls_client.exe trust ROOT.pem
//       adds the roots of ROOT.pem to the current user's Root store, as an administrator would
//       (certutil is a stub under Wine); the DLL's uploads then trust them.
//   ferrant_tls_client.exe engine NAME PORT ROOT.pem OTHER_ROOT.pem
//       the engine over a socket to 127.0.0.1:PORT, with the server's bytes handed to it in
//       pieces of many sizes (a record split anywhere, several records at once): the handshake,
//       a request and its reply; a name the certificate does not hold and a root that did not
//       issue it are refused before the handshake counts as done.
//
// Prints one line per failed check and "N passed, N failed"; exits with the failure count.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/CertVerify_win32.h"
#include "platform/Tls.h"
#include "tests/windows/SuiteChecks.h"

using platform::Status;
using platform::StatusCode;
using platform::TlsStep;
using suite::Check;

namespace {

SOCKET Dial(int port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<u_short>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

// One connection whose received bytes reach the engine `piece` bytes at a time.
class Connection {
 public:
  Connection(platform::TlsEngine& engine, SOCKET s, size_t piece)
      : engine_(engine), s_(s), piece_(piece) {}
  ~Connection() { closesocket(s_); }

  bool Flush() {
    std::string out;
    engine_.TakeOutput(&out);
    size_t at = 0;
    while (at < out.size()) {
      const int n = send(s_, out.data() + at, static_cast<int>(out.size() - at), 0);
      if (n <= 0) return false;
      at += static_cast<size_t>(n);
    }
    return true;
  }
  // The next piece of the peer's bytes into the engine; false at the end of the connection.
  bool Feed() {
    if (pending_.empty()) {
      char buffer[65536];
      const int n = recv(s_, buffer, sizeof buffer, 0);
      if (n <= 0) return false;
      pending_.assign(buffer, static_cast<size_t>(n));
    }
    const size_t n = std::min(piece_, pending_.size());
    engine_.PutInput(pending_.data(), n);
    pending_.erase(0, n);
    return true;
  }

  Status Handshake() {
    for (;;) {
      Status why;
      const TlsStep step = engine_.Handshake(&why);
      if (!Flush()) return Status(StatusCode::kConnectionLost, "send failed");
      if (step == TlsStep::kDone) return Status::Ok();
      if (step == TlsStep::kFailed) return why;
      if (!Feed()) return Status(StatusCode::kConnectionLost, "the server closed");
    }
  }

  // Reads until the reply's header has arrived.
  Status ReadHeader(std::string* reply) {
    char buffer[4096];
    while (reply->find("\r\n\r\n") == std::string::npos) {
      size_t got = 0;
      Status why;
      const TlsStep step = engine_.Decrypt(buffer, sizeof buffer, &got, &why);
      if (!Flush()) return Status(StatusCode::kConnectionLost, "send failed");
      if (step == TlsStep::kDone) {
        reply->append(buffer, got);
      } else if (step == TlsStep::kFailed) {
        return why;
      } else if (step == TlsStep::kClosed || !Feed()) {
        return Status(StatusCode::kConnectionLost, "the reply ended early");
      }
    }
    return Status::Ok();
  }

 private:
  platform::TlsEngine& engine_;
  SOCKET s_;
  size_t piece_;
  std::string pending_;
};

std::unique_ptr<platform::TlsContext> ContextFor(const std::string& root) {
  Status why;
  auto context = platform::TlsContext::Make({root}, &why);
  Check("a context trusting " + root, context != nullptr, why.text());
  return context;
}

int Engine(const std::string& name, int port, const std::string& root, const std::string& other) {
  auto context = ContextFor(root);
  if (!context) return 1;
  // Sizes that split the 5-byte record header, the records, and several records at once.
  const size_t pieces[] = {1, 2, 3, 4, 5, 6, 7, 13, 64, 517, 1400, 16389, 65536};
  int resumed = 0;
  for (size_t piece : pieces) {
    const std::string label = "pieces of " + std::to_string(piece) + " bytes";
    SOCKET s = Dial(port);
    if (s == INVALID_SOCKET) {
      Check(label + ": connect", false);
      continue;
    }
    auto engine = context->NewEngine(name, static_cast<uint16_t>(port));
    Connection c(*engine, s, piece);
    Status hs = c.Handshake();
    Check(label + ": the handshake verifies", hs.ok(), hs.text());
    if (!hs.ok()) continue;
    resumed += engine->Resumed();
    const std::string request =
        "GET /index.php?cmd=none HTTP/1.1\r\nHost: " + name + "\r\nConnection: close\r\n\r\n";
    Status sent = engine->Encrypt(request.data(), request.size());
    Check(label + ": the request is sent", sent.ok() && c.Flush(), sent.text());
    std::string reply;
    Status read = c.ReadHeader(&reply);
    Check(label + ": the reply is read", read.ok() && reply.rfind("HTTP/1.1 ", 0) == 0,
          read.text() + " " + reply.substr(0, 40));
    Check(label + ": version", engine->Version().rfind("TLSv1.", 0) == 0, engine->Version());
    engine->Shutdown();
    c.Flush();
  }
  std::printf("sessions resumed: %d of %zu\n", resumed, sizeof pieces / sizeof pieces[0] - 1);

  struct Refusal {
    const char* what;
    std::string host;
    std::string root;
    StatusCode code;
  } refusals[] = {
      {"a name the certificate does not hold", "other.corvel.example", root, StatusCode::kTlsName},
      {"a root that did not issue it", name, other, StatusCode::kTlsCertificate},
  };
  for (const Refusal& r : refusals) {
    auto ctx = ContextFor(r.root);
    SOCKET s = Dial(port);
    if (!ctx || s == INVALID_SOCKET) continue;
    auto engine = ctx->NewEngine(r.host, static_cast<uint16_t>(port));
    Connection c(*engine, s, 65536);
    Status hs = c.Handshake();
    Check(std::string(r.what) + " is refused", hs.code() == r.code, hs.text());
    std::printf("     %s: %s\n", r.what, hs.text().c_str());
  }
  return suite::failed;
}

int Trust(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  std::string pem;
  if (f) {
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) pem.append(chunk, n);
    std::fclose(f);
  }
  HCERTSTORE root =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
  Check("the Root store opens", root != nullptr);
  int added = 0;
  for (const std::string& der : platform::PemCertificates(pem)) {
    added += root && CertAddEncodedCertificateToStore(
                         root, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                         static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  }
  Check("the roots of " + path + " are added", added > 0);
  if (root) CertCloseStore(root, 0);
  return suite::failed;
}

}  // namespace

int main(int argc, char** argv) {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "trust" && argc == 3) {
    Trust(argv[2]);
  } else if (command == "engine" && argc == 6) {
    Engine(argv[2], std::atoi(argv[3]), argv[4], argv[5]);
  } else {
    std::printf("usage: trust ROOT.pem | engine NAME PORT ROOT.pem OTHER_ROOT.pem\n");
    return 2;
  }
  return suite::Summary();
}
