// e2e_ingest_client: pushes request bodies read from files to a monitor on a loopback port, each
// file once, over N keep-alive connections at the same time, and prints one line with what was
// accepted and how long it took from the first byte sent to the last 200 received.
//
//   e2e_ingest_client --port P [--clients N] [--gzip] FILE...
//
// Output: "bytes=B events=E seconds=S ok=K failed=F" (events: lines of the accepted bodies).
// With --gzip every body is compressed before the clock starts and sent with Content-Encoding:
// gzip; bytes are still those of the events, and wire_bytes=W tells what went over the wire.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench_files.h"
#include "bench_http.h"
#include "gate/gzip_body.h"

namespace {

using namespace torvesk::bench;
using Clock = std::chrono::steady_clock;

struct Batch {
  std::string body;
  std::string gzipped;  // empty unless --gzip
  std::size_t lines = 0;
};

struct Totals {
  std::atomic<std::size_t> next{0};
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<std::uint64_t> events{0};
  std::atomic<std::uint64_t> ok{0};
  std::atomic<std::uint64_t> failed{0};
  std::mutex mutex;
  Clock::time_point last_answer{};  // guarded by mutex
};

void push(std::uint16_t port, const std::vector<Batch>& batches, Totals& totals, int fd) {
  std::string pending;
  for (;;) {
    const std::size_t index = totals.next.fetch_add(1);
    if (index >= batches.size()) break;
    const Batch& batch = batches[index];
    if (fd < 0) fd = connect_loopback(port);
    const std::string& wire = batch.gzipped.empty() ? batch.body : batch.gzipped;
    const std::string head = "POST /ingest HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                             "\r\nContent-Type: application/x-ndjson\r\n" +
                             (batch.gzipped.empty() ? "" : "Content-Encoding: gzip\r\n") +
                             "Content-Length: " + std::to_string(wire.size()) + "\r\n\r\n";
    int status = 0;
    if (fd >= 0 && send_all(fd, head, wire)) status = read_answer(fd, pending);
    if (status == 200) {
      totals.ok.fetch_add(1);
      totals.bytes.fetch_add(batch.body.size());
      totals.events.fetch_add(batch.lines);
      std::lock_guard lock(totals.mutex);
      totals.last_answer = std::max(totals.last_answer, Clock::now());
    } else {
      totals.failed.fetch_add(1);
      if (status != 0) std::fprintf(stderr, "answer %d\n", status);
      if (fd >= 0) ::close(fd);
      fd = -1;
      pending.clear();
    }
  }
  if (fd >= 0) ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  std::uint16_t port = 0;
  int clients = 1;
  bool gzip = false;
  std::vector<Batch> batches;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--port" && i + 1 < argc) {
      port = static_cast<std::uint16_t>(std::atoi(argv[++i]));
    } else if (arg == "--clients" && i + 1 < argc) {
      clients = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--gzip") {
      gzip = true;
    } else {
      Batch batch;
      if (!torvesk::bench::read_whole_file(argv[i], batch.body)) {
        std::fprintf(stderr, "cannot read %s\n", argv[i]);
        return 2;
      }
      batch.lines =
          static_cast<std::size_t>(std::count(batch.body.begin(), batch.body.end(), '\n'));
      batches.push_back(std::move(batch));
    }
  }
  if (port == 0 || batches.empty()) {
    std::fprintf(stderr, "usage: e2e_ingest_client --port P [--clients N] [--gzip] FILE...\n");
    return 2;
  }
  std::uint64_t wire_bytes = 0;
  for (Batch& batch : batches) {
    if (gzip) batch.gzipped = torvesk::deflate_gzip(batch.body);
    wire_bytes += gzip ? batch.gzipped.size() : batch.body.size();
  }

  // Connected before the clock starts, so the figure holds no handshake.
  std::vector<int> sockets;
  for (int i = 0; i < clients; ++i) {
    sockets.push_back(connect_loopback(port));
    if (sockets.back() < 0) {
      std::fprintf(stderr, "cannot connect to 127.0.0.1:%u\n", port);
      return 1;
    }
  }
  Totals totals;
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back(push, port, std::cref(batches), std::ref(totals), sockets[i]);
  }
  for (std::thread& thread : threads) thread.join();
  const double seconds = std::chrono::duration<double>(totals.last_answer - start).count();
  std::printf("bytes=%llu wire_bytes=%llu events=%llu seconds=%.6f ok=%llu failed=%llu\n",
              static_cast<unsigned long long>(totals.bytes.load()),
              static_cast<unsigned long long>(wire_bytes),
              static_cast<unsigned long long>(totals.events.load()), seconds,
              static_cast<unsigned long long>(totals.ok.load()),
              static_cast<unsigned long long>(totals.failed.load()));
  return totals.failed.load() == 0 ? 0 : 1;
}
