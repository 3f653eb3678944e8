// Placeholder until this module is implemented.
#include "store/normalize.h"
namespace torvesk {
std::optional<RunEvent> normalize_line(std::string_view, const Clock&) { return std::nullopt; }
}  // namespace torvesk
