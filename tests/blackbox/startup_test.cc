// The real binary's start-up: refusals, banner and warnings byte for byte, port in use, a data
// folder that cannot be created.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/monitor_process.h"

namespace torvesk::testing {
namespace {

const std::string kLock = "\xF0\x9F\x94\x92 ";
const std::string kWarn = "\xE2\x9A\xA0  ";
const std::string kToken = "0123456789abcdef0123456789abcdef";
const std::string kReadToken = "fedcba9876543210fedcba9876543210";

struct RefusalCase {
  std::string name;
  std::map<std::string, std::string> env;
  std::vector<std::string> args;
  std::string line;
};

TEST(Startup, RefusesUnsafeOrInvalidConfigurationsWithTheirLineAndStatusOne) {
  const std::vector<RefusalCase> cases = {
      {"no variables",
       {},
       {},
       "monitor NOT started: required tokens missing: MONITOR_TOKEN, MONITOR_READ_TOKEN. "
       "Generate them with `openssl rand -hex 32` (two DIFFERENT values); only for a test on this "
       "machine: MONITOR_INSECURE_LOCAL=1"},
      {"read token missing",
       {{"MONITOR_TOKEN", kToken}},
       {"9000"},
       "monitor NOT started: required tokens missing: MONITOR_READ_TOKEN. Generate them with "
       "`openssl rand -hex 32` (two DIFFERENT values); only for a test on this machine: "
       "MONITOR_INSECURE_LOCAL=1"},
      {"host name as bind address",
       {{"MONITOR_BIND", "localhost"}, {"MONITOR_INSECURE_LOCAL", "1"}},
       {},
       "MONITOR_BIND not valid: 'localhost' (expected an IP address, e.g. 127.0.0.1 or 0.0.0.0)"},
      {"insecure mode on every address",
       {{"MONITOR_BIND", "0.0.0.0"}, {"MONITOR_INSECURE_LOCAL", "1"}},
       {},
       "monitor NOT started: MONITOR_INSECURE_LOCAL is allowed only when listening on loopback "
       "(127.0.0.1 / ::1), not on 0.0.0.0"},
      {"short token before missing token",
       {{"MONITOR_TOKEN", "0123456789"}},
       {},
       "monitor NOT started: MONITOR_TOKEN too short (at least 16 characters): generate one with "
       "`openssl rand -hex 32`"},
      {"insecure spelled with a capital",
       {{"MONITOR_INSECURE_LOCAL", "Yes"}},
       {},
       "monitor NOT started: required tokens missing: MONITOR_TOKEN, MONITOR_READ_TOKEN. "
       "Generate them with `openssl rand -hex 32` (two DIFFERENT values); only for a test on this "
       "machine: MONITOR_INSECURE_LOCAL=1"},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::map<std::string, std::string> env = c.env;
    env["MONITOR_DATA_DIR"] = dir.path() + "/data";
    const ProcessResult result = run_monitor_to_exit(env, c.args);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.stderr_text, c.line + "\n");
    EXPECT_EQ(result.stdout_text, "");
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/data")) << "nothing is created";
  }
}

TEST(Startup, InsecureLocalModePrintsBannerAndBothWarnings) {
  MonitorProcess monitor;
  ASSERT_TRUE(monitor.started());
  const std::string expected =
      "Torvesk monitor on http://127.0.0.1:" + std::to_string(monitor.port()) +
      "  (ingest: POST /ingest, view: GET /; data in '" + monitor.data_dir() +
      "', runs loaded: 0)\n" + kWarn + "/ingest WITHOUT token (insecure local)\n" + kWarn +
      "reading WITHOUT token (insecure local, local Host only)\n" + kWarn +
      "ingest WITHOUT token (insecure local mode): accepts pushes from any process on this "
      "machine\n" +
      kWarn +
      "reading WITHOUT token (insecure local mode): served only to requests with a local "
      "Host\n";
  EXPECT_EQ(monitor.stderr_text(), expected);
  EXPECT_TRUE(std::filesystem::is_directory(monitor.data_dir())) << "data folder created";
}

TEST(Startup, TokensOnIpv6LoopbackPrintLockLinesAndBracketedAddress) {
  MonitorOptions options;
  options.insecure_local = false;
  options.bind = "::1";
  options.env = {{"MONITOR_TOKEN", kToken}, {"MONITOR_READ_TOKEN", kToken}};
  MonitorProcess monitor(options);
  ASSERT_TRUE(monitor.started());
  const std::string expected =
      "Torvesk monitor on http://[::1]:" + std::to_string(monitor.port()) +
      "  (ingest: POST /ingest, view: GET /; data in '" + monitor.data_dir() +
      "', runs loaded: 0)\n" + kLock + "/ingest protected by MONITOR_TOKEN (Bearer)\n" + kLock +
      "reading protected by MONITOR_READ_TOKEN (browser: any user, password = token)\n" + kWarn +
      "MONITOR_TOKEN and MONITOR_READ_TOKEN are the same: whoever holds a runner's token can "
      "also READ every log. Use two different values\n";
  EXPECT_EQ(monitor.stderr_text(), expected);
  const auto response = http_request(monitor, "POST", "/nothing-here");
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 404) << "serves on the IPv6 loopback";
}

TEST(Startup, PortInUseEndsWithOneLineAndCreatesNothing) {
  const int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  socklen_t length = sizeof address;
  getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string port = std::to_string(ntohs(address.sin_port));

  TempDir dir;
  const ProcessResult result = run_monitor_to_exit(
      {{"MONITOR_INSECURE_LOCAL", "1"}, {"MONITOR_DATA_DIR", dir.path() + "/data"}}, {port});
  close(holder);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.stderr_text,
            "cannot start the monitor on 127.0.0.1:" + port + ": Address already in use\n");
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/data"));
}

TEST(Startup, DataFolderThatCannotBeCreatedWarnsAndServes) {
  TempDir dir;
  const std::string blocker = dir.path() + "/a-file";
  std::ofstream(blocker) << "x";
  MonitorOptions options;
  options.data_dir = blocker + "/data";
  MonitorProcess monitor(options);
  ASSERT_TRUE(monitor.started());
  const std::string text = monitor.stderr_text();
  const std::string prefix = "warning: data folder '" + blocker + "/data' cannot be created: ";
  ASSERT_EQ(text.rfind(prefix, 0), 0u) << text;
  const std::string first_line = text.substr(0, text.find('\n'));
  EXPECT_TRUE(first_line.ends_with(" (persistence off)")) << first_line;
  EXPECT_GT(first_line.size(), prefix.size() + std::string(" (persistence off)").size())
      << "the system's reason is included";
  EXPECT_NE(text.find("runs loaded: 0)\n"), std::string::npos);

  const auto page = http_request(monitor, "GET", "/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  const auto pushed = ingest(monitor, "{\"type\":\"RunStarted\",\"run_id\":\"r\",\"ts\":1}\n");
  ASSERT_TRUE(pushed);
  EXPECT_EQ(pushed->status, 200) << "pushes are still accepted, kept in memory only";
}

// A pushed line whose inner event is itself an envelope would be opened up once more by the load
// and show another run, with an observed address the pusher chose. Such a line is not stored, so
// the runs after a restart are the runs as they were shown live.
TEST(Startup, ARestartShowsTheRunsAsTheyWereBuiltLive) {
  TempDir dir;
  MonitorOptions options;
  options.data_dir = dir.path() + "/data";
  const std::string body =
      R"({"timestamp":1,"event":{"type":"NodeLog","run_id":"carrier","timestamp":2,)"
      R"("event":{"type":"RunStarted","run_id":"victim","_observed_ip":"10.66.66.66","ts":3}}})"
      "\n"
      R"({"type":"RunStarted","run_id":"honest","ts":4,"payload":{"plan_name":"p"}})"
      "\n";
  std::string live_list;
  std::string live_detail;
  {
    MonitorProcess monitor(options);
    ASSERT_TRUE(monitor.started());
    const auto pushed = ingest(monitor, body);
    ASSERT_TRUE(pushed);
    ASSERT_EQ(pushed->status, 200);
    const auto list = http_request(monitor, "GET", "/api/runs");
    const auto detail = http_request(monitor, "GET", "/api/runs/honest");
    ASSERT_TRUE(list && detail);
    live_list = list->body;
    live_detail = detail->body;
  }
  MonitorProcess restarted(options);
  ASSERT_TRUE(restarted.started());
  const auto list = http_request(restarted, "GET", "/api/runs");
  const auto detail = http_request(restarted, "GET", "/api/runs/honest");
  ASSERT_TRUE(list && detail);
  EXPECT_EQ(list->body, live_list);
  EXPECT_EQ(detail->body, live_detail);
  EXPECT_EQ(list->body.find("victim"), std::string::npos) << list->body;
  EXPECT_EQ(list->body.find("10.66.66.66"), std::string::npos) << list->body;
}

}  // namespace
}  // namespace torvesk::testing
