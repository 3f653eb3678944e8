// The one lock-guarded map of runs, and the ingest of a pushed batch into it.
//
// The road of one pushed batch, in ingest_batch:
//   body -> lines (for_each_line; a large body is cut in two at a line feed and the halves are
//           prepared at once, split_with_helper in helper_threads.h)
//   -> BatchPreparer (batch_preparer.h), line by line: the direct writer (direct_event.h) where
//      the line's shape allows, else parse, normalize_value (normalize.h) and the tree writer
//      (tree_event.h), both under the same event rules (event_rules.h)
//   -> PreparedBatch (prepared_batch.h): canonical texts, fingerprints, run ids, run fields
//   -> under the lock: apply_prepared_event (run.h) into each event's run, then the run cap
//      (evict_runs); the lock is released
//   -> appends: each touched run's new lines to its log file (run_log.h), the largest batches
//      shared with a helper. A batch that dropped duplicates answers only once every earlier
//      batch has written its files.
// The load at start-up (load_runs in run_log.h) takes the same road from the log files, without
// the appends.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "store/run.h"

namespace torvesk {

class LogFileSystem;

// Runs held in memory when MONITOR_MAX_RUNS is unset or unreadable; the least recently seen go.
inline constexpr std::uint64_t kDefaultMaxRuns = 200;

// An answer body built from the runs, valid while the store's generation stays the same.
struct CachedAnswer {
  std::uint64_t generation = 0;
  std::string key;                          // what else the answer was built from
  std::shared_ptr<const std::string> body;  // null until one is built
};

struct RunStore {
  std::mutex mutex;
  RunMap runs;  // guarded by mutex
  // Moves on whenever `runs` may have changed: every batch and every load. Whoever changes `runs`
  // otherwise must move it on too, or cached answers go stale.
  std::uint64_t generation = 0;  // guarded by mutex
  // The run list answer, rebuilt only when the runs have changed since: dashboards poll it every
  // two seconds, and building it means escaping every run's summary under the lock.
  CachedAnswer run_list_answer;  // guarded by mutex

  // Batches number themselves in the order they enter the store. A batch that found some of its
  // events already held answers only once every earlier batch has written its files: the events
  // it was told about may be on their way to disk in one of those.
  std::uint64_t next_batch = 0;             // guarded by mutex
  std::set<std::uint64_t> batches_writing;  // guarded by mutex
  std::condition_variable batch_written;    // a batch left batches_writing
};

// What became of a batch's lines, for the operators' counters.
struct IngestOutcome {
  std::uint64_t bad_lines = 0;        // neither blank nor an event
  std::uint64_t duplicate_lines = 0;  // events their run already held
  std::uint64_t failed_appends = 0;   // runs whose log file did not take their new lines
};

// Splits `body` into lines, normalises them, strips client-supplied "_observed_ip", stamps
// `observed_ip` into "RunStarted" events, applies the batch as a whole under the lock, applies
// the run cap, then appends each touched run's new lines to its log file with no lock held. A
// batch that dropped duplicates returns only after every earlier batch has written its files, so
// that an answered push never stands for events that are not yet written.
// Never fails towards the caller: bad lines are skipped, file errors ignored (and counted).
IngestOutcome ingest_batch(RunStore& store, std::string_view body, const std::string& data_dir,
                           const std::optional<std::string>& observed_ip);

// The same with the arrival clock and the file system given, for tests.
IngestOutcome ingest_batch(RunStore& store, std::string_view body, const std::string& data_dir,
                           const std::optional<std::string>& observed_ip, const Clock& clock,
                           LogFileSystem& files);

// Takes the least recently seen runs out until at most `cap` remain, and hands them over, so that
// the caller can let them go after releasing the lock. Caller holds the lock.
std::vector<RunMap::node_type> evict_runs(RunMap& runs, std::uint64_t cap);

}  // namespace torvesk
