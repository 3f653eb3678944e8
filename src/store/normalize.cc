#include "store/normalize.h"

#include "server/text.h"
#include "store/json.h"

namespace torvesk {
namespace {

namespace json = boost::json;

// The member `key` of `value` if `value` is an object that has it.
const json::value* member(const json::value& value, std::string_view key) {
  const json::object* object = value.if_object();
  if (object == nullptr) return nullptr;
  return object->if_contains(json::string_view(key.data(), key.size()));
}

json::value* member(json::value& value, std::string_view key) {
  json::object* object = value.if_object();
  if (object == nullptr) return nullptr;
  return object->if_contains(json::string_view(key.data(), key.size()));
}

const json::string* string_member(const json::value& value, std::string_view key) {
  const json::value* found = member(value, key);
  return found == nullptr ? nullptr : found->if_string();
}

std::string_view view(const json::string& s) { return std::string_view(s.data(), s.size()); }

}  // namespace

std::optional<NormalizedValue> normalize_value(json::value& root, const Clock& clock) {
  if (const json::string* kind = string_member(root, "kind");
      kind != nullptr && view(*kind) == kRunnerLogHeaderKind) {
    return std::nullopt;
  }
  // Only the outermost value is examined for the envelope.
  std::optional<std::uint64_t> envelope_time;
  json::value* event = &root;
  if (const json::value* timestamp = member(root, "timestamp");
      timestamp != nullptr && is_unsigned_integer(*timestamp)) {
    envelope_time = unsigned_integer_value(*timestamp);
    if (json::value* inner = member(root, "event"); inner != nullptr && inner->is_object()) {
      event = inner;
    }
  }
  std::uint64_t ts;
  if (const json::value* own = member(*event, "ts"); own != nullptr && is_unsigned_integer(*own)) {
    ts = unsigned_integer_value(*own);
  } else if (envelope_time) {
    ts = *envelope_time;
  } else {
    ts = clock();
  }
  // An existing "ts" of any type keeps its position; a new one goes last.
  if (json::object* object = event->if_object()) (*object)["ts"] = ts;
  return NormalizedValue{event, ts};
}

std::string_view event_run_id(const json::value& json) {
  if (const json::value* payload = member(json, "payload"); payload != nullptr) {
    if (const json::string* id = string_member(*payload, "run_id")) return view(*id);
  }
  if (const json::string* id = string_member(json, "run_id")) return view(*id);
  return "unknown";
}

std::string_view event_type(const json::value& json) {
  const json::string* type = string_member(json, "type");
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
