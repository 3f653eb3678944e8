// Placeholder until this module is implemented.
#include "gate/access.h"
namespace torvesk {
std::optional<Response> read_gate(const Request&, ServerState&, const std::optional<IpAddress>&) { return std::nullopt; }
std::optional<std::string> extract_credential(const std::vector<Header>&) { return std::nullopt; }
bool tokens_match(std::string_view, std::string_view) { return false; }
bool is_local_host(const std::vector<Header>&) { return true; }
}  // namespace torvesk
