#include "store/run_log.h"

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "base/mutex.h"
#include "base/text.h"
#include "store/batch_preparer.h"
#include "store/helper_threads.h"
#include "store/prepared_batch.h"

namespace torvesk {
namespace {

// The load applies a large file in pieces of about this much text, so its parsed form never
// has to exist whole next to the file's content.
constexpr std::size_t kLoadPieceBytes = 16 * 1024 * 1024;

// A line whose one flaw is an unfinished character at its very end: what a write that ended
// part-way (the process killed inside an append) leaves behind.
bool is_cut_inside_last_character(std::string_view line) {
  std::size_t lead = line.size();
  while (lead > 0 && line.size() - lead < 3 &&
         (static_cast<unsigned char>(line[lead - 1]) & 0xC0) == 0x80) {
    --lead;
  }
  if (lead == 0) return false;
  --lead;
  const auto c = static_cast<unsigned char>(line[lead]);
  const std::size_t length = c > 0xF4 ? 0 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
  // A cut leaves the start of a character that could be finished: after these leads only part
  // of the continuation range avoids an overlong form, a surrogate or a value beyond U+10FFFF.
  if (line.size() - lead >= 2) {
    const auto next = static_cast<unsigned char>(line[lead + 1]);
    const unsigned lowest = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    const unsigned highest = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    if (next < lowest || next > highest) return false;
  }
  return length > line.size() - lead && is_valid_utf8(line.substr(0, lead));
}

// Text that is valid UTF-8 but for lines cut inside their last character.
bool is_utf8_but_for_cut_lines(std::string_view text) {
  bool valid = true;
  for_each_line(text, [&](std::string_view line) {
    valid = valid && (is_valid_utf8(line) || is_cut_inside_last_character(line));
  });
  return valid;
}

void apply_loaded(RunMap& runs, const PreparedBatch& batch) {
  Run* current_run = nullptr;
  std::string_view current_id;
  for (const PreparedEvent& event : batch.events) {
    const std::string_view run_id = batch.run_id_of(event);
    if (current_run == nullptr || run_id != current_id) {
      current_id = run_id;
      current_run = &find_or_add_run(runs, run_id);
    }
    apply_prepared_event(*current_run, batch, event);
  }
}

// Prepares the lines of a log file's `contents` into `batch`, calling `on_full` with the batch
// (then clearing it) whenever it holds kLoadPieceBytes of text. A file that is not UTF-8 is
// skipped whole, unless its only flaws are lines cut inside a character by an append that ended
// part-way: those lines alone are lost, as any other cut line is, and the acknowledged lines
// around them stay. False when the file is skipped.
template <class OnFull>
bool prepare_log_text(std::string_view contents, BatchPreparer& preparer, PreparedBatch& batch,
                      OnFull&& on_full) {
  const bool valid_text = is_valid_utf8(contents);
  if (!valid_text && !is_utf8_but_for_cut_lines(contents)) return false;
  for_each_line(contents, [&](std::string_view line) {
    if (!valid_text && !is_valid_utf8(line)) return;
    preparer.add_line(line, batch);
    if (batch.texts.size() >= kLoadPieceBytes) {
      on_full(batch);
      batch.clear();
    }
  });
  return true;
}

// The load of many log files on two threads: both prepare files (parse, normalise, fingerprint)
// in listing order, a few ahead of the one being applied, and the calling thread alone applies
// them, in listing order, so that the store ends up as a load on one thread leaves it. Files too
// large to be held prepared are read and applied in pieces by the calling thread when their turn
// comes, as a load on one thread does with every file.
class ParallelLoad {
 public:
  ParallelLoad(const std::vector<std::string>& paths, const Clock& clock, LogFileSystem& files)
      : paths_(paths), clock_(clock), files_(files), slots_(paths.size()) {}

  // Calls `apply` with every prepared piece of every file, in listing order, on this thread.
  template <class Apply>
  void run(Apply&& apply) {
    const auto apply_in_order = [&] {
      // However this ends, the helper is told to stop before it is waited for.
      const StopWhenDone stop_when_done{*this};
      BatchPreparer preparer = make_preparer();
      std::string contents;
      PreparedBatch own;
      MutexLock lock(mutex_);
      while (applied_ < paths_.size()) {
        const std::size_t index = applied_;  // moved on only by this thread, below
        Slot& slot = slots_[index];
        if (slot.state == State::kPrepared || slot.state == State::kSkipped ||
            slot.state == State::kLeftToApplier) {
          const State state = slot.state;
          lock.unlock();
          if (state == State::kPrepared) {
            apply(slot.batch);
            slot.batch = PreparedBatch();
          } else if (state == State::kLeftToApplier) {
            if (files_.read_file(paths_[index], contents) &&
                prepare_log_text(contents, preparer, own, apply)) {
              apply(own);
            }
            own.clear();
          }
          lock.lock();
          ++applied_;
          changed_.notify_all();
        } else if (next_ == applied_) {
          // The next file to apply is nobody's yet: read, prepare and apply it here, in pieces.
          ++next_;
          slot.state = State::kLeftToApplier;
        } else if (next_ < paths_.size() && next_ < applied_ + kLoadAheadFiles) {
          const std::size_t taken = take_next();
          lock.unlock();
          const State prepared = prepare_file(slots_[taken], paths_[taken], preparer, contents);
          lock.lock();
          finish_preparing(taken, prepared);
        } else {
          changed_.wait(lock);
        }
      }
    };
    // Without a helper, this thread prepares every file.
    if (paths_.size() >= kParallelLoadMinFiles) {
      split_with_helper(apply_in_order, [this] { prepare_ahead(); });
    } else {
      apply_in_order();
    }
  }

 private:
  // Files prepared ahead of the one being applied, at most. Only files of up to
  // kLoadAheadFileBytes are prepared ahead, so the files waiting hold about 48 MiB at most.
  static constexpr std::size_t kLoadAheadFiles = 32;
  static constexpr std::size_t kLoadAheadFileBytes = 1024 * 1024;
  // Below this many files a second thread costs more than it saves.
  static constexpr std::size_t kParallelLoadMinFiles = 4;

  enum class State { kPending, kPreparing, kPrepared, kSkipped, kLeftToApplier };

  // The stored "_observed_ip" members are trusted as they are.
  BatchPreparer make_preparer() const { return BatchPreparer(clock_, ObservedAddressRule{}); }

  struct StopWhenDone {
    ParallelLoad& load;
    ~StopWhenDone() {
      MutexLock lock(load.mutex_);
      load.stopping_ = true;
      load.changed_.notify_all();
    }
  };
  struct Slot {
    State state = State::kPending;  // guarded by mutex_
    PreparedBatch batch;            // written by the thread preparing it, until kPrepared
  };

  // The next file, taken to be prepared by the calling thread.
  std::size_t take_next() REQUIRES(mutex_) {
    slots_[next_].state = State::kPreparing;
    return next_++;
  }
  void finish_preparing(std::size_t index, State prepared) REQUIRES(mutex_) {
    slots_[index].state = prepared;
    changed_.notify_all();
  }

  // Prepares one file into its slot's batch, which only this thread touches meanwhile; the state
  // it ends in.
  State prepare_file(Slot& slot, const std::string& path, BatchPreparer& preparer,
                     std::string& contents) EXCLUDES(mutex_) {
    State prepared = State::kSkipped;
    try {
      if (files_.read_file(path, contents)) {
        // A large file is read again and applied in pieces when its turn comes, as a load on one
        // thread does, so that its whole parsed form is never held.
        bool too_large = contents.size() > kLoadAheadFileBytes;
        if (!too_large && prepare_log_text(contents, preparer, slot.batch,
                                           [&](const PreparedBatch&) { too_large = true; })) {
          prepared = State::kPrepared;
        }
        if (too_large) prepared = State::kLeftToApplier;
      }
    } catch (const std::exception&) {
      // Out of memory: the applying thread tries this file again on its own.
      prepared = State::kLeftToApplier;
    }
    if (prepared != State::kPrepared) slot.batch = PreparedBatch();
    contents = std::string();
    return prepared;
  }

  void prepare_ahead() {
    BatchPreparer preparer = make_preparer();
    std::string contents;
    MutexLock lock(mutex_);
    while (!stopping_) {
      if (next_ < paths_.size() && next_ < applied_ + kLoadAheadFiles && next_ != applied_) {
        const std::size_t taken = take_next();
        lock.unlock();
        const State prepared = prepare_file(slots_[taken], paths_[taken], preparer, contents);
        lock.lock();
        finish_preparing(taken, prepared);
      } else if (next_ >= paths_.size()) {
        return;
      } else {
        changed_.wait(lock);
      }
    }
  }

  const std::vector<std::string>& paths_;
  const Clock& clock_;
  LogFileSystem& files_;
  std::vector<Slot> slots_;

  Mutex mutex_;
  CondVar changed_;
  std::size_t next_ GUARDED_BY(mutex_) = 0;     // the first file nobody has taken yet
  std::size_t applied_ GUARDED_BY(mutex_) = 0;  // files applied so far
  bool stopping_ GUARDED_BY(mutex_) = false;
};

}  // namespace

void load_runs(const std::string& data_dir, RunStore& store) {
  load_runs(data_dir, store, now_ms, system_log_files());
}

void load_runs(const std::string& data_dir, RunStore& store, const Clock& clock,
               LogFileSystem& files) {
  namespace fs = std::filesystem;
  std::vector<std::string> paths;
  std::error_code ec;
  // An empty folder text names the current folder, where the appends of such a monitor go.
  fs::directory_iterator listing(fs::path(data_dir.empty() ? "." : data_dir), ec);
  if (ec) return;
  // The listing's own order; an error ends it.
  for (; listing != fs::directory_iterator(); listing.increment(ec)) {
    if (ec) break;
    const fs::path& path = listing->path();
    if (has_log_extension(path.filename().string())) paths.push_back(path.string());
  }

  store.mutate([&](RunMap& runs) {
    ParallelLoad load(paths, clock, files);
    load.run([&](const PreparedBatch& batch) { apply_loaded(runs, batch); });
  });
}

}  // namespace torvesk
