// GET /metrics with MONITOR_METRICS=1: the counters after known pushes, the answer checked by
// promtool, the read gate in front of it, and no such route without the setting.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "support/monitor_process.h"

namespace torvesk::testing {
namespace {

// The value of the sample `name` (labels included) in an exposition text, or -1.
long long sample_value(const std::string& text, const std::string& name) {
  for (const std::string& line : lines_of(text)) {
    if (line.rfind(name + " ", 0) == 0) return std::atoll(line.c_str() + name.size() + 1);
  }
  return -1;
}

bool promtool_available() { return std::system("command -v promtool >/dev/null 2>&1") == 0; }

TEST(Metrics, CountPushesLinesAndFailedAppendsInThePrometheusFormat) {
  TempDir dir;
  const std::string blocker = dir.path() + "/a-file";
  std::ofstream(blocker) << "x";
  MonitorOptions options;
  options.env = {{"MONITOR_METRICS", "1"}};
  options.data_dir = blocker + "/data";  // cannot be created: every append fails
  MonitorProcess monitor(options);
  ASSERT_TRUE(monitor.started());

  const std::string event = "{\"type\":\"X\",\"run_id\":\"m\",\"ts\":1}\n";
  const std::string body = event + event + "not json\n{\"type\":\"X\",\"run_id\":\"m\",\"ts\":2}\n";
  ASSERT_EQ(ingest(monitor, body)->status, 200);
  ASSERT_EQ(ingest(monitor, event)->status, 200);
  ASSERT_EQ(http_request(monitor, "POST", "/ingest", {{"Content-Type", "text/plain"}}, "x")->status,
            415);

  const auto answer = http_request(monitor, "GET", "/metrics");
  ASSERT_TRUE(answer);
  ASSERT_EQ(answer->status, 200);
  EXPECT_EQ(answer->header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  const std::string& text = answer->body;
  struct Expected {
    std::string sample;
    long long value;
  };
  const std::vector<Expected> expected = {
      {"torvesk_runs_held", 1},
      {"torvesk_events_held", 2},
      {"torvesk_pushes_total{status=\"200\"}", 2},
      {"torvesk_pushes_total{status=\"415\"}", 1},
      {"torvesk_ingest_bytes_total", static_cast<long long>(body.size() + event.size())},
      {"torvesk_lines_dropped_total{reason=\"bad_line\"}", 1},
      {"torvesk_lines_dropped_total{reason=\"duplicate\"}", 2},
      {"torvesk_log_append_failures_total", 1},
      {"torvesk_busy_answers_total", 0},
      {"torvesk_request_queue_depth", 0},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.sample);
    EXPECT_EQ(sample_value(text, e.sample), e.value) << text;
  }
  EXPECT_GE(sample_value(text, "torvesk_open_connections"), 1) << "this request's own";

  if (!promtool_available()) {
    std::printf("promtool not found: the format check is left out\n");
  } else {
    const std::string file = dir.path() + "/metrics.txt";
    std::ofstream(file) << text;
    EXPECT_EQ(std::system(("promtool check metrics < '" + file + "' >/dev/null").c_str()), 0)
        << "promtool check metrics refused:\n"
        << text;
  }
}

TEST(Metrics, AreBehindTheReadGateAndOffByDefault) {
  MonitorOptions secured;
  secured.insecure_local = false;
  secured.env = {{"MONITOR_METRICS", "1"},
                 {"MONITOR_TOKEN", "0123456789abcdef0123456789abcdef"},
                 {"MONITOR_READ_TOKEN", "fedcba9876543210fedcba9876543210"}};
  MonitorProcess gated(secured);
  ASSERT_TRUE(gated.started());
  EXPECT_EQ(http_request(gated, "GET", "/metrics")->status, 401);
  const auto with_token = http_request(gated, "GET", "/metrics",
                                       {{"x-torvesk-token", "fedcba9876543210fedcba9876543210"}});
  ASSERT_TRUE(with_token);
  EXPECT_EQ(with_token->status, 200);

  MonitorProcess plain;
  ASSERT_TRUE(plain.started());
  const auto page = http_request(plain, "GET", "/metrics");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->header("Content-Type"), "text/html; charset=utf-8") << "the page, as any GET";
}

}  // namespace
}  // namespace torvesk::testing
