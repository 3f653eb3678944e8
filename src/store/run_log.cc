// Placeholder until this module is implemented.
#include "store/run_log.h"
namespace torvesk {
std::string run_file_name(std::string_view) { return "unknown.ndjson"; }
void append_run_log(const std::string&, std::string_view, std::string_view) {}
void load_runs(const std::string&, RunStore&) {}
}  // namespace torvesk
