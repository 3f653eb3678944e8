#include "store/normalize.h"

#include "base/text.h"
#include "store/event_rules.h"
#include "store/json.h"

namespace torvesk {
namespace {

namespace json = boost::json;

json::string_view key(std::string_view name) { return json::string_view(name.data(), name.size()); }

// The member `name` of `value` if `value` is an object that has it.
const json::value* member(const json::value& value, std::string_view name) {
  const json::object* object = value.if_object();
  if (object == nullptr) return nullptr;
  return object->if_contains(key(name));
}

const json::string* string_member(const json::value& value, std::string_view name) {
  const json::value* found = member(value, name);
  return found == nullptr ? nullptr : found->if_string();
}

std::string_view view(const json::string& s) { return std::string_view(s.data(), s.size()); }

// What an object says about itself as the outermost value of a line: a header line, an envelope
// (its time, and its inner event when that is an object), or neither.
struct EnvelopeShape {
  bool header = false;
  std::optional<std::uint64_t> time;
  json::value* inner = nullptr;
};

EnvelopeShape envelope_shape(json::object& object) {
  static constexpr std::array<std::string_view, 3> kEnvelopeMembers = {
      kKindMember, kEnvelopeTimeMember, kEnvelopeEventMember};
  const auto [kind, timestamp, inner] = find_members(object, kEnvelopeMembers);
  EnvelopeShape shape;
  shape.header = kind != nullptr && kind->value().is_string() &&
                 view(kind->value().get_string()) == kRunnerLogHeaderKind;
  if (timestamp != nullptr && is_unsigned_integer(timestamp->value())) {
    shape.time = unsigned_integer_value(timestamp->value());
    if (inner != nullptr && inner->value().is_object()) shape.inner = &inner->value();
  }
  return shape;
}

}  // namespace

std::optional<NormalizedValue> normalize_value(json::value& root, const Clock& clock) {
  // Only the outermost value is examined for the header kind and the envelope.
  json::value* event = &root;
  std::optional<std::uint64_t> envelope_time;
  if (json::object* object = root.if_object()) {
    const EnvelopeShape shape = envelope_shape(*object);
    if (shape.header) return std::nullopt;
    envelope_time = shape.time;
    if (shape.inner != nullptr) {
      // An inner event that would itself read as a header or an envelope is no event: stored as
      // it stands, the load would take it for one of those and find another event (another run,
      // a forged observed address) than the one shown live.
      const EnvelopeShape nested = envelope_shape(shape.inner->get_object());
      if (nested.header || nested.inner != nullptr) return std::nullopt;
      event = shape.inner;
    }
  }
  json::object* event_object = event->if_object();
  json::value* own_ts =
      event_object == nullptr ? nullptr : event_object->if_contains(key(kTimeMember));
  std::uint64_t ts;
  if (own_ts != nullptr && is_unsigned_integer(*own_ts)) {
    ts = unsigned_integer_value(*own_ts);
  } else if (envelope_time) {
    ts = *envelope_time;
  } else {
    ts = clock();
  }
  // An existing "ts" of any type keeps its position; a new one goes last.
  if (own_ts != nullptr) {
    *own_ts = ts;
  } else if (event_object != nullptr) {
    event_object->emplace(key(kTimeMember), ts);
  }
  return NormalizedValue{event, ts};
}

std::string_view event_run_id(const json::value& json) {
  if (const json::value* payload = member(json, kPayloadMember); payload != nullptr) {
    if (const json::string* id = string_member(*payload, kRunIdMember)) return view(*id);
  }
  if (const json::string* id = string_member(json, kRunIdMember)) return view(*id);
  return kUnknownRunId;
}

std::string_view event_type(const json::value& json) {
  const json::string* type = string_member(json, kTypeMember);
  return type == nullptr ? std::string_view() : view(*type);
}

std::optional<RunEvent> normalize_line(std::string_view line, const Clock& clock) {
  const std::string_view trimmed = trim_white_space(line);
  if (trimmed.empty()) return std::nullopt;
  std::optional<json::value> root = parse_json_text(trimmed);
  if (!root) return std::nullopt;
  const std::optional<NormalizedValue> normalized = normalize_value(*root, clock);
  if (!normalized) return std::nullopt;
  RunEvent event;
  event.run_id = event_run_id(*normalized->json);
  event.type = event_type(*normalized->json);
  event.ts = normalized->ts;
  // Moving out of the root leaves the discarded envelope behind.
  event.json = std::move(*normalized->json);
  return event;
}

}  // namespace torvesk
