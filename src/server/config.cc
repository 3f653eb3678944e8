#include "server/config.h"

#include <limits>
#include <utility>

#include "base/text.h"

namespace torvesk {
namespace {

constexpr std::string_view kDefaultBind = "127.0.0.1";

#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

bool ends_with_separator(std::string_view path) {
#ifdef _WIN32
  return !path.empty() && (path.back() == '\\' || path.back() == '/');
#else
  return !path.empty() && path.back() == kPathSeparator;
#endif
}

// Appends `part` to `path`, with a separator only where one is missing, so that an empty base
// stays a relative path instead of becoming the root.
void join_path(std::string& path, std::string_view part) {
  if (!path.empty() && !ends_with_separator(path)) path += kPathSeparator;
  path += part;
}

std::string default_data_dir(const EnvReader& env) {
  std::optional<std::string> base = env_text("HOME", env);
  if (!base) base = env_text("USERPROFILE", env);
  std::string path = base.value_or(".");
  join_path(path, ".torvesk");
  join_path(path, "monitor-data");
  return path;
}

std::string trimmed_env_text(const char* name, const EnvReader& env) {
  const std::optional<std::string> value = env_text(name, env);
  if (!value) return {};
  return std::string(trim_white_space(*value));
}

bool env_flag(const char* name, const EnvReader& env) {
  const std::string value = trimmed_env_text(name, env);
  return value == "1" || value == "true" || value == "yes";
}

StartupFailure not_started(std::string_view reason) {
  return {"monitor NOT started: " + std::string(reason)};
}

}  // namespace

std::variant<MonitorConfig, StartupFailure> load_config(
    const std::vector<std::optional<std::string>>& args, const EnvReader& env) {
  MonitorConfig config;

  if (!args.empty() && args.front()) {
    if (const auto port =
            parse_unsigned(*args.front(), std::numeric_limits<std::uint16_t>::max())) {
      config.port = static_cast<std::uint16_t>(*port);
    }
  }

  if (std::optional<std::string> data_dir = env_text("MONITOR_DATA_DIR", env)) {
    config.data_dir = std::move(*data_dir);
  } else {
    config.data_dir = default_data_dir(env);
  }

  const std::string bind_text = env_text("MONITOR_BIND", env).value_or(std::string(kDefaultBind));
  const std::optional<IpAddress> bind_address = parse_ip_address(trim_white_space(bind_text));
  if (!bind_address) {
    return StartupFailure{"MONITOR_BIND not valid: '" + bind_text +
                          "' (expected an IP address, e.g. 127.0.0.1 or 0.0.0.0)"};
  }
  config.bind_address = *bind_address;

  if (std::optional<std::string> proxies = env_text("MONITOR_TRUSTED_PROXIES", env)) {
    std::optional<std::vector<AddressRange>> ranges = parse_address_ranges(*proxies);
    if (!ranges) {
      return StartupFailure{"MONITOR_TRUSTED_PROXIES not valid: '" + *proxies +
                            "' (expected IP addresses or CIDR ranges separated by commas, e.g. "
                            "127.0.0.1, 10.0.0.0/8)"};
    }
    config.trusted_proxies = std::move(*ranges);
  }

  config.ingest_token = trimmed_env_text("MONITOR_TOKEN", env);
  config.read_token = trimmed_env_text("MONITOR_READ_TOKEN", env);
  config.insecure_local = env_flag("MONITOR_INSECURE_LOCAL", env);
  config.serve_metrics = env_flag("MONITOR_METRICS", env);

  const std::pair<const char*, const std::string*> tokens[] = {
      {"MONITOR_TOKEN", &config.ingest_token}, {"MONITOR_READ_TOKEN", &config.read_token}};
  for (const auto& [name, token] : tokens) {
    if (!token->empty() && count_scalar_values(*token) < kMinTokenLength) {
      return not_started(std::string(name) + " too short (at least " +
                         std::to_string(kMinTokenLength) +
                         " characters): generate one with `openssl rand -hex 32`");
    }
  }

  const bool bind_is_loopback = is_loopback(config.bind_address);
  if (config.insecure_local) {
    if (!bind_is_loopback) {
      return not_started(
          "MONITOR_INSECURE_LOCAL is allowed only when listening on loopback (127.0.0.1 / ::1), "
          "not on " +
          address_text(config.bind_address));
    }
    if (config.ingest_token.empty()) {
      config.startup_warnings.push_back(
          "ingest WITHOUT token (insecure local mode): accepts pushes from any process on this "
          "machine");
    }
    if (config.read_token.empty()) {
      config.startup_warnings.push_back(
          "reading WITHOUT token (insecure local mode): served only to requests with a local Host");
    }
  } else {
    std::string missing;
    for (const auto& [name, token] : tokens) {
      if (!token->empty()) continue;
      if (!missing.empty()) missing += ", ";
      missing += name;
    }
    if (!missing.empty()) {
      return not_started("required tokens missing: " + missing +
                         ". Generate them with `openssl rand -hex 32` (two DIFFERENT values); "
                         "only for a test on this machine: MONITOR_INSECURE_LOCAL=1");
    }
  }

  if (!config.ingest_token.empty() && config.ingest_token == config.read_token) {
    config.startup_warnings.push_back(
        "MONITOR_TOKEN and MONITOR_READ_TOKEN are the same: whoever holds a runner's token can "
        "also READ every log. Use two different values");
  }
  if (!bind_is_loopback) {
    config.startup_warnings.push_back(
        "listening on " + address_text(config.bind_address) +
        " in PLAIN HTTP: tokens and logs travel readable on the network. Recommended: monitor on "
        "127.0.0.1 behind a TLS reverse proxy");
  }

  config.max_body_bytes = env_u64("MONITOR_MAX_BODY_BYTES", kDefaultMaxBodyBytes, env);
  config.rate_bytes_per_min = env_u64("MONITOR_RATE_BYTES_PER_MIN", kDefaultRateBytesPerMin, env);
  // Only the low 32 bits count: larger values wrap instead of falling back to the default.
  config.auth_fail_max =
      static_cast<std::uint32_t>(env_u64("MONITOR_AUTH_FAIL_MAX", kDefaultAuthFailMax, env));
  config.workers = env_u64("MONITOR_WORKERS", kDefaultWorkers, env);
  if (config.workers == 0) config.workers = 1;

  return config;
}

std::string listening_address_text(const IpAddress& address, std::uint16_t port) {
  const std::string host = address_text(address);
  if (address.is_v6()) return "[" + host + "]:" + std::to_string(port);
  return host + ":" + std::to_string(port);
}

}  // namespace torvesk
