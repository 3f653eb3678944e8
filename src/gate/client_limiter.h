// Per-client-address fixed one-minute windows: ingest bytes admitted and wrong read credentials.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "base/net_address.h"
#include "server/response.h"

namespace torvesk {

// Length of one counting window.
inline constexpr std::uint64_t WINDOW_MS = 60000;
// Table size above which expired records are removed before a lookup.
inline constexpr std::size_t PRUNE_THRESHOLD = 10000;

struct ClientWindow {
  std::uint64_t window_start = 0;
  std::uint64_t bytes = 0;
  std::uint32_t failures = 0;
};

class ClientLimiter {
 public:
  // 0 turns the byte budget, respectively the lockout, off.
  ClientLimiter(std::uint64_t rate_bytes_per_min, std::uint32_t auth_fail_max);
  ~ClientLimiter();
  ClientLimiter(const ClientLimiter&) = delete;
  ClientLimiter& operator=(const ClientLimiter&) = delete;

  bool auth_locked_out(const IpAddress& client, std::uint64_t now);
  void record_auth_failure(const IpAddress& client, std::uint64_t now);
  // Admits the body and charges its length to the window, or refuses it uncharged.
  bool charge_ingest_bytes(const IpAddress& client, std::uint64_t length, std::uint64_t now);

  // For tests and benchmarks: the record of `client`, if any, and the table size.
  std::optional<ClientWindow> window_of(const IpAddress& client);
  std::size_t record_count();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// 429 "too many requests, retry later" with "Retry-After: 60".
Response too_many_requests();

}  // namespace torvesk
