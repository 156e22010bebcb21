// The SHA-1 digest object: buffering, padding, the digest text, and the choice of block function.
#include "store/Sha1.h"

#include <cstring>

namespace sha1 {
CompressFn Best() {
  static const CompressFn best = CompressShaNi() != nullptr ? CompressShaNi() : CompressPortable;
  return best;
}
}  // namespace sha1

CSha1Digest::CSha1Digest() : compress_(sha1::Best()) {
  Reset();
}

void CSha1Digest::Reset() {
  state_[0] = 0x67452301u;
  state_[1] = 0xEFCDAB89u;
  state_[2] = 0x98BADCFEu;
  state_[3] = 0x10325476u;
  state_[4] = 0xC3D2E1F0u;
  count_[0] = count_[1] = 0;
  std::memset(buffer_, 0, sizeof buffer_);
  std::memset(digest_, 0, sizeof digest_);
}

void CSha1Digest::Update(const void* data, uint32_t length) {
  if (length == 0) return;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t used = (count_[0] >> 3) & 63;
  uint32_t lowBits = count_[0] + (length << 3);
  if (lowBits < count_[0]) ++count_[1];
  count_[0] = lowBits;
  count_[1] += length >> 29;

  const sha1::CompressFn compress = compress_;
  if (used > 0) {
    uint32_t take = 64 - used;
    if (length < take) {
      std::memcpy(buffer_ + used, p, length);
      return;
    }
    std::memcpy(buffer_ + used, p, take);
    compress(state_, buffer_, 1);
    p += take;
    length -= take;
  }
  // Whole blocks straight from the caller's buffer.
  if (length >= 64) {
    size_t blocks = length / 64;
    compress(state_, p, blocks);
    p += blocks * 64;
    length -= static_cast<uint32_t>(blocks * 64);
  }
  if (length > 0) std::memcpy(buffer_, p, length);
}

void CSha1Digest::Final() {
  uint8_t bits[8];
  for (int i = 0; i < 4; ++i) {
    bits[i] = static_cast<uint8_t>(count_[1] >> (24 - 8 * i));
    bits[4 + i] = static_cast<uint8_t>(count_[0] >> (24 - 8 * i));
  }
  const uint8_t pad80 = 0x80;
  const uint8_t zero = 0;
  Update(&pad80, 1);
  while (((count_[0] >> 3) & 63) != 56) Update(&zero, 1);
  Update(bits, 8);
  for (int i = 0; i < 20; ++i) {
    digest_[i] = static_cast<uint8_t>(state_[i >> 2] >> (24 - 8 * (i & 3)));
  }
  // Only the digest stays readable.
  std::memset(state_, 0, sizeof state_);
  std::memset(count_, 0, sizeof count_);
  std::memset(buffer_, 0, sizeof buffer_);
}

bool CSha1Digest::HexDigest(char* out) const {
  if (out == nullptr) return false;
  static const char kHex[] = "0123456789ABCDEF";
  for (int i = 0; i < 20; ++i) {
    out[2 * i] = kHex[digest_[i] >> 4];
    out[2 * i + 1] = kHex[digest_[i] & 15];
  }
  out[40] = '\0';
  return true;
}

bool HashText(const char* text, char* out) {
  // A null text is no text: refused like a null output buffer, nothing written.
  if (text == nullptr || out == nullptr) return false;
  CSha1Digest digest;
  digest.Update(text, static_cast<uint32_t>(std::strlen(text)));
  digest.Final();
  return digest.HexDigest(out);
}
