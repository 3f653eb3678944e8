#include "base/env.h"

#include <cstdlib>
#include <limits>

#include "base/text.h"

namespace torvesk {

std::optional<std::string> process_env_text(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || !is_valid_utf8(value)) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> env_text(const char* name, const EnvReader& env) {
  // Checked here as well as in the process reader, so that every reader gets the same rule.
  std::optional<std::string> value = env(name);
  if (value && !is_valid_utf8(*value)) return std::nullopt;
  return value;
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (digit > max || value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::uint64_t env_u64(const char* name, std::uint64_t fallback, const EnvReader& env) {
  const std::optional<std::string> value = env_text(name, env);
  if (!value) return fallback;
  return parse_unsigned(*value, std::numeric_limits<std::uint64_t>::max()).value_or(fallback);
}

}  // namespace torvesk
