// Events worked out from their lines before the store's lock is taken: the canonical text, the
// fingerprint and every value apply_event reads, so that applying them under the lock is little
// more than a lookup and a copy.
#pragma once

#include <array>
#include <boost/json/value.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "base/text.h"
#include "store/json.h"
#include "store/run.h"

namespace torvesk {

// The Run fields an event can fill, first one wins: the nine metadata fields in the order they
// are filled, then observed_ip.
enum class RunField : std::uint8_t {
  plan_name,
  studio_label,
  studio_id,
  studio_version,
  plan_version,
  plan_hash,
  runner_host,
  log_level,
  artifact_id,
  observed_ip,
};

// What an event's type does to its run's status.
enum class StatusEffect : std::uint8_t { none, completed, failed };

// A stretch of one of the PreparedBatch buffers. Offsets, not pointers: the buffers grow while
// the batch is built.
struct TextSpan {
  std::size_t offset = 0;
  std::size_t size = 0;
};

struct PreparedField {
  RunField field;
  TextSpan value;  // in PreparedBatch::strings; never empty
};

struct PreparedEvent {
  std::uint64_t ts = 0;
  std::uint64_t fingerprint = 0;
  TextSpan text;    // canonical text in PreparedBatch::texts, followed there by one line feed
  TextSpan run_id;  // in PreparedBatch::strings
  std::size_t first_field = 0;  // this event's fields in PreparedBatch::fields
  std::uint8_t field_count = 0;
  StatusEffect status_effect = StatusEffect::none;
};

struct PreparedBatch {
  TextBuffer texts;     // the canonical texts, each followed by one line feed, in line order
  std::string strings;  // run ids and field values
  std::vector<PreparedEvent> events;
  std::vector<PreparedField> fields;
  std::size_t bad_lines = 0;  // lines neither blank nor an event (not JSON, a header line, ...)

  // Empties the batch, keeping its buffers for the next lines.
  void clear() {
    texts.clear();
    strings.clear();
    events.clear();
    fields.clear();
    bad_lines = 0;
  }

  std::string_view text_of(const PreparedEvent& event) const {
    return texts.view().substr(event.text.offset, event.text.size);
  }
  std::string_view run_id_of(const PreparedEvent& event) const {
    return std::string_view(strings).substr(event.run_id.offset, event.run_id.size);
  }
  std::string_view field_value(const PreparedField& field) const {
    return std::string_view(strings).substr(field.value.offset, field.value.size);
  }
};

// The payload members read from an event: the run id, then those that fill the metadata fields,
// in RunField order.
inline constexpr std::array<std::string_view, 10> kPayloadMembers = {
    "run_id",       "plan_name", "studio_label", "studio_id", "studio_version",
    "plan_version", "plan_hash", "runner_host",  "log_level", "artifact_id",
};

inline constexpr std::string_view kObservedIpMember = "_observed_ip";

// Adds the event made of `json` (its canonical text, fingerprint and fields) to the batch. The
// run id and the type are read from `json` by the rules of normalisation unless given.
void add_prepared_event(PreparedBatch& batch, const boost::json::value& json, std::uint64_t ts,
                        std::optional<std::string_view> run_id = std::nullopt,
                        std::optional<std::string_view> type = std::nullopt);

// Adds a field to `event`, the event being added last to `batch`, unless `value` is empty.
void add_prepared_field(PreparedBatch& batch, PreparedEvent& event, RunField field,
                        std::string_view value);

// The last steps of adding `event`, whose canonical text was just written at the end of
// batch.texts from event.text.offset on and whose fields are the last event.field_count of
// batch.fields: its line feed, fingerprint, run id and status effect.
void add_written_event(PreparedBatch& batch, PreparedEvent& event, std::string_view run_id,
                       std::string_view type);

// Applies one prepared event to `run`, the run its run id names: apply_event from the fingerprint
// on, reading MONITOR_MAX_EVENTS when the event is accepted. The caller holds the store's lock.
bool apply_prepared_event(Run& run, const PreparedBatch& batch, const PreparedEvent& event);

// The run of that id, created with its initial values if there is none.
Run& find_or_add_run(RunMap& runs, std::string_view run_id);

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

// What happens to an "_observed_ip" member. Pushed lines never keep their own, and "RunStarted"
// events get the address the monitor saw; lines loaded from the log files keep what they hold.
struct ObservedAddressRule {
  bool strip_supplied = false;
  std::optional<std::string_view> stamp_address;  // stamped into "RunStarted" events
};

class DirectEventWriter;

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
