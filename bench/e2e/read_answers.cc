// e2e_read_answers: how long the detail and the download of the largest run hold the store's
// lock, against copying the same bytes into a fresh buffer (the machine's ceiling for building an
// answer of that size). The bodies in the files are ingested first, without log files.
//
//   e2e_read_answers FILE...
//
// The hold is bounded from above by the time of the whole call (lookup, build and release under
// the lock, and the answer record around it), with no other thread touching the store. Each
// figure is the median of kRepetitions calls.
//
// Output: "run_events=N detail_bytes=B detail_hold_s=S download_bytes=B download_hold_s=S
//          copy_s=S"
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_files.h"
#include "store/run_store.h"
#include "view/read_api.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRepetitions = 15;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct AnswerFigures {
  std::size_t bytes = 0;
  double call = 0;
};

template <class Build>
AnswerFigures measure(Build&& build) {
  std::vector<double> calls;
  std::size_t bytes = 0;
  for (int i = 0; i < kRepetitions; ++i) {
    const Clock::time_point start = Clock::now();
    const torvesk::Response response = build();
    calls.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    bytes = response.body.size();
  }
  return AnswerFigures{bytes, median(calls)};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: e2e_read_answers FILE...\n");
    return 2;
  }
  torvesk::RunStore store;
  for (int i = 1; i < argc; ++i) {
    std::string body;
    if (!torvesk::bench::read_whole_file(argv[i], body)) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 2;
    }
    torvesk::ingest_batch(store, body, "/nonexistent/torvesk-bench", std::string("127.0.0.1"));
  }
  std::string run_id;
  std::size_t run_events = 0;
  store.read([&](const torvesk::RunMap& runs) {
    for (const auto& [id, run] : runs) {
      if (run.events.size() > run_events) {
        run_events = run.events.size();
        run_id = id;
      }
    }
  });
  if (run_events == 0) {
    std::fprintf(stderr, "no events\n");
    return 1;
  }

  const AnswerFigures detail = measure([&] { return torvesk::run_detail(store, run_id); });
  const AnswerFigures download = measure([&] { return torvesk::run_download(store, run_id); });

  // The same bytes copied into a fresh buffer: what building any answer of that size costs.
  const std::string source = torvesk::run_download(store, run_id).body;
  std::vector<double> copies;
  for (int i = 0; i < kRepetitions; ++i) {
    const Clock::time_point start = Clock::now();
    const auto copy = std::make_unique_for_overwrite<char[]>(source.size());
    std::memcpy(copy.get(), source.data(), source.size());
    copies.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    if (copy[source.size() - 1] != source.back()) return 1;
  }

  std::printf(
      "run_events=%zu detail_bytes=%zu detail_hold_s=%.6f download_bytes=%zu download_hold_s=%.6f "
      "copy_s=%.6f\n",
      run_events, detail.bytes, detail.call, download.bytes, download.call, median(copies));
  return 0;
}
