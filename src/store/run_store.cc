// Placeholder until this module is implemented.
#include "store/run_store.h"
namespace torvesk {
void ingest_batch(RunStore&, std::string_view, const std::string&, const std::optional<std::string>&) {}
void evict_runs(RunMap&, std::uint64_t) {}
}  // namespace torvesk
