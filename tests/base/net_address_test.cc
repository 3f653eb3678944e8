#include "base/net_address.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace torvesk {
namespace {

TEST(ParseIpAddress, ValidFormsAndTheirText) {
  struct Case {
    const char* input;
    const char* text;
    bool v4;
  };
  const std::vector<Case> cases = {
      {"0.0.0.0", "0.0.0.0", true},
      {"127.0.0.1", "127.0.0.1", true},
      {"255.255.255.255", "255.255.255.255", true},
      {"10.0.0.5", "10.0.0.5", true},
      {"1.20.100.0", "1.20.100.0", true},
      {"::", "::", false},
      {"::1", "::1", false},
      {"1::", "1::", false},
      {"0:0:0:0:0:0:0:0", "::", false},
      {"0:0:0:0:0:0:0:1", "::1", false},
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1", false},
      {"2001:0db8::0001", "2001:db8::1", false},
      {"a:0:b:0:0:c:0:0", "a:0:b::c:0:0", false},
      {"1:0:0:2:0:0:0:3", "1:0:0:2::3", false},
      {"1:0:2:3:4:5:6:7", "1:0:2:3:4:5:6:7", false},
      {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0", false},
      {"::2:3:4:5:6:7:8", "0:2:3:4:5:6:7:8", false},
      {"2001:DB8::ABCD", "2001:db8::abcd", false},
      {"FE80:0000:0000:0000:0000:0000:0000:00F0", "fe80::f0", false},
      {"ffff::", "ffff::", false},
      {"::ffff:1.2.3.4", "::ffff:1.2.3.4", false},
      {"::FFFF:0102:0304", "::ffff:1.2.3.4", false},
      {"0:0:0:0:0:ffff:7f00:1", "::ffff:127.0.0.1", false},
      {"::ffff:0.0.0.0", "::ffff:0.0.0.0", false},
      // Only ::ffff:0:0/96 is IPv4-mapped.
      {"::ff:1.2.3.4", "::ff:102:304", false},
      {"::fffe:1.2.3.4", "::fffe:102:304", false},
      {"::1:ffff:1.2.3.4", "::1:ffff:102:304", false},
      {"ffff::1.2.3.4", "ffff::102:304", false},
      {"::1.2.3.4", "::102:304", false},
      {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304", false},
      {"64:ff9b::255.255.255.255", "64:ff9b::ffff:ffff", false},
      {"::ffff:1:2.3.4.5", "::ffff:1:203:405", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    const auto address = parse_ip_address(c.input);
    ASSERT_TRUE(address.has_value());
    EXPECT_EQ(address->is_v4(), c.v4);
    EXPECT_EQ(address_text(*address), c.text);
    // The written form reads back as the same address.
    EXPECT_EQ(parse_ip_address(address_text(*address)), address);
  }
}

TEST(ParseIpAddress, RejectedForms) {
  const std::vector<const char*> cases = {
      "",
      " ",
      "localhost",
      "127.0.0.1:9000",
      "[::1]",
      "[::1]:8787",
      " 127.0.0.1",
      "127.0.0.1 ",
      "010.0.0.5",
      "00.1.2.3",
      "1.2.3.04",
      "1.2.3",
      "127.1",
      "1.2.3.4.5",
      "256.0.0.1",
      "1000.0.0.0",
      "1..2.3",
      ".1.2.3",
      "1.2.3.",
      "+1.2.3.4",
      "1.2.3.-4",
      "0x7f.0.0.1",
      "1.2.3.4/8",
      ":",
      ":::",
      "1:::2",
      "::1::",
      "1::2::3",
      ":1::",
      ":1:2:3:4:5:6:7:8",
      "1:2:3:4:5:6:7:8:",
      "1:",
      "1:2:3:4:5:6:7",
      "1:2:3:4:5:6:7:8:9",
      "1:2:3:4:5:6:7:8::",
      "::1:2:3:4:5:6:7:8",
      "1::2:3:4:5:6:7:8",
      "12345::",
      "00000::1",
      "g::",
      "::1 ",
      "fe80::1%eth0",
      "fe80::1%1",
      "::ffff:1.2.3",
      "::ffff:1.2.3.256",
      "::ffff:01.2.3.4",
      "1.2.3.4::",
      "::1.2.3.4:5",
      "1:2:3:4:5:6:7:1.2.3.4",
      "1:2:3:4:5:6:7::1.2.3.4",
      "1:2:3:4:5:1.2.3.4",
      "::+1",
      "::-1",
  };
  for (const char* input : cases) {
    SCOPED_TRACE(testing::Message() << "'" << input << "'");
    EXPECT_FALSE(parse_ip_address(input).has_value());
  }
}

TEST(IsLoopback, OnlyTheLoopbackRangeAndIpv6One) {
  struct Case {
    const char* address;
    bool loopback;
  };
  const std::vector<Case> cases = {
      {"127.0.0.1", true},
      {"127.0.0.2", true},
      {"127.255.255.255", true},
      {"127.0.0.0", true},
      {"126.255.255.255", false},
      {"128.0.0.0", false},
      {"0.0.0.0", false},
      {"10.0.0.5", false},
      {"::1", true},
      {"::", false},
      {"::2", false},
      {"1::1", false},
      {"::ffff:127.0.0.1", false},
      {"::127.0.0.1", false},
      {"::100:1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    const auto address = parse_ip_address(c.address);
    ASSERT_TRUE(address.has_value());
    EXPECT_EQ(is_loopback(*address), c.loopback);
  }
}

TEST(AddressText, LeavesOutTheScopeId) {
  boost::asio::ip::address_v6 link_local = parse_ip_address("fe80::1")->to_v6();
  link_local.scope_id(3);
  EXPECT_EQ(address_text(IpAddress(link_local)), "fe80::1");
}

TEST(AddressRange, ParsedFormsAndWhatTheyContain) {
  struct Case {
    std::string range;
    std::vector<std::string> inside;
    std::vector<std::string> outside;
  };
  const std::vector<Case> cases = {
      {"127.0.0.1", {"127.0.0.1", "::ffff:127.0.0.1"}, {"127.0.0.2", "::1"}},
      {"10.1.2.3/8", {"10.0.0.0", "10.255.255.255"}, {"11.0.0.0", "9.255.255.255"}},
      {"192.168.4.0/22", {"192.168.4.1", "192.168.7.255"}, {"192.168.8.0", "192.168.3.255"}},
      {"0.0.0.0/0", {"1.2.3.4", "::ffff:8.8.8.8"}, {"::1"}},
      {"::1", {"::1"}, {"::2", "127.0.0.1"}},
      {"fd00::/8", {"fd12::1", "fdff:ffff::"}, {"fc00::1", "10.0.0.1"}},
      {"::ffff:10.0.0.0/104", {"10.9.8.7", "::ffff:10.1.1.1"}, {"11.0.0.1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.range);
    const std::optional<AddressRange> range = parse_address_range(c.range);
    ASSERT_TRUE(range);
    for (const std::string& address : c.inside) {
      EXPECT_TRUE(range_contains(*range, *parse_ip_address(address))) << address;
    }
    for (const std::string& address : c.outside) {
      EXPECT_FALSE(range_contains(*range, *parse_ip_address(address))) << address;
    }
  }
  for (const std::string bad : {"", "/8", "10.0.0.0/", "10.0.0.0/33", "10.0.0.0/08", "::/129",
                                "10.0.0.0/8/8", "10.0.0.0/+8", "localhost", " 10.0.0.1"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(parse_address_range(bad));
  }
  const auto list = parse_address_ranges("127.0.0.1, 10.0.0.0/8,\t::1 ,");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->size(), 3u);
  EXPECT_FALSE(parse_address_ranges("127.0.0.1, nginx"));
}

}  // namespace
}  // namespace torvesk
