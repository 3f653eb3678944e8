// One line of newline-delimited JSON to one event, or nothing.
#pragma once

#include <boost/json/value.hpp>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/clock.h"
#include "store/event_rules.h"
#include "store/run.h"

namespace torvesk {

// `clock` gives the arrival time of a line without a usable time; it is read at most once.
std::optional<RunEvent> normalize_line(std::string_view line, const Clock& clock = now_ms);

// The steps of normalize_line after the parse, for callers that parse lines themselves (the
// batch pipeline parses into a per-line arena). Works on `root` in place and returns the event
// value inside it (the root, or the inner "event" of a wrapped line) with its time; nothing for
// a header line.
struct NormalizedValue {
  boost::json::value* json;
  std::uint64_t ts;
};
std::optional<NormalizedValue> normalize_value(boost::json::value& root, const Clock& clock);

// The run id of a normalised event value: payload.run_id, else run_id, else kUnknownRunId. The view
// points into `json` (or is static) and is valid until `json` is changed.
std::string_view event_run_id(const boost::json::value& json);
// The event's "type" string, or empty.
std::string_view event_type(const boost::json::value& json);

}  // namespace torvesk
