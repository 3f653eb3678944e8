#include "store/fingerprint_set.h"

#include <utility>

namespace torvesk {
namespace {

// Slots in the first table, made for the second non-zero member: a run with a handful of events
// stays small.
constexpr std::size_t kInitialSlots = 8;
// The table grows past 4/5 full: linear probing stays within a cache line or two per lookup,
// while the table costs about 13 bytes per member on average over its growth cycle.
constexpr std::size_t kMaxLoadNumerator = 4;
constexpr std::size_t kMaxLoadDenominator = 5;

}  // namespace

std::size_t FingerprintSet::slot_of(std::uint64_t fingerprint, std::size_t slots) {
  // Fibonacci hashing spreads even non-random values (tests use small ones) over the table.
  const std::uint64_t mixed = fingerprint * 0x9e3779b97f4a7c15ULL;
  return static_cast<std::size_t>(mixed >> 32) & (slots - 1);
}

bool FingerprintSet::contains(std::uint64_t fingerprint) const {
  if (fingerprint == 0) return has_zero_;
  if (slots_.empty()) return fingerprint == single_;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = slot_of(fingerprint, slots_.size());; i = (i + 1) & mask) {
    if (slots_[i] == fingerprint) return true;
    if (slots_[i] == 0) return false;
  }
}

bool FingerprintSet::insert(std::uint64_t fingerprint) {
  if (fingerprint == 0) {
    if (has_zero_) return false;
    has_zero_ = true;
    ++size_;
    return true;
  }
  if (slots_.empty()) {
    if (fingerprint == single_) return false;
    if (single_ == 0) {
      single_ = fingerprint;
      ++size_;
      return true;
    }
  }
  if ((size_ + 1) * kMaxLoadDenominator > slots_.size() * kMaxLoadNumerator) grow();
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = slot_of(fingerprint, slots_.size());; i = (i + 1) & mask) {
    if (slots_[i] == fingerprint) return false;
    if (slots_[i] == 0) {
      slots_[i] = fingerprint;
      ++size_;
      return true;
    }
  }
}

void FingerprintSet::grow() {
  std::vector<std::uint64_t> table(slots_.empty() ? kInitialSlots : slots_.size() * 2, 0);
  const std::size_t mask = table.size() - 1;
  const auto place = [&](std::uint64_t fingerprint) {
    if (fingerprint == 0) return;
    std::size_t i = slot_of(fingerprint, table.size());
    while (table[i] != 0) i = (i + 1) & mask;
    table[i] = fingerprint;
  };
  place(single_);
  for (std::uint64_t fingerprint : slots_) place(fingerprint);
  slots_.swap(table);
  single_ = 0;
}

}  // namespace torvesk
