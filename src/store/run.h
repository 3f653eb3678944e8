// Applying events to runs: the one way an event enters a run.
#pragma once

#include <boost/json/value.hpp>
#include <cstdint>
#include <string>
#include <string_view>

#include "store/run_record.h"

namespace torvesk {

struct PreparedBatch;
struct PreparedEvent;

// Events held per run when MONITOR_MAX_EVENTS is unset or unreadable; the oldest are dropped.
inline constexpr std::uint64_t kDefaultMaxEvents = 50000;

struct RunEvent {
  std::string run_id;  // "unknown" when the line names none; may be empty
  std::string type;    // empty when the line has none
  std::uint64_t ts = 0;
  boost::json::value json;
};

// The caller holds the store's lock. True when accepted and appended, false for a duplicate
// (nothing changed then). Reads MONITOR_MAX_EVENTS on every accepted event.
bool apply_event(RunMap& runs, RunEvent event);

// Applies one prepared event to `run`, the run its run id names: apply_event from the fingerprint
// on, reading MONITOR_MAX_EVENTS when the event is accepted. The caller holds the store's lock.
bool apply_prepared_event(Run& run, const PreparedBatch& batch, const PreparedEvent& event);

// The run of that id, created with its initial values if there is none.
Run& find_or_add_run(RunMap& runs, std::string_view run_id);

// The cap on held events per run: MONITOR_MAX_EVENTS, read now.
std::uint64_t max_events_per_run();

}  // namespace torvesk
