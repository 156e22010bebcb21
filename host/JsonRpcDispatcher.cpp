#include "host/JsonRpcDispatcher.h"

#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>

namespace host {
namespace {

using nlohmann::json;

// No request of this interface nests deeper than 2; copying or writing a value nested a million
// deep would recurse a million times and overflow the stack.
constexpr int kMaxNesting = 32;

// The deepest nesting of arrays and objects in a JSON text (brackets inside strings skipped).
int NestingDepth(const std::string& text) {
  int depth = 0, deepest = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

std::string Dump(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

json Error(const json& id, int code, const char* message) {
  return json{{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

struct ParamError {};

// A 32-bit signed integer; a larger number (unsigned ones above INT64_MAX included) is refused
// rather than wrapped onto another task number.
int IntParam(const json& params, size_t i) {
  if (!params.is_array() || i >= params.size() || !params[i].is_number_integer()) {
    throw ParamError{};
  }
  if (params[i].is_number_unsigned()) {
    if (params[i].get<uint64_t>() > static_cast<uint64_t>(INT32_MAX)) throw ParamError{};
    return static_cast<int>(params[i].get<uint64_t>());
  }
  const int64_t v = params[i].get<int64_t>();
  if (v < INT32_MIN || v > INT32_MAX) throw ParamError{};
  return static_cast<int>(v);
}

// A string without NUL: the control reads its texts up to the first NUL, so "a\u0000b" would
// silently name another file.
std::string StringParam(const json& params, size_t i) {
  if (!params.is_array() || i >= params.size() || !params[i].is_string()) throw ParamError{};
  std::string text = params[i].get<std::string>();
  if (text.find('\0') != std::string::npos) throw ParamError{};
  return text;
}

void Arity(const json& params, size_t n) {
  if (!params.is_array() || params.size() != n) throw ParamError{};
}

}  // namespace

std::string JsonRpcDispatcher::Handle(const std::string& line) {
  if (NestingDepth(line) > kMaxNesting)
    return Dump(Error(nullptr, kRpcInvalidRequest, "invalid request"));
  json request;
  try {
    request = json::parse(line);
  } catch (const json::exception&) {
    return Dump(Error(nullptr, kRpcParseError, "parse error"));
  }
  if (!request.is_object()) return Dump(Error(nullptr, kRpcInvalidRequest, "invalid request"));
  const bool notification = !request.contains("id");
  json id = notification ? json(nullptr) : request["id"];
  if (!notification && !id.is_null() && !id.is_string() && !id.is_number()) {
    return Dump(Error(nullptr, kRpcInvalidRequest, "invalid request"));
  }
  if (!request.contains("jsonrpc") || request["jsonrpc"] != "2.0" || !request.contains("method") ||
      !request["method"].is_string()) {
    return notification ? "" : Dump(Error(id, kRpcInvalidRequest, "invalid request"));
  }
  const std::string method = request["method"];
  json params = request.contains("params") ? request["params"] : json::array();
  if (!params.is_array())
    return notification ? "" : Dump(Error(id, kRpcInvalidParams, "invalid params"));
  json result;
  try {
    if (method == "InitService") {
      Arity(params, 5);
      std::string user = StringParam(params, 0), cookie = StringParam(params, 1),
                  url = StringParam(params, 2);
      int retry = IntParam(params, 3), wait = IntParam(params, 4);
      core_.InitService(user.c_str(), cookie.c_str(), url.c_str(), retry, wait);
      result = nullptr;
    } else if (method == "AddUpTask") {
      Arity(params, 3);
      int id0 = IntParam(params, 0);
      std::string path = StringParam(params, 1), param = StringParam(params, 2);
      result = core_.AddUpTask(id0, path.c_str(), param.c_str());
    } else if (method == "DeleteUpTask") {
      Arity(params, 1);
      result = core_.DeleteUpTask(IntParam(params, 0));
    } else if (method == "ContinueUpTask") {
      Arity(params, 1);
      result = core_.ContinueUpTask(IntParam(params, 0));
    } else if (method == "StopUpTask") {
      Arity(params, 1);
      result = core_.StopUpTask(IntParam(params, 0));
    } else if (method == "GetTaskInfo") {
      Arity(params, 1);
      std::string text;
      core_.GetTaskInfo(IntParam(params, 0), &text);
      result = text;
    } else if (method == "GetTaskCount") {
      Arity(params, 0);
      result = core_.GetTaskCount();
    } else if (method == "GetVersionInfo") {
      Arity(params, 0);
      result = CUpLoadObjCore::GetVersionInfo();
    } else if (method == "SelectFileList") {
      Arity(params, 1);
      std::string filter = StringParam(params, 0);
      core_.SelectFileList(filter.c_str());
      result = nullptr;
    } else if (method == "GetFileList") {
      Arity(params, 0);
      result = core_.GetFileList();
    } else if (method == "DeleteFileList") {
      Arity(params, 0);
      core_.DeleteFileList();
      result = nullptr;
    } else if (const auto own = methods_.find(method); own != methods_.end()) {
      std::optional<json> answer = own->second(params, id);
      if (!answer) return "";
      result = std::move(*answer);
    } else {
      return notification ? "" : Dump(Error(id, kRpcMethodNotFound, "method not found"));
    }
  } catch (const ParamError&) {
    return notification ? "" : Dump(Error(id, kRpcInvalidParams, "invalid params"));
  } catch (const RpcFault& fault) {
    return notification ? "" : Dump(Error(id, fault.code, fault.message));
  }
  if (notification) return "";
  return ResultText(id, result);
}

std::string JsonRpcDispatcher::ResultText(const json& id, const json& result) {
  return Dump(json{{"jsonrpc", "2.0"}, {"id", id}, {"result", result}});
}

}  // namespace host
