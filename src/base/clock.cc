#include "base/clock.h"

#include <chrono>

namespace torvesk {

std::uint64_t now_ms() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
  // duration_cast truncates toward zero, so a clock before 1970 can still read as 0 ms; both cases
  // give 0.
  return ms > 0 ? static_cast<std::uint64_t>(ms) : 0;
}

}  // namespace torvesk
