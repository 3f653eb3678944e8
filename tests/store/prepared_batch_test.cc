#include "store/prepared_batch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "store/batch_preparer.h"
#include "store/direct_event.h"
#include "store_test_support.h"

namespace torvesk {
namespace {

// Everything a prepared event carries, with its spans resolved, in a form that compares.
using EventView = std::tuple<std::string, std::string, std::uint64_t, std::uint64_t, int,
                             std::vector<std::pair<int, std::string>>>;

std::vector<EventView> events_of(const PreparedBatch& batch) {
  std::vector<EventView> views;
  for (const PreparedEvent& event : batch.events) {
    std::vector<std::pair<int, std::string>> fields;
    for (std::size_t i = 0; i < event.field_count; ++i) {
      const PreparedField& field = batch.fields.at(event.first_field + i);
      fields.emplace_back(static_cast<int>(field.field), std::string(batch.field_value(field)));
    }
    views.emplace_back(std::string(batch.text_of(event)), std::string(batch.run_id_of(event)),
                       event.ts, event.fingerprint, static_cast<int>(event.status_effect),
                       std::move(fields));
    // Each text is followed by its line feed in the buffer, ready for the log file.
    EXPECT_EQ(batch.texts.view().at(event.text.offset + event.text.size), '\n');
  }
  return views;
}

// Lines of every kind a push holds, numbered from `first` on so that no two are alike, until the
// body passes `bytes`.
std::string body_of(std::size_t bytes, std::string_view ending, std::size_t first = 0) {
  std::string body;
  for (std::size_t i = first; body.size() < bytes; ++i) {
    const std::string n = std::to_string(i);
    switch (i % 7) {
      case 0:
        body += R"({"type":"RunStarted","run_id":"r)" + n +
                R"(","ts":5,"_observed_ip":"9.9.9.9","payload":{"plan_name":"p)" + n +
                R"(","runner_host":"h"}})";
        break;
      case 1:
        body += R"({"type":"NodeLog","run_id":"r1","payload":{"msg":"no time )" + n + R"("}})";
        break;
      case 2:
        body +=
            R"({"timestamp":1700000000000,"event":{"type":"RunCompleted","payload":{"run_id":"r)" +
            n + R"("}}})";
        break;
      case 3:
        body += "not json " + n;
        break;
      case 4:
        body += R"({"type":"RunFailed","run_id":"ré","ts":)" + n +
                R"(,"payload":{"x":[1,2.5,-0,1e300]}})";
        break;
      case 5:
        break;
      default:
        body += "[" + n + "]";
    }
    body += ending;
  }
  return body;
}

TEST(PrepareLines, LargeBodiesGiveTheSameEventsAsOneLineAfterAnother) {
  const Clock clock = [] { return std::uint64_t{77}; };
  ObservedAddressRule rule;
  rule.strip_supplied = true;
  rule.stamp_address = "127.0.0.1";
  struct Case {
    std::string name;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"small body, prepared on one thread", body_of(10 * 1000, "\n")},
      {"line feeds", body_of(3 * 1024 * 1024, "\n")},
      {"carriage returns before line feeds, no final line feed",
       body_of(3 * 1024 * 1024, "\r\n") + R"({"run_id":"last","ts":1})"},
      {"no line feed after the middle", body_of(1024 * 1024, "\n") +
                                            "{\"run_id\":\"long\",\"msg\":\"" +
                                            std::string(2 * 1024 * 1024, 'x') + "\"}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PreparedBatch one_by_one;
    BatchPreparer(clock, rule).add_lines(c.body, one_by_one);
    PreparedBatch prepared;
    prepare_lines(c.body, clock, rule, prepared);
    ASSERT_GT(one_by_one.events.size(), 3u);
    EXPECT_EQ(events_of(prepared), events_of(one_by_one));
    EXPECT_EQ(prepared.texts.view(), one_by_one.texts.view());
  }
}

TEST(PrepareLines, AppendedBatchesReadAsOne) {
  const Clock clock = [] { return std::uint64_t{77}; };
  const ObservedAddressRule rule;
  const std::string first = body_of(2000, "\n");
  const std::string second = body_of(3000, "\n", 1000);
  PreparedBatch whole;
  BatchPreparer(clock, rule).add_lines(first + second, whole);
  PreparedBatch head;
  BatchPreparer(clock, rule).add_lines(first, head);
  PreparedBatch tail;
  BatchPreparer(clock, rule).add_lines(second, tail);
  append_prepared(head, tail);
  EXPECT_EQ(events_of(head), events_of(whole));
  EXPECT_EQ(head.texts.view(), whole.texts.view());
}

// The two rules a preparer runs under: lines from the log files, and pushed lines.
struct RuleCase {
  const char* name;
  ObservedAddressRule rule;
};
const std::vector<RuleCase> kRules = {
    {"log file rule", ObservedAddressRule{}},
    {"ingest rule", ObservedAddressRule{true, "10.1.2.3"}},
};

// add_line, which writes most lines directly, against the tree alone, on one line.
void expect_same_as_tree(std::string_view line) {
  const Clock clock = [] { return std::uint64_t{77}; };
  for (const RuleCase& rule : kRules) {
    SCOPED_TRACE(rule.name);
    PreparedBatch direct;
    BatchPreparer preparer(clock, rule.rule);
    const bool added = preparer.add_line(line, direct);
    PreparedBatch tree;
    EXPECT_EQ(added, BatchPreparer(clock, rule.rule).add_line_through_tree(line, tree));
    EXPECT_EQ(events_of(direct), events_of(tree));
    EXPECT_EQ(direct.texts.view(), tree.texts.view());
  }
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

std::string members(std::size_t count) {
  std::string object = "{";
  for (std::size_t i = 0; i < count; ++i) {
    object += (i == 0 ? "\"m" : ",\"m") + std::to_string(i) + "\":" + std::to_string(i);
  }
  return object + "}";
}

TEST(DirectEventWriter, TakesTheCommonShapesAndDeclinesTheRest) {
  const Clock clock = [] { return std::uint64_t{77}; };
  const ObservedAddressRule ingest{true, "10.1.2.3"};
  struct Case {
    std::string name;
    std::string line;
    ObservedAddressRule rule;
    bool taken;
    std::string canonical;  // when taken
  };
  const std::vector<Case> cases = {
      {"runner event", R"({"type":"NodeLog","ts":5,"payload":{"run_id":"r","msg":"a\u0001\"é"}})",
       ingest, true, R"({"type":"NodeLog","ts":5,"payload":{"run_id":"r","msg":"a\u0001\"é"}})"},
      {"white space and numbers",
       " { \"ts\" : 18446744073709551615 , \"n\" : [ -0 , 1E2 , 0.1 , -7 , true , null , {} ] } ",
       ingest, true, R"({"ts":18446744073709551615,"n":[-0.0,100.0,0.1,-7,true,null,{}]})"},
      {"no time: the arrival time goes last", R"({"a":{}})", ingest, true, R"({"a":{},"ts":77})"},
      {"empty object", "{}", ingest, true, R"({"ts":77})"},
      {"run start gets the address after the time", R"({"type":"RunStarted"})", ingest, true,
       R"({"type":"RunStarted","ts":77,"_observed_ip":"10.1.2.3"})"},
      {"own address kept from a log file", R"({"ts":1,"_observed_ip":"9.9.9.9"})",
       ObservedAddressRule{}, true, R"({"ts":1,"_observed_ip":"9.9.9.9"})"},
      {"escaped member name", R"({"t\u0073":3})", ingest, true, R"({"ts":3})"},
      {"same name in different objects", R"({"a":{"a":{"a":1}},"b":{"a":2},"ts":1})", ingest, true,
       R"({"a":{"a":{"a":1}},"b":{"a":2},"ts":1})"},
      {"most members", members(kMaxDirectMembers), ingest, true, ""},
      {"one member too many", members(kMaxDirectMembers + 1), ingest, false, ""},
      {"name twice", R"({"a":1,"a":2})", ingest, false, ""},
      {"name twice deeper", R"({"p":[{"x":1,"y":2,"x":3}]})", ingest, false, ""},
      {"not an object", "[1]", ingest, false, ""},
      {"string", R"("s")", ingest, false, ""},
      {"header kind", R"({"kind":"x"})", ingest, false, ""},
      {"wrapped event", R"({"timestamp":1,"event":{}})", ingest, false, ""},
      {"signed time", R"({"ts":-1})", ingest, false, ""},
      {"minus zero time", R"({"ts":-0})", ingest, false, ""},
      {"float time", R"({"ts":1.0})", ingest, false, ""},
      {"string time", R"({"ts":"1"})", ingest, false, ""},
      {"object time", R"({"ts":{}})", ingest, false, ""},
      {"supplied address under the ingest rule", R"({"_observed_ip":"1.1.1.1"})", ingest, false,
       ""},
      {"not JSON", R"({"a":})", ingest, false, ""},
      {"text after the value", R"({"a":1} 2)", ingest, false, ""},
      {"float beyond the largest", R"({"a":1e400})", ingest, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PreparedBatch batch;
    DirectEventWriter writer;
    ASSERT_EQ(writer.add(c.line, clock, c.rule, batch), c.taken);
    if (!c.taken) {
      EXPECT_TRUE(batch.texts.empty() && batch.events.empty() && batch.strings.empty());
      continue;
    }
    ASSERT_EQ(batch.events.size(), 1u);
    if (!c.canonical.empty()) {
      EXPECT_EQ(batch.text_of(batch.events.front()), c.canonical);
    }
    PreparedBatch tree;
    ASSERT_TRUE(BatchPreparer(clock, c.rule).add_line_through_tree(c.line, tree));
    EXPECT_EQ(events_of(batch), events_of(tree));
  }
}

TEST(DirectEventWriter, LinesComeOutAsTheTreeMakesThem) {
  const std::string long_escaped =
      std::string(5000, 'x') + "\\n\\u00e9\\\"" + std::string(5000, 'y');
  const std::vector<std::string> lines = {
      // Run ids and fields: payload before top level, empty values, payloads of other kinds.
      R"({"type":"RunStarted","payload":{"run_id":"p","plan_name":"n","runner_host":"","log_level":"info"},"run_id":"t","_observed_ip":"4.4.4.4"})",
      R"({"payload":{"o":{"run_id":"inner"},"plan_name":"after nested"},"run_id":"top"})",
      R"({"payload":{"run_id":""},"run_id":"top"})",
      R"({"payload":[{"run_id":"in array"}],"run_id":"top","type":"RunFailed"})",
      R"({"payload":"text","type":"RunCompleted","ts":3})",
      R"({"type":5,"run_id":7,"payload":{"run_id":null,"plan_name":1}})",
      R"({"pay\u006coad":{"run\u005fid":"escaped names"}})",
      // Strings and names long enough to reach the parser in pieces.
      "{\"msg\":\"" + long_escaped + "\",\"payload\":{\"plan_name\":\"" + long_escaped + "\"}}",
      "{\"" + long_escaped + "\":1,\"" + long_escaped + "\":2}",
      // Shapes the tree handles.
      R"({"kind":"dravelune-log-header","v":1})",
      R"({"timestamp":1700000000000,"event":{"type":"RunStarted","payload":{"run_id":"w"}}})",
      R"({"type":"RunStarted","_observed_ip":"1.1.1.1","a":1,"b":2})",
      R"({"a":1,"ts":"late","a":2})",
      "[1,2]",
      "\"just a string\"",
      "{\"deep\":" + nested(kMaxJsonDepth - 1) + "}",
      "{\"deep\":" + nested(kMaxJsonDepth) + "}",
      members(kMaxDirectMembers + 1),
      // Refused either way.
      "{\"a\":\"\xff\"}",
      R"({"a":"\ud800"})",
      R"({"a":1)",
  };
  for (const std::string& line : lines) {
    SCOPED_TRACE(line.substr(0, 120));
    expect_same_as_tree(line);
  }
}

TEST(DirectEventWriter, JsonTestSuiteComesOutAsTheTreeMakesIt) {
  namespace fs = std::filesystem;
  int files = 0;
  for (const auto& entry :
       fs::directory_iterator(testing::testdata_path("jsontestsuite/test_parsing"))) {
    SCOPED_TRACE(entry.path().filename().string());
    const std::string content = testing::read_file(entry.path().string());
    expect_same_as_tree(content);
    // The same text as a member of an event, where most of it is written directly.
    expect_same_as_tree(R"({"type":"NodeLog","payload":{"run_id":"r","v":)" + content + "}}");
    ++files;
  }
  EXPECT_GT(files, 300);
}

}  // namespace
}  // namespace torvesk
