// Placeholder until this module is implemented.
#include "gate/ingest.h"
namespace torvesk {
Response handle_ingest(Request&, ServerState&, const std::optional<IpAddress>&) { return text_response(404, "not found"); }
}  // namespace torvesk
