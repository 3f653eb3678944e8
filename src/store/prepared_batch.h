// The record of events worked out from their lines before the store's lock is taken: the
// canonical text, the fingerprint and every value applying an event to its run reads, so that
// applying them under the lock is little more than a lookup and a copy. The writers fill it
// (tree_event.h, direct_event.h), the preparer drives them line by line (batch_preparer.h), and
// apply_prepared_event (run.h) takes the events into their runs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/event_rules.h"
#include "store/json.h"
#include "store/run_record.h"

namespace torvesk {

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

// The payload members read from an event: the run id, then those that fill run fields, so that
// member i + 1 fills RunField i.
inline constexpr auto kPayloadMembers = [] {
  std::array<std::string_view, 1 + kPayloadFieldCount> names{};
  names[0] = kRunIdMember;
  for (std::size_t i = 0; i < kPayloadFieldCount; ++i) names[i + 1] = kRunFields[i].name;
  return names;
}();

// Adds a field to `event`, the event being added last to `batch`, unless `value` is empty.
void add_prepared_field(PreparedBatch& batch, PreparedEvent& event, RunField field,
                        std::string_view value);

// The last steps of adding `event`, whose canonical text was just written at the end of
// batch.texts from event.text.offset on and whose fields are the last event.field_count of
// batch.fields: its line feed, fingerprint, run id and status effect.
void add_written_event(PreparedBatch& batch, PreparedEvent& event, std::string_view run_id,
                       std::string_view type);

}  // namespace torvesk
