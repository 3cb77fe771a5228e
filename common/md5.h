// MD5 message digest (RFC 1321), used to check the engines' data files.
// A context digests one message; it is not shared between threads.
#ifndef COMMON_MD5_H_
#define COMMON_MD5_H_

#include <cstddef>
#include <cstdint>

namespace ascommon {

class Md5 {
 public:
  static constexpr size_t kDigestSize = 16;

  Md5() { Init(); }
  void Init();
  void Update(const void* data, size_t length);
  // Writes the digest and leaves the context to be Init'ed again.
  void Final(uint8_t digest[kDigestSize]);

  // The digest of one buffer.
  static void Digest(const void* data, size_t length, uint8_t digest[kDigestSize]);

 private:
  void Transform(const uint8_t block[64]);

  uint32_t state_[4];
  uint64_t bit_count_;
  uint8_t buffer_[64];
};

}  // namespace ascommon

#endif  // COMMON_MD5_H_
