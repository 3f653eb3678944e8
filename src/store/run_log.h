// One append-only newline-delimited JSON file per run in the data folder.
#pragma once

#include <string>
#include <string_view>

#include "store/run_store.h"

namespace torvesk {

// ASCII letters, digits and "-" kept, every other character (scalar value) becomes "_";
// "unknown" for the empty id; then ".ndjson".
std::string run_file_name(std::string_view run_id);

// Appends whole lines to the run's file, creating it; failures are ignored.
void append_run_log(const std::string& data_dir, std::string_view run_id, std::string_view text);

// Reads every "*.ndjson" file of the data folder into the store, holding its lock.
void load_runs(const std::string& data_dir, RunStore& store);

}  // namespace torvesk
