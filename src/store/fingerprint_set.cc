// Placeholder until this module is implemented.
#include "store/fingerprint_set.h"
namespace torvesk {
bool FingerprintSet::insert(std::uint64_t) { return true; }
bool FingerprintSet::contains(std::uint64_t) const { return false; }
}  // namespace torvesk
