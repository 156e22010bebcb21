#include "protocol/Requests.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "net/WireText.h"
#include "platform/Bounded.h"
#include "protocol/XmlReply.h"
#include "store/Sha1.h"

using platform::Status;
using platform::StatusCode;

namespace {

constexpr size_t kTargetSize = 3072;

Status TargetTooLong() {
  return Status(StatusCode::kInvalidArgument,
                "the request does not fit " + std::to_string(kTargetSize - 1) + " bytes");
}

// A reply that is not the answer asked for; what names what was expected.
Status Unreadable(const char* server, const std::string& what) {
  return Status(StatusCode::kReplyUnreadable,
                std::string("the ") + server + " server's reply is not understood (" + what + ")");
}

Status Refused(const char* server, int32_t status, const char* message) {
  std::string text =
      std::string("the ") + server + " server refused (server status " + std::to_string(status);
  if (message != nullptr && *message != '\0') text += ": " + std::string(message);
  return Status(StatusCode::kServerRefused, text + ")");
}

// The diagnostic prefixes, in code page 936.
constexpr const char* kDispatchPrefix = "\xC7\xEB\xC7\xF3\xB5\xF7\xB6\xC8:";
constexpr const char* kCheckPrefix =
    "\xC7\xEB\xC7\xF3"
    "CO:";
constexpr const char* kFinishPrefix =
    "\xC7\xEB\xC7\xF3"
    "Fin:";

// A request target built by concatenation in a fixed buffer. Seal() then encodes the blanks
// and control bytes that the values brought (net/WireText.h), so that the request line is
// always three parts; a target that does not fit, before or after encoding, fails the request
// instead of being cut.
class Target {
 public:
  Target() { text_[0] = '\0'; }
  Target& operator<<(std::string_view piece) {
    ok_ = platform::AppendText(text_, piece) && ok_;
    return *this;
  }
  Target& operator<<(long long value) {
    char digits[32];
    platform::FormatText(digits, sizeof digits, "%lld", value);
    return *this << std::string_view(digits);
  }
  bool ok() const { return ok_; }
  // Encodes the target for the request line; false when it no longer fits.
  bool Seal() {
    ok_ = ok_ && platform::CopyText(text_, EncodeTargetBytes(platform::FieldView(text_)));
    return ok_;
  }
  char* text() { return text_; }

 private:
  char text_[kTargetSize];
  bool ok_ = true;
};

// The upload-server requests share their first four parameters.
void UploadIdentity(Target& t, const TaskRecord& task) {
  t << "?sha1=" << platform::FieldView(task.SHA1Hash)
    << "&filename=" << platform::FieldView(task.PickCode)
    << "&filesize=" << static_cast<long long>(task.FileSize)
    << "&key=" << platform::FieldView(task.Key);
}

// A GET whose reply body lands in reply (zero-filled first).
Status Get(const Call& call, const char* target, const Endpoint& server, char* reply) {
  std::memset(reply, 0, kReplyBufferSize);
  return HttpGet(call, target, server, reply);
}

Endpoint UploadServerOf(const TaskRecord& task) {
  return Endpoint{task.UploadScheme, task.Host, task.Port};
}

// An upload-server GET, its target and its reply written to the debugger output, each ended
// by CR LF.
Status UploadServerGet(const Call& call, const char* prefix, const char* target,
                       const TaskRecord& task, char* reply) {
  platform::Diagnostics& diag = call.transport.diagnostics;
  diag.DebugOutput(prefix);
  diag.DebugOutput(target);
  diag.DebugOutput("\r\n");
  Status s = Get(call, target, UploadServerOf(task), reply);
  if (!s.ok()) return s;
  diag.DebugOutput(reply);
  diag.DebugOutput("\r\n");
  return s;
}

// Replaces the first placeholder in a request target; false only when it occurs and the
// result does not fit.
template <size_t N>
bool Substitute(char* target, const char* placeholder, const char (&value)[N]) {
  if (std::strstr(target, placeholder) == nullptr) return true;
  char copy[N];
  platform::CopyText(copy, platform::FieldView(value));
  return ReplaceFirst(target, kTargetSize, placeholder, copy);
}

// Stores an identifier from a reply; one that does not fit its field fails the request.
template <size_t N>
bool StoreId(char (&field)[N], const char* text) {
  if (text == nullptr || std::strlen(text) >= N) return false;
  platform::CopyText(field, text);
  return true;
}

}  // namespace

bool ReplaceFirst(char* text, size_t capacity, const char* pattern, const char* replacement) {
  if (text == nullptr || pattern == nullptr || replacement == nullptr || pattern[0] == '\0') {
    return false;
  }
  const char* at = std::strstr(text, pattern);
  if (at == nullptr) return false;
  size_t textLen = std::strlen(text), patLen = std::strlen(pattern),
         repLen = std::strlen(replacement);
  if (textLen - patLen + repLen + 1 > capacity) return false;
  std::string result(text, static_cast<size_t>(at - text));
  result += replacement;
  result += at + patLen;
  std::memcpy(text, result.c_str(), result.size() + 1);
  return true;
}

Status RequestDispatch(const Call& call, const DispatchEndpoint& dispatch, TaskRecord& task) {
  const bool reupload = task.IsUpload;
  const char* cmd = reupload ? "reupload" : "upload";
  const DispatchEndpointValue ep = dispatch.Get();
  Target t;
  t << RequestPathOf(ep) << (reupload ? "?cmd=reupload&" : "?cmd=upload&")
    << platform::FieldView(task.ParamStr);
  if (!t.ok()) return TargetTooLong();
  // The pick code goes in before the SHA-1; a value that would not fit fails the request
  // instead of leaving its placeholder in the query.
  if (!Substitute(t.text(), "{pick_code}", task.PickCode) ||
      !Substitute(t.text(), "{sha1}", task.SHA1Hash) || !t.Seal()) {
    return TargetTooLong();
  }
  platform::Diagnostics& diag = call.transport.diagnostics;
  diag.DebugOutput(kDispatchPrefix);
  diag.DebugOutput(t.text());

  std::unique_ptr<char[]> reply(new char[kReplyBufferSize]);
  Status s = Get(call, t.text(), ServerOf(ep), reply.get());
  if (!s.ok()) return s;
  diag.DebugOutput(reply.get());

  XmlReply xml(reply.get(), "root");
  if (!xml.HasRoot() || !xml.TextIs("cmd", cmd)) {
    return Unreadable("dispatch", std::string("no <root> answer to cmd ") + cmd);
  }
  int32_t status = 0;
  if (!xml.Int("status", &status)) return Unreadable("dispatch", "no status");
  if (status != 100) {
    task.ServerErrCode = status;
    const char* msg = xml.Text("status_msg");
    platform::CopyText(task.ServerErrMsg, msg ? msg : "");  // a long message is cut
    task.Status = kStatusStopped;
    return Refused("dispatch", status, task.ServerErrMsg);
  }
  int32_t needUpload = 0;
  if (!xml.Int("is_need_upload", &needUpload)) return Unreadable("dispatch", "no is_need_upload");
  if (needUpload == 1) {
    // The upload server's name goes into a Host header and a proxy's CONNECT line.
    const char* ip = xml.Text("ip");
    if (ip == nullptr || !IsPlainHostName(ip) || !StoreId(task.Host, ip)) {
      return Unreadable("dispatch", "no usable upload server name");
    }
    int32_t port = 0;
    if (!xml.Int("port", &port)) return Unreadable("dispatch", "no upload server port");
    // A port outside 1..65535 cannot be connected to: the reply is not usable.
    if (port <= 0 || port > 65535) return Unreadable("dispatch", "an upload port out of range");
    task.Port = port;
    task.UploadScheme = ep.Protocol;
    if (!StoreId(task.PickCode, xml.Text("pickcode"))) return Unreadable("dispatch", "no pickcode");
    if (!StoreId(task.Key, xml.Text("key"))) return Unreadable("dispatch", "no usable key");
    task.NeedUpload = true;
    return s;
  }
  if (!StoreId(task.PickCode, xml.Text("pickcode"))) return Unreadable("dispatch", "no pickcode");
  task.NeedUpload = false;
  return s;
}

Status RequestUploadCheck(const Call& call, TaskRecord& task) {
  Target t;
  t << "/ups/co";
  UploadIdentity(t, task);
  if (!t.Seal()) return TargetTooLong();
  std::unique_ptr<char[]> reply(new char[kReplyBufferSize]);
  Status s = UploadServerGet(call, kCheckPrefix, t.text(), task, reply.get());
  if (!s.ok()) return s;
  XmlReply xml(reply.get(), "ups");
  if (!xml.HasRoot() || !xml.TextIs("cmd", "co") || !xml.TextIs("data_type", "0")) {
    return Unreadable("upload", "no <ups> answer to co");
  }
  int64_t offset = 0;
  if (!xml.Int64("data", &offset)) return Unreadable("upload", "no offset");
  // An offset before the start or beyond the end of the file cannot be resumed from.
  if (offset < 0 || offset > task.FileSize)
    return Unreadable("upload", "an offset outside the file");
  task.Offset = offset;
  return s;
}

Status RequestBlockUpload(const Call& call, TaskRecord& task, IBodyProgress& progress) {
  const int64_t now = call.transport.env.NowSeconds();
  char boundary[100];
  platform::FormatText(boundary, sizeof boundary, "--------UpsClient.Package.%d",
                       static_cast<int32_t>(static_cast<uint32_t>(now)));
  Target t;
  t << "/ups/up";
  UploadIdentity(t, task);
  std::string head;
  head.reserve(512);
  head += "--";
  head += boundary;
  head += "\r\nContent-Disposition: form-data; name=\"U_BlockSchema\"\r\n\r\n";
  head += std::to_string(task.BlockSchema);
  head += "\r\n--";
  head += boundary;
  head += "\r\nContent-Disposition: form-data; name=\"U_Offset\"\r\n\r\n";
  head += std::to_string(static_cast<long long>(task.Offset));
  head += "\r\n--";
  head += boundary;
  head += "\r\nContent-Disposition: form-data; name=\"Filedata\"; filename=\"";
  head += EncodeFormFileName(platform::FieldView(task.PickCode));
  head += "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
  if (!t.Seal() || head.size() >= kReplyBufferSize) {
    task.ErrCode = kErrUploadSend;
    return TargetTooLong();
  }
  std::unique_ptr<char[]> reply(new char[kReplyBufferSize]);
  std::memset(reply.get(), 0, kReplyBufferSize);
  Status s = HttpPostFile(call, task.FileName, progress, UploadServerOf(task), t.text(),
                          head.c_str(), boundary, task.FileSize, task.Offset, reply.get());
  if (!s.ok()) {
    task.ErrCode = kErrUploadSend;
    return s;
  }
  XmlReply xml(reply.get(), "ups");
  if (!xml.HasRoot() || !xml.TextIs("cmd", "up")) {
    task.ErrCode = kErrUploadReply;
    return Unreadable("upload", "no <ups> answer to up");
  }
  int32_t status = 0;
  if (!xml.Int("status", &status)) {
    task.ErrCode = kErrUploadStatus;
    return Unreadable("upload", "no status");
  }
  if (status != 100) {
    task.ErrCode = kErrUploadStatus;
    return Refused("upload", status, xml.Text("status_msg"));
  }
  return s;
}

bool HashFinalBlock(Transport& transport, const TaskRecord& task, char* out, int blockCount) {
  platform::FormatText(out, 100, "%d:", blockCount);
  std::unique_ptr<platform::IReadFile> file = transport.env.OpenRead(task.FileName);
  if (!file) return false;
  const int64_t start = static_cast<int64_t>(blockCount - 1) * task.BlockSize;
  int64_t length = 0;
  if (!file->Length(&length)) return false;
  // The final block must lie inside the file: an empty file has none.
  if (start < 0 || start >= length || !file->Seek(start)) {
    transport.diagnostics.ConsoleOutput("Error:2\n");
    return false;
  }
  CSha1Digest digest;
  int64_t remaining = length - start;
  // A small file's block needs no megabyte of buffer.
  const int64_t chunk = std::min<int64_t>(remaining, 1 << 20);
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[static_cast<size_t>(chunk)]);
  while (remaining > 0) {
    int64_t n = file->Read(buffer.get(), static_cast<size_t>(std::min(remaining, chunk)));
    if (n <= 0) {
      transport.diagnostics.ConsoleOutput("Error:2\n");
      return false;
    }
    digest.Update(buffer.get(), static_cast<uint32_t>(n));
    remaining -= n;
  }
  digest.Final();
  char hex[41];
  digest.HexDigest(hex);
  return platform::AppendText(out, 100, hex);
}

Status RequestUploadFinish(const Call& call, TaskRecord& task) {
  char hashes[100] = {};
  if (!HashFinalBlock(call.transport, task, hashes, task.BlockCount)) {
    call.transport.diagnostics.ConsoleOutput("BlockHash Error\n");
    return Status(StatusCode::kFile,
                  std::string(task.FileName) + " cannot be read to hash its last block");
  }
  Target t;
  t << "/ups/fin";
  UploadIdentity(t, task);
  t << "&block_schema=" << static_cast<long long>(task.BlockSchema) << "&hashes=" << hashes;
  if (!t.Seal()) return TargetTooLong();
  std::unique_ptr<char[]> reply(new char[kReplyBufferSize]);
  Status s = UploadServerGet(call, kFinishPrefix, t.text(), task, reply.get());
  if (!s.ok()) return s;
  XmlReply xml(reply.get(), "ups");
  int32_t status = 0;
  if (!xml.HasRoot() || !xml.TextIs("cmd", "fin") || !xml.Int("status", &status)) {
    return Unreadable("upload", "no <ups> answer to fin");
  }
  return status == 100 ? s : Refused("upload", status, xml.Text("status_msg"));
}
