#include "store/DataFolder.h"

#include <cstring>

#include "platform/Env.h"

namespace {

constexpr size_t kMaxBase = 511;

// The application-data base: $APPDATA; on Linux without it $XDG_DATA_HOME, else
// $HOME/.local/share.
bool BaseFolder(platform::Env& env, std::string* base) {
  std::string value;
  if (env.GetVar("APPDATA", &value) && !value.empty()) {
    *base = value;
  } else {
#ifdef _WIN32
    return false;
#else
    if (env.GetVar("XDG_DATA_HOME", &value) && !value.empty()) {
      *base = value;
    } else if (env.GetVar("HOME", &value) && !value.empty()) {
      *base = value + "/.local/share";
    } else {
      return false;
    }
#endif
  }
  while (base->size() > 1 && (base->back() == '/' || base->back() == '\\')) base->pop_back();
  return base->size() <= kMaxBase;
}

// Makes one level unless it is already a folder. A level made meanwhile by another thread
// counts as made.
bool EnsureLevel(platform::Env& env, const std::string& path) {
  if (env.IsDirectory(path)) return true;
  if (env.MakeDirectory(path)) return true;
  return env.IsDirectory(path);
}

// Makes the folder and every missing folder above it, one level at a time from the top. The
// base is made too when it is missing, as the XDG base-directory rules ask (mode 0700 on
// POSIX: MakeDirectory's): a fresh account has no ~/.local/share, and $APPDATA or
// $XDG_DATA_HOME may name a folder still to be made.
bool EnsureFolder(platform::Env& env, const std::string& path) {
  if (env.IsDirectory(path)) return true;
  for (size_t i = 1; i < path.size(); ++i) {
    if (path[i] != '/' && path[i] != '\\') continue;
    const std::string upper = path.substr(0, i);
    // A drive ("C:") or the start of a UNC path is not a folder to make.
    if (upper.back() == ':' || upper.find_first_not_of("/\\") == std::string::npos) continue;
    if (!EnsureLevel(env, upper)) return false;
  }
  return EnsureLevel(env, path);
}

}  // namespace

bool IsPlainFolderName(const char* userId) {
  if (userId == nullptr || userId[0] == '\0') return false;
  if (std::strcmp(userId, ".") == 0 || std::strcmp(userId, "..") == 0) return false;
  for (const char* p = userId; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F) return false;
    if (std::strchr("/\\<>:\"|?*", c) != nullptr) return false;
  }
  // Windows drops trailing dots and spaces from names, so such a name would alias another.
  char last = userId[std::strlen(userId) - 1];
  return last != '.' && last != ' ';
}

bool DataFolderPath(platform::Env& env, const char* userId, std::string* folder) {
  std::string path;
  if (!BaseFolder(env, &path)) return false;
  if (userId != nullptr && !IsPlainFolderName(userId)) return false;
  const char* levels[] = {"Corvel", "Ferrant", userId};
  for (const char* level : levels) {
    if (level == nullptr) break;
    path += platform::kPathSep;
    path += level;
  }
  *folder = path;
  return true;
}

bool DataFolder(platform::Env& env, const char* userId, std::string* folder) {
  std::string path;
  if (!DataFolderPath(env, userId, &path) || !EnsureFolder(env, path)) return false;
  *folder = path;
  return true;
}

std::vector<std::string> FindTaskFiles(platform::Env& env, const std::string& folder) {
  return env.ListMatching(folder, ".udu");
}
