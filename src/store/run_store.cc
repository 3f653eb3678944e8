#include "store/run_store.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/env.h"
#include "store/batch_preparer.h"
#include "store/helper_threads.h"
#include "store/log_files.h"
#include "store/prepared_batch.h"

namespace torvesk {
namespace {

// The new lines of one run in this batch, as stretches of the batch's text buffer; neighbouring
// lines merge into one stretch, so a batch for a single run needs no copy at all. The first
// stretch is kept inline: a batch of many short runs has one stretch for most of them.
struct PendingRun {
  std::string_view run_id;
  TextSpan first;
  std::vector<TextSpan> more;  // the stretches after the first

  explicit PendingRun(std::string_view id, const TextSpan& line) : run_id(id), first(line) {}

  void add(const TextSpan& line) {
    TextSpan& last = more.empty() ? first : more.back();
    if (last.offset + last.size == line.offset) {
      last.size += line.size;
    } else {
      more.push_back(line);
    }
  }

  template <class OnSpan>
  void for_each_span(OnSpan&& on_span) const {
    on_span(first);
    for (const TextSpan& span : more) on_span(span);
  }
};

constexpr std::size_t kNoPending = static_cast<std::size_t>(-1);

// From this many bytes of new lines on, a batch's appends are shared with a helper thread: they
// go to different files, so the two halves do not wait for each other except to create files.
constexpr std::size_t kSplitAppendMinBytes = 1024 * 1024;

// When the runs the cap pushes out in one batch held about this much, free memory is given back
// to the system once the batch is done. The allocator keeps freed small blocks for reuse, and a
// push of many short runs leaves hundreds of megabytes of them scattered between the runs that
// stay; below this, the next batches reuse what a batch freed soon enough.
constexpr std::size_t kTrimAfterEvictedBytes = 16 * 1024 * 1024;

// About what a run costs on the heap: its map node and what its events and fingerprints hold.
std::size_t heap_bytes_of(const Run& run) {
  constexpr std::size_t kNodeBytes = sizeof(RunMap::value_type) + 2 * sizeof(void*);
  return kNodeBytes + run.events.allocated_bytes() + run.fingerprints.allocated_bytes();
}

std::atomic<bool> trim_wanted{false};
std::atomic<bool> trim_running{false};

void trim_while_wanted() {
  for (;;) {
    while (trim_wanted.exchange(false)) malloc_trim(0);
    trim_running.store(false);
    // A trim wanted after the last round and before running was cleared is done here.
    if (!trim_wanted.load() || trim_running.exchange(true)) return;
  }
}

// Giving free pages back walks the whole heap, which takes milliseconds when it is large: one
// thread of its own does it, so that neither the store's lock nor the ingest answer waits for it.
// Asked for while a trim runs, the running one goes round once more.
void give_memory_back_in_background() {
  trim_wanted.store(true);
  if (trim_running.exchange(true)) return;
  try {
    std::thread(trim_while_wanted).detach();
  } catch (const std::system_error&) {
    trim_running.store(false);  // no thread to be had: the next large eviction tries again
  }
}

// Declared first in a batch, so that it goes after everything else the batch allocated.
struct GiveMemoryBackAtEnd {
  bool wanted = false;
  GiveMemoryBackAtEnd() = default;
  GiveMemoryBackAtEnd(const GiveMemoryBackAtEnd&) = delete;
  GiveMemoryBackAtEnd& operator=(const GiveMemoryBackAtEnd&) = delete;
  ~GiveMemoryBackAtEnd() {
    if (wanted) give_memory_back_in_background();
  }
};

bool append_pending_run(const std::string& data_dir, const PreparedBatch& batch,
                        const PendingRun& pending, std::string& gathered, LogFileSystem& files) {
  if (pending.more.empty()) {
    const TextSpan& span = pending.first;
    return append_run_log(data_dir, pending.run_id,
                          batch.texts.view().substr(span.offset, span.size), files);
  }
  gathered.clear();
  pending.for_each_span([&](const TextSpan& span) {
    gathered.append(batch.texts.view().substr(span.offset, span.size));
  });
  return append_run_log(data_dir, pending.run_id, gathered, files);
}

// Appends each run's new lines to its file; `files` must take calls from two threads at once.
// Returns how many runs' appends failed.
std::uint64_t append_pending_runs(const std::string& data_dir, const PreparedBatch& batch,
                                  const std::vector<PendingRun>& pending_runs,
                                  LogFileSystem& files) {
  std::size_t total = 0;
  for (const PendingRun& pending : pending_runs) {
    pending.for_each_span([&](const TextSpan& span) { total += span.size; });
  }
  // The helper takes the runs from `cut` on, about half of the bytes.
  std::size_t cut = pending_runs.size();
  if (total >= kSplitAppendMinBytes && pending_runs.size() >= 2) {
    std::size_t first = 0;
    cut = 0;
    while (cut + 1 < pending_runs.size() && first < total / 2) {
      pending_runs[cut].for_each_span([&](const TextSpan& span) { first += span.size; });
      ++cut;
    }
  }

  std::size_t helper_appended = 0;  // runs from `cut` on the helper has written
  std::uint64_t helper_failed = 0;
  std::uint64_t failed = 0;
  std::string gathered;
  const auto append_first = [&] {
    for (std::size_t i = 0; i < cut; ++i) {
      if (!append_pending_run(data_dir, batch, pending_runs[i], gathered, files)) ++failed;
    }
  };
  const auto append_rest = [&] {
    std::string helper_gathered;
    for (std::size_t i = cut; i < pending_runs.size(); ++i) {
      if (!append_pending_run(data_dir, batch, pending_runs[i], helper_gathered, files)) {
        ++helper_failed;
      }
      ++helper_appended;
    }
  };
  if (cut < pending_runs.size()) {
    split_with_helper(append_first, append_rest);
  } else {
    append_first();
  }
  // What the helper could not write (out of memory before its first byte of a run) is written
  // here; with no helper, that is everything from `cut` on.
  for (std::size_t i = cut + helper_appended; i < pending_runs.size(); ++i) {
    if (!append_pending_run(data_dir, batch, pending_runs[i], gathered, files)) ++failed;
  }
  return failed + helper_failed;
}

}  // namespace

void RunStore::finish_batch(std::uint64_t batch, bool wrote_files, bool wait_for_earlier) {
  MutexLock lock(mutex_);
  if (wrote_files) {
    batches_writing_.erase(batch);
    batch_written_.notify_all();
  }
  if (!wait_for_earlier) return;
  while (!batches_writing_.empty() && *batches_writing_.begin() <= batch) {
    batch_written_.wait(lock);
  }
}

std::vector<RunMap::node_type> evict_runs(RunMap& runs, std::uint64_t cap) {
  std::vector<RunMap::node_type> evicted;
  if (runs.size() <= cap) return evicted;
  std::vector<std::pair<std::uint64_t, RunMap::iterator>> by_age;
  by_age.reserve(runs.size());
  for (auto it = runs.begin(); it != runs.end(); ++it)
    by_age.emplace_back(it->second.last_seen_ms, it);
  // Ties keep the map's own order.
  std::stable_sort(by_age.begin(), by_age.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  const std::size_t excess = runs.size() - static_cast<std::size_t>(cap);
  evicted.reserve(excess);
  for (std::size_t i = 0; i < excess; ++i) evicted.push_back(runs.extract(by_age[i].second));
  return evicted;
}

IngestOutcome ingest_batch(RunStore& store, std::string_view body, const std::string& data_dir,
                           const std::optional<std::string>& observed_ip) {
  return ingest_batch(store, body, data_dir, observed_ip, now_ms, system_log_files());
}

IngestOutcome ingest_batch(RunStore& store, std::string_view body, const std::string& data_dir,
                           const std::optional<std::string>& observed_ip, const Clock& clock,
                           LogFileSystem& files) {
  GiveMemoryBackAtEnd give_back;
  IngestOutcome outcome;
  const SplittableWork at_work;
  // Parsing, normalising, serialising and hashing need nothing from the store, so they happen
  // before its lock is taken; the batch still enters the store as a whole, in line order.
  PreparedBatch batch;
  // Canonical texts are rarely longer than their lines; room for a little more saves regrowing.
  batch.texts.reserve(body.size() + body.size() / 8);
  {
    ObservedAddressRule rule;
    rule.strip_supplied = true;
    if (observed_ip) rule.stamp_address = *observed_ip;
    prepare_lines(body, clock, rule, batch);
  }

  std::vector<PendingRun> pending_lines;
  // Runs the cap pushed out: their events are freed after the lock is released.
  std::vector<RunMap::node_type> evicted;
  const std::uint64_t batch_number = store.mutate_batch([&](RunMap& runs) {
    std::unordered_map<std::string_view, std::size_t> pending_index;
    // Consecutive lines usually name the same run: one lookup for the stretch.
    std::string_view current_id;
    Run* current_run = nullptr;
    std::size_t current_pending = kNoPending;
    for (const PreparedEvent& event : batch.events) {
      const std::string_view run_id = batch.run_id_of(event);
      if (current_run == nullptr || run_id != current_id) {
        current_id = run_id;
        current_run = &find_or_add_run(runs, run_id);
        current_pending = kNoPending;
      }
      if (!apply_prepared_event(*current_run, batch, event)) {
        ++outcome.duplicate_lines;
        continue;
      }
      const TextSpan line{event.text.offset, event.text.size + 1};
      if (current_pending == kNoPending) {
        const auto [found, added] = pending_index.try_emplace(run_id, pending_lines.size());
        current_pending = found->second;
        if (added) {
          pending_lines.emplace_back(run_id, line);
          continue;
        }
      }
      pending_lines[current_pending].add(line);
    }
    evicted = evict_runs(runs, env_u64("MONITOR_MAX_RUNS", kDefaultMaxRuns));
    return !pending_lines.empty();
  });
  std::size_t evicted_bytes = 0;
  for (const RunMap::node_type& node : evicted) evicted_bytes += heap_bytes_of(node.mapped());
  give_back.wanted = evicted_bytes >= kTrimAfterEvictedBytes;
  evicted.clear();

  // Files are written with no lock held; each touched run gets one append.
  outcome.failed_appends = append_pending_runs(data_dir, batch, pending_lines, files);
  outcome.bad_lines = batch.bad_lines;

  const bool dropped_duplicate = outcome.duplicate_lines != 0;
  if (!pending_lines.empty() || dropped_duplicate) {
    store.finish_batch(batch_number, !pending_lines.empty(), dropped_duplicate);
  }
  return outcome;
}

}  // namespace torvesk
