#include "host/NativeHost.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>

#include "host/JsonRpcDispatcher.h"
#include "host/NativeInbox.h"

#ifndef _WIN32
#include <csignal>
#endif

namespace host {
namespace {

using nlohmann::json;

bool Debugging() {
  return std::getenv("FERRANT_DEBUG") != nullptr;
}

void Debug(const std::string& text) {
  if (Debugging()) std::fprintf(stderr, "ferrant native-host: %s\n", text.c_str());
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWithJson(const std::string& text) {
  if (text.size() < 5) return false;
  std::string tail = text.substr(text.size() - 5);
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == ".json";
}

std::string ErrorResponse(const json& id, int code, const char* message) {
  return json{{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}}
      .dump(-1, ' ', false, json::error_handler_t::replace);
}

// A count or a time-out: a non-negative integer.
uint64_t ChangeWaitParam(const json& params, size_t i) {
  if (i >= params.size() || !params[i].is_number_integer() ||
      (!params[i].is_number_unsigned() && params[i].get<int64_t>() < 0)) {
    throw RpcFault{kRpcInvalidParams, "invalid params"};
  }
  return params[i].get<uint64_t>();
}

}  // namespace

Caller CallerOf(const std::vector<std::string>& args) {
  if (args.empty()) return Caller::kNone;
  const std::string scheme = "chrome-extension://";
  if (StartsWith(args[0], scheme)) {
    return args[0] == scheme + kChromiumExtensionId + "/" ? Caller::kChromium : Caller::kForeign;
  }
  if (args.size() >= 2 && EndsWithJson(args[0])) {
    return args[1] == kFirefoxExtensionId ? Caller::kFirefox : Caller::kForeign;
  }
  return Caller::kNone;
}

std::string PageHostOfOrigin(const std::string& origin) {
  const size_t colon = origin.find("://");
  if (colon == std::string::npos) return kNoPageHost;
  std::string scheme = origin.substr(0, colon);
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (scheme != "http" && scheme != "https") return kNoPageHost;
  std::string authority = origin.substr(colon + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  std::string hostPart;
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) return kNoPageHost;
    hostPart = authority.substr(0, close + 1);
  } else {
    hostPart = authority.substr(0, authority.find(':'));
  }
  if (hostPart.empty()) return kNoPageHost;
  for (char& c : hostPart) {
    const auto b = static_cast<unsigned char>(c);
    // A host holding a control character or a blank is no host a browser would report.
    if (b <= 0x20 || b == 0x7F) return kNoPageHost;
    c = static_cast<char>(std::tolower(b));
  }
  return hostPart;
}

void ApplyResolveEnvironment(Runtime& runtime) {
  std::string text;
  if (!runtime.env.GetVar("FERRANT_RESOLVE", &text)) return;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find_first_of(" ,\t\n", pos);
    const std::string entry = text.substr(pos, end == std::string::npos ? end : end - pos);
    if (!entry.empty() && !runtime.resolver.AddEntry(entry)) {
      Debug("FERRANT_RESOLVE: skipped " + entry + " (wants HOST:PORT:ADDR)");
    }
    if (end == std::string::npos) break;
    pos = end + 1;
  }
}

void ApplyTrustEnvironment(Runtime& runtime) {
  std::string file;
  if (runtime.env.GetVar("FERRANT_CA_FILE", &file) && !file.empty()) {
    runtime.transport.SetTrust({file});
    Debug("FERRANT_CA_FILE: trusting the roots in " + file);
  }
}

int ServeNativeConnection(Runtime& runtime, const ByteSource& in, const ByteSink& out,
                          FileChooser chooser) {
  CUpLoadObjCore core(runtime);
  JsonRpcDispatcher dispatcher(core);
  core.SetFileChooser(std::move(chooser));
  core.SetPageHost(kNoPageHost);
  int status = kExitHostEnd;
  bool first = true;
  // The handshake: the page's origin, from the extension, before anything else.
  dispatcher.AddMethod("Open", [&](const json& params, const json&) -> std::optional<json> {
    if (!first) throw RpcFault{kRpcInvalidRequest, "Open is only accepted as the first message"};
    if (params.size() != 1 || !params[0].is_string()) {
      throw RpcFault{kRpcInvalidParams, "invalid params"};
    }
    const std::string pageHost = PageHostOfOrigin(params[0].get<std::string>());
    core.SetPageHost(pageHost);
    Debug("page host " + pageHost);
    return nullptr;
  });
  // The page's wait for a change of its tasks, answered when it comes. One is pending at a
  // time: a new one answers the one it replaces at once.
  struct PendingWait {
    json id;
    NativeInbox::ChangeWait wait;
  };
  std::optional<PendingWait> pending;
  std::optional<json> replaced;
  const auto changeCount = [&] { return core.WaitForChange(UINT64_MAX, 0); };
  dispatcher.AddMethod(
      "WaitForChange", [&](const json& params, const json& id) -> std::optional<json> {
        if (params.size() != 2) throw RpcFault{kRpcInvalidParams, "invalid params"};
        const uint64_t seen = ChangeWaitParam(params, 0);
        const uint64_t timeoutMs = std::min<uint64_t>(ChangeWaitParam(params, 1), kMaxChangeWaitMs);
        if (pending) replaced = pending->id;
        pending.reset();
        const uint64_t now = changeCount();
        if (now != seen || timeoutMs == 0 || id.is_null()) return now;
        pending = PendingWait{
            id, {seen, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)}};
        return std::nullopt;
      });
  NativeInbox inbox(runtime, core, in);
  const auto send = [&](const std::string& response) {
    if (WriteFrame(out, response)) return true;
    Debug("the output cannot be written; closing");
    status = kExitHostBroken;
    return false;
  };
  for (;;) {
    NativeInbox::Item item;
    if (!inbox.Next(&item, pending ? &pending->wait : nullptr)) {
      const uint64_t now = changeCount();
      // The change thread may lag behind the count the page holds: then wait on.
      if (now == pending->wait.seen && std::chrono::steady_clock::now() < pending->wait.deadline) {
        continue;
      }
      const json id = pending->id;
      pending.reset();
      if (!send(JsonRpcDispatcher::ResultText(id, now))) break;
      continue;
    }
    const FrameRead r = item.read;
    std::string response;
    if (r == FrameRead::kEnd) break;
    if (r == FrameRead::kEmpty) {
      response = ErrorResponse(nullptr, kRpcParseError, "parse error: empty message");
    } else if (r == FrameRead::kTooLarge) {
      Debug("a message above 1 MiB; closing");
      WriteFrame(out, ErrorResponse(nullptr, kRpcInvalidRequest, "message too large"));
      status = kExitHostBroken;
      break;
    } else if (r != FrameRead::kFrame) {
      Debug(r == FrameRead::kTruncated ? "the input ended inside a message" : "read error");
      status = kExitHostBroken;
      break;
    } else {
      response = dispatcher.Handle(item.message);
      first = false;
    }
    if (replaced) {
      const json id = *replaced;
      replaced.reset();
      if (!send(JsonRpcDispatcher::ResultText(id, changeCount()))) break;
    }
    if (response.empty()) continue;
    if (response.size() > kMaxFrameBytes) {
      response = ErrorResponse(nullptr, kRpcInternalError, "response too large");
    }
    if (!send(response)) break;
  }
  if (!core.Shutdown()) Debug("worker threads still running at exit");
  inbox.Stop();
  return status;
}

int RunNativeHost(Runtime& runtime, const std::vector<std::string>& callerArgs, FileChooser chooser,
                  const std::function<void()>& cancelChooser) {
  const Caller caller = CallerOf(callerArgs);
  if (caller == Caller::kNone) {
    std::fprintf(stderr,
                 "ferrant native-host: a browser starts the host with its caller: "
                 "chrome-extension://%s/, or <manifest path> %s\n",
                 kChromiumExtensionId, kFirefoxExtensionId);
    return kExitForeignCaller;
  }
  if (caller == Caller::kForeign) {
    Debug("refused caller " + callerArgs[0]);
    return kExitForeignCaller;
  }
  // On Windows the control's console lines would otherwise go to standard output, which
  // carries frames only.
  runtime.diagnostics.SetSink([](platform::DiagChannel, std::string_view text) {
    if (Debugging()) std::fprintf(stderr, "%.*s", static_cast<int>(text.size()), text.data());
  });
#ifndef _WIN32
  // A browser that goes away makes writes fail instead of ending the process where it stands.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  ApplyResolveEnvironment(runtime);
  ApplyTrustEnvironment(runtime);
  const int status =
      ServeNativeConnection(runtime, StdinSource(), StdoutSink(), std::move(chooser));
  if (cancelChooser) cancelChooser();
  return status;
}

}  // namespace host
