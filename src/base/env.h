// Environment reading and the number rule shared by every MONITOR_* variable.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace torvesk {

// Reads one environment variable; nullopt when it is absent or not valid UTF-8. The default reader
// uses the process environment; tests pass their own.
using EnvReader = std::function<std::optional<std::string>(const char* name)>;
std::optional<std::string> process_env_text(const char* name);

std::optional<std::string> env_text(const char* name, const EnvReader& env = process_env_text);

// The variable read by the number rule: optional "+", then ASCII digits only, fitting 64 bits.
// Anything else, and an unset variable, gives `fallback`.
std::uint64_t env_u64(const char* name, std::uint64_t fallback,
                      const EnvReader& env = process_env_text);

// The number rule at any width: nullopt when `text` is not "+"? digits or exceeds `max`.
std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max);

}  // namespace torvesk
