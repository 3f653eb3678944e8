// Access from outside: every credential shape against the read side and the ingest side, the
// lockout that wrong read credentials of every form share, and what does not count towards it.
// Clients connect from different loopback addresses (127.0.0.x) so the monitor sees different
// client addresses.
#include <gtest/gtest.h>

#include <cstdio>

#include "support/monitor_process.h"

namespace torvesk::testing {
namespace {

const std::string kIngestToken = "0123456789abcdef0123456789abcdef";
const std::string kReadToken = "fedcba9876543210fedcba9876543210";
const std::string kEvent = "{\"type\":\"X\",\"run_id\":\"guarded\",\"ts\":1}\n";

using Headers = std::vector<std::pair<std::string, std::string>>;

std::string base64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                       static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    for (int shift : {18, 12, 6, 0}) out += kAlphabet[(v >> shift) & 63];
  }
  if (i + 1 == bytes.size()) {
    const unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    out += std::string{kAlphabet[(v >> 18) & 63], kAlphabet[(v >> 12) & 63]} + "==";
  } else if (i + 2 == bytes.size()) {
    const unsigned v =
        static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += std::string{kAlphabet[(v >> 18) & 63], kAlphabet[(v >> 12) & 63],
                       kAlphabet[(v >> 6) & 63]} +
           "=";
  }
  return out;
}

MonitorProcess secured_monitor(const std::string& auth_fail_max) {
  MonitorOptions options;
  options.insecure_local = false;
  options.env = {{"MONITOR_TOKEN", kIngestToken},
                 {"MONITOR_READ_TOKEN", kReadToken},
                 {"MONITOR_AUTH_FAIL_MAX", auth_fail_max}};
  return MonitorProcess(options);
}

// One request from the loopback address `source`; nullopt when no answer came.
std::optional<HttpResponse> request_from(const MonitorProcess& monitor, const std::string& source,
                                         std::string_view method, std::string_view target,
                                         const Headers& headers, std::string_view body = {}) {
  Connection connection(monitor.address(), monitor.port(), source);
  if (!connection.connected()) return std::nullopt;
  if (!connection.send(request_text(monitor, method, target, headers, body))) return std::nullopt;
  return connection.read_response();
}

Headers bearer(const std::string& token) { return {{"Authorization", "Bearer " + token}}; }
Headers basic(const std::string& user_and_password) {
  return {{"Authorization", "Basic " + base64(user_and_password)}};
}

struct CredentialCase {
  std::string name;
  std::string target;
  Headers headers;
  int status;            // of the read
  bool counts_as_wrong;  // a failure towards the lockout
};

// With a lockout after one wrong read credential, each shape is sent from an address of its own;
// a correct read from that address afterwards shows whether the shape was counted.
TEST(Access, EveryCredentialShapeOnTheReadSide) {
  MonitorProcess monitor = secured_monitor("1");
  ASSERT_TRUE(monitor.started());
  const auto pushed = ingest(monitor, kEvent, bearer(kIngestToken));
  ASSERT_TRUE(pushed);
  ASSERT_EQ(pushed->status, 200);
  std::string last_byte_changed = kReadToken;
  last_byte_changed.back() ^= 1;
  std::string last_byte_nul = kReadToken;
  last_byte_nul.back() = '\0';

  const std::vector<CredentialCase> cases = {
      {"bearer", "/api/runs", bearer(kReadToken), 200, false},
      {"bearer, scheme in capitals, two spaces",
       "/api/runs",
       {{"Authorization", "BEARER  " + kReadToken}},
       200,
       false},
      {"basic", "/api/runs", basic("anyone:" + kReadToken), 200, false},
      {"basic, empty user", "/api/runs", basic(":" + kReadToken), 200, false},
      {"header token", "/api/runs", {{"x-torvesk-token", kReadToken}}, 200, false},
      {"header token, name in capitals",
       "/",
       {{"X-TORVESK-TOKEN", " " + kReadToken + " "}},
       200,
       false},
      {"no credential", "/api/runs", {}, 401, false},
      {"bearer, one byte short", "/api/runs", bearer(kReadToken.substr(1)), 401, true},
      {"bearer, one byte more", "/api/runs", bearer(kReadToken + "0"), 401, true},
      {"bearer, last byte changed", "/api/runs", bearer(last_byte_changed), 401, true},
      {"bearer, token with %00 after it", "/api/runs", bearer(kReadToken + "%00"), 401, true},
      {"bearer, ingest token", "/api/runs", bearer(kIngestToken), 401, true},
      {"bearer without a token", "/api/runs", {{"Authorization", "Bearer"}}, 401, false},
      {"bearer, blanks only", "/api/runs", {{"Authorization", "Bearer    "}}, 401, false},
      {"bearer, tab instead of space",
       "/api/runs",
       {{"Authorization", "Bearer\t" + kReadToken}},
       401,
       false},
      // A NUL byte cannot stand in a header, but it can in a decoded Basic password.
      {"basic, NUL after the token", "/api/runs", basic("u:" + kReadToken + '\0'), 401, true},
      {"basic, NUL in place of the last byte", "/api/runs", basic("u:" + last_byte_nul), 401, true},
      {"basic, empty password", "/api/runs", basic("u:"), 401, true},
      {"basic, no colon", "/api/runs", basic(kReadToken), 401, false},
      {"basic, padding missing",
       "/api/runs",
       {{"Authorization", "Basic " + base64("u:" + kReadToken + "x").substr(0, 47)}},
       401,
       false},
      {"basic, not base64",
       "/api/runs",
       {{"Authorization", "Basic " + kReadToken + "!"}},
       401,
       false},
      {"header token, empty", "/api/runs", {{"x-torvesk-token", ""}}, 401, true},
      {"header token, one byte short",
       "/api/runs",
       {{"x-torvesk-token", kReadToken.substr(0, 31)}},
       401,
       true},
      {"other scheme with a correct header token",
       "/api/runs",
       {{"Authorization", "Digest " + kReadToken}, {"x-torvesk-token", kReadToken}},
       401,
       false},
      {"wrong bearer with a correct header token",
       "/api/runs",
       {{"Authorization", "Bearer x"}, {"x-torvesk-token", kReadToken}},
       401,
       true},
      {"first authorization header decides",
       "/api/runs",
       {{"Authorization", "Bearer x"}, {"Authorization", "Bearer " + kReadToken}},
       401,
       true},
      {"token in the query", "/api/runs?token=" + kReadToken, {}, 401, false},
      {"access token in the query", "/api/runs/guarded?access_token=" + kReadToken, {}, 401, false},
      {"header name in the query", "/?x-torvesk-token=" + kReadToken, {}, 401, false},
  };
  std::size_t accepted = 0, counted = 0, refused_uncounted = 0;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const CredentialCase& c = cases[i];
    SCOPED_TRACE(c.name);
    const std::string source = "127.0.0." + std::to_string(10 + i);
    const auto response = request_from(monitor, source, "GET", c.target, c.headers);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, c.status);
    if (c.status == 401) {
      EXPECT_EQ(response->body, "authentication required");
      EXPECT_EQ(response->header("WWW-Authenticate"),
                "Basic realm=\"Torvesk Monitor\", charset=\"UTF-8\"");
    }
    const auto after = request_from(monitor, source, "GET", "/api/runs", bearer(kReadToken));
    ASSERT_TRUE(after);
    EXPECT_EQ(after->status, c.counts_as_wrong ? 429 : 200) << "counted towards the lockout";
    if (response->status == 200) {
      ++accepted;
    } else if (after->status == 429) {
      ++counted;
    } else {
      ++refused_uncounted;
    }
  }
  std::printf(
      "[figure] read credentials: %zu shapes, %zu accepted, %zu refused and counted, %zu "
      "refused uncounted\n",
      cases.size(), accepted, counted, refused_uncounted);
}

TEST(Access, NothingIsReadWithoutTheReadToken) {
  MonitorProcess monitor = secured_monitor("0");
  ASSERT_TRUE(monitor.started());
  const auto pushed = ingest(monitor, kEvent, bearer(kIngestToken));
  ASSERT_TRUE(pushed);
  ASSERT_EQ(pushed->status, 200);
  std::size_t refused = 0;
  const std::vector<std::string> targets = {"/",
                                            "/api/runs",
                                            "/api/runs/guarded",
                                            "/api/runs/guarded/download",
                                            "/api/runs/guarded/download?token=" + kReadToken,
                                            "/favicon.ico",
                                            "/ingest"};
  for (const std::string& target : targets) {
    for (const Headers& headers : {Headers{}, bearer(kIngestToken), bearer("x")}) {
      SCOPED_TRACE(target + (headers.empty() ? "" : " with " + headers[0].second));
      const auto response = http_request(monitor, "GET", target, headers);
      ASSERT_TRUE(response);
      EXPECT_EQ(response->status, 401);
      EXPECT_EQ(response->body, "authentication required");
      if (response->status == 401) ++refused;
    }
  }
  const auto allowed = http_request(monitor, "GET", "/api/runs/guarded", bearer(kReadToken));
  ASSERT_TRUE(allowed);
  EXPECT_NE(allowed->body.find("\"run_id\":\"guarded\""), std::string::npos) << allowed->body;
  std::printf("[figure] reads without the read token: %zu/%zu refused with 401\n", refused,
              targets.size() * 3);
}

TEST(Access, EveryCredentialShapeOnTheIngestSide) {
  MonitorProcess monitor = secured_monitor("1");
  ASSERT_TRUE(monitor.started());
  struct Case {
    std::string name;
    std::string target;
    Headers headers;
    int status;
  };
  const std::vector<Case> cases = {
      {"bearer", "/ingest", bearer(kIngestToken), 200},
      {"basic", "/ingest", basic("runner:" + kIngestToken), 200},
      {"header token", "/ingest", {{"x-torvesk-token", kIngestToken}}, 200},
      {"no credential", "/ingest", {}, 401},
      {"read token", "/ingest", bearer(kReadToken), 401},
      {"one byte short", "/ingest", bearer(kIngestToken.substr(1)), 401},
      {"NUL after the token", "/ingest", basic("u:" + kIngestToken + '\0'), 401},
      {"empty header token", "/ingest", {{"x-torvesk-token", ""}}, 401},
      {"token in the query", "/ingest?token=" + kIngestToken, {}, 401},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Headers headers = c.headers;
    headers.emplace_back("Content-Type", "application/x-ndjson");
    const auto response = http_request(monitor, "POST", c.target, headers, kEvent);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, c.status);
    if (c.status == 401) {
      EXPECT_EQ(response->body, "missing or invalid token");
      EXPECT_FALSE(response->header("WWW-Authenticate"));
    }
  }

  // Wrong ingest tokens never lock anyone out, not even the read side of their own address.
  constexpr int kWrongPushes = 100;
  int refused = 0;
  for (int i = 0; i < kWrongPushes; ++i) {
    const auto response = request_from(monitor, "127.0.0.1", "POST", "/ingest",
                                       {{"Authorization", "Bearer wrong-" + std::to_string(i)},
                                        {"Content-Type", "application/x-ndjson"}},
                                       kEvent);
    ASSERT_TRUE(response);
    if (response->status == 401) ++refused;
  }
  EXPECT_EQ(refused, kWrongPushes);
  const auto read = request_from(monitor, "127.0.0.1", "GET", "/api/runs", bearer(kReadToken));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->status, 200);
  const auto push = request_from(
      monitor, "127.0.0.1", "POST", "/ingest",
      {{"Authorization", "Bearer " + kIngestToken}, {"Content-Type", "application/x-ndjson"}},
      kEvent);
  ASSERT_TRUE(push);
  EXPECT_EQ(push->status, 200);
  std::printf(
      "[figure] ingest credentials: %zu shapes; %d wrong ingest tokens, %d answered 401, "
      "0 lockouts\n",
      cases.size(), kWrongPushes, refused);
}

// Wrong read credentials of all three forms add up to one count per address; the lockout then
// refuses every form and every path of that address, and no other address.
TEST(Access, LockoutIsSharedByEveryFormOfReadCredentialAndKeptToItsAddress) {
  MonitorProcess monitor = secured_monitor("3");
  ASSERT_TRUE(monitor.started());
  const std::string locked = "127.0.0.1";
  const std::string other = "127.0.0.2";
  const std::vector<Headers> wrong = {
      bearer("not-the-token"), basic("u:not-the-token"), {{"x-torvesk-token", "not-the-token"}}};
  for (const Headers& headers : wrong) {
    SCOPED_TRACE(headers[0].second);
    const auto response = request_from(monitor, locked, "GET", "/api/runs", headers);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 401) << "the third wrong credential is itself still answered 401";
  }
  const std::vector<Headers> right = {
      bearer(kReadToken), basic("u:" + kReadToken), {{"x-torvesk-token", kReadToken}}};
  std::size_t locked_answers = 0;
  for (const Headers& headers : right) {
    for (const std::string target : {"/api/runs", "/", "/api/runs/x/download"}) {
      SCOPED_TRACE(headers[0].second + " " + target);
      const auto response = request_from(monitor, locked, "GET", target, headers);
      ASSERT_TRUE(response);
      EXPECT_EQ(response->status, 429);
      EXPECT_EQ(response->body, "too many requests, retry later");
      EXPECT_EQ(response->header("Retry-After"), "60");
      if (response->status == 429) ++locked_answers;
    }
    const auto elsewhere = request_from(monitor, other, "GET", "/api/runs", headers);
    ASSERT_TRUE(elsewhere);
    EXPECT_EQ(elsewhere->status, 200) << "another address is not locked out";
  }
  // Pushing has no lockout.
  const auto push = request_from(
      monitor, locked, "POST", "/ingest",
      {{"Authorization", "Bearer " + kIngestToken}, {"Content-Type", "application/x-ndjson"}},
      kEvent);
  ASSERT_TRUE(push);
  EXPECT_EQ(push->status, 200);
  std::printf(
      "[figure] lockout: 3 wrong credentials in 3 forms lock %s: %zu/9 correct reads "
      "answered 429; %s unaffected\n",
      locked.c_str(), locked_answers, other.c_str());
}

// Fields after a chunked body (trailers) are not headers: a Host or a read token that comes only
// there passes no check, while the same field in the head does.
TEST(Access, TrailerFieldsAreNeverTakenForHeaders) {
  MonitorProcess local;
  ASSERT_TRUE(local.started());
  MonitorProcess secured = secured_monitor("20");
  ASSERT_TRUE(secured.started());
  struct Case {
    std::string name;
    const MonitorProcess& monitor;
    std::string head_fields;  // after the request line, before Transfer-Encoding
    std::string trailer;
    int status;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"local Host in the trailer", local, "Host: evil.example\r\n", "Host: localhost\r\n", 403,
       "forbidden host"},
      {"local Host in the head", local, "Host: localhost\r\n", "Host: evil.example\r\n", 200, ""},
      {"read token in the trailer", secured, "Host: evil.example\r\n",
       "x-torvesk-token: " + kReadToken + "\r\n", 401, "authentication required"},
      {"read token in the head", secured,
       "Host: evil.example\r\nx-torvesk-token: " + kReadToken + "\r\n", "", 200, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Connection connection(c.monitor.address(), c.monitor.port());
    ASSERT_TRUE(connection.send("GET /api/runs HTTP/1.1\r\n" + c.head_fields +
                                "Transfer-Encoding: chunked\r\n\r\n0\r\n" + c.trailer + "\r\n"));
    const auto response = connection.read_response();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, c.status);
    if (!c.body.empty()) {
      EXPECT_EQ(response->body, c.body);
    }
  }
}

}  // namespace
}  // namespace torvesk::testing
