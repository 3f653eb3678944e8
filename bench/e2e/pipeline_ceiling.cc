// e2e_pipeline_ceiling: the monitor's ingest without HTTP, as the ceiling of the end-to-end
// ingest figures. Reads request bodies from files, then ingests each once, in order, with
// ingest_batch into one store (log files written into DATA_DIR, the caps as the environment
// says), and prints one line with the bytes, events and wall seconds of the ingests alone.
//
//   e2e_pipeline_ceiling DATA_DIR FILE...
//
// Output: "bytes=B events=E seconds=S"
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_files.h"
#include "store/run_store.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: e2e_pipeline_ceiling DATA_DIR FILE...\n");
    return 2;
  }
  const std::string data_dir = argv[1];
  std::vector<std::string> bodies;
  std::size_t bytes = 0, events = 0;
  for (int i = 2; i < argc; ++i) {
    if (!torvesk::bench::read_whole_file(argv[i], bodies.emplace_back())) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 2;
    }
    bytes += bodies.back().size();
    events +=
        static_cast<std::size_t>(std::count(bodies.back().begin(), bodies.back().end(), '\n'));
  }

  // The address a loopback client is seen with, so "RunStarted" events are stamped as they are
  // over HTTP.
  const std::optional<std::string> observed_ip = "127.0.0.1";
  torvesk::RunStore store;
  const auto start = std::chrono::steady_clock::now();
  for (const std::string& body : bodies) torvesk::ingest_batch(store, body, data_dir, observed_ip);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  std::printf("bytes=%zu events=%zu seconds=%.6f\n", bytes, events, elapsed.count());
  return 0;
}
