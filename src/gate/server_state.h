// What every worker shares for the life of the program.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/net_address.h"
#include "gate/client_limiter.h"
#include "server/metrics.h"
#include "store/run_store.h"

namespace torvesk {

struct ServerState {
  ServerState(std::string data_dir, std::string ingest_token, std::string read_token,
              std::uint64_t max_body_bytes, std::shared_ptr<RunStore> store,
              std::uint64_t rate_bytes_per_min, std::uint32_t auth_fail_max)
      : data_dir(std::move(data_dir)),
        ingest_token(std::move(ingest_token)),
        read_token(std::move(read_token)),
        max_body_bytes(max_body_bytes),
        store(std::move(store)),
        limiter(rate_bytes_per_min, auth_fail_max) {}

  const std::string data_dir;
  const std::string ingest_token;  // empty: pushes need no credential
  const std::string read_token;    // empty: reading only with a local Host
  const std::uint64_t max_body_bytes;
  const std::shared_ptr<RunStore> store;
  ClientLimiter limiter;  // guards itself
  // Stamps lockout and byte-budget operations; tests replace it before sharing the state.
  Clock clock = now_ms;
  // Peers whose X-Forwarded-For names the client (client_address); set before sharing.
  std::vector<AddressRange> trusted_proxies;
  // Counted always; answered on GET /metrics only when `serve_metrics` (set before sharing).
  Metrics metrics;
  bool serve_metrics = false;
};

}  // namespace torvesk
