// A compact set of 64-bit fingerprints (open addressing, no per-element node).
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

 private:
  // Implementation details belong to the store module.
  std::vector<std::uint64_t> slots_;
  std::size_t size_ = 0;
  bool has_zero_ = false;
};

}  // namespace torvesk
