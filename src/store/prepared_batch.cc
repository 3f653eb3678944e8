#include "store/prepared_batch.h"

#include <algorithm>
#include <array>
#include <boost/json/monotonic_resource.hpp>
#include <utility>

#include "base/text.h"
#include "store/direct_event.h"
#include "store/helper_threads.h"
#include "store/normalize.h"
#include "store/siphash.h"

namespace torvesk {
namespace {

namespace json = boost::json;

// The top-level members read from an event.
constexpr std::array<std::string_view, 4> kEventMembers = {"payload", "run_id", "type",
                                                           "_observed_ip"};

// Room for the parsed value of a typical line; a larger line borrows more from the heap, which
// the arena gives back after that line.
constexpr std::size_t kLineArenaBytes = 64 * 1024;

json::string_view key(std::string_view name) { return json::string_view(name.data(), name.size()); }

// The member's value if it is a string.
const json::string* string_of(const json::key_value_pair* member) {
  return member == nullptr ? nullptr : member->value().if_string();
}

std::string_view view(const json::string& s) { return std::string_view(s.data(), s.size()); }

TextSpan append_string(std::string& buffer, std::string_view text) {
  TextSpan span{buffer.size(), text.size()};
  buffer.append(text);
  return span;
}

void add_field(PreparedBatch& batch, PreparedEvent& event, RunField field,
               const json::key_value_pair* member) {
  if (const json::string* text = string_of(member)) {
    add_prepared_field(batch, event, field, view(*text));
  }
}

// The sizes of a batch's parts before a line, to cut it back to if the line fails half-way.
class BatchMark {
 public:
  explicit BatchMark(const PreparedBatch& batch)
      : texts_(batch.texts.size()),
        strings_(batch.strings.size()),
        fields_(batch.fields.size()),
        events_(batch.events.size()) {}

  void restore(PreparedBatch& batch) const {
    batch.texts.truncate(texts_);
    batch.strings.resize(strings_);
    batch.fields.resize(fields_);
    batch.events.resize(events_);
  }

 private:
  std::size_t texts_, strings_, fields_, events_;
};

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
  if (type == "RunFailed") {
    event.status_effect = StatusEffect::failed;
  } else if (type == "RunCompleted") {
    event.status_effect = StatusEffect::completed;
  }
  batch.events.push_back(event);
}

void add_prepared_event(PreparedBatch& batch, const json::value& json, std::uint64_t ts,
                        std::optional<std::string_view> given_run_id,
                        std::optional<std::string_view> given_type) {
  PreparedEvent event;
  event.ts = ts;
  event.text.offset = batch.texts.size();
  append_canonical_json(batch.texts, json);

  // The rules of normalisation, read in one pass over the event and one over its payload.
  std::string_view run_id = "unknown";
  std::string_view type;
  bool payload_run_id = false;
  event.first_field = batch.fields.size();
  if (const json::object* object = json.if_object()) {
    const auto [payload, top_run_id, top_type, observed_ip] = find_members(*object, kEventMembers);
    if (const json::object* payload_object =
            payload == nullptr ? nullptr : payload->value().if_object()) {
      const auto members = find_members(*payload_object, kPayloadMembers);
      if (const json::string* id = string_of(members[0])) {
        run_id = view(*id);
        payload_run_id = true;
      }
      for (std::size_t i = 1; i < members.size(); ++i) {
        add_field(batch, event, static_cast<RunField>(i - 1), members[i]);
      }
    }
    if (const json::string* id = string_of(top_run_id); id != nullptr && !payload_run_id) {
      run_id = view(*id);
    }
    if (const json::string* text = string_of(top_type)) type = view(*text);
    add_field(batch, event, RunField::observed_ip, observed_ip);
  }
  if (given_run_id) run_id = *given_run_id;
  if (given_type) type = *given_type;
  add_written_event(batch, event, run_id, type);
}

BatchPreparer::BatchPreparer(Clock clock, ObservedAddressRule rule)
    : clock_(std::move(clock)), rule_(rule), direct_(std::make_unique<DirectEventWriter>()) {}

BatchPreparer::~BatchPreparer() = default;

bool BatchPreparer::add_line(std::string_view line, PreparedBatch& batch) {
  const std::string_view trimmed = trim_white_space(line);
  if (trimmed.empty()) return false;
  const BatchMark mark(batch);
  try {
    if (direct_->add(trimmed, clock_, rule_, batch)) return true;
  } catch (const std::exception&) {
    // Out of memory for this line: it is dropped like a bad line, and the batch stays whole.
    mark.restore(batch);
    return false;
  }
  return add_line_through_tree(trimmed, batch);
}

struct BatchPreparer::TreeParser {
  JsonParser parser;
  std::unique_ptr<unsigned char[]> arena_buffer =
      std::make_unique_for_overwrite<unsigned char[]>(kLineArenaBytes);
  json::monotonic_resource arena{arena_buffer.get(), kLineArenaBytes};  // one line's value
};

bool BatchPreparer::add_line_through_tree(std::string_view line, PreparedBatch& batch) {
  const std::string_view trimmed = trim_white_space(line);
  if (trimmed.empty()) return false;
  const BatchMark mark(batch);
  bool added = false;
  try {
    if (tree_ == nullptr) tree_ = std::make_unique<TreeParser>();
    std::optional<json::value> root =
        tree_->parser.parse(trimmed, json::storage_ptr(&tree_->arena));
    if (root) {
      if (const std::optional<NormalizedValue> normalized = normalize_value(*root, clock_)) {
        json::value& event = *normalized->json;
        if (json::object* object = event.if_object()) {
          static constexpr std::array<std::string_view, 2> kAddressMembers = {kObservedIpMember,
                                                                              "type"};
          const auto [supplied, type] = find_members(*object, kAddressMembers);
          const json::string* type_text = string_of(type);
          const bool run_started = type_text != nullptr && view(*type_text) == "RunStarted";
          // erase() moves the last member into the hole, which is the order the log keeps.
          if (rule_.strip_supplied && supplied != nullptr) object->erase(supplied);
          if (rule_.stamp_address && run_started) {
            object->insert_or_assign(
                key(kObservedIpMember),
                json::string_view(rule_.stamp_address->data(), rule_.stamp_address->size()));
          }
        }
        add_prepared_event(batch, event, normalized->ts);
        added = true;
      }
    }
  } catch (const std::exception&) {
    // Out of memory for this line: it is dropped like a bad line, and the batch stays whole.
    mark.restore(batch);
    added = false;
  }
  if (tree_ != nullptr) tree_->arena.release();
  return added;
}

namespace {

// Below this size a batch is prepared on the calling thread alone: starting a helper and merging
// its half cost about as much as preparing a few hundred kilobytes saves.
constexpr std::size_t kSplitPrepareMinBytes = 1024 * 1024;

}  // namespace

void append_prepared(PreparedBatch& batch, const PreparedBatch& tail) {
  const std::size_t texts_base = batch.texts.size();
  const std::size_t strings_base = batch.strings.size();
  const std::size_t fields_base = batch.fields.size();
  batch.bad_lines += tail.bad_lines;
  batch.texts.append(tail.texts.view());
  batch.strings += tail.strings;
  batch.fields.reserve(fields_base + tail.fields.size());
  for (PreparedField field : tail.fields) {
    field.value.offset += strings_base;
    batch.fields.push_back(field);
  }
  batch.events.reserve(batch.events.size() + tail.events.size());
  for (PreparedEvent event : tail.events) {
    event.text.offset += texts_base;
    event.run_id.offset += strings_base;
    event.first_field += fields_base;
    batch.events.push_back(event);
  }
}

void prepare_lines(std::string_view text, const Clock& clock, ObservedAddressRule rule,
                   PreparedBatch& batch) {
  const std::size_t line_feed = text.size() >= kSplitPrepareMinBytes
                                    ? text.find('\n', text.size() / 2)
                                    : std::string_view::npos;
  const std::size_t cut = line_feed == std::string_view::npos ? text.size() : line_feed + 1;
  if (cut == text.size()) {
    BatchPreparer(clock, rule).add_lines(text, batch);
    return;
  }
  const std::string_view first_half = text.substr(0, cut);
  const std::string_view second_half = text.substr(cut);
  BatchPreparer own(clock, rule);
  PreparedBatch tail;
  bool tail_done = false;
  const auto prepare_tail = [&] {
    try {
      tail.texts.reserve(second_half.size() + second_half.size() / 8);
      BatchPreparer(clock, rule).add_lines(second_half, tail);
      tail_done = true;
    } catch (const std::exception&) {
      // Out of memory: the second half is prepared again below, after the first.
    }
  };
  // Only a body that is split asks for a helper, so small ones never keep it from a large one.
  const bool shared = split_with_helper([&] { own.add_lines(first_half, batch); }, prepare_tail);
  if (shared && tail_done) {
    append_prepared(batch, tail);
  } else {
    own.add_lines(second_half, batch);
  }
}

}  // namespace torvesk
