// The control's methods over JSON-RPC 2.0: one request text in, one response text out. It
// serves every front end that speaks JSON: `ferrant rpc` (a request per line) and the browser
// host (a request per native-messaging frame).
//
// Methods carry IUpLoadObj's names and take positional params in its order:
//   InitService [userId, cookie, dispatchUrl, nRetry, nWait] -> null
//   AddUpTask [taskId, path, taskParam] -> 1 | 0
//   DeleteUpTask | ContinueUpTask | StopUpTask [taskId] -> 1 | 0
//   GetTaskInfo [taskId] -> status line, or "NULL" for an unknown number
//   GetTaskCount [] -> int;  GetVersionInfo [] -> string
//   SelectFileList [filter] -> null;  GetFileList [] -> string;  DeleteFileList [] -> null
// A malformed request, an unknown method or wrong params get a JSON-RPC error and change
// nothing; a request without an id (a notification) gets no response. Text that is not valid
// UTF-8 is written with replacement characters (U+FFFD). A string param holding a NUL is refused
// as invalid params (the control's texts end at the first NUL). Arrays and objects nested more
// than 32 deep are refused before parsing. A front end may add methods of its own (AddMethod:
// the browser host's "Open" and "WaitForChange"); they are called like the control's, after the
// same checks, and may answer later: the method keeps the request's id and the front end writes
// ResultText(id, result) when the answer is due.
//
// Thread safety: one thread drives the core, as the page's thread does.
#pragma once

#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "control/UpLoadObjCore.h"

namespace host {

// JSON-RPC error codes.
enum RpcError : int {
  kRpcParseError = -32700,
  kRpcInvalidRequest = -32600,
  kRpcMethodNotFound = -32601,
  kRpcInvalidParams = -32602,
  kRpcInternalError = -32603,
};

// The error a front end's own method answers with.
struct RpcFault {
  int code;
  const char* message;
};

class JsonRpcDispatcher {
 public:
  // A front end's own method: given the params (an array) and the request's id (null for a
  // notification), returns the result, or nullopt when the front end answers later, or throws
  // RpcFault.
  using Method = std::function<std::optional<nlohmann::json>(const nlohmann::json& params,
                                                             const nlohmann::json& id)>;

  explicit JsonRpcDispatcher(CUpLoadObjCore& core) : core_(core) {}
  // Handles one request text; returns the response text, or "" when none is due.
  std::string Handle(const std::string& request);
  void AddMethod(const std::string& name, Method method) { methods_[name] = std::move(method); }
  // The response text that answers id with result.
  static std::string ResultText(const nlohmann::json& id, const nlohmann::json& result);

 private:
  CUpLoadObjCore& core_;
  std::map<std::string, Method> methods_;
};

}  // namespace host
