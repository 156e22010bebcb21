#include "server/UploadStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "store/Sha1.h"

namespace refserver {
namespace {

int64_t FileSizeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

std::string ReadSmall(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Writes a small file whole or not at all (temporary file, then rename).
bool WriteSmall(const std::string& path, const std::string& data) {
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << data;
    if (!out.flush()) return false;
  }
  return ::rename(tmp.c_str(), path.c_str()) == 0;
}

// A name as one meta line: control characters would break the line format.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20) c = '_';
  }
  return text;
}

// SHA-1 of [start, end) of a file, as 40 upper-case hex digits; "" on a read error or a stop.
std::string HashRange(const std::string& path, int64_t start, int64_t end,
                      const std::atomic<bool>& stop) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  CSha1Digest digest;
  std::vector<char> buf(1 << 20);
  int64_t pos = start;
  while (pos < end) {
    if (stop.load()) {
      ::close(fd);
      return "";
    }
    size_t want =
        static_cast<size_t>(std::min<int64_t>(end - pos, static_cast<int64_t>(buf.size())));
    ssize_t n = ::pread(fd, buf.data(), want, pos);
    if (n <= 0) {
      ::close(fd);
      return "";
    }
    digest.Update(buf.data(), static_cast<uint32_t>(n));
    pos += n;
  }
  ::close(fd);
  digest.Final();
  char hex[41];
  digest.HexDigest(hex);
  return hex;
}

bool ParseSchema(const std::string& text, int* schema) {
  if (text.size() != 1 || text[0] < '0' || text[0] > '3') return false;
  *schema = text[0] - '0';
  return true;
}

}  // namespace

int64_t BlockSizeOfSchema(int schema) {
  switch (schema) {
    case 0:
      return 262144;
    case 1:
      return 524288;
    case 2:
      return 1048576;
    case 3:
      return 2097152;
    default:
      return 0;
  }
}

int BlockSchemaForSize(int64_t size) {
  if (size <= 134217728) return 0;
  if (size <= 268435456) return 1;
  if (size <= 536870912) return 2;
  return 3;
}

bool IsSha1Text(const std::string& text) {
  if (text.size() != 40) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

UploadStore::UploadStore(std::string dir) : dir_(std::move(dir)) {
  ::mkdir(dir_.c_str(), 0700);
  ::mkdir((dir_ + "/complete").c_str(), 0700);
  ::mkdir((dir_ + "/partial").c_str(), 0700);
  // The empty file is always held, so it has a stored copy like any other.
  std::string empty = dir_ + "/complete/" + kEmptyFileSha1;
  if (FileSizeOf(empty) < 0) {
    WriteSmall(empty + ".pick", "empty");
    WriteSmall(empty, "");
  }
  Load();
}

void UploadStore::Load() {
  DIR* d = ::opendir((dir_ + "/partial").c_str());
  if (d == nullptr) return;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    const std::string suffix = ".meta";
    if (name.size() <= suffix.size() || name.substr(name.size() - suffix.size()) != suffix) {
      continue;
    }
    std::istringstream meta(ReadSmall(dir_ + "/partial/" + name));
    PartialUpload u;
    u.key = name.substr(0, name.size() - suffix.size());
    std::string size;
    std::getline(meta, u.sha1);
    std::getline(meta, size);
    std::getline(meta, u.pickCode);
    std::getline(meta, u.name);
    u.size = std::atoll(size.c_str());
    if (IsSha1Text(u.sha1) && FileSizeOf(PartialPath(u.key)) >= 0) partial_[u.key] = u;
  }
  ::closedir(d);
}

std::string UploadStore::NewToken(const char* prefix) {
  static thread_local std::mt19937_64 rng(std::random_device{}() ^
                                          static_cast<uint64_t>(::getpid()));
  char text[64];
  std::snprintf(text, sizeof text, "%s%016llx%llu", prefix, static_cast<unsigned long long>(rng()),
                static_cast<unsigned long long>(++counter_));
  return text;
}

bool UploadStore::FindComplete(const std::string& sha1, std::string* pickCode) {
  if (sha1 == kEmptyFileSha1) {
    *pickCode = "empty";  // even when the folder's copy was removed
    return true;
  }
  if (!IsSha1Text(sha1)) return false;
  std::lock_guard<std::mutex> g(m_);
  std::string path = dir_ + "/complete/" + sha1;
  if (FileSizeOf(path) < 0) return false;
  *pickCode = ReadSmall(path + ".pick");
  return true;
}

bool UploadStore::Begin(const std::string& sha1, int64_t size, const std::string& name,
                        const std::string& pickCodeHint, PartialUpload* upload) {
  std::lock_guard<std::mutex> g(m_);
  if (!pickCodeHint.empty()) {
    for (auto& [key, u] : partial_) {
      if (u.pickCode == pickCodeHint && u.sha1 == sha1 && u.size == size) {
        *upload = u;
        return true;
      }
    }
  }
  PartialUpload u;
  u.key = NewToken("k");
  u.pickCode = NewToken("pc");
  u.sha1 = sha1;
  u.size = size;
  u.name = OneLine(name);
  std::string path = PartialPath(u.key);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  ::close(fd);
  if (!WriteSmall(path + ".meta",
                  sha1 + "\n" + std::to_string(size) + "\n" + u.pickCode + "\n" + u.name + "\n")) {
    ::unlink(path.c_str());
    return false;
  }
  partial_[u.key] = u;
  *upload = u;
  return true;
}

bool UploadStore::FindByKey(const std::string& key, PartialUpload* upload) {
  std::lock_guard<std::mutex> g(m_);
  auto it = partial_.find(key);
  if (it == partial_.end()) return false;
  *upload = it->second;
  return true;
}

std::string UploadStore::KeyOfPickCode(const std::string& pickCode) {
  std::lock_guard<std::mutex> g(m_);
  for (const auto& [key, u] : partial_) {
    if (u.pickCode == pickCode) return key;
  }
  return "";
}

int64_t UploadStore::Held(const std::string& key) {
  {
    std::lock_guard<std::mutex> g(m_);
    if (!partial_.count(key)) return -1;
  }
  return FileSizeOf(PartialPath(key));
}

std::string UploadStore::PartialPath(const std::string& key) const {
  return dir_ + "/partial/" + key;
}

std::string UploadStore::CompletePath(const std::string& sha1) const {
  if (!IsSha1Text(sha1)) return "";
  std::string path = dir_ + "/complete/" + sha1;
  return FileSizeOf(path) >= 0 ? path : "";
}

bool UploadStore::Claim(const std::string& key) {
  std::lock_guard<std::mutex> g(m_);
  return claimed_.insert(key).second;
}

void UploadStore::Release(const std::string& key) {
  std::lock_guard<std::mutex> g(m_);
  claimed_.erase(key);
}

bool UploadStore::IsClaimed(const std::string& key) {
  std::lock_guard<std::mutex> g(m_);
  return claimed_.count(key) != 0;
}

bool UploadStore::Finish(const std::string& key, const std::string& sha1, int64_t size,
                         const std::string& blockSchema, const std::string& hashes,
                         const std::atomic<bool>& stop, std::string* error) {
  PartialUpload u;
  if (!FindByKey(key, &u)) {
    *error = "unknown key";
    return false;
  }
  std::string path = PartialPath(key);
  if (u.sha1 != sha1 || u.size != size) {
    *error = "sha1 or filesize differs from the dispatched file";
    return false;
  }
  int64_t held = FileSizeOf(path);
  if (held != size) {
    *error = "holds " + std::to_string(held) + " of " + std::to_string(size) + " bytes";
    return false;
  }
  int schema = -1;
  if (!ParseSchema(blockSchema, &schema) || schema != BlockSchemaForSize(size)) {
    *error = "block_schema " + blockSchema + " does not fit a file of " + std::to_string(size) +
             " bytes";
    return false;
  }
  if (size == 0) {
    *error = "an empty file has no final block";
    return false;
  }
  int64_t blockSize = BlockSizeOfSchema(schema);
  int64_t count = size / blockSize + (size % blockSize ? 1 : 0);
  std::string expected =
      std::to_string(count) + ":" + HashRange(path, (count - 1) * blockSize, size, stop);
  if (hashes != expected) {
    *error = "final block hash does not match";
    return false;
  }
  if (HashRange(path, 0, size, stop) != sha1) {
    *error = "file sha1 does not match";
    return false;
  }
  std::lock_guard<std::mutex> g(m_);
  std::string dest = dir_ + "/complete/" + sha1;
  if (FileSizeOf(dest) >= 0) {
    ::unlink(path.c_str());  // the same content is already held under its first pick code
  } else if (!WriteSmall(dest + ".pick", u.pickCode) || ::rename(path.c_str(), dest.c_str()) != 0) {
    *error = "cannot store the file";
    return false;
  }
  ::unlink((path + ".meta").c_str());
  partial_.erase(key);
  return true;
}

bool UploadStore::DeleteByPickCode(const std::string& pickCode) {
  std::lock_guard<std::mutex> g(m_);
  for (auto it = partial_.begin(); it != partial_.end(); ++it) {
    if (it->second.pickCode == pickCode) {
      std::string path = PartialPath(it->first);
      ::unlink(path.c_str());
      ::unlink((path + ".meta").c_str());
      partial_.erase(it);
      return true;
    }
  }
  return false;
}

}  // namespace refserver
