#include "store/run.h"

#include "base/env.h"
#include "store/prepared_batch.h"
#include "store/tree_event.h"

namespace torvesk {

std::uint64_t max_events_per_run() { return env_u64("MONITOR_MAX_EVENTS", kDefaultMaxEvents); }

Run& find_or_add_run(RunMap& runs, std::string_view run_id) {
  auto found = runs.find(run_id);
  if (found == runs.end()) found = runs.emplace(std::string(run_id), Run{}).first;
  return found->second;
}

bool apply_prepared_event(Run& run, const PreparedBatch& batch, const PreparedEvent& event) {
  if (!run.fingerprints.insert(event.fingerprint)) return false;

  if (run.status.empty()) run.status = "running";
  if (event.status_effect == StatusEffect::failed) {
    run.status = "failed";
  } else if (event.status_effect == StatusEffect::completed) {
    run.status = "completed";
  }

  for (std::size_t i = 0; i < event.field_count; ++i) {
    const PreparedField& field = batch.fields[event.first_field + i];
    std::string& target = run.*kRunFields[field.field].member;
    if (target.empty()) target = batch.field_value(field);
  }

  run.last_seen_ms = event.ts;

  // Appending and then trimming to the cap, without copying a text the cap drops at once.
  const std::uint64_t max_events = max_events_per_run();
  if (max_events == 0) {
    while (!run.events.empty()) run.events.pop_front();
    return true;
  }
  while (run.events.size() >= max_events) run.events.pop_front();
  run.events.push_back(batch.text_of(event));
  return true;
}

bool apply_event(RunMap& runs, RunEvent event) {
  Run& run = find_or_add_run(runs, event.run_id);
  PreparedBatch batch;
  add_prepared_event(batch, event.json, event.ts, event.run_id, event.type);
  return apply_prepared_event(run, batch, batch.events.front());
}

}  // namespace torvesk
