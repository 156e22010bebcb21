// The Windows TLS engine over a scripted SSPI (platform/Schannel_win32.h), for the paths Wine's
// Schannel never takes: a TLS 1.3 handshake that ends with the client's Finished, a ticket after
// the handshake (DecryptMessage answers SEC_I_RENEGOTIATE and the record goes back through
// InitializeSecurityContext), close_notify, a trailer shorter than its room, and the server's
// bytes in pieces of every size, so that every record is split at every offset and several
// arrive at once. The script's records carry their payload in clear:
//
//   +------+-------+--------+---------+
//   | type | 03 03 | length | payload |     22 handshake, 23 data, 21 alert
//   +------+-------+--------+---------+
//
// Prints one line per failed check and "N passed, N failed"; exits with the failure count.
#define SECURITY_WIN32
// clang-format off
#include <windows.h>
#include <schannel.h>
#include <sspi.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Schannel_win32.h"
#include "platform/TlsMessages.h"
#include "tests/windows/SuiteChecks.h"

using platform::Status;
using platform::StatusCode;
using platform::TlsStep;
using suite::Check;

namespace {

constexpr size_t kHeader = 5;
constexpr unsigned long kMaxMessage = 16;  // small, so that a request takes many records

std::string Record(int type, const std::string& payload) {
  std::string r = {static_cast<char>(type), 3, 3, static_cast<char>(payload.size() >> 8),
                   static_cast<char>(payload.size() & 0xFF)};
  return r + payload;
}

// The length of the whole record at p, or 0 when n bytes do not hold it yet.
size_t WholeRecord(const char* p, size_t n) {
  if (n < kHeader) return 0;
  const size_t len = (static_cast<unsigned char>(p[3]) << 8) | static_cast<unsigned char>(p[4]);
  return n >= kHeader + len ? kHeader + len : 0;
}

bool shutdownAsked = false;

void Give(PSecBufferDesc out, const std::string& bytes) {
  if (out == nullptr || bytes.empty()) return;
  void* p = std::malloc(bytes.size());
  std::memcpy(p, bytes.data(), bytes.size());
  out->pBuffers[0] = {static_cast<unsigned long>(bytes.size()), SECBUFFER_TOKEN, p};
}

SECURITY_STATUS SEC_ENTRY FakeInitialize(PCredHandle, PCtxtHandle ctx, SEC_WCHAR*, ULONG, ULONG,
                                         ULONG, PSecBufferDesc in, ULONG, PCtxtHandle made,
                                         PSecBufferDesc out, ULONG*, PTimeStamp) {
  if (ctx == nullptr) {
    made->dwLower = made->dwUpper = 1;
    Give(out, Record(22, "client-hello"));
    return SEC_I_CONTINUE_NEEDED;
  }
  if (shutdownAsked) {
    Give(out, Record(21, std::string("\x01\x00", 2)));
    return SEC_E_OK;
  }
  SecBuffer& token = in->pBuffers[0];
  const char* p = static_cast<const char*>(token.pvBuffer);
  const size_t whole = WholeRecord(p, token.cbBuffer);
  if (whole == 0) return SEC_E_INCOMPLETE_MESSAGE;
  if (whole < token.cbBuffer) {
    in->pBuffers[1] = {static_cast<unsigned long>(token.cbBuffer - whole), SECBUFFER_EXTRA,
                       nullptr};
  }
  const std::string payload(p + kHeader, whole - kHeader);
  if (p[0] != 22) return SEC_E_ILLEGAL_MESSAGE;
  if (payload == "server-hello" || payload == "ticket") {
    return payload == "ticket" ? SEC_E_OK : SEC_I_CONTINUE_NEEDED;
  }
  if (payload == "server-finished") {
    Give(out, Record(22, "client-finished"));
    return SEC_E_OK;
  }
  return SEC_E_ILLEGAL_MESSAGE;
}

SECURITY_STATUS SEC_ENTRY FakeDecrypt(PCtxtHandle, PSecBufferDesc desc, ULONG, PULONG) {
  SecBuffer* b = desc->pBuffers;
  char* p = static_cast<char*>(b[0].pvBuffer);
  const size_t n = b[0].cbBuffer;
  const size_t whole = WholeRecord(p, n);
  if (whole == 0) {
    b[0].BufferType = SECBUFFER_MISSING;
    return SEC_E_INCOMPLETE_MESSAGE;
  }
  const unsigned long rest = static_cast<unsigned long>(n - whole);
  const unsigned long len = static_cast<unsigned long>(whole - kHeader);
  b[0] = {static_cast<unsigned long>(kHeader), SECBUFFER_STREAM_HEADER, p};
  b[2] = {0, SECBUFFER_STREAM_TRAILER, p + whole};
  b[3] = {rest, static_cast<unsigned long>(rest ? SECBUFFER_EXTRA : SECBUFFER_EMPTY),
          rest ? p + whole : nullptr};
  switch (p[0]) {
    case 23:
      b[1] = {len, SECBUFFER_DATA, p + kHeader};
      return SEC_E_OK;
    case 22:  // a handshake message after the handshake: it, and what follows, are extra
      b[1] = {0, SECBUFFER_DATA, p + kHeader};
      b[3] = {static_cast<unsigned long>(n), SECBUFFER_EXTRA, p};
      return SEC_I_RENEGOTIATE;
    case 21:
      b[1] = {0, SECBUFFER_DATA, p + kHeader};
      return SEC_I_CONTEXT_EXPIRED;
    default:
      return SEC_E_DECRYPT_FAILURE;
  }
}

SECURITY_STATUS SEC_ENTRY FakeEncrypt(PCtxtHandle, ULONG, PSecBufferDesc desc, ULONG) {
  SecBuffer* b = desc->pBuffers;
  if (b[1].cbBuffer > kMaxMessage) return SEC_E_BUFFER_TOO_SMALL;
  const std::string header = Record(23, std::string(b[1].cbBuffer, '\0')).substr(0, kHeader);
  std::memcpy(b[0].pvBuffer, header.data(), kHeader);
  b[2].cbBuffer = 0;  // the trailer comes out shorter than its room
  return SEC_E_OK;
}

SECURITY_STATUS SEC_ENTRY FakeQuery(PCtxtHandle, ULONG attribute, void* value) {
  switch (attribute) {
    case SECPKG_ATTR_STREAM_SIZES:
      *static_cast<SecPkgContext_StreamSizes*>(value) = {kHeader, 16, kMaxMessage, 4, 1};
      return SEC_E_OK;
    case SECPKG_ATTR_CONNECTION_INFO: {
      auto* info = static_cast<SecPkgContext_ConnectionInfo*>(value);
      *info = {};
      info->dwProtocol = SP_PROT_TLS1_3_CLIENT;
      return SEC_E_OK;
    }
    default:
      return SEC_E_UNSUPPORTED_FUNCTION;
  }
}

SECURITY_STATUS SEC_ENTRY FakeControl(PCtxtHandle, PSecBufferDesc) {
  shutdownAsked = true;
  return SEC_E_OK;
}
SECURITY_STATUS SEC_ENTRY FakeAcquire(SEC_WCHAR*, SEC_WCHAR*, ULONG, void*, void*, SEC_GET_KEY_FN,
                                      void*, PCredHandle cred, PTimeStamp) {
  cred->dwLower = cred->dwUpper = 1;
  return SEC_E_OK;
}
SECURITY_STATUS SEC_ENTRY FakeFreeCredentials(PCredHandle) {
  return SEC_E_OK;
}
SECURITY_STATUS SEC_ENTRY FakeDelete(PCtxtHandle) {
  return SEC_E_OK;
}
SECURITY_STATUS SEC_ENTRY FakeFree(void* p) {
  std::free(p);
  return SEC_E_OK;
}

SecurityFunctionTableW FakeTable() {
  SecurityFunctionTableW t{};
  t.AcquireCredentialsHandleW = FakeAcquire;
  t.FreeCredentialsHandle = FakeFreeCredentials;
  t.InitializeSecurityContextW = FakeInitialize;
  t.DeleteSecurityContext = FakeDelete;
  t.ApplyControlToken = FakeControl;
  t.QueryContextAttributesW = FakeQuery;
  t.FreeContextBuffer = FakeFree;
  t.EncryptMessage = FakeEncrypt;
  t.DecryptMessage = FakeDecrypt;
  return t;
}

Status Trusted(const SecurityFunctionTableW&, CtxtHandle*, const platform::RootStore*,
               const std::string&) {
  return Status::Ok();
}
Status NamesOthers(const SecurityFunctionTableW&, CtxtHandle*, const platform::RootStore*,
                   const std::string& host) {
  return platform::CertificateNamesOthers(host);
}

// The payloads of the records in bytes, and whether every record fits max.
std::string Payloads(const std::string& bytes, size_t max, bool* fits) {
  std::string payloads;
  *fits = true;
  for (size_t at = 0; at < bytes.size();) {
    const size_t whole = WholeRecord(bytes.data() + at, bytes.size() - at);
    if (whole == 0) return payloads + "<cut>";
    *fits = *fits && whole - kHeader <= max;
    payloads.append(bytes, at + kHeader, whole - kHeader);
    at += whole;
  }
  return payloads;
}

void Connection(const SecurityFunctionTableW& table, size_t piece) {
  const std::string label = "pieces of " + std::to_string(piece) + ": ";
  const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
  const std::string server = Record(22, "server-hello") + Record(22, "server-finished") +
                             Record(23, reply.substr(0, 17)) + Record(22, "ticket") +
                             Record(23, reply.substr(17)) + Record(21, std::string("\x01\x00", 2));
  Status why;
  auto context = platform::MakeSchannelContext(table, Trusted, nullptr, &why);
  auto engine = context->NewEngine("www.corvel.example", 443);
  shutdownAsked = false;
  size_t at = 0;
  auto feed = [&] {
    if (at >= server.size()) return false;
    const size_t n = std::min(piece, server.size() - at);
    engine->PutInput(server.data() + at, n);
    at += n;
    return true;
  };
  TlsStep step;
  while ((step = engine->Handshake(&why)) == TlsStep::kWantInput && feed()) {
  }
  std::string out;
  engine->TakeOutput(&out);
  Check(label + "the handshake ends", step == TlsStep::kDone, why.text());
  Check(label + "the client's hello and Finished go out",
        out == Record(22, "client-hello") + Record(22, "client-finished"));
  Check(label + "TLS 1.3", engine->Version() == "TLSv1.3", engine->Version());

  const std::string request = "GET /index.php HTTP/1.1\r\nHost: www.corvel.example\r\n\r\n";
  out.clear();
  Status sent = engine->Encrypt(request.data(), request.size());
  engine->TakeOutput(&out);
  bool fits = false;
  Check(label + "the request goes out in records of the largest size",
        sent.ok() && Payloads(out, kMaxMessage, &fits) == request && fits);

  std::string got;
  char buffer[7];
  for (;;) {
    size_t n = 0;
    step = engine->Decrypt(buffer, sizeof buffer, &n, &why);
    if (step == TlsStep::kDone) {
      got.append(buffer, n);
    } else if (step != TlsStep::kWantInput || !feed()) {
      break;
    }
  }
  Check(label + "the reply around the ticket, then close_notify",
        got == reply && step == TlsStep::kClosed, got + " / " + why.text());
  out.clear();
  engine->Shutdown();
  engine->TakeOutput(&out);
  Check(label + "close_notify goes out", out == Record(21, std::string("\x01\x00", 2)));
}

void Refused(const SecurityFunctionTableW& table) {
  Status why;
  auto context = platform::MakeSchannelContext(table, NamesOthers, nullptr, &why);
  auto engine = context->NewEngine("www.corvel.example", 443);
  const std::string server = Record(22, "server-hello") + Record(22, "server-finished") +
                             Record(23, "HTTP/1.1 200 OK\r\n");
  engine->Handshake(&why);
  engine->PutInput(server.data(), server.size());
  const TlsStep step = engine->Handshake(&why);
  Check("a failed check fails the handshake with its reason",
        step == TlsStep::kFailed && why.code() == StatusCode::kTlsName, why.text());
  Check("and nothing can be sent after it", !engine->Encrypt("GET", 3).ok());
}

}  // namespace

int main() {
  const SecurityFunctionTableW table = FakeTable();
  for (size_t piece = 1; piece <= 160; ++piece) Connection(table, piece);
  Refused(table);
  return suite::Summary();
}
