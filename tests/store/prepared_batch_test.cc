#include "store/prepared_batch.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

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

}  // namespace
}  // namespace torvesk
