#include "server/config.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <string>
#include <vector>

namespace torvesk {
namespace {

using EnvMap = std::map<std::string, std::string>;
using Args = std::vector<std::optional<std::string>>;

EnvReader reader_of(EnvMap vars) {
  return [vars = std::move(vars)](const char* name) -> std::optional<std::string> {
    const auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  };
}

// Two valid, different tokens: the base of every case that is about some other setting.
const EnvMap kTokens = {{"MONITOR_TOKEN", "ingest-0123456789abcdef"},
                        {"MONITOR_READ_TOKEN", "read-0123456789abcdef"}};

EnvMap with_tokens(EnvMap vars) {
  vars.insert(kTokens.begin(), kTokens.end());
  return vars;
}

const char kMissingBoth[] =
    "monitor NOT started: required tokens missing: MONITOR_TOKEN, MONITOR_READ_TOKEN. Generate "
    "them with `openssl rand -hex 32` (two DIFFERENT values); only for a test on this machine: "
    "MONITOR_INSECURE_LOCAL=1";
const char kMissingRead[] =
    "monitor NOT started: required tokens missing: MONITOR_READ_TOKEN. Generate them with "
    "`openssl rand -hex 32` (two DIFFERENT values); only for a test on this machine: "
    "MONITOR_INSECURE_LOCAL=1";
const char kIngestTooShort[] =
    "monitor NOT started: MONITOR_TOKEN too short (at least 16 characters): generate one with "
    "`openssl rand -hex 32`";
const char kReadTooShort[] =
    "monitor NOT started: MONITOR_READ_TOKEN too short (at least 16 characters): generate one "
    "with `openssl rand -hex 32`";
const char kIngestWarning[] =
    "ingest WITHOUT token (insecure local mode): accepts pushes from any process on this machine";
const char kReadingWarning[] =
    "reading WITHOUT token (insecure local mode): served only to requests with a local Host";
const char kSameTokensWarning[] =
    "MONITOR_TOKEN and MONITOR_READ_TOKEN are the same: whoever holds a runner's token can also "
    "READ every log. Use two different values";

std::string not_loopback_failure(const std::string& address) {
  return "monitor NOT started: MONITOR_INSECURE_LOCAL is allowed only when listening on loopback "
         "(127.0.0.1 / ::1), not on " +
         address;
}

std::string bind_failure(const std::string& value) {
  return "MONITOR_BIND not valid: '" + value +
         "' (expected an IP address, e.g. 127.0.0.1 or 0.0.0.0)";
}

std::string plain_http_warning(const std::string& address) {
  return "listening on " + address +
         " in PLAIN HTTP: tokens and logs travel readable on the network. Recommended: monitor on "
         "127.0.0.1 behind a TLS reverse proxy";
}

std::string repeat(const std::string& piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

TEST(LoadConfig, FailureTable) {
  struct Case {
    const char* name;
    Args args;
    EnvMap env;
    std::string line;
  };
  const std::string short10 = repeat("a", 10);
  const std::string short15 = repeat("a", 15);
  const std::vector<Case> cases = {
      {"nothing set", {}, {}, kMissingBoth},
      {"insecure 'Yes' is false", {}, {{"MONITOR_INSECURE_LOCAL", "Yes"}}, kMissingBoth},
      {"insecure 'on' is false", {}, {{"MONITOR_INSECURE_LOCAL", "on"}}, kMissingBoth},
      {"insecure 'TRUE' is false", {}, {{"MONITOR_INSECURE_LOCAL", "TRUE"}}, kMissingBoth},
      {"insecure '0' is false", {}, {{"MONITOR_INSECURE_LOCAL", "0"}}, kMissingBoth},
      {"insecure '1 1' is false", {}, {{"MONITOR_INSECURE_LOCAL", "1 1"}}, kMissingBoth},
      {"insecure flag not valid text", {}, {{"MONITOR_INSECURE_LOCAL", "1\xFF"}}, kMissingBoth},
      {"only the ingest token", {}, {{"MONITOR_TOKEN", repeat("t", 16)}}, kMissingRead},
      {"trusted proxy that is no address",
       {},
       {{"MONITOR_INSECURE_LOCAL", "1"}, {"MONITOR_TRUSTED_PROXIES", "127.0.0.1, proxy.local"}},
       "MONITOR_TRUSTED_PROXIES not valid: '127.0.0.1, proxy.local' (expected IP addresses or "
       "CIDR ranges separated by commas, e.g. 127.0.0.1, 10.0.0.0/8)"},
      {"tokens of white space only are missing",
       {},
       {{"MONITOR_TOKEN", " \u3000\t"}, {"MONITOR_READ_TOKEN", "\u00A0"}},
       kMissingBoth},
      {"token not valid text is missing",
       {},
       {{"MONITOR_TOKEN", repeat("t", 16) + "\xC0\x80"}, {"MONITOR_READ_TOKEN", repeat("r", 16)}},
       "monitor NOT started: required tokens missing: MONITOR_TOKEN. Generate them with `openssl "
       "rand -hex 32` (two DIFFERENT values); only for a test on this machine: "
       "MONITOR_INSECURE_LOCAL=1"},
      {"ingest token of 15 characters",
       {},
       {{"MONITOR_TOKEN", short15}, {"MONITOR_READ_TOKEN", repeat("r", 16)}},
       kIngestTooShort},
      {"short token beats a missing one", {}, {{"MONITOR_TOKEN", short10}}, kIngestTooShort},
      {"read token of 15 characters",
       {},
       {{"MONITOR_TOKEN", repeat("t", 16)}, {"MONITOR_READ_TOKEN", short15}},
       kReadTooShort},
      {"only the first short token is reported",
       {},
       {{"MONITOR_TOKEN", short10}, {"MONITOR_READ_TOKEN", short10}},
       kIngestTooShort},
      {"length counts characters, not bytes",
       {},
       {{"MONITOR_TOKEN", repeat("\u00E9", 15)}, {"MONITOR_READ_TOKEN", repeat("r", 16)}},
       kIngestTooShort},
      {"length is measured after trimming",
       {},
       {{"MONITOR_TOKEN", "  " + short15 + "\u3000"}, {"MONITOR_READ_TOKEN", repeat("r", 16)}},
       kIngestTooShort},
      {"short token checked before insecure bind",
       {},
       {{"MONITOR_INSECURE_LOCAL", "1"}, {"MONITOR_BIND", "0.0.0.0"}, {"MONITOR_TOKEN", short10}},
       kIngestTooShort},
      {"insecure on 0.0.0.0",
       {},
       {{"MONITOR_INSECURE_LOCAL", "1"}, {"MONITOR_BIND", "0.0.0.0"}},
       not_loopback_failure("0.0.0.0")},
      {"insecure on a mapped loopback",
       {},
       {{"MONITOR_INSECURE_LOCAL", "1"}, {"MONITOR_BIND", "::ffff:127.0.0.1"}},
       not_loopback_failure("::ffff:127.0.0.1")},
      {"insecure with tokens on :: names the address in its written form",
       {},
       with_tokens({{"MONITOR_INSECURE_LOCAL", "yes"}, {"MONITOR_BIND", " 0:0::0 "}}),
       not_loopback_failure("::")},
      {"bind host name", {}, {{"MONITOR_BIND", "localhost"}}, bind_failure("localhost")},
      {"bind quoted before trimming",
       {},
       {{"MONITOR_BIND", " localhost\t"}},
       bind_failure(" localhost\t")},
      {"bind leading zero", {}, {{"MONITOR_BIND", "010.0.0.5"}}, bind_failure("010.0.0.5")},
      {"bind with port", {}, {{"MONITOR_BIND", "127.0.0.1:9000"}}, bind_failure("127.0.0.1:9000")},
      {"bind in brackets", {}, {{"MONITOR_BIND", "[::1]"}}, bind_failure("[::1]")},
      {"bind empty", {}, {{"MONITOR_BIND", ""}}, bind_failure("")},
      {"bind failure comes before token checks",
       {},
       {{"MONITOR_BIND", "::1::"}, {"MONITOR_TOKEN", short10}},
       bind_failure("::1::")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = load_config(c.args, reader_of(c.env));
    ASSERT_TRUE(std::holds_alternative<StartupFailure>(result));
    EXPECT_EQ(std::get<StartupFailure>(result).line, c.line);
  }
}

// Expected values of a successful load; fields left unset are not checked.
struct Expected {
  Expected& port(std::uint16_t value) {
    port_ = std::move(value);
    return *this;
  }
  Expected& bind(std::string value) {
    bind_ = std::move(value);
    return *this;
  }
  Expected& ingest_token(std::string value) {
    ingest_token_ = std::move(value);
    return *this;
  }
  Expected& read_token(std::string value) {
    read_token_ = std::move(value);
    return *this;
  }
  Expected& insecure_local(bool value) {
    insecure_local_ = std::move(value);
    return *this;
  }
  Expected& warnings(std::vector<std::string> value) {
    warnings_ = std::move(value);
    return *this;
  }
  Expected& data_dir(std::string value) {
    data_dir_ = std::move(value);
    return *this;
  }
  Expected& max_body_bytes(std::uint64_t value) {
    max_body_bytes_ = std::move(value);
    return *this;
  }
  Expected& rate_bytes_per_min(std::uint64_t value) {
    rate_bytes_per_min_ = std::move(value);
    return *this;
  }
  Expected& auth_fail_max(std::uint32_t value) {
    auth_fail_max_ = std::move(value);
    return *this;
  }
  Expected& workers(std::uint64_t value) {
    workers_ = std::move(value);
    return *this;
  }
  std::optional<std::uint16_t> port_;
  std::optional<std::string> bind_;
  std::optional<std::string> ingest_token_;
  std::optional<std::string> read_token_;
  std::optional<bool> insecure_local_;
  std::optional<std::vector<std::string>> warnings_;
  std::optional<std::string> data_dir_;
  std::optional<std::uint64_t> max_body_bytes_;
  std::optional<std::uint64_t> rate_bytes_per_min_;
  std::optional<std::uint32_t> auth_fail_max_;
  std::optional<std::uint64_t> workers_;
};

void expect_config(const MonitorConfig& config, const Expected& expected) {
  if (expected.port_) {
    EXPECT_EQ(config.port, *expected.port_);
  }
  if (expected.bind_) {
    EXPECT_EQ(address_text(config.bind_address), *expected.bind_);
  }
  if (expected.ingest_token_) {
    EXPECT_EQ(config.ingest_token, *expected.ingest_token_);
  }
  if (expected.read_token_) {
    EXPECT_EQ(config.read_token, *expected.read_token_);
  }
  if (expected.insecure_local_) {
    EXPECT_EQ(config.insecure_local, *expected.insecure_local_);
  }
  if (expected.warnings_) {
    EXPECT_EQ(config.startup_warnings, *expected.warnings_);
  }
  if (expected.data_dir_) {
    EXPECT_EQ(config.data_dir, *expected.data_dir_);
  }
  if (expected.max_body_bytes_) {
    EXPECT_EQ(config.max_body_bytes, *expected.max_body_bytes_);
  }
  if (expected.rate_bytes_per_min_) {
    EXPECT_EQ(config.rate_bytes_per_min, *expected.rate_bytes_per_min_);
  }
  if (expected.auth_fail_max_) {
    EXPECT_EQ(config.auth_fail_max, *expected.auth_fail_max_);
  }
  if (expected.workers_) {
    EXPECT_EQ(config.workers, *expected.workers_);
  }
}

#ifdef _WIN32
#define SEP "\\"
#else
#define SEP "/"
#endif

TEST(LoadConfig, SuccessTable) {
  struct Case {
    const char* name;
    Args args;
    EnvMap env;
    Expected expected;
  };
  const std::string token16 = repeat("t", 16);
  // 16 characters in 40 bytes.
  const std::string multibyte16 = repeat("\u00FC\u20AC\U0001F512a", 4);
  const std::string same32 = repeat("s", 32);
  const std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();
  const std::vector<Case> cases = {
      {"insecure local alone",
       {},
       {{"MONITOR_INSECURE_LOCAL", "1"}},
       Expected()
           .port(8787)
           .bind("127.0.0.1")
           .ingest_token("")
           .read_token("")
           .insecure_local(true)
           .warnings({kIngestWarning, kReadingWarning})
           .max_body_bytes(8388608)
           .rate_bytes_per_min(67108864)
           .auth_fail_max(20)
           .workers(16)},
      {"insecure ' yes ' is true",
       {},
       {{"MONITOR_INSECURE_LOCAL", " yes "}},
       Expected().insecure_local(true).warnings({kIngestWarning, kReadingWarning})},
      {"insecure 'true' on 127.0.0.2",
       {},
       {{"MONITOR_INSECURE_LOCAL", "true"}, {"MONITOR_BIND", "127.0.0.2"}},
       Expected()
           .bind("127.0.0.2")
           .insecure_local(true)
           .warnings({kIngestWarning, kReadingWarning})},
      {"insecure on ::1",
       {},
       {{"MONITOR_INSECURE_LOCAL", "1"}, {"MONITOR_BIND", "::1"}},
       Expected().bind("::1").warnings({kIngestWarning, kReadingWarning})},
      {"insecure with an ingest token warns about reading only",
       {},
       {{"MONITOR_INSECURE_LOCAL", "1"}, {"MONITOR_TOKEN", token16}},
       Expected().ingest_token(token16).warnings({kReadingWarning})},
      {"insecure with both tokens warns about nothing",
       {},
       with_tokens({{"MONITOR_INSECURE_LOCAL", "1"}}),
       Expected().insecure_local(true).warnings({})},
      {"tokens on the default address",
       {},
       kTokens,
       Expected()
           .bind("127.0.0.1")
           .ingest_token("ingest-0123456789abcdef")
           .read_token("read-0123456789abcdef")
           .insecure_local(false)
           .warnings({})},
      {"tokens are trimmed",
       {},
       {{"MONITOR_TOKEN", "\u3000 " + token16 + "\t\n"},
        {"MONITOR_READ_TOKEN", "\u00A0r" + token16}},
       Expected().ingest_token(token16).read_token("r" + token16)},
      {"16 characters pass",
       {},
       {{"MONITOR_TOKEN", token16}, {"MONITOR_READ_TOKEN", "r" + token16}},
       Expected().ingest_token(token16)},
      {"16 multibyte characters pass",
       {},
       {{"MONITOR_TOKEN", multibyte16}, {"MONITOR_READ_TOKEN", token16}},
       Expected().ingest_token(multibyte16).warnings({})},
      {"same tokens",
       {},
       {{"MONITOR_TOKEN", same32}, {"MONITOR_READ_TOKEN", same32}},
       Expected().warnings({kSameTokensWarning})},
      {"tokens equal after trimming are the same",
       {},
       {{"MONITOR_TOKEN", " " + same32}, {"MONITOR_READ_TOKEN", same32 + " "}},
       Expected().warnings({kSameTokensWarning})},
      {"same tokens on a public address: both warnings in order",
       {},
       {{"MONITOR_TOKEN", same32}, {"MONITOR_READ_TOKEN", same32}, {"MONITOR_BIND", "0.0.0.0"}},
       Expected().warnings({kSameTokensWarning, plain_http_warning("0.0.0.0")})},
      {"bind trimmed",
       {},
       with_tokens({{"MONITOR_BIND", " 10.0.0.5 "}}),
       Expected().bind("10.0.0.5").warnings({plain_http_warning("10.0.0.5")})},
      {"bind ::",
       {},
       with_tokens({{"MONITOR_BIND", "::"}}),
       Expected().bind("::").warnings({plain_http_warning("::")})},
      {"bind written in RFC 5952 form",
       {},
       with_tokens({{"MONITOR_BIND", "\u30002001:0DB8:0:0:1:0:0:1"}}),
       Expected().bind("2001:db8::1:0:0:1").warnings({plain_http_warning("2001:db8::1:0:0:1")})},
      {"bind not valid text falls back to the default",
       {},
       with_tokens({{"MONITOR_BIND", "10.0.0.5\xFF"}}),
       Expected().bind("127.0.0.1").warnings({})},
      {"port 9000", {"9000"}, kTokens, Expected().port(9000)},
      {"port +80", {"+80"}, kTokens, Expected().port(80)},
      {"port with leading zeros", {"0080"}, kTokens, Expected().port(80)},
      {"port 0 goes to the listener", {"0"}, kTokens, Expected().port(0)},
      {"port 65535", {"65535"}, kTokens, Expected().port(65535)},
      {"port 65536", {"65536"}, kTokens, Expected().port(8787)},
      {"port -1", {"-1"}, kTokens, Expected().port(8787)},
      {"port with a space", {" 9000"}, kTokens, Expected().port(8787)},
      {"port abc", {"abc"}, kTokens, Expected().port(8787)},
      {"port empty", {""}, kTokens, Expected().port(8787)},
      {"port not valid text", {std::nullopt, "9000"}, kTokens, Expected().port(8787)},
      {"only the first argument counts", {"abc", "9000"}, kTokens, Expected().port(8787)},
      {"further arguments are ignored", {"9000", "x"}, kTokens, Expected().port(9000)},
      {"workers 0 becomes 1", {}, with_tokens({{"MONITOR_WORKERS", "0"}}), Expected().workers(1)},
      {"workers 4", {}, with_tokens({{"MONITOR_WORKERS", "4"}}), Expected().workers(4)},
      {"workers untrimmed", {}, with_tokens({{"MONITOR_WORKERS", " 4"}}), Expected().workers(16)},
      {"body +100",
       {},
       with_tokens({{"MONITOR_MAX_BODY_BYTES", "+100"}}),
       Expected().max_body_bytes(100)},
      {"body 0", {}, with_tokens({{"MONITOR_MAX_BODY_BYTES", "0"}}), Expected().max_body_bytes(0)},
      {"body 1e6",
       {},
       with_tokens({{"MONITOR_MAX_BODY_BYTES", "1e6"}}),
       Expected().max_body_bytes(8388608)},
      {"body -1",
       {},
       with_tokens({{"MONITOR_MAX_BODY_BYTES", "-1"}}),
       Expected().max_body_bytes(8388608)},
      {"body 2^64",
       {},
       with_tokens({{"MONITOR_MAX_BODY_BYTES", "18446744073709551616"}}),
       Expected().max_body_bytes(8388608)},
      {"body 2^64-1",
       {},
       with_tokens({{"MONITOR_MAX_BODY_BYTES", "18446744073709551615"}}),
       Expected().max_body_bytes(u64_max)},
      {"rate 0x10",
       {},
       with_tokens({{"MONITOR_RATE_BYTES_PER_MIN", "0x10"}}),
       Expected().rate_bytes_per_min(67108864)},
      {"rate 1_000",
       {},
       with_tokens({{"MONITOR_RATE_BYTES_PER_MIN", "1_000"}}),
       Expected().rate_bytes_per_min(67108864)},
      {"rate 1000",
       {},
       with_tokens({{"MONITOR_RATE_BYTES_PER_MIN", "1000"}}),
       Expected().rate_bytes_per_min(1000)},
      {"auth fail max keeps the low 32 bits",
       {},
       with_tokens({{"MONITOR_AUTH_FAIL_MAX", "4294967297"}}),
       Expected().auth_fail_max(1)},
      {"auth fail max 2^32 wraps to 0",
       {},
       with_tokens({{"MONITOR_AUTH_FAIL_MAX", "4294967296"}}),
       Expected().auth_fail_max(0)},
      {"auth fail max 7",
       {},
       with_tokens({{"MONITOR_AUTH_FAIL_MAX", "7"}}),
       Expected().auth_fail_max(7)},
      {"data dir empty stays empty",
       {},
       with_tokens({{"MONITOR_DATA_DIR", ""}, {"HOME", "/home/demo"}}),
       Expected().data_dir("")},
      {"data dir untrimmed",
       {},
       with_tokens({{"MONITOR_DATA_DIR", " /srv/x "}}),
       Expected().data_dir(" /srv/x ")},
      {"data dir under HOME",
       {},
       with_tokens({{"HOME", "/home/demo"}, {"USERPROFILE", "/elsewhere"}}),
       Expected().data_dir("/home/demo" SEP ".torvesk" SEP "monitor-data")},
      {"HOME ending in a separator",
       {},
       with_tokens({{"HOME", "/home/demo" SEP}}),
       Expected().data_dir("/home/demo" SEP ".torvesk" SEP "monitor-data")},
      {"HOME root",
       {},
       with_tokens({{"HOME", SEP}}),
       Expected().data_dir(SEP ".torvesk" SEP "monitor-data")},
      {"HOME empty gives a relative path",
       {},
       with_tokens({{"HOME", ""}, {"USERPROFILE", "/elsewhere"}}),
       Expected().data_dir(".torvesk" SEP "monitor-data")},
      {"USERPROFILE when HOME is unset",
       {},
       with_tokens({{"USERPROFILE", "C:\\Users\\demo"}}),
       Expected().data_dir("C:\\Users\\demo" SEP ".torvesk" SEP "monitor-data")},
      {"HOME not valid text counts as unset",
       {},
       with_tokens({{"HOME", "/home/d\xFF"}, {"USERPROFILE", "/profile"}}),
       Expected().data_dir("/profile" SEP ".torvesk" SEP "monitor-data")},
      {"no home at all", {}, kTokens, Expected().data_dir("." SEP ".torvesk" SEP "monitor-data")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = load_config(c.args, reader_of(c.env));
    if (const auto* failure = std::get_if<StartupFailure>(&result)) {
      ADD_FAILURE() << "failed with: " << failure->line;
      continue;
    }
    expect_config(std::get<MonitorConfig>(result), c.expected);
  }
}

TEST(LoadConfig, FailureStopsReadingFurtherVariables) {
  std::vector<std::string> read;
  const EnvReader env = [&read](const char* name) -> std::optional<std::string> {
    read.emplace_back(name);
    if (std::string_view(name) == "MONITOR_BIND") return "nowhere";
    return std::nullopt;
  };
  ASSERT_TRUE(std::holds_alternative<StartupFailure>(load_config({}, env)));
  EXPECT_EQ(read.back(), "MONITOR_BIND");
}

TEST(NumberRule, Table) {
  struct Case {
    const char* text;
    std::uint64_t max;
    std::optional<std::uint64_t> value;
  };
  const std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();
  const std::vector<Case> cases = {
      {"0", 65535, 0},
      {"65535", 65535, 65535},
      {"+65535", 65535, 65535},
      {"000065535", 65535, 65535},
      {"65536", 65535, std::nullopt},
      {"99999", 65535, std::nullopt},
      {"18446744073709551615", u64_max, u64_max},
      {"+018446744073709551615", u64_max, u64_max},
      {"18446744073709551616", u64_max, std::nullopt},
      {"99999999999999999999", u64_max, std::nullopt},
      {"184467440737095516150", u64_max, std::nullopt},
      {"", u64_max, std::nullopt},
      {"+", u64_max, std::nullopt},
      {"++1", u64_max, std::nullopt},
      {"-0", u64_max, std::nullopt},
      {"-1", u64_max, std::nullopt},
      {" 9000", u64_max, std::nullopt},
      {"9000 ", u64_max, std::nullopt},
      {"1_000", u64_max, std::nullopt},
      {"0x10", u64_max, std::nullopt},
      {"1e6", u64_max, std::nullopt},
      {"1.0", u64_max, std::nullopt},
      {"\u0661", u64_max, std::nullopt},  // a non-ASCII digit
      {"5", 4, std::nullopt},
      {"0", 0, 0},
      {"1", 0, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "'" << c.text << "' max " << c.max);
    EXPECT_EQ(parse_unsigned(c.text, c.max), c.value);
  }
}

TEST(EnvText, AbsentAndInvalidAreUnsetEmptyIsSet) {
  const EnvReader env = reader_of({{"EMPTY", ""}, {"BAD", "a\xED\xA0\x80"}, {"GOOD", " x "}});
  EXPECT_EQ(env_text("MISSING", env), std::nullopt);
  EXPECT_EQ(env_text("BAD", env), std::nullopt);
  EXPECT_EQ(env_text("EMPTY", env), "");
  EXPECT_EQ(env_text("GOOD", env), " x ");
  EXPECT_EQ(env_u64("MISSING", 7, env), 7u);
  EXPECT_EQ(env_u64("EMPTY", 7, env), 7u);
}

TEST(ListeningAddressText, BracketsOnlyIpv6) {
  EXPECT_EQ(listening_address_text(*parse_ip_address("127.0.0.1"), 8787), "127.0.0.1:8787");
  EXPECT_EQ(listening_address_text(*parse_ip_address("::1"), 8787), "[::1]:8787");
  EXPECT_EQ(listening_address_text(*parse_ip_address("::"), 0), "[::]:0");
  EXPECT_EQ(listening_address_text(*parse_ip_address("::ffff:10.0.0.1"), 65535),
            "[::ffff:10.0.0.1]:65535");
}

TEST(LoadConfig, TrustedProxiesAreReadAsRanges) {
  struct Case {
    const char* name;
    EnvMap env;
    std::size_t ranges;
  };
  const std::vector<Case> cases = {
      {"unset", {}, 0},
      {"empty", {{"MONITOR_TRUSTED_PROXIES", ""}}, 0},
      {"two", {{"MONITOR_TRUSTED_PROXIES", "127.0.0.1 10.0.0.0/8"}}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EnvMap env = c.env;
    env["MONITOR_INSECURE_LOCAL"] = "1";
    const auto loaded = load_config({}, reader_of(env));
    ASSERT_TRUE(std::holds_alternative<MonitorConfig>(loaded));
    EXPECT_EQ(std::get<MonitorConfig>(loaded).trusted_proxies.size(), c.ranges);
  }
}

}  // namespace
}  // namespace torvesk
