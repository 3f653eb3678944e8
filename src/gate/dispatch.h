// The one entry point of every request: read gate for GET, then routing by method and path.
#pragma once

#include <string>
#include <string_view>

#include "gate/server_state.h"
#include "server/request.h"
#include "server/response.h"

namespace torvesk {

Response handle_request(Request& request, ServerState& state);

// Percent-decodes a run id path segment; the raw segment when the decoded bytes are not UTF-8.
std::string decode_run_id(std::string_view segment);

}  // namespace torvesk
