// Credentials, the read gate and the local-Host rule.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gate/server_state.h"
#include "server/request.h"
#include "server/response.h"

namespace torvesk {

inline constexpr std::string_view kReadChallenge =
    "Basic realm=\"Torvesk Monitor\", charset=\"UTF-8\"";

// nullopt: go on; otherwise the refusal to send (429, 401 or 403).
std::optional<Response> read_gate(const Request& request, ServerState& state,
                                  const std::optional<IpAddress>& client);

// Bearer, Basic (token as password) or, only without an Authorization header, x-torvesk-token.
std::optional<std::string> extract_credential(const std::vector<Header>& headers);

// Length check, then every byte compared with no early exit. `configured` is never empty.
bool tokens_match(std::string_view configured, std::string_view presented);

bool is_local_host(const std::vector<Header>& headers);

}  // namespace torvesk
