// When the HTTP layer gives free heap memory back to the system: after a burst of large requests,
// and once a load has ended. Touched only on the thread that runs the layer's I/O, except where
// noted.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace torvesk::http_detail {

// When bodies read ahead and unsent answers have held this much together, the allocator is told
// to give free memory back to the system once no request is in flight any more: a burst of large
// requests leaves its buffers scattered between live blocks, where they would stay otherwise.
inline constexpr std::uint64_t kTrimAfterBurstBytes = 64 * 1024 * 1024;

// Once requests have declared bodies and been answered with kTrimAfterBurstBytes in all since
// memory was last given back, it is given back after this long with no new request and none in
// flight: when a load ends, the monitor returns to what its data needs. Long enough that a client
// pushing batch after batch never sees its buffers unmapped between two of them.
inline constexpr std::chrono::seconds kQuietBeforeTrim{1};

class MemoryReturn {
 public:
  // `requests_in_flight` counts requests handed over and not yet answered; it outlives this.
  MemoryReturn(boost::asio::io_context& io, const std::atomic<std::size_t>& requests_in_flight)
      : quiet_timer_(io), requests_in_flight_(requests_in_flight) {}

  // What the sessions hold together now (bodies read ahead and answers being written); a burst
  // is noted when it reaches kTrimAfterBurstBytes. Any thread.
  void note_held(std::uint64_t held) {
    if (held >= kTrimAfterBurstBytes) burst_seen_.store(true, std::memory_order_relaxed);
  }
  // A declared body or an answer of `bytes`. Any thread.
  void count(std::uint64_t bytes) { bytes_since_trim_.fetch_add(bytes, std::memory_order_relaxed); }
  void note_request() { ++requests_seen_; }
  // The last request in flight has been answered and its buffers freed: after a burst, their
  // pages go back now.
  void after_last_answer();

  // Checks every kQuietBeforeTrim whether the load has ended; `owner` is kept alive meanwhile.
  void watch_for_quiet(std::shared_ptr<const void> owner);
  void stop() { quiet_timer_.cancel(); }

 private:
  boost::asio::steady_timer quiet_timer_;
  const std::atomic<std::size_t>& requests_in_flight_;
  std::atomic<bool> burst_seen_{false};  // kTrimAfterBurstBytes reached since the last trim
  // Bodies declared and answers given since the last trim; chunked bodies are not counted.
  std::atomic<std::uint64_t> bytes_since_trim_{0};
  std::uint64_t requests_seen_ = 0;  // heads handed over
  std::uint64_t requests_seen_at_check_ = 0;
};

}  // namespace torvesk::http_detail
