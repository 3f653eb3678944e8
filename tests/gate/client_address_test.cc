#include "gate/client_address.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace torvesk {
namespace {

TEST(ClientAddress, TrustedPeersNameTheirClientInXForwardedFor) {
  const std::vector<AddressRange> trusted = *parse_address_ranges("127.0.0.1, 10.0.0.0/8");
  struct Case {
    const char* name;
    std::string peer;
    std::vector<std::string> forwarded;  // one X-Forwarded-For header each
    std::string client;
  };
  const std::vector<Case> cases = {
      {"untrusted peer: header ignored", "192.0.2.7", {"198.51.100.1"}, "192.0.2.7"},
      {"trusted peer without header", "127.0.0.1", {}, "127.0.0.1"},
      {"one hop", "127.0.0.1", {"198.51.100.1"}, "198.51.100.1"},
      {"forged left part is skipped", "127.0.0.1", {"6.6.6.6, 198.51.100.1"}, "198.51.100.1"},
      {"trusted hops from the right are passed",
       "127.0.0.1",
       {"198.51.100.1, 10.1.1.1 ,10.2.2.2"},
       "198.51.100.1"},
      {"repeated headers form one list", "127.0.0.1", {"6.6.6.6", "198.51.100.1"}, "198.51.100.1"},
      {"every hop trusted: the left-most", "127.0.0.1", {"10.1.1.1, 10.2.2.2"}, "10.1.1.1"},
      {"IPv6 client", "127.0.0.1", {"2001:db8::1"}, "2001:db8::1"},
      {"mapped peer counts as IPv4", "::ffff:127.0.0.1", {"198.51.100.1"}, "198.51.100.1"},
      {"malformed entry: the peer", "127.0.0.1", {"198.51.100.1, bogus"}, "127.0.0.1"},
      {"port: the peer", "127.0.0.1", {"198.51.100.1:4000"}, "127.0.0.1"},
      {"empty entry: the peer", "127.0.0.1", {"198.51.100.1,"}, "127.0.0.1"},
      {"empty header: the peer", "127.0.0.1", {""}, "127.0.0.1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Header> headers = {{"Host", "monitor"}};
    for (const std::string& value : c.forwarded) headers.push_back({"X-Forwarded-For", value});
    const std::optional<IpAddress> client =
        client_address(parse_ip_address(c.peer), headers, trusted);
    ASSERT_TRUE(client);
    EXPECT_EQ(address_text(*client), c.client);
  }
  EXPECT_FALSE(client_address(std::nullopt, {{"X-Forwarded-For", "198.51.100.1"}}, trusted));
  EXPECT_EQ(address_text(*client_address(parse_ip_address("127.0.0.1"),
                                         {{"x-forwarded-for", "198.51.100.1"}}, {})),
            "127.0.0.1")
      << "no trusted proxies: the header means nothing";
}

}  // namespace
}  // namespace torvesk
