// The names that normalising a line goes by: the members it reads or adds and the values that
// mean something to it. Every reader and writer of events takes them from here, so that the
// parsed-tree way, the direct way and the run state cannot drift apart.
#pragma once

#include <optional>
#include <string_view>

namespace torvesk {

// The outermost value of a line: a header line, or an envelope around the event.
inline constexpr std::string_view kKindMember = "kind";
// The "kind" of the header line that starts the runner's own log files; such a line is skipped.
inline constexpr std::string_view kRunnerLogHeaderKind = "dravelune-log-header";
inline constexpr std::string_view kEnvelopeTimeMember = "timestamp";
inline constexpr std::string_view kEnvelopeEventMember = "event";

// The event itself.
inline constexpr std::string_view kTimeMember = "ts";
inline constexpr std::string_view kTypeMember = "type";
inline constexpr std::string_view kPayloadMember = "payload";
// Read from the payload first, then from the event.
inline constexpr std::string_view kRunIdMember = "run_id";
inline constexpr std::string_view kObservedIpMember = "_observed_ip";
// The run of an event that names none.
inline constexpr std::string_view kUnknownRunId = "unknown";

// The types that mean something to a run.
inline constexpr std::string_view kRunStartedType = "RunStarted";
inline constexpr std::string_view kRunCompletedType = "RunCompleted";
inline constexpr std::string_view kRunFailedType = "RunFailed";

// What happens to an "_observed_ip" member. Pushed lines never keep their own, and "RunStarted"
// events get the address the monitor saw; lines loaded from the log files keep what they hold.
struct ObservedAddressRule {
  bool strip_supplied = false;
  std::optional<std::string_view> stamp_address;  // stamped into "RunStarted" events
};

}  // namespace torvesk
