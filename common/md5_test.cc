#include "common/md5.h"

#include <gtest/gtest.h>

#include <string>

namespace ascommon {
namespace {

std::string Hex(const uint8_t digest[Md5::kDigestSize]) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < Md5::kDigestSize; ++i) {
    text += kDigits[digest[i] >> 4];
    text += kDigits[digest[i] & 15];
  }
  return text;
}

// The test suite of RFC 1321, appendix A.5.
TEST(Md5Test, RfcVectorsWholeAndInPieces) {
  const struct { std::string input; const char* digest; } kCases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890"
       "123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.input);
    uint8_t digest[Md5::kDigestSize];
    Md5::Digest(c.input.data(), c.input.size(), digest);
    EXPECT_EQ(c.digest, Hex(digest));
    // Fed in uneven pieces that straddle the 64-byte blocks, the digest is the same.
    for (size_t piece : {1u, 7u, 63u, 64u, 65u}) {
      Md5 md5;
      for (size_t at = 0; at < c.input.size(); at += piece)
        md5.Update(c.input.data() + at, std::min(piece, c.input.size() - at));
      md5.Final(digest);
      EXPECT_EQ(c.digest, Hex(digest)) << "piece " << piece;
    }
  }
}

TEST(Md5Test, PaddingBoundaries) {
  // 55, 56 and 64 bytes put the length field in the first or a second block.
  const struct { size_t size; const char* digest; } kCases[] = {
      {55, "ef1772b6dff9a122358552954ad0df65"},
      {56, "3b0c8ac703f828b04c6c197006d17218"},
      {64, "014842d480b571495a4a0363793f7367"},
  };
  for (const auto& c : kCases) {
    std::string input(c.size, 'a');
    uint8_t digest[Md5::kDigestSize];
    Md5::Digest(input.data(), input.size(), digest);
    EXPECT_EQ(c.digest, Hex(digest)) << c.size;
  }
}

}  // namespace
}  // namespace ascommon
