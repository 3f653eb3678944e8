#include "runner_sim/sim_events.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <set>
#include <string>
#include <vector>

#include "store/normalize.h"
#include "store/run.h"

namespace torvesk::sim {
namespace {

constexpr std::uint64_t kStart = 1'700'000'000'000;

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  for (std::size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1) {
    lines.push_back(text.substr(from, end - from));
  }
  EXPECT_EQ(from, text.size()) << "the text ends with a line feed";
  return lines;
}

// The monitor's own normalisation and run rules applied to simulated lines.
RunMap apply_lines(const std::vector<std::string>& lines) {
  RunMap runs;
  for (const std::string& line : lines) {
    std::optional<RunEvent> event = normalize_line(line, [] { return std::uint64_t{1}; });
    EXPECT_TRUE(event) << line;
    if (event) {
      EXPECT_TRUE(apply_event(runs, std::move(*event))) << "duplicate: " << line;
    }
  }
  return runs;
}

TEST(SimulatedRun, SpeaksTheEventVocabularyWithProvenanceAndStatistics) {
  std::set<std::string> types;
  std::set<std::string> levels;
  std::set<std::string> actions;
  int completed = 0, failed = 0;
  for (std::uint32_t index = 0; index < 24; ++index) {
    SCOPED_TRACE(index);
    const RunSpec spec{7, index, 120, kStart};
    const std::vector<std::string> lines = simulate_run(spec);
    ASSERT_EQ(lines.size(), 120u);
    std::uint64_t previous_ts = 0;
    for (const std::string& line : lines) {
      const boost::json::object event = boost::json::parse(line).as_object();
      const std::string type(event.at("type").as_string());
      types.insert(type);
      const std::uint64_t ts = event.at("ts").to_number<std::uint64_t>();
      EXPECT_GT(ts, previous_ts);
      previous_ts = ts;
      const boost::json::object& payload = event.at("payload").as_object();
      EXPECT_EQ(payload.at("run_id").as_string(), simulated_run_id(spec));
      if (type == "NodeLog") levels.insert(std::string(payload.at("level").as_string()));
      if (type == "NodeCompleted") {
        const boost::json::object& stats = payload.at("stats").as_object();
        EXPECT_GE(stats.at("rows_in").to_number<std::uint64_t>(),
                  stats.at("rows_out").to_number<std::uint64_t>());
        EXPECT_TRUE(stats.contains("rows_rejected"));
      }
      if (type == "NodeRuleStats") {
        for (const boost::json::value& rule : payload.at("rules").as_array()) {
          actions.insert(std::string(rule.at("action").as_string()));
          EXPECT_TRUE(rule.as_object().contains("violations"));
        }
      }
      if (type == "MemorySample") {
        const boost::json::object& detail = payload.at("detail").as_object();
        for (const char* key : {"total_rss", "total_pss", "total_private"}) {
          EXPECT_TRUE(detail.contains(key)) << key;
        }
        EXPECT_FALSE(detail.at("processes").as_array().empty());
      }
      if (type == "RunCompleted" || type == "RunFailed") {
        EXPECT_EQ(&line, &lines.back());
        const boost::json::object& stats = payload.at("stats").as_object();
        EXPECT_TRUE(stats.contains("total_ms") && stats.contains("lanes_ok") &&
                    stats.contains("lanes_failed"));
        EXPECT_TRUE(payload.contains("elapsed_ms"));
        EXPECT_EQ(stats.contains("node_stats"), type == "RunCompleted");
        EXPECT_EQ(payload.contains("error"), type == "RunFailed");
        ++(type == "RunCompleted" ? completed : failed);
      }
    }
    const RunMap runs = apply_lines(lines);
    ASSERT_EQ(runs.size(), 1u);
    const torvesk::Run& run = runs.begin()->second;
    EXPECT_EQ(run.events.size(), 120u);
    for (const std::string* field :
         {&run.plan_name, &run.studio_label, &run.studio_id, &run.studio_version, &run.plan_version,
          &run.runner_host, &run.log_level, &run.artifact_id}) {
      EXPECT_FALSE(field->empty());
    }
    EXPECT_EQ(run.plan_hash.rfind("sha256:", 0), 0u);
    EXPECT_EQ(run.plan_hash.size(), 7u + 64u);
  }
  EXPECT_EQ(types, (std::set<std::string>{"RunStarted", "NodeStarted", "NodeLog", "MemorySample",
                                          "NodeRuleStats", "NodeCompleted", "NodeFailed",
                                          "NodeInterrupted", "RunCompleted", "RunFailed"}));
  EXPECT_EQ(levels, (std::set<std::string>{"debug", "info", "warn", "error"}));
  EXPECT_EQ(actions, (std::set<std::string>{"reject", "warn", "error"}));
  EXPECT_GT(completed, 0);
  EXPECT_GT(failed, 0);
}

TEST(SimulatedRun, SameSeedSameLinesOtherSeedOtherLines) {
  EXPECT_EQ(simulate_run({3, 1, 50, kStart}), simulate_run({3, 1, 50, kStart}));
  EXPECT_NE(simulate_run({3, 1, 50, kStart}), simulate_run({4, 1, 50, kStart}));
  EXPECT_NE(simulated_run_id({3, 1, 50, kStart}), simulated_run_id({3, 2, 50, kStart}));
}

TEST(SimulatedRun, TooFewEventsGiveTheSkeleton) {
  const std::vector<std::string> lines = simulate_run({5, 0, 1, kStart});
  ASSERT_GE(lines.size(), 8u);  // RunStarted, 3 nodes of at least 2 events, the end
  EXPECT_NE(lines.front().find("\"RunStarted\""), std::string::npos);
}

TEST(SimulatedBatch, FillsTheLimitWithDistinctAcceptedLines) {
  constexpr std::size_t kLimit = 256 * 1024;
  const std::string batch = simulated_batch(11, 300, kStart, kLimit);
  EXPECT_LE(batch.size(), kLimit);
  EXPECT_GT(batch.size(), kLimit - 2048);  // only the line that did not fit is missing
  const std::vector<std::string> lines = split_lines(batch);
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()).size(), lines.size());
  const RunMap runs = apply_lines(lines);
  EXPECT_GT(runs.size(), 1u);
  EXPECT_EQ(simulated_batch(11, 300, kStart, kLimit), batch);
}

}  // namespace
}  // namespace torvesk::sim
