// Lines of newline-delimited JSON into a prepared batch: each line straight from its parse by
// the direct writer where its shape allows, else normalised as a parsed tree and added by the
// tree writer.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "base/clock.h"
#include "base/text.h"
#include "store/direct_event.h"
#include "store/event_rules.h"
#include "store/prepared_batch.h"

namespace torvesk {

// Calls `on_line` with each line of `text`: a line ends at each line feed, which is not part of
// it, nor is a carriage return directly before it. Text after the last line feed is a line if it
// is not empty, so a text that ends with a line feed has no empty last line.
template <class OnLine>
void for_each_line(std::string_view text, OnLine&& on_line) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (end != std::string_view::npos && !line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    on_line(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

// Normalises lines into a batch: straight from the parse where the line allows it, else through
// a parsed tree, reusing one parser and one arena from line to line. One preparer serves one
// thread.
class BatchPreparer {
 public:
  BatchPreparer(Clock clock, ObservedAddressRule rule);
  ~BatchPreparer();
  BatchPreparer(const BatchPreparer&) = delete;
  BatchPreparer& operator=(const BatchPreparer&) = delete;

  // False when the line yields no event.
  bool add_line(std::string_view line, PreparedBatch& batch);
  // The same through the parsed tree alone, as add_line does for the lines the direct writer
  // declines. Public so that tests can hold the two ways to each other.
  bool add_line_through_tree(std::string_view line, PreparedBatch& batch);
  void add_lines(std::string_view text, PreparedBatch& batch) {
    for_each_line(text, [&](std::string_view line) {
      if (!add_line(line, batch) && !trim_white_space(line).empty()) ++batch.bad_lines;
    });
  }

 private:
  Clock clock_;
  ObservedAddressRule rule_;
  std::unique_ptr<DirectEventWriter> direct_;
  // The parser and arena of the tree way, made when a line first needs them: most batches have
  // none that does.
  struct TreeParser;
  std::unique_ptr<TreeParser> tree_;
};

// Prepares every line of `text` into `batch`, in line order, as BatchPreparer::add_lines does. A
// text of kSplitPrepareMinBytes or more has its second half prepared on a helper thread at the
// same time, when the process has a helper to spare. The batch holds the same events either way;
// a line without a time reads `clock` when it is prepared, so `clock` must be safe to call from
// two threads at once.
void prepare_lines(std::string_view text, const Clock& clock, ObservedAddressRule rule,
                   PreparedBatch& batch);

// Appends the events of `tail` after those of `batch`, as if its lines had followed.
void append_prepared(PreparedBatch& batch, const PreparedBatch& tail);

}  // namespace torvesk
