#include "store/run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store/event_list.h"
#include "store/normalize.h"
#include "store/siphash.h"
#include "store_test_support.h"

namespace torvesk {
namespace {

using testing::ScopedEnv;

RunEvent event_of(const std::string& line) {
  std::optional<RunEvent> event = normalize_line(line, testing::fixed_clock(1));
  EXPECT_TRUE(event) << line;
  return event ? std::move(*event) : RunEvent{};
}

std::vector<std::string> texts_of(const Run& run) {
  std::vector<std::string> texts;
  for (std::string_view text : run.events) texts.emplace_back(text);
  return texts;
}

class ApplyEventTest : public ::testing::Test {
 protected:
  bool apply(const std::string& line) { return apply_event(runs_, event_of(line)); }
  const torvesk::Run& run(const std::string& id) { return runs_.at(id); }

  ScopedEnv max_events_{"MONITOR_MAX_EVENTS", std::nullopt};
  RunMap runs_;
};

TEST_F(ApplyEventTest, StatusFollowsTheLatestTerminalEvent) {
  struct Sequence {
    std::vector<std::string> types;
    std::vector<std::string> statuses;
  };
  const std::vector<Sequence> sequences = {
      {{"RunStarted", "RunFailed", "NodeLog", "RunCompleted"},
       {"running", "failed", "failed", "completed"}},
      {{"RunCompleted"}, {"completed"}},
      {{"RunFailed"}, {"failed"}},
      {{"NodeLog", "RunCompleted", "RunStarted", "RunFailed", "X"},
       {"running", "completed", "completed", "failed", "failed"}},
      // Case-sensitive, and a missing type is any other type.
      {{"runcompleted", "RUNFAILED", ""}, {"running", "running", "running"}},
  };
  int run_number = 0;
  for (const Sequence& sequence : sequences) {
    const std::string id = "s" + std::to_string(run_number++);
    SCOPED_TRACE(id);
    for (std::size_t i = 0; i < sequence.types.size(); ++i) {
      ASSERT_TRUE(apply(R"({"type":")" + sequence.types[i] + R"(","run_id":")" + id + R"(","ts":)" +
                        std::to_string(i) + "}"));
      EXPECT_EQ(run(id).status, sequence.statuses[i]) << "after " << sequence.types[i];
    }
  }
}

TEST_F(ApplyEventTest, DuplicateChangesNothing) {
  ASSERT_TRUE(apply(R"({"type":"RunStarted","run_id":"r","ts":9,"payload":{"plan_name":"P"}})"));
  ASSERT_TRUE(apply(R"({"type":"RunFailed","run_id":"r","ts":7})"));
  // The same first event again: no status, metadata, time or event change.
  EXPECT_FALSE(apply(R"({"type":"RunStarted","run_id":"r","ts":9,"payload":{"plan_name":"P"}})"));
  // Equal after normalisation (white space, duplicate member) is a duplicate too.
  EXPECT_FALSE(apply(R"( {"type":"RunFailed", "run_id":"x","run_id":"r","ts":7} )"));
  const torvesk::Run& r = run("r");
  EXPECT_EQ(r.status, "failed");
  EXPECT_EQ(r.last_seen_ms, 7u);
  EXPECT_EQ(r.events.size(), 2u);
  EXPECT_EQ(r.fingerprints.size(), 2u);
  EXPECT_TRUE(
      r.fingerprints.contains(event_fingerprint(R"({"type":"RunFailed","run_id":"r","ts":7})")));
}

TEST_F(ApplyEventTest, EventsWithDifferentTimesAreDistinct) {
  EXPECT_TRUE(apply(R"({"run_id":"r","ts":1})"));
  EXPECT_TRUE(apply(R"({"run_id":"r","ts":2})"));
  EXPECT_FALSE(apply(R"({"run_id":"r","ts":1})"));
  EXPECT_EQ(texts_of(run("r")),
            (std::vector<std::string>{R"({"run_id":"r","ts":1})", R"({"run_id":"r","ts":2})"}));
}

TEST_F(ApplyEventTest, MetadataFirstNonEmptyStringWins) {
  ASSERT_TRUE(apply(R"({"run_id":"r","ts":1,"payload":{"plan_name":""}})"));
  ASSERT_TRUE(apply(R"({"run_id":"r","ts":2,"payload":{"plan_name":42,"studio_label":null}})"));
  EXPECT_EQ(run("r").plan_name, "");
  ASSERT_TRUE(apply(R"({"run_id":"r","ts":3,"payload":{"plan_name":"A"}})"));
  ASSERT_TRUE(apply(R"({"run_id":"r","ts":4,"payload":{"plan_name":"B","plan_hash":"h"}})"));
  // Members outside an object "payload" do not count.
  ASSERT_TRUE(apply(R"({"run_id":"r","ts":5,"plan_version":"top","payload":"x"})"));
  ASSERT_TRUE(apply(R"({"run_id":"r","ts":6,"payload":[{"plan_version":"arr"}]})"));
  ASSERT_TRUE(apply(
      R"({"type":"NodeLog","run_id":"r","ts":7,"payload":{"studio_label":"L","studio_id":"I",)"
      R"("studio_version":"SV","plan_version":"PV","runner_host":"H","log_level":"debug",)"
      R"("artifact_id":"A1","plan_name":"C"}})"));
  const torvesk::Run& r = run("r");
  EXPECT_EQ(r.plan_name, "A");
  EXPECT_EQ(r.plan_hash, "h");
  EXPECT_EQ(r.studio_label, "L");
  EXPECT_EQ(r.studio_id, "I");
  EXPECT_EQ(r.studio_version, "SV");
  EXPECT_EQ(r.plan_version, "PV");
  EXPECT_EQ(r.runner_host, "H");
  EXPECT_EQ(r.log_level, "debug");
  EXPECT_EQ(r.artifact_id, "A1");
}

TEST_F(ApplyEventTest, ObservedAddressFromTopLevelMemberFirstWins) {
  ASSERT_TRUE(apply(R"({"run_id":"r","ts":1,"payload":{"_observed_ip":"9.9.9.9"}})"));
  ASSERT_TRUE(apply(R"({"run_id":"r","ts":2,"_observed_ip":""})"));
  ASSERT_TRUE(apply(R"({"run_id":"r","ts":3,"_observed_ip":7})"));
  EXPECT_EQ(run("r").observed_ip, "");
  ASSERT_TRUE(apply(R"({"run_id":"r","ts":4,"_observed_ip":"10.0.0.5"})"));
  ASSERT_TRUE(apply(R"({"run_id":"r","ts":5,"_observed_ip":"10.0.0.6"})"));
  EXPECT_EQ(run("r").observed_ip, "10.0.0.5");
}

TEST_F(ApplyEventTest, LastSeenFollowsTheLatestAcceptedEventNotTheLargestTime) {
  ASSERT_TRUE(apply(R"({"run_id":"r","ts":9})"));
  ASSERT_TRUE(apply(R"({"run_id":"r","ts":5})"));
  EXPECT_EQ(run("r").last_seen_ms, 5u);
}

TEST_F(ApplyEventTest, NonObjectEventsAreStoredAndGiveNoMetadata) {
  ASSERT_TRUE(apply("[1,2]"));
  ASSERT_TRUE(apply("\"x\""));
  const torvesk::Run& r = run("unknown");
  EXPECT_EQ(r.status, "running");
  EXPECT_EQ(r.last_seen_ms, 1u);
  EXPECT_EQ(texts_of(r), (std::vector<std::string>{"[1,2]", "\"x\""}));
}

TEST_F(ApplyEventTest, RunIdsAreComparedByteForByte) {
  ASSERT_TRUE(apply(R"({"run_id":"r","ts":1})"));
  ASSERT_TRUE(apply(R"({"run_id":"R","ts":1})"));
  ASSERT_TRUE(apply(R"({"run_id":" r","ts":1})"));
  ASSERT_TRUE(apply(R"({"payload":{"run_id":""},"ts":1})"));
  EXPECT_EQ(runs_.size(), 4u);
  EXPECT_EQ(runs_.count(""), 1u);
}

TEST_F(ApplyEventTest, EventCapKeepsTheNewest) {
  ScopedEnv cap("MONITOR_MAX_EVENTS", "3");
  for (int ts = 1; ts <= 5; ++ts) {
    ASSERT_TRUE(apply(R"({"run_id":"r","ts":)" + std::to_string(ts) + "}"));
  }
  EXPECT_EQ(texts_of(run("r")),
            (std::vector<std::string>{R"({"run_id":"r","ts":3})", R"({"run_id":"r","ts":4})",
                                      R"({"run_id":"r","ts":5})"}));
  // Dropped events are still known.
  EXPECT_FALSE(apply(R"({"run_id":"r","ts":1})"));
  EXPECT_EQ(run("r").events.size(), 3u);
  EXPECT_EQ(run("r").fingerprints.size(), 5u);
}

TEST_F(ApplyEventTest, EventCapOfZeroKeepsNoEventsButFollowsTheRun) {
  ScopedEnv cap("MONITOR_MAX_EVENTS", "0");
  ASSERT_TRUE(apply(R"({"type":"RunStarted","run_id":"r","ts":4,"payload":{"plan_name":"P"}})"));
  ASSERT_TRUE(apply(R"({"type":"RunCompleted","run_id":"r","ts":6})"));
  EXPECT_FALSE(apply(R"({"type":"RunCompleted","run_id":"r","ts":6})"));
  const torvesk::Run& r = run("r");
  EXPECT_TRUE(r.events.empty());
  EXPECT_EQ(r.status, "completed");
  EXPECT_EQ(r.plan_name, "P");
  EXPECT_EQ(r.last_seen_ms, 6u);
}

TEST_F(ApplyEventTest, EventCapIsReadAtEachUse) {
  for (int ts = 1; ts <= 4; ++ts) {
    ASSERT_TRUE(apply(R"({"run_id":"r","ts":)" + std::to_string(ts) + "}"));
  }
  ScopedEnv cap("MONITOR_MAX_EVENTS", "2");
  ASSERT_TRUE(apply(R"({"run_id":"r","ts":5})"));
  EXPECT_EQ(run("r").events.size(), 2u);
  EXPECT_EQ(run("r").events.front(), R"({"run_id":"r","ts":4})");
}

TEST_F(ApplyEventTest, UnreadableEventCapGivesTheDefault) {
  for (const char* value : {"abc", "-1", " 5", "5 ", "", "0x10", "99999999999999999999999"}) {
    SCOPED_TRACE(value);
    ScopedEnv cap("MONITOR_MAX_EVENTS", value);
    RunMap runs;
    for (int ts = 1; ts <= 6; ++ts) {
      ASSERT_TRUE(apply_event(runs, event_of(R"({"run_id":"r","ts":)" + std::to_string(ts) + "}")));
    }
    EXPECT_EQ(runs.at("r").events.size(), 6u);
  }
  ScopedEnv cap("MONITOR_MAX_EVENTS", "+5");
  RunMap runs;
  for (int ts = 1; ts <= 6; ++ts) {
    ASSERT_TRUE(apply_event(runs, event_of(R"({"run_id":"r","ts":)" + std::to_string(ts) + "}")));
  }
  EXPECT_EQ(runs.at("r").events.size(), 5u);
}

TEST(EventListTest, KeepsOrderAcrossChunksWhileDroppingFromTheFront) {
  EventList list;
  std::vector<std::string> expected;
  std::size_t dropped = 0;
  for (int i = 0; i < 30000; ++i) {
    // Sizes from tiny to larger than a chunk.
    const std::size_t size = (i % 1000 == 999) ? 3000000 : 1 + (i * 37) % 700;
    std::string text(size, static_cast<char>('a' + i % 26));
    text += std::to_string(i);
    list.push_back(text);
    expected.push_back(text);
    if (list.size() > 2000) {
      list.pop_front();
      ++dropped;
    }
  }
  ASSERT_EQ(list.size(), expected.size() - dropped);
  std::size_t i = dropped;
  std::size_t bytes = 0;
  for (std::string_view text : list) {
    ASSERT_EQ(text, expected[i]) << i;
    bytes += text.size();
    ++i;
  }
  EXPECT_EQ(list.text_bytes(), bytes);
  // Spare room stays a fraction of the held text.
  EXPECT_LE(list.allocated_bytes(), bytes + bytes / 8 + (2u << 20));
  while (!list.empty()) list.pop_front();
  EXPECT_EQ(list.text_bytes(), 0u);
  EXPECT_LE(list.allocated_bytes(), 4u << 20);
}

TEST(EventListTest, SmallListStaysSmall) {
  EventList list;
  list.push_back("{}");
  EXPECT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0], "{}");
  EXPECT_LE(list.allocated_bytes(), 4096u);
  list.pop_front();
  list.push_back("[1]");
  EXPECT_EQ(list.front(), "[1]");
  EXPECT_EQ(list.back(), "[1]");
}

}  // namespace
}  // namespace torvesk
