#include "app/cli/sha256.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace quorvel::cli {
namespace {

constexpr std::size_t kBlockBytes = 64;
constexpr std::size_t kLengthBytes = 8;
constexpr std::size_t kFileChunkBytes = 64 * 1024;

constexpr std::array<std::uint32_t, 64> kRoundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::array<std::uint32_t, 8> kInitialState = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr std::uint32_t rotateRight(std::uint32_t value, int bits) {
  return (value >> bits) | (value << (32 - bits));
}

std::uint32_t readBigEndian(const std::uint8_t* bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

Sha256::Sha256() : state_(kInitialState) {}

void Sha256::compressBlock(const std::uint8_t* block) {
  std::array<std::uint32_t, 64> schedule;
  for (std::size_t i = 0; i < 16; ++i) schedule[i] = readBigEndian(block + 4 * i);
  for (std::size_t i = 16; i < 64; ++i) {
    std::uint32_t s0 = rotateRight(schedule[i - 15], 7) ^ rotateRight(schedule[i - 15], 18) ^
                       (schedule[i - 15] >> 3);
    std::uint32_t s1 = rotateRight(schedule[i - 2], 17) ^ rotateRight(schedule[i - 2], 19) ^
                       (schedule[i - 2] >> 10);
    schedule[i] = schedule[i - 16] + s0 + schedule[i - 7] + s1;
  }
  std::array<std::uint32_t, 8> w = state_;  // a..h
  for (std::size_t i = 0; i < 64; ++i) {
    std::uint32_t s1 = rotateRight(w[4], 6) ^ rotateRight(w[4], 11) ^ rotateRight(w[4], 25);
    std::uint32_t choice = (w[4] & w[5]) ^ (~w[4] & w[6]);
    std::uint32_t t1 = w[7] + s1 + choice + kRoundConstants[i] + schedule[i];
    std::uint32_t s0 = rotateRight(w[0], 2) ^ rotateRight(w[0], 13) ^ rotateRight(w[0], 22);
    std::uint32_t majority = (w[0] & w[1]) ^ (w[0] & w[2]) ^ (w[1] & w[2]);
    std::uint32_t t2 = s0 + majority;
    w = {t1 + t2, w[0], w[1], w[2], w[3] + t1, w[4], w[5], w[6]};
  }
  for (std::size_t i = 0; i < 8; ++i) state_[i] += w[i];
}

void Sha256::update(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  totalBytes_ += size;
  while (size > 0) {
    std::size_t take = std::min(size, kBlockBytes - pendingSize_);
    std::memcpy(pending_.data() + pendingSize_, bytes, take);
    pendingSize_ += take;
    bytes += take;
    size -= take;
    if (pendingSize_ == kBlockBytes) {
      compressBlock(pending_.data());
      pendingSize_ = 0;
    }
  }
}

Sha256::Digest Sha256::finish() {
  const std::uint64_t bitLength = totalBytes_ * 8;
  const std::uint8_t marker = 0x80;
  update(&marker, 1);
  const std::uint8_t zero = 0;
  while (pendingSize_ != kBlockBytes - kLengthBytes) update(&zero, 1);
  std::array<std::uint8_t, kLengthBytes> length;
  for (std::size_t i = 0; i < kLengthBytes; ++i) {
    length[i] = static_cast<std::uint8_t>(bitLength >> (8 * (kLengthBytes - 1 - i)));
  }
  update(length.data(), length.size());
  Digest digest;
  for (std::size_t i = 0; i < state_.size(); ++i) {
    for (std::size_t b = 0; b < 4; ++b) {
      digest[4 * i + b] = static_cast<std::uint8_t>(state_[i] >> (24 - 8 * b));
    }
  }
  return digest;
}

std::string toHex(const Sha256::Digest& digest) {
  constexpr const char* kDigits = "0123456789abcdef";
  std::string text;
  for (std::uint8_t byte : digest) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

std::optional<std::string> sha256OfFile(const std::string& path) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return std::nullopt;
  Sha256 hash;
  std::vector<std::uint8_t> chunk(kFileChunkBytes);
  for (;;) {
    std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file.get());
    hash.update(chunk.data(), got);
    if (got < chunk.size()) break;
  }
  if (std::ferror(file.get())) return std::nullopt;
  return toHex(hash.finish());
}

}  // namespace quorvel::cli
