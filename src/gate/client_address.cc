#include "gate/client_address.h"

#include <string>
#include <string_view>

#include "base/text.h"

namespace torvesk {
std::optional<IpAddress> client_address(const std::optional<IpAddress>& peer,
                                        const std::vector<Header>& headers,
                                        const std::vector<AddressRange>& trusted_proxies) {
  if (!peer || trusted_proxies.empty() || !any_range_contains(trusted_proxies, *peer)) {
    return peer;
  }
  // Repeated headers form one list, in the order they came.
  std::string forwarded;
  bool present = false;
  for (const Header& header : headers) {
    if (!equals_ignoring_ascii_case(header.name, "x-forwarded-for")) continue;
    if (present) forwarded += ',';
    forwarded += header.value;
    present = true;
  }
  if (!present) return peer;

  std::string_view rest = forwarded;
  std::optional<IpAddress> hop;
  for (;;) {
    const std::size_t comma = rest.rfind(',');
    const std::string_view entry =
        trim_white_space(comma == std::string_view::npos ? rest : rest.substr(comma + 1));
    hop = parse_ip_address(entry);
    if (!hop) return peer;
    if (!any_range_contains(trusted_proxies, *hop)) return hop;
    if (comma == std::string_view::npos) return hop;
    rest = rest.substr(0, comma);
  }
}

}  // namespace torvesk
