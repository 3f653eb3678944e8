// POST /ingest: the HTTP side of a runner's push.
#pragma once

#include <optional>

#include "gate/server_state.h"
#include "server/request.h"
#include "server/response.h"

namespace torvesk {

Response handle_ingest(Request& request, ServerState& state,
                       const std::optional<IpAddress>& client);

}  // namespace torvesk
