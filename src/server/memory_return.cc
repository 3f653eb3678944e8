#include "server/memory_return.h"

#include <malloc.h>

#include <system_error>
#include <thread>

namespace torvesk::http_detail {
namespace {

// Giving free pages back walks the whole heap, which takes milliseconds when the store is large;
// the receiving thread, which runs all of the layer's I/O, must not stall on it.
void trim_in_background() {
  try {
    std::thread([] { malloc_trim(0); }).detach();
  } catch (const std::system_error&) {
    malloc_trim(0);
  }
}

}  // namespace

void MemoryReturn::after_last_answer() {
  if (!burst_seen_.exchange(false, std::memory_order_relaxed)) return;
  bytes_since_trim_.store(0, std::memory_order_relaxed);
  trim_in_background();
}

void MemoryReturn::watch_for_quiet(std::shared_ptr<const void> owner) {
  quiet_timer_.expires_after(kQuietBeforeTrim);
  quiet_timer_.async_wait([this, owner = std::move(owner)](boost::system::error_code ec) mutable {
    if (ec) return;  // stopped
    const bool quiet = requests_seen_ == requests_seen_at_check_ &&
                       requests_in_flight_.load(std::memory_order_relaxed) == 0;
    requests_seen_at_check_ = requests_seen_;
    if (quiet && bytes_since_trim_.load(std::memory_order_relaxed) >= kTrimAfterBurstBytes) {
      bytes_since_trim_.store(0, std::memory_order_relaxed);
      trim_in_background();
    }
    watch_for_quiet(std::move(owner));
  });
}

}  // namespace torvesk::http_detail
