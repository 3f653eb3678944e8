// The client a request stands for, behind trusted reverse proxies or not.
#pragma once

#include <optional>
#include <vector>

#include "base/net_address.h"
#include "server/request.h"

namespace torvesk {

// The peer, unless the peer is in `trusted_proxies`: then the right-most address of
// X-Forwarded-For (all such headers, in order) that is not itself a trusted proxy, or the left-most
// when every one is. A header that is missing, or that holds anything but plain IP addresses
// separated by commas, leaves the peer. Limits, lockout and the observed address all use it.
std::optional<IpAddress> client_address(const std::optional<IpAddress>& peer,
                                        const std::vector<Header>& headers,
                                        const std::vector<AddressRange>& trusted_proxies);

}  // namespace torvesk
