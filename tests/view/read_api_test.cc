#include "view/read_api.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/string.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../store/fake_log_files.h"
#include "../store/store_test_support.h"
#include "store/run_log.h"

namespace torvesk {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

Run make_run(std::string status, std::uint64_t last_seen_ms, std::vector<std::string> events) {
  torvesk::Run run;
  run.status = std::move(status);
  run.last_seen_ms = last_seen_ms;
  for (std::string& event : events) run.events.push_back(std::move(event));
  return run;
}

TEST(RunList, EmptyStore) {
  RunStore store;
  const Response response = run_list(store, "C:\\Users\\me\\torvesk-runs");
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.headers, (Headers{{"Content-Type", "application/json"}}));
  EXPECT_EQ(response.body, R"({"runs":[],"data_dir":"C:\\Users\\me\\torvesk-runs"})");
  EXPECT_TRUE(store.lock_is_free());
}

TEST(RunList, NewestFirstWithEveryKeyInOrder) {
  RunStore store;
  torvesk::Run older = make_run("completed", 5, {R"({"ts":4})", R"({"ts":5})"});
  older.plan_name = "nightly";
  older.studio_label = "Studio A";
  older.observed_ip = "10.0.0.5";
  older.studio_id = "not in the summary";
  store.mutate([&](RunMap& runs) { runs.emplace("r-old", std::move(older)); });
  store.mutate([&](RunMap& runs) { runs.emplace("r-new", make_run("running", 9, {})); });
  store.mutate([&](RunMap& runs) {
    runs.emplace("r-max", make_run("failed", UINT64_MAX, {R"({"ts":1})"}));
  });

  const Response response = run_list(store, "/var/lib/torvesk");
  EXPECT_EQ(
      response.body,
      R"({"runs":[)"
      R"({"run_id":"r-max","plan_name":"","studio_label":"","observed_ip":"","status":"failed","events":1,"last_seen_ms":18446744073709551615},)"
      R"({"run_id":"r-new","plan_name":"","studio_label":"","observed_ip":"","status":"running","events":0,"last_seen_ms":9},)"
      R"({"run_id":"r-old","plan_name":"nightly","studio_label":"Studio A","observed_ip":"10.0.0.5","status":"completed","events":2,"last_seen_ms":5}],)"
      R"("data_dir":"/var/lib/torvesk"})");
}

TEST(RunList, ManyRunsSortedWithTiesKept) {
  RunStore store;
  std::mt19937 random(7);
  for (int i = 0; i < 300; ++i) {
    store.mutate([&](RunMap& runs) {
      runs.emplace("run-" + std::to_string(i), make_run("running", random() % 40, {}));
    });
  }
  const boost::json::value list = boost::json::parse(run_list(store, "/d").body);
  const boost::json::array& runs = list.at("runs").as_array();
  ASSERT_EQ(runs.size(), 300u);
  for (std::size_t i = 1; i < runs.size(); ++i) {
    EXPECT_GE(runs[i - 1].at("last_seen_ms").to_number<std::uint64_t>(),
              runs[i].at("last_seen_ms").to_number<std::uint64_t>());
  }
}

// The list answer is reused while nothing changes; every batch, even one that changes nothing
// visible, and every load are seen by the next list.
TEST(RunList, NextListShowsEveryBatchAndLoad) {
  RunStore store;
  testing::ScratchDir dir;
  testing::FakeLogFiles files;
  std::uint64_t clock_ms = 1000;
  const Clock clock = [&] { return clock_ms; };
  const auto ids = [&](const std::string& data_dir) {
    std::vector<std::string> listed;
    const boost::json::value list = boost::json::parse(run_list(store, data_dir).body);
    for (const auto& run : list.at("runs").as_array()) {
      listed.emplace_back(run.at("run_id").as_string());
    }
    return listed;
  };
  const auto push = [&](const std::string& body) {
    ingest_batch(store, body, dir.path(), std::nullopt, clock, files);
  };

  push(R"({"run_id":"a","ts":1})");
  EXPECT_EQ(ids(dir.path()), std::vector<std::string>{"a"});
  EXPECT_EQ(run_list(store, dir.path()).body, run_list(store, dir.path()).body);

  clock_ms = 2000;
  push(R"({"run_id":"b","ts":2})");
  EXPECT_EQ(ids(dir.path()), (std::vector<std::string>{"b", "a"}));

  {
    SCOPED_TRACE("another data folder text");
    const auto other = boost::json::parse(run_list(store, "elsewhere").body);
    EXPECT_EQ(other.at("data_dir"), "elsewhere");
  }
  {
    SCOPED_TRACE("a batch that only evicts");
    testing::ScopedEnv cap("MONITOR_MAX_RUNS", "1");
    push("");
    EXPECT_EQ(ids(dir.path()), std::vector<std::string>{"b"});
  }
  {
    SCOPED_TRACE("a load");
    testing::write_file(dir.file("c.ndjson"), "{\"run_id\":\"c\",\"ts\":3}\n");
    clock_ms = 3000;
    load_runs(dir.path(), store, clock, files);
    const std::vector<std::string> listed = ids(dir.path());
    EXPECT_NE(std::find(listed.begin(), listed.end(), "c"), listed.end());
  }
}

TEST(ReadAnswers, StringsAreEscapedLikeTheCanonicalText) {
  const std::vector<std::string> values = {
      "quote \" and backslash \\",
      "controls \b\t\n\f\r",
      std::string("other controls \x01\x1f and NUL ") + '\0',
      "solidus / and DEL \x7f",
      "\xC3\xA9 \xE2\x82\xAC \xF0\x9D\x84\x9E",
  };
  for (const std::string& value : values) {
    SCOPED_TRACE(value);
    RunStore store;
    torvesk::Run run = make_run("running", 1, {});
    run.plan_name = value;
    store.mutate([&](RunMap& runs) { runs.emplace(value, std::move(run)); });
    const std::string expected = boost::json::serialize(boost::json::string(value));
    const std::string list = run_list(store, value).body;
    EXPECT_NE(list.find("\"run_id\":" + expected + ","), std::string::npos) << list;
    EXPECT_NE(list.find("\"plan_name\":" + expected + ","), std::string::npos) << list;
    EXPECT_NE(list.find("\"data_dir\":" + expected + "}"), std::string::npos) << list;
    const std::string detail = run_detail(store, value).body;
    EXPECT_NE(detail.find("{\"run_id\":" + expected + ",\"plan_name\":" + expected + ","),
              std::string::npos)
        << detail;
  }
  RunStore store;
  torvesk::Run run = make_run("running", 1, {});
  run.plan_name = std::string("a\"\\\n\x01/\xC3\xA9", 8);
  store.mutate([&](RunMap& runs) { runs.emplace("x", std::move(run)); });
  EXPECT_NE(run_list(store, "").body.find(R"("plan_name":"a\"\\\n\u0001/)"
                                          "\xC3\xA9\""),
            std::string::npos);
}

TEST(RunDetail, ThirteenKeysInOrderAndEventsAsHeld) {
  RunStore store;
  // Held texts go out byte for byte: "5.0" would come back as "5E0" from a generic serialiser.
  torvesk::Run run = make_run(
      "failed", 6, {R"({"b":1,"a":2,"ts":5})", R"({"v":5.0,"ts":6,"s":"\u0001"})", "[1,2]", "42"});
  run.plan_name = "plan";
  run.studio_label = "label";
  run.studio_id = "sid";
  run.studio_version = "1.2";
  run.plan_version = "7";
  run.plan_hash = "sha256:ab";
  run.runner_host = "host-1";
  run.log_level = "debug";
  run.artifact_id = "art";
  run.observed_ip = "::1";
  store.mutate([&](RunMap& runs) { runs.emplace("r1", std::move(run)); });

  const Response response = run_detail(store, "r1");
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.headers, (Headers{{"Content-Type", "application/json"}}));
  EXPECT_EQ(response.body,
            R"({"run_id":"r1","plan_name":"plan","status":"failed","studio_label":"label",)"
            R"("studio_id":"sid","studio_version":"1.2","plan_version":"7",)"
            R"("plan_hash":"sha256:ab","runner_host":"host-1","log_level":"debug",)"
            R"("artifact_id":"art","observed_ip":"::1","events":[)"
            R"({"b":1,"a":2,"ts":5},{"v":5.0,"ts":6,"s":"\u0001"},[1,2],42]})");
  EXPECT_TRUE(store.lock_is_free());
}

TEST(RunDetail, RunWithoutEventsOrMetadata) {
  RunStore store;
  store.mutate([&](RunMap& runs) { runs.emplace("", make_run("running", 0, {})); });
  EXPECT_EQ(run_detail(store, "").body,
            R"({"run_id":"","plan_name":"","status":"running","studio_label":"","studio_id":"",)"
            R"("studio_version":"","plan_version":"","plan_hash":"","runner_host":"",)"
            R"("log_level":"","artifact_id":"","observed_ip":"","events":[]})");
}

TEST(RunDetail, UnknownRunIsAJsonObjectWithStatus200) {
  RunStore store;
  store.mutate([&](RunMap& runs) { runs.emplace("a b", make_run("running", 1, {})); });
  for (const std::string id : {"nope", "", "A B", "a b ", "a"}) {
    SCOPED_TRACE(id);
    const Response response = run_detail(store, id);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.headers, (Headers{{"Content-Type", "application/json"}}));
    EXPECT_EQ(response.body, R"({"error":"run not found"})");
  }
  EXPECT_EQ(run_detail(store, "a b").body.rfind(R"({"run_id":"a b",)", 0), 0u);
  EXPECT_TRUE(store.lock_is_free());
}

TEST(RunDownload, OneLinePerHeldEventMatchingTheDetail) {
  RunStore store;
  const std::vector<std::string> events = {R"({"type":"RunStarted","ts":1})",
                                           R"({"type":"NodeLog","ts":2,"m":"a\nb"})",
                                           R"({"type":"RunCompleted","ts":3})"};
  store.mutate([&](RunMap& runs) { runs.emplace("x.y", make_run("completed", 3, events)); });

  const Response response = run_download(store, "x.y");
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.headers,
            (Headers{{"Content-Type", "application/x-ndjson"},
                     {"Content-Disposition", "attachment; filename=\"x_y.ndjson\""}}));
  EXPECT_EQ(response.body, events[0] + "\n" + events[1] + "\n" + events[2] + "\n");
  const std::string detail = run_detail(store, "x.y").body;
  EXPECT_NE(detail.find("\"events\":[" + events[0] + "," + events[1] + "," + events[2] + "]}"),
            std::string::npos);
  EXPECT_TRUE(store.lock_is_free());
}

TEST(RunDownload, FileNameFollowsTheLogFileRule) {
  struct Case {
    std::string id;
    const char* disposition;
  };
  const std::vector<Case> cases = {
      {"a b/\xC3\xA7", "attachment; filename=\"a_b__.ndjson\""},
      {"", "attachment; filename=\"unknown.ndjson\""},
      {"Run-42_\"x\"", "attachment; filename=\"Run-42__x_.ndjson\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    RunStore store;
    store.mutate([&](RunMap& runs) { runs.emplace(c.id, make_run("running", 1, {})); });
    const Response response = run_download(store, c.id);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "");  // a run that holds no events
    ASSERT_EQ(response.headers.size(), 2u);
    EXPECT_EQ(response.headers[1].first, "Content-Disposition");
    EXPECT_EQ(response.headers[1].second, c.disposition);
  }
}

TEST(RunDownload, UnknownRunIs404PlainText) {
  RunStore store;
  store.mutate([&](RunMap& runs) { runs.emplace("abc", make_run("running", 1, {"{}"})); });
  for (const std::string id : {"nope", "", "ABC"}) {
    SCOPED_TRACE(id);
    const Response response = run_download(store, id);
    EXPECT_EQ(response.status, 404);
    EXPECT_EQ(response.body, "run not found");
    EXPECT_EQ(response.headers, (Headers{{"Content-Type", "text/plain; charset=UTF-8"}}));
  }
}

TEST(DashboardPage, TheEmbeddedPageAsHtml) {
  const Response response = dashboard_page();
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.headers, (Headers{{"Content-Type", "text/html; charset=utf-8"}}));
  EXPECT_FALSE(response.body.empty());
  EXPECT_EQ(response.body, dashboard_html());
}

// Events are added two at a time under the lock; an answer built partly before and partly after
// such a pair would show an odd count.
TEST(ReadAnswers, EachAnswerIsOneSnapshot) {
  RunStore store;
  store.mutate([&](RunMap& runs) { runs.emplace("r", make_run("running", 0, {})); });
  constexpr int kPairs = 2000;
  std::atomic<bool> done = false;
  std::thread writer([&] {
    for (int i = 0; i < kPairs; ++i) {
      store.mutate([&](RunMap& runs) {
        torvesk::Run& run = runs.at("r");
        run.events.push_back(R"({"ts":)" + std::to_string(2 * i) + "}");
        run.events.push_back(R"({"ts":)" + std::to_string(2 * i + 1) + "}");
        run.last_seen_ms = 2 * i + 1;
      });
    }
    done = true;
  });
  // Checked after the join, so that a failure never leaves the writer running.
  bool torn = false;
  for (int reads = 0; !done && !torn && reads < 100000; ++reads) {
    const boost::json::value detail = boost::json::parse(run_detail(store, "r").body);
    torn |= detail.at("events").as_array().size() % 2 != 0;
    const std::string download = run_download(store, "r").body;
    torn |= std::count(download.begin(), download.end(), '\n') % 2 != 0;
    const boost::json::value list = boost::json::parse(run_list(store, "/d").body);
    const boost::json::value& summary = list.at("runs").at(0);
    const auto events = summary.at("events").to_number<std::uint64_t>();
    const auto last_seen = summary.at("last_seen_ms").to_number<std::uint64_t>();
    torn |= events != (events == 0 ? 0 : last_seen + 1);
  }
  writer.join();
  EXPECT_FALSE(torn);
}

}  // namespace
}  // namespace torvesk
