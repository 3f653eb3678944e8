#include "store/normalize.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "store/json.h"
#include "store_test_support.h"

namespace torvesk {
namespace {

constexpr std::uint64_t kArrival = 1700000000123;

struct LineCase {
  std::string line;
  std::string run_id;
  std::string type;
  std::uint64_t ts;
  std::string canonical;
};

void expect_events(const std::vector<LineCase>& cases) {
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.line);
    int clock_reads = 0;
    const Clock clock = [&] {
      ++clock_reads;
      return kArrival;
    };
    const std::optional<RunEvent> event = normalize_line(c.line, clock);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->run_id, c.run_id);
    EXPECT_EQ(event->type, c.type);
    EXPECT_EQ(event->ts, c.ts);
    EXPECT_EQ(canonical_json(event->json), c.canonical);
    // The clock is read once, and only for a line that brings no time of its own.
    EXPECT_EQ(clock_reads, c.ts == kArrival ? 1 : 0);
  }
}

TEST(NormalizeLineTest, WorkedExamples) {
  expect_events({
      {R"({"type":"NodeLog","run_id":"r1","payload":{"level":"info"}})", "r1", "NodeLog", kArrival,
       R"({"type":"NodeLog","run_id":"r1","payload":{"level":"info"},"ts":1700000000123})"},
      {R"({"timestamp":1700000000000,"event":{"type":"RunStarted","payload":{"run_id":"r2"}}})",
       "r2", "RunStarted", 1700000000000,
       R"({"type":"RunStarted","payload":{"run_id":"r2"},"ts":1700000000000})"},
      {R"({"ts":"5","type":"X","run_id":7})", "unknown", "X", kArrival,
       R"({"ts":1700000000123,"type":"X","run_id":7})"},
      {"[1,2]", "unknown", "", kArrival, "[1,2]"},
  });
}

TEST(NormalizeLineTest, TimeComesFromTsThenEnvelopeThenClock) {
  expect_events({
      {R"({"ts":42,"run_id":"a"})", "a", "", 42, R"({"ts":42,"run_id":"a"})"},
      {R"({"ts":18446744073709551615})", "unknown", "", 18446744073709551615u,
       R"({"ts":18446744073709551615})"},
      {R"({"timestamp":5,"event":{"ts":7,"run_id":"a"}})", "a", "", 7, R"({"ts":7,"run_id":"a"})"},
      {R"({"timestamp":5,"event":{"run_id":"a"}})", "a", "", 5, R"({"run_id":"a","ts":5})"},
      // Only an unsigned integer counts as a time; any other "ts" is replaced where it stands.
      {R"({"ts":-1,"a":1})", "unknown", "", kArrival, R"({"ts":1700000000123,"a":1})"},
      {R"({"ts":-0,"a":1})", "unknown", "", kArrival, R"({"ts":1700000000123,"a":1})"},
      {R"({"ts":5.0,"a":1})", "unknown", "", kArrival, R"({"ts":1700000000123,"a":1})"},
      {R"({"ts":5e3,"a":1})", "unknown", "", kArrival, R"({"ts":1700000000123,"a":1})"},
      {R"({"ts":1.7e12,"a":1})", "unknown", "", kArrival, R"({"ts":1700000000123,"a":1})"},
      {R"({"ts":"1700000000000","a":1})", "unknown", "", kArrival, R"({"ts":1700000000123,"a":1})"},
      {R"({"ts":18446744073709551616,"a":1})", "unknown", "", kArrival,
       R"({"ts":1700000000123,"a":1})"},
      {R"({"ts":null})", "unknown", "", kArrival, R"({"ts":1700000000123})"},
      // A float "timestamp" makes no envelope, and the "event" member stays.
      {R"({"timestamp":5.0,"event":{"type":"T"}})", "unknown", "", kArrival,
       R"({"timestamp":5.0,"event":{"type":"T"},"ts":1700000000123})"},
  });
}

TEST(NormalizeLineTest, EnvelopeRules) {
  expect_events({
      // The envelope's own members go with it.
      {R"({"timestamp":5,"run_id":"a","event":{"type":"T"}})", "unknown", "T", 5,
       R"({"type":"T","ts":5})"},
      {R"({"timestamp":"5","event":{"type":"T"}})", "unknown", "", kArrival,
       R"({"timestamp":"5","event":{"type":"T"},"ts":1700000000123})"},
      {R"({"timestamp":5,"event":[1]})", "unknown", "", 5, R"({"timestamp":5,"event":[1],"ts":5})"},
      // Members of an inner event that would not make it a header or an envelope of its own.
      {R"({"timestamp":5,"event":{"timestamp":"9","event":{"run_id":"in"}}})", "unknown", "", 5,
       R"({"timestamp":"9","event":{"run_id":"in"},"ts":5})"},
      {R"({"timestamp":5,"event":{"timestamp":9,"event":[1]}})", "unknown", "", 5,
       R"({"timestamp":9,"event":[1],"ts":5})"},
      {R"({"timestamp":5,"event":{"kind":"other"}})", "unknown", "", 5,
       R"({"kind":"other","ts":5})"},
      {R"({"kind":"other"})", "unknown", "", kArrival, R"({"kind":"other","ts":1700000000123})"},
      {R"({"kind":"Dravelune-Log-Header"})", "unknown", "", kArrival,
       R"({"kind":"Dravelune-Log-Header","ts":1700000000123})"},
  });
}

TEST(NormalizeLineTest, RunIdAndTypeRules) {
  expect_events({
      {R"({"payload":{"run_id":""},"run_id":"abc"})", "", "", kArrival,
       R"({"payload":{"run_id":""},"run_id":"abc","ts":1700000000123})"},
      {R"({"payload":{"run_id":7},"run_id":"abc"})", "abc", "", kArrival,
       R"({"payload":{"run_id":7},"run_id":"abc","ts":1700000000123})"},
      {R"({"payload":[{"run_id":"x"}],"run_id":"abc"})", "abc", "", kArrival,
       R"({"payload":[{"run_id":"x"}],"run_id":"abc","ts":1700000000123})"},
      {R"({"run_id":null,"type":5})", "unknown", "", kArrival,
       R"({"run_id":null,"type":5,"ts":1700000000123})"},
      {R"({"run_id":"R\u00e9","type":"RunCompleted"})", "R\xc3\xa9", "RunCompleted", kArrival,
       "{\"run_id\":\"R\xc3\xa9\",\"type\":\"RunCompleted\",\"ts\":1700000000123}"},
      {R"({"a":1,"a":2})", "unknown", "", kArrival, R"({"a":2,"ts":1700000000123})"},
      {R"({"run_id":"a","run_id":"b"})", "b", "", kArrival, R"({"run_id":"b","ts":1700000000123})"},
  });
}

TEST(NormalizeLineTest, OtherJsonValuesAreStoredAsParsed) {
  expect_events({
      {"42", "unknown", "", kArrival, "42"},
      {"\"text\"", "unknown", "", kArrival, "\"text\""},
      {"true", "unknown", "", kArrival, "true"},
      {"null", "unknown", "", kArrival, "null"},
      {"-0", "unknown", "", kArrival, "-0.0"},
      {" [ 1 , {\"ts\" : 3} ] ", "unknown", "", kArrival, R"([1,{"ts":3}])"},
  });
}

TEST(NormalizeLineTest, TrimsUnicodeWhiteSpace) {
  expect_events({
      {"\xc2\xa0{\"run_id\":\"a\",\"ts\":1}\xe3\x80\x80", "a", "", 1, R"({"run_id":"a","ts":1})"},
      {"\r\t {\"ts\":1}\r", "unknown", "", 1, R"({"ts":1})"},
      {"\xe2\x80\xa8{\"ts\":1}\xc2\x85", "unknown", "", 1, R"({"ts":1})"},
  });
}

TEST(NormalizeLineTest, YieldsNothing) {
  const std::vector<std::string> lines = {
      "",
      "   \t  ",
      "\xe3\x80\x80",
      R"({"kind":"dravelune-log-header","run_id":"x"})",
      R"({"kind":"dravelune-log-header","timestamp":5,"event":{}})",
      // An inner event that is itself an envelope or a header: stored, it would be read back as
      // another event (or as none) than the one shown live.
      R"({"timestamp":1,"event":{"type":"NodeLog","run_id":"carrier","timestamp":2,)"
      R"("event":{"type":"RunStarted","run_id":"victim","_observed_ip":"10.66.66.66"}}})",
      R"({"timestamp":5,"event":{"kind":"dravelune-log-header"}})",
      R"({"type":"X"} x)",
      R"({"type":"X",})",
      "\xef\xbb\xbf{\"ts\":1}",  // a byte-order mark is not white space
      "{\"ts\":1e400}",
      "not json",
      "\xff",
  };
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    int clock_reads = 0;
    EXPECT_FALSE(normalize_line(line, [&] {
      ++clock_reads;
      return kArrival;
    }));
    EXPECT_EQ(clock_reads, 0);
  }
}

TEST(NormalizeLineTest, JsonTestSuite) {
  namespace fs = std::filesystem;
  int accepted = 0, refused = 0, either = 0;
  for (const auto& entry :
       fs::directory_iterator(testing::testdata_path("jsontestsuite/test_parsing"))) {
    const std::string name = entry.path().filename().string();
    SCOPED_TRACE(name);
    // The whole file is one line here, line feeds included.
    const std::string content = testing::read_file(entry.path().string());
    const std::optional<RunEvent> event = normalize_line(content, testing::fixed_clock(kArrival));
    if (name.starts_with("y_")) {
      EXPECT_TRUE(event);
      ++accepted;
    } else if (name.starts_with("n_")) {
      EXPECT_FALSE(event);
      ++refused;
    } else {
      ++either;  // must only not crash
    }
  }
  EXPECT_EQ(accepted, 95);
  EXPECT_EQ(refused, 188);
  EXPECT_GT(either, 0);
}

}  // namespace
}  // namespace torvesk
