// What the monitor counts for its operators. Counting is an uncontended relaxed atomic add per
// request or per batch, never a lock, so it costs the hot paths nothing measurable; the answer
// of GET /metrics reads the counters and asks the gauges.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace torvesk {

// Statuses below this are counted one by one; every answer status is below it.
inline constexpr std::size_t kCountedStatuses = 600;

struct Metrics {
  std::array<std::atomic<std::uint64_t>, kCountedStatuses> pushes_by_status{};  // POST /ingest
  std::atomic<std::uint64_t> bytes_accepted{0};   // bodies of pushes answered 200, decompressed
  std::atomic<std::uint64_t> bad_lines{0};        // neither blank nor an event
  std::atomic<std::uint64_t> duplicate_lines{0};  // events a run already held
  std::atomic<std::uint64_t> failed_appends{0};   // log-file appends that did not complete
  std::atomic<std::uint64_t> busy_answers{0};     // 503 "busy, retry later" from the full queue

  // Gauges, set once before the metrics are shared; each may be empty.
  std::function<std::size_t()> queue_depth;
  std::function<std::size_t()> open_connections;

  void count_push(std::uint16_t status) {
    if (status < kCountedStatuses) pushes_by_status[status].fetch_add(1, std::memory_order_relaxed);
  }
  static void add(std::atomic<std::uint64_t>& counter, std::uint64_t amount) {
    if (amount != 0) counter.fetch_add(amount, std::memory_order_relaxed);
  }
};

}  // namespace torvesk
