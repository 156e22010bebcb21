#include "server/UploadStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "store/Sha1.h"

namespace refserver {
namespace {

constexpr const char* kEmptySha1 = "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709";

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

bool WriteSmall(const std::string& path, const std::string& data) {
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << data;
    if (!out.flush()) return false;
  }
  return ::rename(tmp.c_str(), path.c_str()) == 0;
}

// SHA-1 of [start, end) of a file, as 40 upper-case hex digits; "" on a read error.
std::string HashRange(const std::string& path, int64_t start, int64_t end) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  CSha1Digest digest;
  std::vector<char> buf(1 << 20);
  int64_t pos = start;
  while (pos < end) {
    ssize_t n = ::pread(
        fd, buf.data(),
        static_cast<size_t>(std::min<int64_t>(end - pos, static_cast<int64_t>(buf.size()))), pos);
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

UploadStore::UploadStore(std::string dir) : dir_(std::move(dir)) {
  ::mkdir(dir_.c_str(), 0700);
  ::mkdir((dir_ + "/complete").c_str(), 0700);
  ::mkdir((dir_ + "/partial").c_str(), 0700);
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
    if (u.sha1.size() == 40) partial_[u.key] = u;
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

bool UploadStore::FindComplete(const std::string& sha1, int64_t size, std::string* pickCode) {
  std::lock_guard<std::mutex> g(m_);
  if (sha1 == kEmptySha1 && size == 0) {
    *pickCode = "empty";
    return true;
  }
  std::string path = dir_ + "/complete/" + sha1;
  if (FileSizeOf(path) < 0) return false;
  *pickCode = ReadSmall(path + ".pick");
  return true;
}

PartialUpload UploadStore::Begin(const std::string& sha1, int64_t size, const std::string& name,
                                 const std::string& pickCodeHint) {
  std::lock_guard<std::mutex> g(m_);
  if (!pickCodeHint.empty()) {
    for (auto& [key, u] : partial_) {
      if (u.pickCode == pickCodeHint && u.sha1 == sha1 && u.size == size) return u;
    }
  }
  PartialUpload u;
  u.key = NewToken("k");
  u.pickCode = NewToken("pc");
  u.sha1 = sha1;
  u.size = size;
  u.name = name;
  std::string path = PartialPath(u.key);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
  WriteSmall(path + ".meta",
             sha1 + "\n" + std::to_string(size) + "\n" + u.pickCode + "\n" + name + "\n");
  partial_[u.key] = u;
  return u;
}

bool UploadStore::FindByKey(const std::string& key, PartialUpload* upload) {
  std::lock_guard<std::mutex> g(m_);
  auto it = partial_.find(key);
  if (it == partial_.end()) return false;
  *upload = it->second;
  return true;
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
  released_.notify_all();
}

void UploadStore::Supersede(const std::string& key) {
  std::lock_guard<std::mutex> g(m_);
  ++generation_[key];
}

uint64_t UploadStore::Generation(const std::string& key) {
  std::lock_guard<std::mutex> g(m_);
  return generation_[key];
}

bool UploadStore::WaitUnclaimed(const std::string& key, int timeoutMs) {
  std::unique_lock<std::mutex> g(m_);
  return released_.wait_for(g, std::chrono::milliseconds(timeoutMs),
                            [&] { return claimed_.count(key) == 0; });
}

bool UploadStore::Finish(const std::string& key, const std::string& sha1, int64_t size, int schema,
                         const std::string& hashes, std::string* error) {
  PartialUpload u;
  if (!FindByKey(key, &u)) {
    *error = "unknown key";
    return false;
  }
  std::string path = PartialPath(key);
  if (u.sha1 != sha1 || u.size != size || FileSizeOf(path) != size) {
    *error = "size or sha1 does not match the upload";
    return false;
  }
  int64_t blockSize = BlockSizeOfSchema(schema);
  if (blockSize == 0 || size == 0) {
    *error = "bad block schema";
    return false;
  }
  int64_t count = size / blockSize + (size % blockSize ? 1 : 0);
  std::string expected =
      std::to_string(count) + ":" + HashRange(path, (count - 1) * blockSize, size);
  if (hashes != expected) {
    *error = "final block hash does not match";
    return false;
  }
  if (HashRange(path, 0, size) != sha1) {
    *error = "file sha1 does not match";
    return false;
  }
  std::lock_guard<std::mutex> g(m_);
  std::string dest = dir_ + "/complete/" + sha1;
  WriteSmall(dest + ".pick", u.pickCode);
  if (::rename(path.c_str(), dest.c_str()) != 0) {
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
