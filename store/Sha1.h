// SHA-1 (FIPS 180-4) with the digest rendered as 40 upper-case hexadecimal digits.
//
// One CSha1Digest per hash: Reset (done by the constructor), Update any number of times, Final,
// then HexDigest. Final wipes the working state; only the digest stays readable. The block
// function uses the x86 SHA extensions when the CPU has them (sha1::Best(), found once at run
// time) and a portable path otherwise; tests and benchmarks may name the one to use.
//
// Thread safety: an object belongs to one thread; different objects are independent.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sha1 {
// A block function: compresses nblocks 64-byte blocks into state.
using CompressFn = void (*)(uint32_t state[5], const uint8_t* blocks, size_t nblocks);
}  // namespace sha1

class CSha1Digest {
 public:
  CSha1Digest();
  explicit CSha1Digest(sha1::CompressFn compress) : compress_(compress) { Reset(); }
  void Reset();
  void Update(const void* data, uint32_t length);
  void Final();
  // Writes 40 upper-case hex digits and a NUL (41 bytes). False, writing nothing, on null.
  bool HexDigest(char* out) const;
  const uint8_t* Digest() const { return digest_; }

 private:
  uint32_t state_[5];
  uint32_t count_[2];  // bit count, low word first
  uint8_t buffer_[64];
  uint8_t digest_[20];
  sha1::CompressFn compress_;
};

// The digest text of a NUL-terminated text's bytes (the NUL not hashed). out: 41 bytes.
// False, writing nothing, when text or out is null.
bool HashText(const char* text, char* out);

namespace sha1 {
// The block functions, exposed for tests and benchmarks.
void CompressPortable(uint32_t state[5], const uint8_t* blocks, size_t nblocks);
// Null when the CPU (or the build) has no SHA extensions.
CompressFn CompressShaNi();
// The fastest this machine has: the SHA extensions when present, else the portable path.
CompressFn Best();
}  // namespace sha1
