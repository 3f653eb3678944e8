#include "store/prepared_batch.h"

#include "store/siphash.h"

namespace torvesk {
namespace {

TextSpan append_string(std::string& buffer, std::string_view text) {
  TextSpan span{buffer.size(), text.size()};
  buffer.append(text);
  return span;
}

}  // namespace

void add_prepared_field(PreparedBatch& batch, PreparedEvent& event, RunField field,
                        std::string_view value) {
  if (value.empty()) return;
  batch.fields.push_back(PreparedField{field, append_string(batch.strings, value)});
  ++event.field_count;
}

void add_written_event(PreparedBatch& batch, PreparedEvent& event, std::string_view run_id,
                       std::string_view type) {
  event.text.size = batch.texts.size() - event.text.offset;
  batch.texts.push_back('\n');
  event.fingerprint = event_fingerprint(batch.text_of(event));
  // Lines of one run usually come together: their ids share one copy.
  if (!batch.events.empty() && batch.run_id_of(batch.events.back()) == run_id) {
    event.run_id = batch.events.back().run_id;
  } else {
    event.run_id = append_string(batch.strings, run_id);
  }
  if (type == kRunFailedType) {
    event.status_effect = StatusEffect::failed;
  } else if (type == kRunCompletedType) {
    event.status_effect = StatusEffect::completed;
  }
  batch.events.push_back(event);
}

}  // namespace torvesk
