// Placeholder until this module is implemented.
#include "store/run.h"
namespace torvesk {
bool apply_event(RunMap&, RunEvent) { return false; }
}  // namespace torvesk
