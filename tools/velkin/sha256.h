// SHA-256 (FIPS 180-4) for the traceability log: which image went onto which unit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace velkin::cli {

class Sha256 {
 public:
  using Digest = std::array<std::uint8_t, 32>;

  void Update(const std::uint8_t* bytes, std::size_t count);
  // The digest of everything given; the object is then spent.
  Digest Finish();

  // The digest of `count` bytes as 64 lower-case hexadecimal digits.
  static std::string Hex(const std::uint8_t* bytes, std::size_t count);

 private:
  void Block(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::array<std::uint8_t, 64> pending_{};
  std::size_t pending_size_ = 0;
  std::uint64_t total_ = 0;  // bytes given
};

}  // namespace velkin::cli
