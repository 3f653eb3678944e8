// IP addresses as the monitor reads and writes them in configuration, messages and events.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace torvesk {

using IpAddress = boost::asio::ip::address;

// Reads an IPv4 address in strict dotted-decimal form (four numbers 0..255, no leading zeros on
// numbers of two or three digits) or an IPv6 address in the text forms of RFC 4291 section 2.2
// ("::" compression, a dotted IPv4 tail). No brackets, zone index, port or surrounding space.
std::optional<IpAddress> parse_ip_address(std::string_view text);

// Dotted decimal for IPv4; for IPv6 the RFC 5952 form (lower-case hexadecimal, the first longest
// run of two or more zero groups as "::"), except that an IPv4-mapped address is written "::ffff:"
// followed by the dotted IPv4 address.
std::string address_text(const IpAddress& address);

// 127.0.0.0/8 or exactly ::1; an IPv4-mapped IPv6 address is never loopback.
bool is_loopback(const IpAddress& address);

// An address with a prefix length: one address (the full length) or a CIDR range.
struct AddressRange {
  IpAddress network;
  unsigned prefix_bits = 0;  // at most 32 for IPv4, 128 for IPv6
};

// "ADDRESS" or "ADDRESS/BITS" (bits in decimal without leading zeros, within the family's length).
// Bits beyond the prefix may be set: 10.1.2.3/8 is 10.0.0.0/8.
std::optional<AddressRange> parse_address_range(std::string_view text);

// Ranges separated by commas and blanks (spaces, tabs); nullopt when one of them is not valid.
std::optional<std::vector<AddressRange>> parse_address_ranges(std::string_view text);

// An IPv4-mapped IPv6 address counts as its IPv4 address, so that a listener on "::" sees its
// IPv4 clients in IPv4 ranges.
bool range_contains(const AddressRange& range, const IpAddress& address);
bool any_range_contains(const std::vector<AddressRange>& ranges, const IpAddress& address);

}  // namespace torvesk
