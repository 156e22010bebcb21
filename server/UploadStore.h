// The reference server's content-addressed store, in a folder:
//   complete/<SHA-1>        files whose upload finished, by their SHA-1 (40 upper-case hex)
//   complete/<SHA-1>.pick   their pick code
//   partial/<key>           the bytes of an upload in progress, appended in order
//   partial/<key>.meta      its SHA-1, size, pick code and name, one per line
// The folder may be reused by a new server: partial and complete uploads are found again.
//
// Thread safety: every method may be called from any connection's thread; an upload key is
// written by one request at a time (Claim/Release).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace refserver {

struct PartialUpload {
  std::string key, pickCode, sha1, name;
  int64_t size = 0;
};

class UploadStore {
 public:
  explicit UploadStore(std::string dir);

  // The pick code of a complete file with this SHA-1 (always known for the empty file).
  bool FindComplete(const std::string& sha1, int64_t size, std::string* pickCode);
  // The upload to go on with: the partial one named by pickCodeHint when it has this SHA-1 and
  // size, otherwise a new one.
  PartialUpload Begin(const std::string& sha1, int64_t size, const std::string& name,
                      const std::string& pickCodeHint);
  bool FindByKey(const std::string& key, PartialUpload* upload);
  // Bytes held for the key (-1 when unknown).
  int64_t Held(const std::string& key);
  std::string PartialPath(const std::string& key) const;
  // One writer per key.
  bool Claim(const std::string& key);
  void Release(const std::string& key);
  // A newer request for the key retires the connection still writing it (one the client has
  // left): that writer sees its generation change and stops.
  void Supersede(const std::string& key);
  uint64_t Generation(const std::string& key);
  // Waits (at most timeoutMs) until no request writes the key; true when none does.
  bool WaitUnclaimed(const std::string& key, int timeoutMs);
  // Checks size, SHA-1 and the final-block hash ("<count>:<SHA-1 of the last block>", blocks
  // of the schema's size) and moves the file into the complete store. error: why not.
  bool Finish(const std::string& key, const std::string& sha1, int64_t size, int schema,
              const std::string& hashes, std::string* error);
  bool DeleteByPickCode(const std::string& pickCode);
  // The complete file's path for a SHA-1 ("" when absent).
  std::string CompletePath(const std::string& sha1) const;

 private:
  void Load();
  std::string NewToken(const char* prefix);

  std::string dir_;
  std::mutex m_;
  std::map<std::string, PartialUpload> partial_;  // by key
  std::set<std::string> claimed_;
  std::condition_variable released_;
  std::map<std::string, uint64_t> generation_;
  uint64_t counter_ = 0;
};

// Block size of a block schema (0..3): 256 KiB, 512 KiB, 1 MiB, 2 MiB.
int64_t BlockSizeOfSchema(int schema);

}  // namespace refserver
