// SHA-256 (FIPS 180-4) of a byte stream, for content digests: the sources a program was built
// from, the file a project was written with.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelka::tools {

class Sha256 {
 public:
  Sha256();
  // Adds `bytes` to the message.
  void update(std::string_view bytes);
  // The digest of everything added, as 64 lowercase hexadecimal digits.  The object is spent:
  // nothing may be added afterwards.
  std::string hex_digest();

 private:
  void compress(const unsigned char* block);

  std::array<std::uint32_t, 8> state_;
  std::array<unsigned char, 64> block_{};
  std::size_t block_used_ = 0;
  std::uint64_t message_bytes_ = 0;
};

// The SHA-256 digest of `bytes` in hexadecimal.
std::string sha256_hex(std::string_view bytes);

}  // namespace zelka::tools
