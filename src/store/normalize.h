// One line of newline-delimited JSON to one event, or nothing.
#pragma once

#include <optional>
#include <string_view>

#include "server/clock.h"
#include "store/run.h"

namespace torvesk {

// `clock` gives the arrival time of a line without a usable time; it is read at most once.
std::optional<RunEvent> normalize_line(std::string_view line, const Clock& clock = now_ms);

}  // namespace torvesk
