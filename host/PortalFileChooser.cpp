#include "host/PortalFileChooser.h"

#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "host/FileSelection.h"

namespace host {
namespace {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr uint64_t kCallTimeoutUs = 30ull * 1000 * 1000;
constexpr uint32_t kGlobPattern = 0;  // a filter's (kind, pattern) pair: 0 = glob

struct Answer {
  bool arrived = false;
  uint32_t response = 2;  // 0 chosen, 1 cancelled, 2 other
  std::vector<std::string> uris;
};

int OnResponse(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* answer = static_cast<Answer*>(userdata);
  answer->arrived = true;
  if (sd_bus_message_read(m, "u", &answer->response) < 0) return 0;
  if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return 0;
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    if (sd_bus_message_read(m, "s", &key) < 0) return 0;
    if (std::strcmp(key, "uris") == 0 && sd_bus_message_enter_container(m, 'v', "as") > 0) {
      char** uris = nullptr;
      if (sd_bus_message_read_strv(m, &uris) >= 0 && uris != nullptr) {
        for (char** u = uris; *u != nullptr; ++u) {
          answer->uris.push_back(*u);
          free(*u);
        }
        free(uris);
      }
      sd_bus_message_exit_container(m);
    } else {
      sd_bus_message_skip(m, "v");
    }
    sd_bus_message_exit_container(m);
  }
  return 0;
}

// The request object the portal will use for token: the caller's unique name without its
// colon, dots as underscores.
std::string RequestPath(sd_bus* bus, const std::string& token) {
  const char* unique = nullptr;
  if (sd_bus_get_unique_name(bus, &unique) < 0 || unique == nullptr) return "";
  std::string sender = unique[0] == ':' ? unique + 1 : unique;
  for (char& c : sender) {
    if (c == '.') c = '_';
  }
  return std::string(kPortalPath) + "/request/" + sender + "/" + token;
}

bool AppendOptions(sd_bus_message* m, const std::vector<std::string>& filterItems,
                   const std::string& token) {
  bool ok = sd_bus_message_open_container(m, 'a', "{sv}") >= 0 &&
            sd_bus_message_append(m, "{sv}", "handle_token", "s", token.c_str()) >= 0 &&
            sd_bus_message_append(m, "{sv}", "multiple", "b", 1) >= 0;
  if (ok && filterItems.size() >= 2) {
    ok = sd_bus_message_open_container(m, 'e', "sv") >= 0 &&
         sd_bus_message_append(m, "s", "filters") >= 0 &&
         sd_bus_message_open_container(m, 'v', "a(sa(us))") >= 0 &&
         sd_bus_message_open_container(m, 'a', "(sa(us))") >= 0;
    for (size_t i = 0; ok && i + 1 < filterItems.size(); i += 2) {
      ok = sd_bus_message_open_container(m, 'r', "sa(us)") >= 0 &&
           sd_bus_message_append(m, "s", filterItems[i].c_str()) >= 0 &&
           sd_bus_message_open_container(m, 'a', "(us)") >= 0;
      for (const std::string& pattern : SplitPaths(filterItems[i + 1], ';')) {
        ok = ok && sd_bus_message_append(m, "(us)", kGlobPattern, pattern.c_str()) >= 0;
      }
      ok = ok && sd_bus_message_close_container(m) >= 0 && sd_bus_message_close_container(m) >= 0;
    }
    ok = ok && sd_bus_message_close_container(m) >= 0 && sd_bus_message_close_container(m) >= 0 &&
         sd_bus_message_close_container(m) >= 0;
  }
  return ok && sd_bus_message_close_container(m) >= 0;
}

void CloseRequest(sd_bus* bus, const std::string& path) {
  sd_bus_call_method(bus, kPortal, path.c_str(), "org.freedesktop.portal.Request", "Close", nullptr,
                     nullptr, "");
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string PathOfFileUri(const std::string& uri) {
  std::string rest;
  if (uri.rfind("file:///", 0) == 0) {
    rest = uri.substr(7);
  } else if (uri.rfind("file://localhost/", 0) == 0) {
    rest = uri.substr(16);
  } else {
    return "";
  }
  std::string path;
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] != '%') {
      path += rest[i];
      continue;
    }
    const int hi = i + 2 < rest.size() ? HexValue(rest[i + 1]) : -1;
    const int lo = hi >= 0 ? HexValue(rest[i + 2]) : -1;
    // A NUL would cut the path short in the control; a broken escape names no file.
    if (lo < 0 || (hi == 0 && lo == 0)) return "";
    path += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return path;
}

PortalResult PortalChoose(const std::vector<std::string>& filterItems, int cancelFd,
                          std::vector<std::string>* paths) {
  static std::atomic<unsigned> counter{0};
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return PortalResult::kUnavailable;
  const std::string token =
      "ferrant" + std::to_string(getpid()) + "_" + std::to_string(counter.fetch_add(1));
  std::string path = RequestPath(bus, token);
  Answer answer;
  sd_bus_slot* slot = nullptr;
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  PortalResult result = PortalResult::kUnavailable;
  // The match comes first, so that a quick answer cannot be missed.
  bool ok = !path.empty() &&
            sd_bus_match_signal(bus, &slot, kPortal, path.c_str(), "org.freedesktop.portal.Request",
                                "Response", OnResponse, &answer) >= 0 &&
            sd_bus_message_new_method_call(bus, &call, kPortal, kPortalPath,
                                           "org.freedesktop.portal.FileChooser", "OpenFile") >= 0 &&
            sd_bus_message_append(call, "ss", "", "Select files to upload") >= 0 &&
            AppendOptions(call, filterItems, token);
  if (ok && sd_bus_call(bus, call, kCallTimeoutUs, &error, &reply) >= 0) {
    const char* handle = nullptr;
    if (sd_bus_message_read(reply, "o", &handle) >= 0 && handle != nullptr && path != handle) {
      // An older portal names a request object of its own.
      path = handle;
      sd_bus_slot_unref(slot);
      slot = nullptr;
      ok = sd_bus_match_signal(bus, &slot, kPortal, path.c_str(), "org.freedesktop.portal.Request",
                               "Response", OnResponse, &answer) >= 0;
    }
    result = PortalResult::kCancelled;
    while (ok && !answer.arrived) {
      const int r = sd_bus_process(bus, nullptr);
      if (r < 0) break;
      if (r > 0) continue;
      pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0},
                       {cancelFd, POLLIN, 0}};
      if (poll(fds, cancelFd >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) break;
      if (cancelFd >= 0 && (fds[1].revents & POLLIN)) {
        CloseRequest(bus, path);
        break;
      }
    }
    if (answer.arrived && answer.response == 0) {
      for (const std::string& uri : answer.uris) {
        const std::string p = PathOfFileUri(uri);
        if (p.empty()) {
          paths->clear();
          break;
        }
        paths->push_back(p);
      }
      if (!paths->empty()) result = PortalResult::kChosen;
    }
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
  sd_bus_slot_unref(slot);
  sd_bus_flush_close_unref(bus);
  return result;
}

}  // namespace host
