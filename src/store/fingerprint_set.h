// A compact set of 64-bit fingerprints: open addressing with linear probing over a flat array, so
// each member costs its 8 bytes divided by the load factor and no node of its own. The first
// member is kept inline: most short runs accept a single event, and then the set allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace torvesk {

class FingerprintSet {
 public:
  // True when `fingerprint` was not yet present and has been added.
  bool insert(std::uint64_t fingerprint);
  bool contains(std::uint64_t fingerprint) const;
  std::size_t size() const { return size_; }
  // Bytes of the table, 0 while the set fits inline.
  std::size_t allocated_bytes() const { return slots_.capacity() * sizeof(std::uint64_t); }

 private:
  // 0 marks an empty slot; the fingerprint 0 itself is kept in has_zero_.
  static std::size_t slot_of(std::uint64_t fingerprint, std::size_t slots);
  void grow();

  std::vector<std::uint64_t> slots_;  // size is 0 or a power of two
  std::uint64_t single_ = 0;          // the one non-zero member while slots_ is empty, or 0
  std::size_t size_ = 0;
  bool has_zero_ = false;
};

}  // namespace torvesk
