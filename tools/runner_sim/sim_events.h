// Realistic event streams of simulated workflow runs, as a runner pushes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace torvesk::sim {

// Shape of one simulated run. Equal specs give equal lines.
struct RunSpec {
  std::uint64_t seed = 1;
  std::uint32_t index = 0;     // tells the runs of one seed apart; part of the run id
  std::size_t events = 200;    // wanted event count; a run never has fewer than its skeleton
  std::uint64_t start_ms = 0;  // "ts" of its RunStarted event
};

// The run's event lines (compact JSON objects, no line feed), oldest first: RunStarted with its
// provenance; per node NodeStarted, NodeLog at every level, MemorySample, NodeRuleStats and
// NodeCompleted with row statistics; in about one run in four a NodeFailed and NodeInterrupted
// and a RunFailed, otherwise a RunCompleted with the final statistics. Every line has "type",
// "ts" (strictly increasing) and "payload" with "run_id".
std::vector<std::string> simulate_run(const RunSpec& spec);

// The run id simulate_run uses for `spec`.
std::string simulated_run_id(const RunSpec& spec);

// Newline-terminated lines of whole runs of `events_per_run` events each, as many as fit in
// `max_bytes`, every line distinct: one request body for benchmarks. The last run may be cut short
// when the limit falls inside it.
std::string simulated_batch(std::uint64_t seed, std::size_t events_per_run, std::uint64_t start_ms,
                            std::size_t max_bytes);

}  // namespace torvesk::sim
