// The load at start-up: every run log file of the data folder read back into the store.
#pragma once

#include <string>
#include <string_view>

#include "base/clock.h"
#include "store/log_files.h"
#include "store/run_store.h"

namespace torvesk {

// Reads every "*.ndjson" file of the data folder into the store, holding its lock. Files that
// are not readable or not valid UTF-8 are skipped whole, except that a line cut inside its last
// character (an append that ended part-way) is dropped alone; no run cap is applied.
void load_runs(const std::string& data_dir, RunStore& store);
void load_runs(const std::string& data_dir, RunStore& store, const Clock& clock,
               LogFileSystem& files);

}  // namespace torvesk
