// The SHA-1 block function on the x86 SHA extensions, chosen at run time when the CPU has them.
// Compiled with target attributes, so the rest of the build needs no special flags.
#include "store/Sha1.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <immintrin.h>

namespace sha1 {
namespace {

// Four rounds with function f, on message word group Mc; the next groups' schedule advances
// alongside. Unused schedule results of the last groups are dropped by the compiler.
#define SHA1NI_GROUP(Ecur, Eoth, Mc, Mn, Mn2, Mp, f) \
  Ecur = _mm_sha1nexte_epu32(Ecur, Mc);              \
  Eoth = abcd;                                       \
  Mn = _mm_sha1msg2_epu32(Mn, Mc);                   \
  abcd = _mm_sha1rnds4_epu32(abcd, Ecur, f);         \
  Mp = _mm_sha1msg1_epu32(Mp, Mc);                   \
  Mn2 = _mm_xor_si128(Mn2, Mc)

__attribute__((target("sha,sse4.1,ssse3"))) void CompressNi(uint32_t state[5], const uint8_t* data,
                                                            size_t nblocks) {
  const __m128i mask = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
  abcd = _mm_shuffle_epi32(abcd, 0x1B);
  for (; nblocks > 0; --nblocks, data += 64) {
    const __m128i abcdSave = abcd;
    const __m128i e0Save = e0;
    __m128i e1;
    __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data)), mask);
    __m128i m1 =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16)), mask);
    __m128i m2 =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 32)), mask);
    __m128i m3 =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 48)), mask);
    // Rounds 0-15.
    e0 = _mm_add_epi32(e0, m0);
    e1 = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);
    e1 = _mm_sha1nexte_epu32(e1, m1);
    e0 = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, e1, 0);
    m0 = _mm_sha1msg1_epu32(m0, m1);
    e0 = _mm_sha1nexte_epu32(e0, m2);
    e1 = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);
    m1 = _mm_sha1msg1_epu32(m1, m2);
    m0 = _mm_xor_si128(m0, m2);
    SHA1NI_GROUP(e1, e0, m3, m0, m1, m2, 0);
    // Rounds 16-79.
    SHA1NI_GROUP(e0, e1, m0, m1, m2, m3, 0);
    SHA1NI_GROUP(e1, e0, m1, m2, m3, m0, 1);
    SHA1NI_GROUP(e0, e1, m2, m3, m0, m1, 1);
    SHA1NI_GROUP(e1, e0, m3, m0, m1, m2, 1);
    SHA1NI_GROUP(e0, e1, m0, m1, m2, m3, 1);
    SHA1NI_GROUP(e1, e0, m1, m2, m3, m0, 1);
    SHA1NI_GROUP(e0, e1, m2, m3, m0, m1, 2);
    SHA1NI_GROUP(e1, e0, m3, m0, m1, m2, 2);
    SHA1NI_GROUP(e0, e1, m0, m1, m2, m3, 2);
    SHA1NI_GROUP(e1, e0, m1, m2, m3, m0, 2);
    SHA1NI_GROUP(e0, e1, m2, m3, m0, m1, 2);
    SHA1NI_GROUP(e1, e0, m3, m0, m1, m2, 3);
    SHA1NI_GROUP(e0, e1, m0, m1, m2, m3, 3);
    SHA1NI_GROUP(e1, e0, m1, m2, m3, m0, 3);
    SHA1NI_GROUP(e0, e1, m2, m3, m0, m1, 3);
    e1 = _mm_sha1nexte_epu32(e1, m3);
    e0 = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, e1, 3);
    e0 = _mm_sha1nexte_epu32(e0, e0Save);
    abcd = _mm_add_epi32(abcd, abcdSave);
  }
  abcd = _mm_shuffle_epi32(abcd, 0x1B);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), abcd);
  state[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

}  // namespace

CompressFn CompressShaNi() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return nullptr;
  const bool ssse3 = (c & (1u << 9)) != 0, sse41 = (c & (1u << 19)) != 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return nullptr;
  const bool sha = (b & (1u << 29)) != 0;
  return ssse3 && sse41 && sha ? CompressNi : nullptr;
}

}  // namespace sha1

#else

namespace sha1 {
CompressFn CompressShaNi() {
  return nullptr;
}
}  // namespace sha1

#endif
