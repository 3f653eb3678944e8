#pragma once

#include <cstdint>
#include <functional>

namespace torvesk {

// Wall-clock milliseconds since 1970-01-01 UTC, 0 when the clock reads earlier than 1970.
std::uint64_t now_ms();

// The clock as a seam: production code passes now_ms, tests pass a fixed or stepping clock.
using Clock = std::function<std::uint64_t()>;

}  // namespace torvesk
