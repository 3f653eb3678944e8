// SipHash-1-3 and the event fingerprint built on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace torvesk {

// SipHash with 1 compression and 3 finalisation rounds, 64-bit output; the key is the two
// little-endian words k0 (bytes 0..7) and k1 (bytes 8..15).
std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const void* data, std::size_t size);

// SipHash-1-3 with both key words zero over the canonical text followed by one 0xFF byte. Two
// events are duplicates exactly when their fingerprints are equal.
std::uint64_t event_fingerprint(std::string_view canonical_text);

}  // namespace torvesk
