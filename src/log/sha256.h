#pragma once

// SHA-256 (FIPS 180-4), for the hashed client addresses of the session log.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarnwicket {

class Sha256 {
 public:
  using Digest = std::array<std::uint8_t, 32>;

  void update(std::string_view bytes) noexcept;
  // The digest of everything updated so far; the object is spent afterwards.
  Digest finish() noexcept;

 private:
  void block(const std::uint8_t* data) noexcept;

  std::array<std::uint32_t, 8> state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0;  // bytes
};

// Lower-case hex of a digest.
std::array<char, 64> to_hex(const Sha256::Digest& digest) noexcept;

}  // namespace tarnwicket
