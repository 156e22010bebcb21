#include "server/StaticPages.h"

#include <string>
#include <vector>

namespace refserver {
namespace {

constexpr std::string_view kPrefix = "/ferrant/";

std::string_view TypeOf(std::string_view name) {
  const auto ends = [&](std::string_view ext) {
    return name.size() >= ext.size() && name.substr(name.size() - ext.size()) == ext;
  };
  if (ends(".html")) return "text/html; charset=utf-8";
  if (ends(".css")) return "text/css; charset=utf-8";
  if (ends(".js")) return "text/javascript; charset=utf-8";
  return "application/octet-stream";
}

const std::vector<std::pair<std::string_view, StaticPage>>& Pages() {
  static const auto* pages = [] {
    auto* list = new std::vector<std::pair<std::string_view, StaticPage>>;
    for (size_t i = 0; i < kEmbeddedFileCount; ++i) {
      list->push_back({kEmbeddedFiles[i].name,
                       StaticPage{TypeOf(kEmbeddedFiles[i].name), kEmbeddedFiles[i].body}});
    }
    return list;
  }();
  return *pages;
}

}  // namespace

const StaticPage* FindStaticPage(std::string_view path) {
  std::string_view name;
  if (path == "/" || path == kPrefix) {
    name = "index.html";
  } else if (path.substr(0, kPrefix.size()) == kPrefix) {
    name = path.substr(kPrefix.size());
  } else {
    return nullptr;
  }
  for (const auto& [file, page] : Pages()) {
    if (file == name) return &page;
  }
  return nullptr;
}

}  // namespace refserver
