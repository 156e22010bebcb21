// The Win32 backend of Env: the clock, environment, files and folders of Windows, on narrow
// paths in the active code page.

// clang-format off
#include <windows.h>  // before every other system header
// clang-format on
#include <chrono>
#include <string>
#include <thread>

#include "platform/Env.h"
#include "platform/ProxySource.h"

namespace platform {
namespace {

class Win32ReadFile : public IReadFile {
 public:
  explicit Win32ReadFile(HANDLE h) : h_(h) {}
  ~Win32ReadFile() override { CloseHandle(h_); }
  bool Length(int64_t* length) override {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h_, &size)) return false;
    *length = size.QuadPart;
    return true;
  }
  bool Seek(int64_t offset) override {
    LARGE_INTEGER to;
    to.QuadPart = offset;
    return offset >= 0 && SetFilePointerEx(h_, to, nullptr, FILE_BEGIN) != 0;
  }
  int64_t Read(void* buffer, size_t n) override {
    DWORD got = 0;
    DWORD want = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
    if (!ReadFile(h_, buffer, want, &got, nullptr)) return -1;
    return static_cast<int64_t>(got);
  }

 private:
  HANDLE h_;
};

bool FindAttributes(const std::string& path, WIN32_FIND_DATAA* data) {
  HANDLE h = FindFirstFileA(path.c_str(), data);
  if (h == INVALID_HANDLE_VALUE) return false;
  FindClose(h);
  return true;
}

int64_t FileTimeToUnix(const FILETIME& ft) {
  ULARGE_INTEGER v;
  v.LowPart = ft.dwLowDateTime;
  v.HighPart = ft.dwHighDateTime;
  return static_cast<int64_t>(v.QuadPart / 10000000ULL) - 11644473600LL;
}

// Creates a new file beside path, exclusively, named "<path>.tmp.<pid>.<thread>.<n>": no two
// writers of this or another process ever share one.
HANDLE CreateTemporaryBeside(const std::string& path, std::string* tmp) {
  const ULONGLONG stamp = GetTickCount64();
  for (int attempt = 0; attempt < 100; ++attempt) {
    *tmp = path + ".tmp." + std::to_string(GetCurrentProcessId()) + "." +
           std::to_string(GetCurrentThreadId()) + "." + std::to_string(stamp + attempt);
    HANDLE h = CreateFileA(tmp->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return h;
  }
  return INVALID_HANDLE_VALUE;
}

class Win32Env : public Env {
 public:
  int64_t NowSeconds() override {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return FileTimeToUnix(ft);
  }
  int64_t SteadyMillis() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  void SleepMillis(int ms) override { Sleep(static_cast<DWORD>(ms)); }

  bool GetVar(const char* name, std::string* value) override {
    char buffer[512];
    DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer) return false;  // unset, or longer than 511 characters
    value->assign(buffer, n);
    return true;
  }

  bool IsDirectory(const std::string& path) override {
    WIN32_FIND_DATAA d;
    return FindAttributes(path, &d) && (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
  bool PathExists(const std::string& path) override {
    WIN32_FIND_DATAA d;
    return FindAttributes(path, &d);
  }
  bool MakeDirectory(const std::string& path) override {
    return CreateDirectoryA(path.c_str(), nullptr) != 0;
  }
  bool RemoveFile(const std::string& path) override { return DeleteFileA(path.c_str()) != 0; }

  std::vector<std::string> ListMatching(const std::string& folder,
                                        const std::string& suffix) override {
    std::vector<std::string> names;
    WIN32_FIND_DATAA d;
    HANDLE h = FindFirstFileA((folder + "\\*" + suffix).c_str(), &d);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
      names.push_back(d.cFileName);
    } while (FindNextFileA(h, &d));
    FindClose(h);
    return names;
  }

  bool FileSize(const std::string& path, int64_t* size) override {
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &a)) return false;
    *size = static_cast<int64_t>(a.nFileSizeHigh) << 32 | a.nFileSizeLow;
    return true;
  }
  bool FileModTime(const std::string& path, int64_t* seconds) override {
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &a)) return false;
    *seconds = FileTimeToUnix(a.ftLastWriteTime);
    return true;
  }
  std::unique_ptr<IReadFile> OpenRead(const std::string& path) override {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32ReadFile>(h);
  }

  bool WriteFileAtomic(const std::string& path, const std::string& data,
                       Durability durability) override {
    const bool synced = durability == Durability::kSynced;
    std::string tmp;
    HANDLE h = CreateTemporaryBeside(path, &tmp);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    size_t off = 0;
    while (ok && off < data.size()) {
      DWORD wrote = 0;
      ok = WriteFile(h, data.data() + off, static_cast<DWORD>(data.size() - off), &wrote,
                     nullptr) != 0 &&
           wrote > 0;
      off += wrote;
    }
    ok = ok && (!synced || FlushFileBuffers(h) != 0);
    ok = CloseHandle(h) != 0 && ok;
    if (ok) {
      const DWORD through = synced ? MOVEFILE_WRITE_THROUGH : 0;
      ok = MoveFileExA(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | through) != 0;
    }
    if (!ok) DeleteFileA(tmp.c_str());
    return ok;
  }

  bool ProxyString(const std::string& targetHost, bool tls, std::string* text) override {
    return SystemProxyString(*this, targetHost, tls, text);
  }
  SocketSystem& Sockets() override { return SocketSystem::Default(); }
};

}  // namespace

Env& Env::Default() {
  static Win32Env env;
  return env;
}

}  // namespace platform
