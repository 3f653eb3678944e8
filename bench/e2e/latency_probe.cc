// e2e_latency_probe: one more client next to a load generator. Pushes the body in FILE to
// POST /ingest once every INTERVAL milliseconds for SECONDS, on one keep-alive connection (a new
// one whenever the monitor closes it), and prints how the answers were spread over statuses and
// how long the busy answers took. A single sleeping thread, so it measures the monitor's answer
// times rather than a crowded client's own scheduling.
//
//   e2e_latency_probe --port P --body FILE [--seconds S] [--interval-ms I]
//
// Output: "probes=N status_200=A status_503=B other=C p50_503_ms=X p99_503_ms=Y max_503_ms=Z"
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench_files.h"
#include "bench_http.h"

namespace {

using namespace torvesk::bench;
using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(rank, values.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  std::uint16_t port = 0;
  std::string body;
  double seconds = 30;
  int interval_ms = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view name = argv[i];
    if (name == "--port") {
      port = static_cast<std::uint16_t>(std::atoi(argv[i + 1]));
    } else if (name == "--body") {
      if (!read_whole_file(argv[i + 1], body)) {
        std::fprintf(stderr, "cannot read %s\n", argv[i + 1]);
        return 2;
      }
    } else if (name == "--seconds") {
      seconds = std::atof(argv[i + 1]);
    } else if (name == "--interval-ms") {
      interval_ms = std::max(1, std::atoi(argv[i + 1]));
    }
  }
  if (port == 0 || body.empty()) {
    std::fprintf(stderr, "usage: e2e_latency_probe --port P --body FILE [--seconds S]\n");
    return 2;
  }
  const std::string head =
      "POST /ingest HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
      "\r\nContent-Type: application/x-ndjson\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\n\r\n";

  std::vector<double> busy_ms;
  std::size_t probes = 0, ok = 0, other = 0;
  int fd = -1;
  std::string pending;
  const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(seconds));
  Clock::time_point next = Clock::now();
  while (Clock::now() < end) {
    std::this_thread::sleep_until(next);
    next += std::chrono::milliseconds(interval_ms);
    if (fd < 0) {
      fd = connect_loopback(port);
      pending.clear();
    }
    const Clock::time_point sent = Clock::now();
    int status = 0;
    if (fd >= 0 && send_all(fd, head, body)) status = read_answer(fd, pending);
    const double elapsed = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
    ++probes;
    if (status == 200) {
      ++ok;
    } else if (status == 503) {
      busy_ms.push_back(elapsed);
    } else {
      ++other;
    }
    // The busy answer closes connections whose body was left unread; a failed one is gone too.
    if (status != 200 && fd >= 0) {
      ::close(fd);
      fd = -1;
    }
  }
  if (fd >= 0) ::close(fd);
  std::printf(
      "probes=%zu status_200=%zu status_503=%zu other=%zu p50_503_ms=%.2f p99_503_ms=%.2f "
      "max_503_ms=%.2f\n",
      probes, ok, busy_ms.size(), other, percentile(busy_ms, 0.5), percentile(busy_ms, 0.99),
      busy_ms.empty() ? 0.0 : *std::max_element(busy_ms.begin(), busy_ms.end()));
  return 0;
}
