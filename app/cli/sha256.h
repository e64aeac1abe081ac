#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace quorvel::cli {

// SHA-256 (FIPS 180-4), fed in pieces of any size.
class Sha256 {
 public:
  using Digest = std::array<std::uint8_t, 32>;

  Sha256();
  void update(const void* data, std::size_t size);
  // Ends the message; the object must not be fed again afterwards.
  Digest finish();

 private:
  void compressBlock(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> pending_{};
  std::size_t pendingSize_ = 0;
  std::uint64_t totalBytes_ = 0;
};

// Lower-case hexadecimal, two digits a byte.
std::string toHex(const Sha256::Digest& digest);

// The digest of a whole file in hexadecimal; nothing when it cannot be read to its end.
std::optional<std::string> sha256OfFile(const std::string& path);

}  // namespace quorvel::cli
