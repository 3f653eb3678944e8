// Placeholder until this module is implemented.
#include "store/siphash.h"
namespace torvesk {
std::uint64_t siphash13(std::uint64_t, std::uint64_t, const void*, std::size_t) { return 0; }
std::uint64_t event_fingerprint(std::string_view) { return 0; }
}  // namespace torvesk
