// One line through the strict parse and the normalisation, checked against the properties the
// log files rely on:
// - every accepted JSON text has a canonical text that parses again to the same canonical text;
// - the canonical text of a normalised event normalises again to the same event (same run id,
//   type, time and text), except for the shapes that are opened up again: a header object, and
//   an object with an unsigned "timestamp" and an object "event";
// - the batch pipeline (one parser and arena reused from line to line) makes exactly the event
//   normalize_line makes, and the ingest rule for "_observed_ip" leaves only the stamped address;
// - the direct writer makes the batch the tree makes, byte for byte.
#include <boost/json/value.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/text.h"
#include "fuzz_check.h"
#include "store/batch_preparer.h"
#include "store/json.h"
#include "store/normalize.h"
#include "store/siphash.h"

namespace torvesk::fuzz {
namespace {

namespace json = boost::json;

constexpr std::uint64_t kArrival = 1700000000123;
constexpr std::uint64_t kReloadTime = 42;
constexpr std::string_view kClientAddress = "127.0.0.1";

// Canonical text -> parse -> canonical text is the identity.
void check_canonical_round_trip(const json::value& value, const std::string& canonical) {
  FUZZ_CHECK(is_valid_utf8(canonical));
  const std::optional<json::value> again = parse_json_text(canonical);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(canonical_json(*again) == canonical);
  // Kinds survive too, apart from the integer kinds, which the text does not tell apart.
  const auto is_integer = [](const json::value& v) { return v.is_int64() || v.is_uint64(); };
  FUZZ_CHECK(again->kind() == value.kind() || (is_integer(value) && is_integer(*again)));
}

// The shapes normalisation opens up when it sees them again.
bool is_opened_again(const json::value& value) {
  const json::object* object = value.if_object();
  if (object == nullptr) return false;
  if (const json::value* kind = object->if_contains("kind")) {
    if (const json::string* text = kind->if_string();
        text != nullptr && *text == "dravelune-log-header") {
      return true;
    }
  }
  const json::value* timestamp = object->if_contains("timestamp");
  const json::value* event = object->if_contains("event");
  return timestamp != nullptr && is_unsigned_integer(*timestamp) && event != nullptr &&
         event->is_object();
}

void check_batch_pipeline(std::string_view line, const std::optional<RunEvent>& event,
                          const std::string& canonical) {
  BatchPreparer preparer([] { return kArrival; }, ObservedAddressRule{});
  PreparedBatch batch;
  const bool added = preparer.add_line(line, batch);
  FUZZ_CHECK(added == event.has_value());
  if (!added) {
    FUZZ_CHECK(batch.events.empty() && batch.texts.empty());
    return;
  }
  FUZZ_CHECK(batch.events.size() == 1);
  const PreparedEvent& prepared = batch.events.front();
  FUZZ_CHECK(batch.text_of(prepared) == canonical);
  FUZZ_CHECK(batch.texts.view() == canonical + "\n");
  FUZZ_CHECK(batch.run_id_of(prepared) == event->run_id);
  FUZZ_CHECK(prepared.ts == event->ts);
  FUZZ_CHECK(prepared.fingerprint == event_fingerprint(canonical));
  const StatusEffect expected_effect = event->type == "RunFailed"      ? StatusEffect::failed
                                       : event->type == "RunCompleted" ? StatusEffect::completed
                                                                       : StatusEffect::none;
  FUZZ_CHECK(prepared.status_effect == expected_effect);
  for (std::size_t i = 0; i < prepared.field_count; ++i) {
    FUZZ_CHECK(!batch.field_value(batch.fields[prepared.first_field + i]).empty());
  }

  // The ingest rule: a supplied "_observed_ip" never stays, a "RunStarted" event gets the
  // client's address.
  BatchPreparer ingest_preparer([] { return kArrival; }, ObservedAddressRule{true, kClientAddress});
  PreparedBatch ingest_batch;
  FUZZ_CHECK(ingest_preparer.add_line(line, ingest_batch));
  const std::optional<json::value> stored =
      parse_json_text(ingest_batch.text_of(ingest_batch.events.front()));
  FUZZ_CHECK(stored.has_value());
  if (const json::object* object = stored->if_object()) {
    const json::value* address = object->if_contains("_observed_ip");
    if (event->type == "RunStarted") {
      FUZZ_CHECK(address != nullptr && address->is_string() &&
                 address->get_string() ==
                     json::string_view(kClientAddress.data(), kClientAddress.size()));
    } else {
      FUZZ_CHECK(address == nullptr);
    }
    // Everything else is kept.
    const json::object& original = event->json.get_object();
    std::size_t kept = 0;
    for (const json::key_value_pair& member : original) {
      if (member.key() == "_observed_ip") continue;
      const json::value* found = object->if_contains(member.key());
      FUZZ_CHECK(found != nullptr && canonical_json(*found) == canonical_json(member.value()));
      ++kept;
    }
    FUZZ_CHECK(object->size() == kept + (address != nullptr ? 1 : 0));
  } else {
    FUZZ_CHECK(ingest_batch.text_of(ingest_batch.events.front()) == canonical);
  }
}

// The direct writer, which add_line tries first, against the tree alone: the same batch, to the
// byte, under both rules.
void check_direct_writer(std::string_view line) {
  const ObservedAddressRule rules[] = {ObservedAddressRule{},
                                       ObservedAddressRule{true, kClientAddress}};
  for (const ObservedAddressRule& rule : rules) {
    PreparedBatch direct;
    const bool added = BatchPreparer([] { return kArrival; }, rule).add_line(line, direct);
    PreparedBatch tree;
    FUZZ_CHECK(added ==
               BatchPreparer([] { return kArrival; }, rule).add_line_through_tree(line, tree));
    FUZZ_CHECK(direct.texts.view() == tree.texts.view());
    FUZZ_CHECK(direct.strings == tree.strings);
    FUZZ_CHECK(direct.events.size() == tree.events.size());
    FUZZ_CHECK(direct.fields.size() == tree.fields.size());
    for (std::size_t i = 0; i < direct.events.size(); ++i) {
      const PreparedEvent& a = direct.events[i];
      const PreparedEvent& b = tree.events[i];
      FUZZ_CHECK(a.ts == b.ts && a.fingerprint == b.fingerprint && a.text.size == b.text.size &&
                 a.run_id.offset == b.run_id.offset && a.run_id.size == b.run_id.size &&
                 a.field_count == b.field_count && a.status_effect == b.status_effect);
    }
    for (std::size_t i = 0; i < direct.fields.size(); ++i) {
      FUZZ_CHECK(direct.fields[i].field == tree.fields[i].field &&
                 direct.field_value(direct.fields[i]) == tree.field_value(tree.fields[i]));
    }
  }
}

void check_line(std::string_view line) {
  if (const std::optional<json::value> value = parse_json_text(line)) {
    check_canonical_round_trip(*value, canonical_json(*value));
  }

  int clock_reads = 0;
  const std::optional<RunEvent> event = normalize_line(line, [&] {
    ++clock_reads;
    return kArrival;
  });
  FUZZ_CHECK(clock_reads <= 1);
  std::string canonical;
  if (event) {
    canonical = canonical_json(event->json);
    check_canonical_round_trip(event->json, canonical);
    FUZZ_CHECK(is_valid_utf8(event->run_id) && is_valid_utf8(event->type));
    if (const json::object* object = event->json.if_object()) {
      const json::value* ts = object->if_contains("ts");
      FUZZ_CHECK(ts != nullptr && is_unsigned_integer(*ts) &&
                 unsigned_integer_value(*ts) == event->ts);
    } else {
      FUZZ_CHECK(event->ts == kArrival && event->run_id == "unknown" && event->type.empty());
    }

    // What the log file holds comes back as the same event on the next start.
    if (!is_opened_again(event->json)) {
      const std::optional<RunEvent> reloaded =
          normalize_line(canonical, [] { return kReloadTime; });
      FUZZ_CHECK(reloaded.has_value());
      FUZZ_CHECK(canonical_json(reloaded->json) == canonical);
      FUZZ_CHECK(reloaded->run_id == event->run_id);
      FUZZ_CHECK(reloaded->type == event->type);
      FUZZ_CHECK(reloaded->ts == (event->json.is_object() ? event->ts : kReloadTime));
    }
  }
  check_batch_pipeline(line, event, canonical);
  check_direct_writer(line);
}

}  // namespace
}  // namespace torvesk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  torvesk::fuzz::check_line(torvesk::fuzz::input_text(data, size));
  return 0;
}
