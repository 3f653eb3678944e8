// Start-up configuration from the port argument and the MONITOR_* environment variables.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/env.h"
#include "base/net_address.h"

namespace torvesk {

inline constexpr std::uint16_t kDefaultPort = 8787;
// Tokens shorter than this are guessable; 16 characters (scalar values, not bytes) is the floor.
inline constexpr std::size_t kMinTokenLength = 16;
inline constexpr std::uint64_t kDefaultMaxBodyBytes = 8388608;
inline constexpr std::uint64_t kDefaultRateBytesPerMin = 67108864;
inline constexpr std::uint32_t kDefaultAuthFailMax = 20;
inline constexpr std::uint64_t kDefaultWorkers = 16;

struct MonitorConfig {
  std::uint16_t port = kDefaultPort;
  IpAddress bind_address;
  std::string data_dir;
  std::string ingest_token;  // empty when not configured
  std::string read_token;    // empty when not configured
  bool insecure_local = false;
  std::uint64_t max_body_bytes = kDefaultMaxBodyBytes;
  std::uint64_t rate_bytes_per_min = kDefaultRateBytesPerMin;
  std::uint32_t auth_fail_max = kDefaultAuthFailMax;
  std::uint64_t workers = kDefaultWorkers;  // at least 1
  bool serve_metrics = false;               // MONITOR_METRICS: GET /metrics, behind the read gate
  // Peers whose X-Forwarded-For names the client (MONITOR_TRUSTED_PROXIES); empty: none.
  std::vector<AddressRange> trusted_proxies;
  std::vector<std::string> startup_warnings;
};

// One line that start-up prints before it exits with status 1.
struct StartupFailure {
  std::string line;
};

// `args` are the command-line arguments after the program name; nullopt stands for an argument
// that is not valid text.
std::variant<MonitorConfig, StartupFailure> load_config(
    const std::vector<std::optional<std::string>>& args, const EnvReader& env = process_env_text);

// "127.0.0.1:8787", "[::1]:8787".
std::string listening_address_text(const IpAddress& address, std::uint16_t port);

}  // namespace torvesk
