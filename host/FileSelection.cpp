#include "host/FileSelection.h"

#include <cstdlib>

namespace host {

bool EnvironmentFileChooser(const std::vector<std::string>&, std::string* selection) {
  const char* env = std::getenv("FERRANT_FILE_SELECTION");
  if (env == nullptr || env[0] == '\0') return false;
  std::vector<std::string> paths;
  const std::string text = env;
  for (size_t pos = 0; pos < text.size();) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string path = text.substr(pos, nl - pos);
    if (!path.empty() && path.back() == '\r') path.pop_back();
    if (!path.empty()) paths.push_back(path);
    pos = nl + 1;
  }
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

}  // namespace host
