// The reference server's content-addressed store, in a folder:
//   complete/<SHA-1>        files whose upload finished, by their SHA-1 (40 upper-case hex)
//   complete/<SHA-1>.pick   their pick code
//   partial/<key>           the bytes of an upload in progress, appended in order
//   partial/<key>.meta      its SHA-1, size, pick code and name, one per line
// The folder may be reused by a new server: partial and complete uploads are found again.
//
// Keys, pick codes and SHA-1 texts from requests are only ever looked up in the store's own
// tables (or checked to be 40 hex digits) before they name a file, so a request cannot reach a
// path outside the folder.
//
// Thread safety: every method may be called from any thread; an upload key is written by one
// request at a time (Claim/Release), and Finish expects the caller to hold the key's claim.
#pragma once

#include <atomic>
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

// The SHA-1 of the empty file; the service always holds it.
inline constexpr const char* kEmptyFileSha1 = "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709";

class UploadStore {
 public:
  explicit UploadStore(std::string dir);

  // The pick code of a complete file with this SHA-1 (always known for the empty file).
  bool FindComplete(const std::string& sha1, std::string* pickCode);
  // The upload to go on with: the partial one named by pickCodeHint when it has this SHA-1 and
  // size, otherwise a new one. False when the partial file cannot be created.
  bool Begin(const std::string& sha1, int64_t size, const std::string& name,
             const std::string& pickCodeHint, PartialUpload* upload);
  bool FindByKey(const std::string& key, PartialUpload* upload);
  // The key of the partial upload with this pick code ("" when none).
  std::string KeyOfPickCode(const std::string& pickCode);
  // Bytes held for the key (-1 when unknown).
  int64_t Held(const std::string& key);
  std::string PartialPath(const std::string& key) const;
  // One writer per key: Claim is false while another holds it.
  bool Claim(const std::string& key);
  void Release(const std::string& key);
  bool IsClaimed(const std::string& key);
  // Checks the block schema against the size, the size, the final-block hash
  // ("<count>:<SHA-1 of the last block>") and the whole file's SHA-1, and only then moves the
  // file into the complete store. error: why not. stop: gives up (false) when it turns true.
  bool Finish(const std::string& key, const std::string& sha1, int64_t size,
              const std::string& blockSchema, const std::string& hashes,
              const std::atomic<bool>& stop, std::string* error);
  // Drops the partial upload with this pick code; false when there is none.
  bool DeleteByPickCode(const std::string& pickCode);
  // The complete file's path for a SHA-1 ("" when absent or not a SHA-1 text).
  std::string CompletePath(const std::string& sha1) const;

 private:
  void Load();
  std::string NewToken(const char* prefix);

  std::string dir_;
  std::mutex m_;
  std::map<std::string, PartialUpload> partial_;  // by key
  std::set<std::string> claimed_;
  uint64_t counter_ = 0;
};

// Block size of a block schema (0..3): 256 KiB, 512 KiB, 1 MiB, 2 MiB; 0 for another schema.
int64_t BlockSizeOfSchema(int schema);
// The block schema the client chooses for a file of this size.
int BlockSchemaForSize(int64_t size);
// True for 40 upper-case hexadecimal digits.
bool IsSha1Text(const std::string& text);

}  // namespace refserver
