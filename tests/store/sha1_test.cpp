// The SHA-1 engine on both block functions: the published known answers, and the two paths
// against each other on random data split at random.
#include "store/Sha1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

std::string Hex(const std::string& data, sha1::CompressFn compress = sha1::Best()) {
  CSha1Digest d(compress);
  d.Update(data.data(), static_cast<uint32_t>(data.size()));
  d.Final();
  char out[41];
  EXPECT_TRUE(d.HexDigest(out));
  return out;
}

class Sha1Paths : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!GetParam() && sha1::CompressShaNi() == nullptr) GTEST_SKIP() << "no SHA extensions";
  }
  sha1::CompressFn Compress() const {
    return GetParam() ? sha1::CompressPortable : sha1::CompressShaNi();
  }
};

TEST_P(Sha1Paths, KnownAnswers) {
  EXPECT_EQ(Hex("", Compress()), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
  EXPECT_EQ(Hex("abc", Compress()), "A9993E364706816ABA3E25717850C26C9CD0D89D");
  EXPECT_EQ(Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", Compress()),
            "84983E441C3BD26EBAAE4AA1F95129E5E54670F1");
  EXPECT_EQ(Hex(std::string(1000000, 'a'), Compress()), "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F");
  char text[41];
  ASSERT_TRUE(HashText("abc", text));
  EXPECT_STREQ(text, "A9993E364706816ABA3E25717850C26C9CD0D89D");
}

INSTANTIATE_TEST_SUITE_P(Engine, Sha1Paths, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "Portable" : "ShaNi";
                         });

TEST(Sha1, PathsAgreeOnRandomDataAndSplits) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::vector<unsigned char> data(rng() % 9000);
    for (auto& c : data) c = static_cast<unsigned char>(rng());
    std::string results[2];
    for (int path = 0; path < 2; ++path) {
      CSha1Digest d(path == 0 ? sha1::CompressPortable : sha1::Best());
      size_t i = 0;
      while (i < data.size()) {
        size_t k = std::min<size_t>(data.size() - i, rng() % 300);
        d.Update(data.data() + i, static_cast<uint32_t>(k));
        i += k;
      }
      d.Final();
      char out[41];
      d.HexDigest(out);
      results[path] = out;
    }
    ASSERT_EQ(results[0], results[1]) << data.size();
    ASSERT_EQ(results[0].size(), 40u);
    ASSERT_EQ(results[0].find_first_not_of("0123456789ABCDEF"), std::string::npos);
  }
}

TEST(Sha1, NullBuffersAreRefusedAndEmptyUpdatesAreHarmless) {
  CSha1Digest d;
  d.Update("ab", 2);
  d.Update(nullptr, 0);  // mid-block, nothing to absorb
  d.Update("c", 1);
  d.Final();
  EXPECT_FALSE(d.HexDigest(nullptr));
  char out[41];
  ASSERT_TRUE(d.HexDigest(out));
  EXPECT_STREQ(out, "A9993E364706816ABA3E25717850C26C9CD0D89D");

  char text[41] = "untouched";
  EXPECT_FALSE(HashText(nullptr, text));
  EXPECT_STREQ(text, "untouched");
  EXPECT_FALSE(HashText("abc", nullptr));
  ASSERT_TRUE(HashText("", text));
  EXPECT_STREQ(text, "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
}

// Past 2^32 message bits the low word of the bit count wraps and must carry into the high word,
// or the padding of any file over 512 MiB is wrong.
TEST(Sha1, BitCountCarriesPastTheLowWord) {
  const uint32_t total = (1u << 29) + 1000;
  std::vector<unsigned char> zeros(1 << 20);
  CSha1Digest d;
  uint32_t left = total;
  while (left > 0) {
    uint32_t k = std::min<uint32_t>(left, static_cast<uint32_t>(zeros.size()) - 7);  // unaligned
    d.Update(zeros.data(), k);
    left -= k;
  }
  d.Final();
  char out[41];
  ASSERT_TRUE(d.HexDigest(out));
  EXPECT_STREQ(out, "14FCC0BDAA6887D35EC5146489F750412D0886EA");
}

}  // namespace
