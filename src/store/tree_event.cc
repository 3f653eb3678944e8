#include "store/tree_event.h"

#include <array>

#include "store/event_rules.h"
#include "store/json.h"

namespace torvesk {
namespace {

namespace json = boost::json;

// The top-level members read from an event.
constexpr std::array<std::string_view, 4> kEventMembers = {kPayloadMember, kRunIdMember,
                                                           kTypeMember, kObservedIpMember};

json::string_view key(std::string_view name) { return json::string_view(name.data(), name.size()); }

// The member's value if it is a string.
const json::string* string_of(const json::key_value_pair* member) {
  return member == nullptr ? nullptr : member->value().if_string();
}

std::string_view view(const json::string& s) { return std::string_view(s.data(), s.size()); }

void add_field(PreparedBatch& batch, PreparedEvent& event, RunField field,
               const json::key_value_pair* member) {
  if (const json::string* text = string_of(member)) {
    add_prepared_field(batch, event, field, view(*text));
  }
}

}  // namespace

void apply_observed_address_rule(json::value& event, const ObservedAddressRule& rule) {
  json::object* object = event.if_object();
  if (object == nullptr) return;
  static constexpr std::array<std::string_view, 2> kAddressMembers = {kObservedIpMember,
                                                                      kTypeMember};
  const auto [supplied, type] = find_members(*object, kAddressMembers);
  const json::string* type_text = string_of(type);
  const bool run_started = type_text != nullptr && view(*type_text) == kRunStartedType;
  // erase() moves the last member into the hole, which is the order the log keeps.
  if (rule.strip_supplied && supplied != nullptr) object->erase(supplied);
  if (rule.stamp_address && run_started) {
    object->insert_or_assign(key(kObservedIpMember), json::string_view(rule.stamp_address->data(),
                                                                       rule.stamp_address->size()));
  }
}

void add_prepared_event(PreparedBatch& batch, const json::value& json, std::uint64_t ts,
                        std::optional<std::string_view> given_run_id,
                        std::optional<std::string_view> given_type) {
  PreparedEvent event;
  event.ts = ts;
  event.text.offset = batch.texts.size();
  append_canonical_json(batch.texts, json);

  // The rules of normalisation, read in one pass over the event and one over its payload.
  std::string_view run_id = kUnknownRunId;
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
    add_field(batch, event, kObservedIpField, observed_ip);
  }
  if (given_run_id) run_id = *given_run_id;
  if (given_type) type = *given_type;
  add_written_event(batch, event, run_id, type);
}

}  // namespace torvesk
