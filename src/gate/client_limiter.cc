// Placeholder until this module is implemented.
#include "gate/client_limiter.h"
namespace torvesk {
struct ClientLimiter::Impl {};
ClientLimiter::ClientLimiter(std::uint64_t, std::uint32_t) : impl_(std::make_unique<Impl>()) {}
ClientLimiter::~ClientLimiter() = default;
bool ClientLimiter::auth_locked_out(const IpAddress&, std::uint64_t) { return false; }
void ClientLimiter::record_auth_failure(const IpAddress&, std::uint64_t) {}
bool ClientLimiter::charge_ingest_bytes(const IpAddress&, std::uint64_t, std::uint64_t) { return true; }
std::optional<ClientWindow> ClientLimiter::window_of(const IpAddress&) { return std::nullopt; }
std::size_t ClientLimiter::record_count() { return 0; }
Response too_many_requests() { return text_response(429, "too many requests, retry later"); }
}  // namespace torvesk
