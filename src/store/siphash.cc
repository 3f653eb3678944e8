#include "store/siphash.h"

#include <bit>
#include <cstring>

namespace torvesk {
namespace {

static_assert(std::endian::native == std::endian::little,
              "message words are read as little-endian; add a byte swap for other hosts");

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  void compress(std::uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

// The hash of the bytes of `head` followed by `tail_size` bytes of `tail` (at most 7), without
// building the concatenation.
std::uint64_t siphash13_with_tail(std::uint64_t k0, std::uint64_t k1, const unsigned char* data,
                                  std::size_t size, const unsigned char* tail,
                                  std::size_t tail_size) {
  SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
             k1 ^ 0x7465646279746573ULL};
  const std::size_t total = size + tail_size;
  const std::size_t whole = size & ~std::size_t{7};
  for (std::size_t i = 0; i < whole; i += 8) {
    std::uint64_t m;
    std::memcpy(&m, data + i, 8);
    s.compress(m);
  }
  // The last block: the remaining message bytes, then the tail, then the length byte on top.
  unsigned char last[16] = {};
  const std::size_t rest = size - whole;
  if (rest != 0) std::memcpy(last, data + whole, rest);
  if (tail_size != 0) std::memcpy(last + rest, tail, tail_size);
  std::size_t last_size = rest + tail_size;
  if (last_size >= 8) {
    std::uint64_t m;
    std::memcpy(&m, last, 8);
    s.compress(m);
    std::memmove(last, last + 8, last_size - 8);
    std::memset(last + last_size - 8, 0, 8);
    last_size -= 8;
  }
  std::uint64_t m;
  std::memcpy(&m, last, 8);
  m |= static_cast<std::uint64_t>(total & 0xff) << 56;
  s.compress(m);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const void* data, std::size_t size) {
  return siphash13_with_tail(k0, k1, static_cast<const unsigned char*>(data), size, nullptr, 0);
}

std::uint64_t event_fingerprint(std::string_view canonical_text) {
  static constexpr unsigned char kTerminator = 0xff;
  return siphash13_with_tail(0, 0, reinterpret_cast<const unsigned char*>(canonical_text.data()),
                             canonical_text.size(), &kTerminator, 1);
}

}  // namespace torvesk
