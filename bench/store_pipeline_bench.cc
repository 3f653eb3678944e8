// Throughput of the per-line ingest pipeline (normalise, serialise, fingerprint, apply under the
// lock) on a generated 8 MiB batch of realistic events, against a plain parse of the same lines
// measured in the same run.
#include <unistd.h>

#include <algorithm>
#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parse.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "store/batch_preparer.h"
#include "store/run_log.h"
#include "store/run_store.h"

namespace {

using torvesk::RunStore;

constexpr std::size_t kBatchBytes = 8 * 1024 * 1024;
constexpr int kRepetitions = 5;

class EventGenerator {
 public:
  explicit EventGenerator(std::uint64_t seed) : random_(seed) {}

  std::string batch(std::size_t bytes) {
    std::string body;
    int run = 0;
    while (body.size() < bytes) {
      append_run(body, "run-" + std::to_string(run++) + "-7f3c9a2e-51b4-4c1d-9e0a", bytes);
    }
    return body;
  }

 private:
  int pick(int n) { return static_cast<int>(random_() % static_cast<std::uint64_t>(n)); }
  double real(double scale) { return std::uniform_real_distribution<double>(0, scale)(random_); }

  void line(std::string& body, const std::string& text) {
    body += text;
    body += '\n';
  }

  void append_run(std::string& body, const std::string& run_id, std::size_t limit) {
    std::uint64_t ts = 1700000000000 + static_cast<std::uint64_t>(pick(1000000));
    line(
        body,
        R"({"type":"RunStarted","ts":)" + std::to_string(ts) + R"(,"payload":{"run_id":")" +
            run_id +
            R"(","plan_name":"nightly-ledger-reconcile","plan_version":"4.12.0","plan_hash":"sha256:9c1f0e7d2b8a4c6e1f3a5b7d9e0c2a4b6d8f0e1c3a5b7d9f","studio_label":"Finance ETL","studio_id":"st-0042","studio_version":"2.3.1","runner_host":"worker-07.prod.internal","log_level":"info","artifact_id":"art-5566-aa","provenance":{"git_commit":"3e9a1c7b5d2f","branch":"release/4.12","built_by":"ci-runner-3","built_at":"2024-02-11T08:13:55Z","inputs":["s3://ledger/2024/02/10/part-0001.parquet","s3://ledger/2024/02/10/part-0002.parquet"],"parameters":{"threshold":0.0025,"mode":"strict","retries":3}}}})");
    const int nodes = 40 + pick(40);
    for (int node = 0; node < nodes && body.size() < limit; ++node) {
      const std::string node_id = "node-" + std::to_string(node);
      ts += static_cast<std::uint64_t>(pick(50));
      line(body,
           R"({"type":"NodeStarted","ts":)" + std::to_string(ts) + R"(,"run_id":")" + run_id +
               R"(","payload":{"node_id":")" + node_id +
               R"(","node_kind":"transform","inputs":["upstream-a","upstream-b"],"attempt":1}})");
      const int logs = 30 + pick(60);
      for (int i = 0; i < logs; ++i) {
        ts += static_cast<std::uint64_t>(pick(20));
        static const char* const kLevels[] = {"trace", "debug", "info", "warn", "error"};
        const char* level = kLevels[pick(5)];
        std::string message = "processed batch " + std::to_string(pick(100000)) + " of table \\\"" +
                              node_id + "\\\" in " + std::to_string(real(900.0)) + " ms";
        if (pick(10) == 0) message += " \\u2014 r\u00e9sum\u00e9 \\t tab";
        line(body, R"({"type":"NodeLog","ts":)" + std::to_string(ts) + R"(,"run_id":")" + run_id +
                       R"(","payload":{"node_id":")" + node_id + R"(","level":")" + level +
                       R"(","message":")" + message + R"(","logger":"etl.transform.)" + node_id +
                       R"(","thread":"pool-3-thread-)" + std::to_string(pick(16)) + R"("}})");
        if (pick(8) == 0) {
          std::string processes;
          for (int p = 0; p < 6; ++p) {
            if (p) processes += ",";
            processes += R"({"pid":)" + std::to_string(1000 + pick(30000)) + R"(,"name":"worker-)" +
                         std::to_string(p) + R"(","rss_mb":)" + std::to_string(real(2048.0)) +
                         R"(,"cpu_pct":)" + std::to_string(real(100.0)) + "}";
          }
          line(body, R"({"type":"MemorySample","ts":)" + std::to_string(ts) + R"(,"run_id":")" +
                         run_id + R"(","payload":{"rss_mb":)" + std::to_string(real(8192.0)) +
                         R"(,"heap_used_mb":)" + std::to_string(real(4096.0)) +
                         R"(,"heap_total_mb":6144.0,"processes":[)" + processes + "]}}");
        }
      }
      ts += static_cast<std::uint64_t>(pick(50));
      line(body, R"({"type":"NodeRuleStats","ts":)" + std::to_string(ts) + R"(,"run_id":")" +
                     run_id + R"(","payload":{"node_id":")" + node_id +
                     R"(","rules":[{"rule":"not_null","passed":)" + std::to_string(pick(100000)) +
                     R"(,"failed":)" + std::to_string(pick(10)) +
                     R"(},{"rule":"unique_key","passed":)" + std::to_string(pick(100000)) +
                     R"(,"failed":0},{"rule":"range_check","passed":)" +
                     std::to_string(pick(100000)) + R"(,"failed":)" + std::to_string(pick(100)) +
                     R"(,"ratio":)" + std::to_string(real(1.0)) + "}]}}");
      line(body, R"({"type":"NodeCompleted","ts":)" + std::to_string(ts + 1) + R"(,"run_id":")" +
                     run_id + R"(","payload":{"node_id":")" + node_id + R"(","rows_in":)" +
                     std::to_string(pick(10000000)) + R"(,"rows_out":)" +
                     std::to_string(pick(10000000)) + R"(,"rows_rejected":)" +
                     std::to_string(pick(1000)) + R"(,"duration_ms":)" +
                     std::to_string(real(60000.0)) + R"(,"bytes_written":)" +
                     std::to_string(random_() % 10000000000ULL) + "}}");
    }
    line(body, R"({"type":"RunCompleted","ts":)" + std::to_string(ts + 5) + R"(,"run_id":")" +
                   run_id + R"(","payload":{"status":"ok","stats":{"nodes":)" +
                   std::to_string(nodes) + R"(,"rows_total":)" +
                   std::to_string(random_() % 1000000000ULL) + R"(,"duration_ms":)" +
                   std::to_string(real(3600000.0)) + R"(,"warnings":12,"errors":0}}})");
  }

  std::mt19937_64 random_;
};

double seconds_of(const std::function<void()>& work) {
  double best = 1e300;
  for (int i = 0; i < kRepetitions; ++i) {
    const auto start = std::chrono::steady_clock::now();
    work();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    best = std::min(best, elapsed.count());
  }
  return best;
}

std::size_t count_lines(const std::string& body) {
  return static_cast<std::size_t>(std::count(body.begin(), body.end(), '\n'));
}

void report(const char* name, double seconds, std::size_t bytes, std::size_t lines,
            double baseline) {
  std::printf("%-44s %8.1f MB/s %10.0f lines/s  x%.2f of baseline\n", name,
              static_cast<double>(bytes) / 1e6 / seconds, static_cast<double>(lines) / seconds,
              baseline / seconds);
}

long resident_kib() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
  // "--ingest-only N": just N fresh ingests of the batch, for a profiler.
  const bool ingest_only = argc == 3 && std::string(argv[1]) == "--ingest-only";
  // "--single-lines N": N passes of one ingest per line.
  const bool single_only = argc == 3 && std::string(argv[1]) == "--single-lines";
  ::unsetenv("MONITOR_MAX_EVENTS");
  ::unsetenv("MONITOR_MAX_RUNS");
  EventGenerator generator(2024);
  const std::string body = generator.batch(kBatchBytes);
  const std::size_t lines = count_lines(body);
  std::printf("batch: %zu bytes, %zu lines, %.0f bytes/line\n", body.size(), lines,
              static_cast<double>(body.size()) / static_cast<double>(lines));

  if (single_only) {
    for (int i = 0; i < std::stoi(argv[2]); ++i) {
      RunStore store;
      torvesk::for_each_line(body, [&](std::string_view line) {
        torvesk::ingest_batch(store, line, "/nonexistent/torvesk-bench", std::string("10.0.0.5"));
      });
    }
    return 0;
  }
  if (ingest_only) {
    for (int i = 0; i < std::stoi(argv[2]); ++i) {
      RunStore store;
      torvesk::ingest_batch(store, body, "/nonexistent/torvesk-bench", std::string("10.0.0.5"));
    }
    return 0;
  }

  // Baseline: the library's own parse of every line into its default heap storage.
  const double baseline = seconds_of([&] {
    torvesk::for_each_line(body, [](std::string_view line) {
      boost::json::error_code ec;
      auto value = boost::json::parse(boost::json::string_view(line.data(), line.size()), ec);
      if (ec) std::abort();
    });
  });
  report("baseline: boost::json::parse per line", baseline, body.size(), lines, baseline);

  const double arena_parse = seconds_of([&] {
    unsigned char buffer[64 * 1024];
    boost::json::monotonic_resource arena(buffer, sizeof buffer);
    torvesk::for_each_line(body, [&](std::string_view line) {
      boost::json::error_code ec;
      {
        auto value = boost::json::parse(boost::json::string_view(line.data(), line.size()), ec,
                                        boost::json::storage_ptr(&arena));
        if (ec) std::abort();
      }
      arena.release();
    });
  });
  report("boost::json::parse per line, arena", arena_parse, body.size(), lines, baseline);

  torvesk::PreparedBatch batch;
  const double prepare = seconds_of([&] {
    batch.clear();
    torvesk::ObservedAddressRule rule;
    rule.strip_supplied = true;
    rule.stamp_address = "10.0.0.5";
    torvesk::BatchPreparer preparer(torvesk::now_ms, rule);
    preparer.add_lines(body, batch);
  });
  if (batch.events.size() != lines) std::abort();
  report("normalise + serialise + fingerprint", prepare, body.size(), lines, baseline);

  // The whole in-process pipeline: a data folder that cannot be written keeps the files out.
  const std::string no_folder = "/nonexistent/torvesk-bench";
  const double pipeline = seconds_of([&] {
    RunStore store;
    torvesk::ingest_batch(store, body, no_folder, std::string("10.0.0.5"));
  });
  report("ingest_batch, no log files", pipeline, body.size(), lines, baseline);

  // A runner that pushes every line on its own: the fixed cost of a batch.
  std::vector<std::string_view> single_lines;
  torvesk::for_each_line(body, [&](std::string_view line) { single_lines.push_back(line); });
  const double per_line = seconds_of([&] {
    RunStore store;
    for (std::string_view line : single_lines) {
      torvesk::ingest_batch(store, line, no_folder, std::string("10.0.0.5"));
    }
  });
  report("ingest_batch, one line per batch, no files", per_line, body.size(), lines, baseline);

  RunStore warm;
  torvesk::ingest_batch(warm, body, no_folder, std::string("10.0.0.5"));
  const double duplicates =
      seconds_of([&] { torvesk::ingest_batch(warm, body, no_folder, std::string("10.0.0.5")); });
  report("ingest_batch, all duplicates", duplicates, body.size(), lines, baseline);

  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("torvesk-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const double with_files = seconds_of([&] {
    RunStore store;
    torvesk::ingest_batch(store, body, dir.string(), std::string("10.0.0.5"));
  });
  report("ingest_batch with log files (temp folder)", with_files, body.size(), lines, baseline);
  std::filesystem::remove_all(dir);

  // Memory held per event: four batches of distinct events in one store.
  {
    const long before = resident_kib();
    RunStore store;
    std::size_t canonical = 0, events = 0;
    for (int copy = 0; copy < 4; ++copy) {
      EventGenerator other(100 + static_cast<std::uint64_t>(copy));
      torvesk::ingest_batch(store, other.batch(kBatchBytes), no_folder, std::nullopt);
    }
    store.read([&](const torvesk::RunMap& runs) {
      for (const auto& [id, run] : runs) {
        events += run.events.size();
        for (std::string_view text : run.events) canonical += text.size();
      }
    });
    const long after = resident_kib();
    const double held = static_cast<double>(after - before) * 1024.0;
    std::printf(
        "memory: %zu events, %.1f MB canonical, RSS growth %.1f MB = %.2f x canonical; "
        "budget 1.4 x canonical + 32 B/event = %.1f MB\n",
        events, static_cast<double>(canonical) / 1e6, held / 1e6,
        held / static_cast<double>(canonical),
        (1.4 * static_cast<double>(canonical) + 32.0 * static_cast<double>(events)) / 1e6);
  }
  return 0;
}
