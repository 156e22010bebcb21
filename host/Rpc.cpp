#include "host/Rpc.h"

#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>

#include "upload/Worker.h"

namespace host {
namespace {

using nlohmann::json;

std::string Dump(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

json Error(const json& id, int code, const char* message) {
  return json{{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

struct ParamError {};

int IntParam(const json& params, size_t i) {
  if (!params.is_array() || i >= params.size() || !params[i].is_number_integer()) {
    throw ParamError{};
  }
  int64_t v = params[i].get<int64_t>();
  if (v < INT32_MIN || v > INT32_MAX) throw ParamError{};
  return static_cast<int>(v);
}

std::string StringParam(const json& params, size_t i) {
  if (!params.is_array() || i >= params.size() || !params[i].is_string()) throw ParamError{};
  return params[i].get<std::string>();
}

void Arity(const json& params, size_t n) {
  if (!params.is_array() || params.size() != n) throw ParamError{};
}

}  // namespace

bool EnvironmentFileChooser(const std::vector<std::string>&, std::string* selection) {
  const char* env = std::getenv("FERRANT_FILE_SELECTION");
  if (env == nullptr || env[0] == '\0') return false;
  std::vector<std::string> paths;
  std::string text = env;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    if (nl > pos) paths.push_back(text.substr(pos, nl - pos));
    pos = nl + 1;
  }
  if (paths.empty()) return false;
  selection->clear();
  if (paths.size() == 1) {
    *selection = paths[0] + std::string(2, '\0');
    return true;
  }
  std::string folder = paths[0].substr(0, paths[0].find_last_of('/'));
  *selection = folder + '\0';
  for (const std::string& p : paths) {
    if (p.substr(0, p.find_last_of('/')) != folder) return false;
    *selection += p.substr(p.find_last_of('/') + 1) + '\0';
  }
  *selection += '\0';
  return true;
}

std::string HandleRpcLine(CUpLoadObjCore& core, const std::string& line) {
  json request;
  try {
    request = json::parse(line);
  } catch (const json::exception&) {
    return Dump(Error(nullptr, -32700, "parse error"));
  }
  if (!request.is_object()) return Dump(Error(nullptr, -32600, "invalid request"));
  const bool notification = !request.contains("id");
  json id = notification ? json(nullptr) : request["id"];
  if (!notification && !id.is_null() && !id.is_string() && !id.is_number()) {
    return Dump(Error(nullptr, -32600, "invalid request"));
  }
  if (!request.contains("jsonrpc") || request["jsonrpc"] != "2.0" || !request.contains("method") ||
      !request["method"].is_string()) {
    return notification ? "" : Dump(Error(id, -32600, "invalid request"));
  }
  const std::string method = request["method"];
  json params = request.contains("params") ? request["params"] : json::array();
  if (!params.is_array()) return notification ? "" : Dump(Error(id, -32602, "invalid params"));
  json result;
  try {
    if (method == "InitService") {
      Arity(params, 5);
      std::string user = StringParam(params, 0), cookie = StringParam(params, 1),
                  url = StringParam(params, 2);
      int retry = IntParam(params, 3), wait = IntParam(params, 4);
      core.InitService(user.c_str(), cookie.c_str(), url.c_str(), retry, wait);
      result = nullptr;
    } else if (method == "AddUpTask") {
      Arity(params, 3);
      int id0 = IntParam(params, 0);
      std::string path = StringParam(params, 1), param = StringParam(params, 2);
      result = core.AddUpTask(id0, path.c_str(), param.c_str());
    } else if (method == "DeleteUpTask") {
      Arity(params, 1);
      result = core.DeleteUpTask(IntParam(params, 0));
    } else if (method == "ContinueUpTask") {
      Arity(params, 1);
      result = core.ContinueUpTask(IntParam(params, 0));
    } else if (method == "StopUpTask") {
      Arity(params, 1);
      result = core.StopUpTask(IntParam(params, 0));
    } else if (method == "GetTaskInfo") {
      Arity(params, 1);
      std::string text;
      core.GetTaskInfo(IntParam(params, 0), &text);
      result = text;
    } else if (method == "GetTaskCount") {
      Arity(params, 0);
      result = core.GetTaskCount();
    } else if (method == "GetVersionInfo") {
      Arity(params, 0);
      result = CUpLoadObjCore::GetVersionInfo();
    } else if (method == "SelectFileList") {
      Arity(params, 1);
      std::string filter = StringParam(params, 0);
      core.SelectFileList(filter.c_str());
      result = nullptr;
    } else if (method == "GetFileList") {
      Arity(params, 0);
      result = core.GetFileList();
    } else if (method == "DeleteFileList") {
      Arity(params, 0);
      core.DeleteFileList();
      result = nullptr;
    } else {
      return notification ? "" : Dump(Error(id, -32601, "method not found"));
    }
  } catch (const ParamError&) {
    return notification ? "" : Dump(Error(id, -32602, "invalid params"));
  }
  if (notification) return "";
  return Dump(json{{"jsonrpc", "2.0"}, {"id", id}, {"result", result}});
}

int RunRpc(std::istream& in, std::ostream& out) {
  CUpLoadObjCore core;
  core.SetFileChooser(EnvironmentFileChooser);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    std::string response = HandleRpcLine(core, line);
    if (!response.empty()) out << response << '\n' << std::flush;
  }
  core.OnDestroy();
  WaitForIdleWorkers(5000);
  return 0;
}

}  // namespace host
