#include "base/net_address.h"

#include <array>
#include <cstdint>
#include <vector>

namespace torvesk {
namespace {

using V4Bytes = boost::asio::ip::address_v4::bytes_type;
using V6Bytes = boost::asio::ip::address_v6::bytes_type;

constexpr std::size_t kIpv6Groups = 8;
// The longest group is four hexadecimal digits; more would overflow 16 bits.
constexpr std::size_t kMaxHexDigitsPerGroup = 4;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One number of a dotted quad: 1 to 3 digits, no leading zero unless it is "0", at most 255.
std::optional<std::uint8_t> parse_dotted_number(std::string_view part) {
  if (part.empty() || part.size() > 3) return std::nullopt;
  if (part.size() > 1 && part[0] == '0') return std::nullopt;
  unsigned value = 0;
  for (const char c : part) {
    if (!is_digit(c)) return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 255) return std::nullopt;
  return static_cast<std::uint8_t>(value);
}

std::optional<V4Bytes> parse_dotted_quad(std::string_view text) {
  V4Bytes bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::size_t dot = text.find('.');
    const bool last = i + 1 == bytes.size();
    // The last number runs to the end; any further dot leaves a non-digit in it.
    const std::string_view part = last ? text : text.substr(0, dot);
    if (!last && dot == std::string_view::npos) return std::nullopt;
    const auto number = parse_dotted_number(part);
    if (!number) return std::nullopt;
    bytes[i] = *number;
    if (!last) text.remove_prefix(dot + 1);
  }
  return bytes;
}

std::optional<std::uint16_t> parse_hex_group(std::string_view group) {
  if (group.empty() || group.size() > kMaxHexDigitsPerGroup) return std::nullopt;
  unsigned value = 0;
  for (const char c : group) {
    const int digit = hex_value(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return static_cast<std::uint16_t>(value);
}

// Reads the groups of one side of a "::" (or of a whole address without one) into `groups`.
// An empty side has no groups. A dotted IPv4 tail is accepted only where `tail_allowed`, and only
// as the last piece, where it stands for two groups.
bool parse_group_list(std::string_view text, bool tail_allowed,
                      std::vector<std::uint16_t>& groups) {
  if (text.empty()) return true;
  while (true) {
    const std::size_t colon = text.find(':');
    const std::string_view piece = text.substr(0, colon);
    if (colon == std::string_view::npos && tail_allowed &&
        piece.find('.') != std::string_view::npos) {
      const auto quad = parse_dotted_quad(piece);
      if (!quad) return false;
      groups.push_back(static_cast<std::uint16_t>(((*quad)[0] << 8) | (*quad)[1]));
      groups.push_back(static_cast<std::uint16_t>(((*quad)[2] << 8) | (*quad)[3]));
      return true;
    }
    const auto group = parse_hex_group(piece);
    if (!group) return false;
    groups.push_back(*group);
    if (groups.size() > kIpv6Groups) return false;
    if (colon == std::string_view::npos) return true;
    text.remove_prefix(colon + 1);
  }
}

std::optional<V6Bytes> parse_ipv6(std::string_view text) {
  std::vector<std::uint16_t> head;
  std::vector<std::uint16_t> tail;
  const std::size_t gap = text.find("::");
  if (gap == std::string_view::npos) {
    if (!parse_group_list(text, true, head) || head.size() != kIpv6Groups) return std::nullopt;
  } else {
    const std::string_view after = text.substr(gap + 2);
    // A second "::" or a ":::" leaves an empty piece on the right, which the group reader refuses.
    if (!parse_group_list(text.substr(0, gap), false, head)) return std::nullopt;
    if (!parse_group_list(after, true, tail)) return std::nullopt;
    // "::" stands for at least one zero group.
    if (head.size() + tail.size() >= kIpv6Groups) return std::nullopt;
  }
  V6Bytes bytes{};
  std::size_t index = 0;
  for (const std::uint16_t group : head) {
    bytes[index++] = static_cast<unsigned char>(group >> 8);
    bytes[index++] = static_cast<unsigned char>(group & 0xFF);
  }
  index = bytes.size() - 2 * tail.size();
  for (const std::uint16_t group : tail) {
    bytes[index++] = static_cast<unsigned char>(group >> 8);
    bytes[index++] = static_cast<unsigned char>(group & 0xFF);
  }
  return bytes;
}

std::string dotted_text(const V4Bytes& bytes) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) text += '.';
    text += std::to_string(bytes[i]);
  }
  return text;
}

bool is_ipv4_mapped(const V6Bytes& bytes) {
  for (std::size_t i = 0; i < 10; ++i) {
    if (bytes[i] != 0) return false;
  }
  return bytes[10] == 0xFF && bytes[11] == 0xFF;
}

std::string ipv6_text(const V6Bytes& bytes) {
  if (is_ipv4_mapped(bytes)) {
    return "::ffff:" + dotted_text({bytes[12], bytes[13], bytes[14], bytes[15]});
  }
  std::array<unsigned, kIpv6Groups> groups{};
  for (std::size_t i = 0; i < kIpv6Groups; ++i) {
    groups[i] = (static_cast<unsigned>(bytes[2 * i]) << 8) | bytes[2 * i + 1];
  }
  // The first longest run of zero groups, if it is at least two long, becomes "::".
  std::size_t best_start = kIpv6Groups;
  std::size_t best_length = 1;
  for (std::size_t i = 0; i < kIpv6Groups;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < kIpv6Groups && groups[end] == 0) ++end;
    if (end - i > best_length) {
      best_start = i;
      best_length = end - i;
    }
    i = end;
  }

  static constexpr char kHexDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < kIpv6Groups; ++i) {
    if (i == best_start) {
      text += "::";
      i += best_length - 1;
      continue;
    }
    if (!text.empty() && text.back() != ':') text += ':';
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const unsigned digit = (groups[i] >> shift) & 0xF;
      if (digit != 0 || started || shift == 0) {
        text += kHexDigits[digit];
        started = true;
      }
    }
  }
  return text;
}

}  // namespace

std::optional<IpAddress> parse_ip_address(std::string_view text) {
  if (text.find(':') != std::string_view::npos) {
    const auto bytes = parse_ipv6(text);
    if (!bytes) return std::nullopt;
    return IpAddress(boost::asio::ip::address_v6(*bytes));
  }
  const auto bytes = parse_dotted_quad(text);
  if (!bytes) return std::nullopt;
  return IpAddress(boost::asio::ip::address_v4(*bytes));
}

std::string address_text(const IpAddress& address) {
  if (address.is_v4()) return dotted_text(address.to_v4().to_bytes());
  return ipv6_text(address.to_v6().to_bytes());
}

bool is_loopback(const IpAddress& address) {
  if (address.is_v4()) return address.to_v4().to_bytes()[0] == 127;
  const V6Bytes bytes = address.to_v6().to_bytes();
  for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
    if (bytes[i] != 0) return false;
  }
  return bytes.back() == 1;
}

std::optional<AddressRange> parse_address_range(std::string_view text) {
  const std::size_t slash = text.find('/');
  const std::optional<IpAddress> address = parse_ip_address(text.substr(0, slash));
  if (!address) return std::nullopt;
  const unsigned length = address->is_v4() ? 32 : 128;
  if (slash == std::string_view::npos) return AddressRange{*address, length};
  const std::string_view bits = text.substr(slash + 1);
  if (bits.empty() || bits.size() > 3 || (bits.size() > 1 && bits[0] == '0')) return std::nullopt;
  unsigned prefix = 0;
  for (const char c : bits) {
    if (!is_digit(c)) return std::nullopt;
    prefix = prefix * 10 + static_cast<unsigned>(c - '0');
  }
  if (prefix > length) return std::nullopt;
  return AddressRange{*address, prefix};
}

std::optional<std::vector<AddressRange>> parse_address_ranges(std::string_view text) {
  std::vector<AddressRange> ranges;
  while (!text.empty()) {
    const std::size_t end = text.find_first_of(", \t");
    const std::string_view entry = text.substr(0, end);
    if (!entry.empty()) {
      const std::optional<AddressRange> range = parse_address_range(entry);
      if (!range) return std::nullopt;
      ranges.push_back(*range);
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return ranges;
}

namespace {

// The address as compared with ranges: an IPv4-mapped IPv6 address as its IPv4 address.
IpAddress comparable(const IpAddress& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
  }
  return address;
}

template <class Bytes>
bool same_prefix(const Bytes& a, const Bytes& b, unsigned bits) {
  for (std::size_t i = 0; bits > 0; ++i, bits = bits >= 8 ? bits - 8 : 0) {
    const unsigned mask = bits >= 8 ? 0xFF : (0xFF00u >> bits) & 0xFF;
    if ((a[i] & mask) != (b[i] & mask)) return false;
  }
  return true;
}

}  // namespace

bool range_contains(const AddressRange& range, const IpAddress& address) {
  const IpAddress network = comparable(range.network);
  const IpAddress candidate = comparable(address);
  // A mapped range keeps its prefix over the 128 bits; as IPv4 it covers the last 32 of them.
  unsigned bits = range.prefix_bits;
  if (network.is_v4() && range.network.is_v6()) bits = bits >= 96 ? bits - 96 : 0;
  if (network.is_v4() != candidate.is_v4()) return false;
  if (network.is_v4()) {
    return same_prefix(network.to_v4().to_bytes(), candidate.to_v4().to_bytes(), bits);
  }
  return same_prefix(network.to_v6().to_bytes(), candidate.to_v6().to_bytes(), bits);
}

bool any_range_contains(const std::vector<AddressRange>& ranges, const IpAddress& address) {
  for (const AddressRange& range : ranges) {
    if (range_contains(range, address)) return true;
  }
  return false;
}

}  // namespace torvesk
