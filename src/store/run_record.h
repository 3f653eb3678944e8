// The run record: what the store keeps of each run, and the table of the texts its events fill.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "store/event_list.h"
#include "store/fingerprint_set.h"

namespace torvesk {

struct Run {
  // Canonical texts of the held events, oldest first. Readers use size() and iterate; each
  // element converts to std::string_view.
  EventList events;
  std::string status;  // "running", "completed" or "failed"; set by the first accepted event
  std::string plan_name;
  std::string studio_label;
  std::string studio_id;
  std::string studio_version;
  std::string plan_version;
  std::string plan_hash;
  std::string runner_host;
  std::string log_level;
  std::string artifact_id;
  std::string observed_ip;
  FingerprintSet fingerprints;  // every event ever accepted, also those the cap dropped
  std::uint64_t last_seen_ms = 0;
};

// A text of a run that its events fill: the first event with a non-empty value for it sets it.
struct RunTextField {
  // Its key in the run's detail, and for all but observed_ip the payload member it is read from.
  std::string_view name;
  std::string Run::*member;
};

// Every such field, in the order of the run's detail, which lists "status" after the first. All
// but the last are read from the event's payload member of their name; the last, observed_ip,
// from the event's own "_observed_ip". A new field is a member of Run and a row here.
inline constexpr auto kRunFields = std::to_array<RunTextField>({
    {"plan_name", &Run::plan_name},
    {"studio_label", &Run::studio_label},
    {"studio_id", &Run::studio_id},
    {"studio_version", &Run::studio_version},
    {"plan_version", &Run::plan_version},
    {"plan_hash", &Run::plan_hash},
    {"runner_host", &Run::runner_host},
    {"log_level", &Run::log_level},
    {"artifact_id", &Run::artifact_id},
    {"observed_ip", &Run::observed_ip},
});

// A position in kRunFields.
using RunField = std::uint8_t;
static_assert(kRunFields.size() <= 255, "a RunField holds every position");
inline constexpr RunField kObservedIpField = kRunFields.size() - 1;
static_assert(kRunFields[kObservedIpField].member == &Run::observed_ip);
// The fields read from the payload: those before kObservedIpField.
inline constexpr std::size_t kPayloadFieldCount = kObservedIpField;

// Hashes std::string and std::string_view alike, so runs are found by a view without a copy.
struct RunIdHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view id) const { return std::hash<std::string_view>{}(id); }
};

// Run id (compared byte for byte, may be empty) to run.
using RunMap = std::unordered_map<std::string, Run, RunIdHash, std::equal_to<>>;

}  // namespace torvesk
