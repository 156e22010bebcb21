#include "host/FileSelection.h"

#include <cstdlib>

namespace host {

bool SelectionOfPaths(const std::vector<std::string>& paths, std::string* selection) {
  if (paths.empty()) return false;
  if (paths.size() == 1) {
    *selection = paths[0] + std::string(2, '\0');
    return true;
  }
  const auto folderOf = [](const std::string& p) {
    const size_t slash = p.find_last_of('/');
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
  };
  const std::string folder = folderOf(paths[0]);
  std::string out = folder + '\0';
  for (const std::string& p : paths) {
    const size_t slash = p.find_last_of('/');
    if (slash == std::string::npos || folderOf(p) != folder || slash + 1 == p.size()) return false;
    out += p.substr(slash + 1) + '\0';
  }
  *selection = out + '\0';
  return true;
}

std::vector<std::string> SplitPaths(const std::string& text, char separator) {
  std::vector<std::string> paths;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find(separator, pos);
    if (end == std::string::npos) end = text.size();
    std::string path = text.substr(pos, end - pos);
    if (!path.empty() && path.back() == '\r') path.pop_back();
    if (!path.empty()) paths.push_back(path);
    pos = end + 1;
  }
  return paths;
}

bool EnvironmentFileChooser(const std::vector<std::string>&, std::string* selection) {
  const char* env = std::getenv("FERRANT_FILE_SELECTION");
  if (env == nullptr || env[0] == '\0') return false;
  return SelectionOfPaths(SplitPaths(env, '\n'), selection);
}

}  // namespace host
