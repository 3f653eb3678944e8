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

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
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

// The runs and what goes with them, reachable only under the store's lock: callers hand it a
// function that gets the guarded data for as long as the lock is held.
class RunStore {
 public:
  RunStore() = default;
  RunStore(const RunStore&) = delete;
  RunStore& operator=(const RunStore&) = delete;

  // Calls f(RunMap& runs) under the lock and moves the generation on, so that cached answers are
  // built afresh.
  template <class F>
  decltype(auto) mutate(F&& f) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    ++generation_;
    return std::forward<F>(f)(runs_);
  }

  // Calls f(const RunMap& runs) under the lock.
  template <class F>
  decltype(auto) read(F&& f) const EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return std::forward<F>(f)(std::as_const(runs_));
  }

  // Calls f(const RunMap& runs, std::uint64_t generation, CachedAnswer& run_list_answer) under
  // the lock. The run list answer is rebuilt only when the runs have changed since: dashboards
  // poll it every two seconds, and building it means escaping every run's summary under the lock.
  template <class F>
  decltype(auto) read_run_list(F&& f) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return std::forward<F>(f)(std::as_const(runs_), std::as_const(generation_), run_list_answer_);
  }

  // Batches number themselves in the order they enter the store. A batch that found some of its
  // events already held answers only once every earlier batch has written its files: the events
  // it was told about may be on their way to disk in one of those.
  //
  // Takes the next batch number and calls f(RunMap& runs) under the lock, as mutate() does. When
  // f returns true the batch has files to write and counts as writing until finish_batch().
  template <class F>
  std::uint64_t mutate_batch(F&& f) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    const std::uint64_t batch = next_batch_++;
    ++generation_;
    if (std::forward<F>(f)(runs_)) batches_writing_.insert(batch);
    return batch;
  }

  // Whether no one holds the lock at this moment, for checks that must not wait for it.
  bool lock_is_free() const EXCLUDES(mutex_) {
    if (!mutex_.try_lock()) return false;
    mutex_.unlock();
    return true;
  }

  // `wrote_files`: the batch counted as writing and has written them now. With
  // `wait_for_earlier`, returns only once every earlier batch has written its files.
  void finish_batch(std::uint64_t batch, bool wrote_files, bool wait_for_earlier) EXCLUDES(mutex_);

 private:
  mutable Mutex mutex_;
  RunMap runs_ GUARDED_BY(mutex_);
  // Moves on whenever `runs_` may have changed: every batch and every load.
  std::uint64_t generation_ GUARDED_BY(mutex_) = 0;
  CachedAnswer run_list_answer_ GUARDED_BY(mutex_);
  std::uint64_t next_batch_ GUARDED_BY(mutex_) = 0;
  std::set<std::uint64_t> batches_writing_ GUARDED_BY(mutex_);
  CondVar batch_written_;  // a batch left batches_writing_
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
// the caller can let them go after releasing the lock. Called from inside RunStore::mutate.
std::vector<RunMap::node_type> evict_runs(RunMap& runs, std::uint64_t cap);

}  // namespace torvesk
