#include "store/run_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fake_log_files.h"
#include "store/run_log.h"
#include "store_test_support.h"

namespace torvesk {
namespace {

using testing::ScopedEnv;

std::vector<std::string> texts_of(const Run& run) {
  std::vector<std::string> texts;
  for (std::string_view text : run.events) texts.emplace_back(text);
  return texts;
}

using testing::held_runs;

class IngestBatchTest : public ::testing::Test {
 protected:
  void ingest(std::string_view body, std::optional<std::string> address = std::nullopt) {
    ingest_batch(store_, body, dir_.path(), address, clock_, files_);
  }
  std::vector<std::string> texts(const std::string& id) {
    const auto found = held_runs(store_).find(id);
    return found == held_runs(store_).end() ? std::vector<std::string>{} : texts_of(found->second);
  }
  std::string log_of(const std::string& id) {
    return testing::read_file(dir_.file(run_file_name(id)));
  }

  ScopedEnv max_events_{"MONITOR_MAX_EVENTS", std::nullopt};
  ScopedEnv max_runs_{"MONITOR_MAX_RUNS", std::nullopt};
  testing::ScratchDir dir_;
  testing::FakeLogFiles files_;
  // Large bodies are prepared on two threads at once, which may both read the clock.
  std::atomic<std::uint64_t> next_arrival_{1000};
  Clock clock_ = [this] { return next_arrival_.fetch_add(1); };
  RunStore store_;
};

TEST_F(IngestBatchTest, SplitsLinesAtLineFeeds) {
  struct Case {
    std::string name;
    std::string body;
    std::vector<std::string> stored;
  };
  const std::vector<Case> cases = {
      {"empty body", "", {}},
      {"only line feeds", "\n\n\r\n", {}},
      {"no final line feed", R"({"run_id":"r","ts":1})", {R"({"run_id":"r","ts":1})"}},
      {"final CR LF", "{\"run_id\":\"r\",\"ts\":1}\r\n", {R"({"run_id":"r","ts":1})"}},
      {"mixed endings",
       "{\"run_id\":\"r\",\"ts\":1}\r\n{\"run_id\":\"r\",\"ts\":2}\n\n{\"run_id\":\"r\",\"ts\":3}",
       {R"({"run_id":"r","ts":1})", R"({"run_id":"r","ts":2})", R"({"run_id":"r","ts":3})"}},
      {"CR between tokens", "{\"run_id\":\"r\",\r\"ts\":1}\r\r\n", {R"({"run_id":"r","ts":1})"}},
      {"a lone CR does not end a line",
       "{\"run_id\":\"r\",\"ts\":1}\r{\"run_id\":\"r\",\"ts\":2}",
       {}},
      {"bad lines do not spoil the rest",
       "{\"run_id\":\"r\",\"ts\":1}\nnot json\n{\"kind\":\"dravelune-log-header\"}\n{\"run_id\":"
       "\"r\",\"ts\":2,}\n{\"run_id\":\"r\",\"ts\":3}\n",
       {R"({"run_id":"r","ts":1})", R"({"run_id":"r","ts":3})"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store_.mutate([](RunMap& runs) { runs.clear(); });
    ingest(c.body);
    EXPECT_EQ(texts("r"), c.stored);
  }
}

TEST_F(IngestBatchTest, LinesWithoutTimeReadTheClockEach) {
  ingest("{\"run_id\":\"r\"}\n{\"run_id\":\"r\"}\n{\"run_id\":\"r\",\"ts\":5}\n{\"run_id\":\"r\"}");
  EXPECT_EQ(texts("r"),
            (std::vector<std::string>{R"({"run_id":"r","ts":1000})", R"({"run_id":"r","ts":1001})",
                                      R"({"run_id":"r","ts":5})", R"({"run_id":"r","ts":1002})"}));
}

TEST_F(IngestBatchTest, SuppliedObservedAddressIsSwapRemoved) {
  ingest(R"({"run_id":"r","a":1,"_observed_ip":"x","b":2,"ts":5})"
         "\n"
         R"({"run_id":"r","a":1,"ts":6,"_observed_ip":"x"})"
         "\n"
         R"({"_observed_ip":"1.2.3.4","run_id":"r","ts":7,"type":"NodeLog"})",
         "10.0.0.5");
  EXPECT_EQ(texts("r"), (std::vector<std::string>{
                            R"({"run_id":"r","a":1,"ts":5,"b":2})",
                            R"({"run_id":"r","a":1,"ts":6})",
                            R"({"type":"NodeLog","run_id":"r","ts":7})",
                        }));
  EXPECT_EQ(held_runs(store_).at("r").observed_ip, "");
}

TEST_F(IngestBatchTest, RunStartedIsStampedWithTheSeenAddress) {
  ingest(R"({"type":"RunStarted","payload":{"run_id":"r1"},"ts":1700000000000})"
         "\n"
         R"({"type":"NodeLog","run_id":"r1","ts":1700000000001})"
         "\n"
         R"({"type":"RunStarted","_observed_ip":"1.2.3.4","run_id":"r2","ts":3})"
         "\n"
         R"({"type":"runstarted","run_id":"r3","ts":3})",
         "10.0.0.5");
  EXPECT_EQ(
      texts("r1"),
      (std::vector<std::string>{
          R"({"type":"RunStarted","payload":{"run_id":"r1"},"ts":1700000000000,"_observed_ip":"10.0.0.5"})",
          R"({"type":"NodeLog","run_id":"r1","ts":1700000000001})"}));
  EXPECT_EQ(held_runs(store_).at("r1").observed_ip, "10.0.0.5");
  EXPECT_EQ(texts("r2"),
            (std::vector<std::string>{
                R"({"type":"RunStarted","ts":3,"run_id":"r2","_observed_ip":"10.0.0.5"})"}));
  EXPECT_EQ(held_runs(store_).at("r3").observed_ip, "");
}

TEST_F(IngestBatchTest, NoAddressNoStamp) {
  ingest(R"({"type":"RunStarted","run_id":"r","_observed_ip":"1.2.3.4","ts":1})");
  EXPECT_EQ(texts("r"), (std::vector<std::string>{R"({"type":"RunStarted","run_id":"r","ts":1})"}));
  EXPECT_EQ(held_runs(store_).at("r").observed_ip, "");
}

TEST_F(IngestBatchTest, SameBatchTwiceIsStoredAndLoggedOnce) {
  const std::string body = "{\"run_id\":\"r\",\"ts\":1}\n{\"run_id\":\"r\",\"ts\":2}\n";
  ingest(body);
  ingest(body);
  EXPECT_EQ(texts("r").size(), 2u);
  EXPECT_EQ(log_of("r"), body);
  // The second batch accepted nothing, so it opened no file.
  EXPECT_EQ(files_.opens[dir_.file("r.ndjson")], 1);
}

TEST_F(IngestBatchTest, EqualLinesInOneBatchWithTheSameArrivalAreOneEvent) {
  clock_ = [] { return std::uint64_t{77}; };
  ingest("{\"run_id\":\"r\"}\n{\"run_id\":\"r\"}\n");
  EXPECT_EQ(texts("r"), (std::vector<std::string>{R"({"run_id":"r","ts":77})"}));
  EXPECT_EQ(log_of("r"), "{\"run_id\":\"r\",\"ts\":77}\n");
}

TEST_F(IngestBatchTest, OneAppendPerTouchedRunInAcceptanceOrder) {
  ingest(
      "{\"run_id\":\"a\",\"ts\":1}\n{\"run_id\":\"b\",\"ts\":1}\n{\"run_id\":\"a\",\"ts\":1}\n"
      "{\"run_id\":\"a\",\"ts\":2}\n{\"run_id\":\"b\",\"ts\":2}\n");
  EXPECT_EQ(log_of("a"), "{\"run_id\":\"a\",\"ts\":1}\n{\"run_id\":\"a\",\"ts\":2}\n");
  EXPECT_EQ(log_of("b"), "{\"run_id\":\"b\",\"ts\":1}\n{\"run_id\":\"b\",\"ts\":2}\n");
  EXPECT_EQ(files_.opens[dir_.file("a.ndjson")], 1);
  EXPECT_EQ(files_.opens[dir_.file("b.ndjson")], 1);
  EXPECT_EQ(files_.write_calls, 2);
}

// A large batch shares its appends with a helper thread; each run still gets one append holding
// its new lines in line order, whichever thread writes it.
TEST_F(IngestBatchTest, LargeBatchAppendsEachRunOnceWithItsLinesInOrder) {
  constexpr int kRuns = 40;
  constexpr int kLinesPerRun = 200;
  const std::string pad(100, 'x');
  std::string body;
  std::vector<std::string> expected(kRuns);
  for (int line = 0; line < kRuns * kLinesPerRun; ++line) {
    const int run = (line * 7) % kRuns;  // the runs' lines interleave
    const std::string text = "{\"run_id\":\"r" + std::to_string(run) +
                             "\",\"ts\":" + std::to_string(line + 1) + ",\"pad\":\"" + pad +
                             "\"}\n";
    body += text;
    expected[run] += text;
  }
  ASSERT_GE(body.size(), 1024u * 1024u);
  std::mutex threads_mutex;
  std::set<std::thread::id> writing_threads;
  files_.on_open = [&](const std::string&) {
    std::lock_guard lock(threads_mutex);
    writing_threads.insert(std::this_thread::get_id());
  };
  ingest(body);
  for (int run = 0; run < kRuns; ++run) {
    const std::string id = "r" + std::to_string(run);
    SCOPED_TRACE(id);
    EXPECT_EQ(log_of(id), expected[run]);
    EXPECT_EQ(files_.opens[dir_.file(id + ".ndjson")], 1);
  }
  if (std::thread::hardware_concurrency() > 1) {
    EXPECT_EQ(writing_threads.size(), 2u);
  }
}

TEST_F(IngestBatchTest, TwoPushesLeaveExactlyTwoLines) {
  ingest(R"({"type":"RunStarted","payload":{"run_id":"r"},"ts":1700000000000})", "127.0.0.1");
  ingest("{\"type\":\"NodeLog\",\"run_id\":\"r\",\"msg\":\"caf\xc3\xa9\\u0001\",\"ts\":2}\n");
  EXPECT_EQ(log_of("r"),
            "{\"type\":\"RunStarted\",\"payload\":{\"run_id\":\"r\"},\"ts\":1700000000000,"
            "\"_observed_ip\":\"127.0.0.1\"}\n"
            "{\"type\":\"NodeLog\",\"run_id\":\"r\",\"msg\":\"caf\xc3\xa9\\u0001\",\"ts\":2}\n");
}

TEST_F(IngestBatchTest, FilesAreWrittenWithTheLockReleased) {
  bool lock_was_free = true;
  files_.on_open = [&](const std::string&) {
    if (!store_.lock_is_free()) lock_was_free = false;
  };
  ingest("{\"run_id\":\"a\",\"ts\":1}\n{\"run_id\":\"b\",\"ts\":1}\n");
  EXPECT_EQ(files_.opens.size(), 2u);
  EXPECT_TRUE(lock_was_free);
}

// A runner that pushes a batch again while the first push is still being written must not be
// answered before those events are on disk: a crash right then would lose what it was told was
// kept.
TEST_F(IngestBatchTest, RetriedBatchReturnsOnlyAfterTheOriginalIsWritten) {
  const std::string batch = "{\"run_id\":\"r\",\"ts\":1}\n{\"run_id\":\"r\",\"ts\":2}\n";
  std::promise<void> original_opening;
  std::promise<void> release_original;
  std::shared_future<void> released = release_original.get_future().share();
  files_.on_open = [&, first = true](const std::string&) mutable {
    if (!std::exchange(first, false)) return;
    original_opening.set_value();
    released.wait();
  };
  std::thread original([&] { ingest(batch); });
  original_opening.get_future().wait();

  std::atomic<bool> retry_returned{false};
  std::thread retry([&] {
    ingest(batch);
    retry_returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(retry_returned) << "answered while the original was still unwritten";
  release_original.set_value();
  original.join();
  retry.join();
  EXPECT_TRUE(retry_returned);
  EXPECT_EQ(log_of("r"), batch);

  // A batch of new events alone does not wait for anyone.
  ingest("{\"run_id\":\"r\",\"ts\":3}\n");
  EXPECT_EQ(texts("r").size(), 3u);
}

TEST_F(IngestBatchTest, UnwritableFileStillShowsTheEvents) {
  files_.fail_open = true;
  ingest("{\"run_id\":\"r\",\"ts\":1}\n");
  EXPECT_EQ(texts("r").size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("r.ndjson")));
}

TEST_F(IngestBatchTest, MissingDataFolderKeepsWorkingFromMemory) {
  ingest_batch(store_, "{\"run_id\":\"r\",\"ts\":1}\n", dir_.file("missing/deeper"), std::nullopt);
  EXPECT_EQ(texts("r").size(), 1u);
}

TEST_F(IngestBatchTest, RunCapEvictsTheLeastRecentlySeenAfterTheBatch) {
  ScopedEnv cap("MONITOR_MAX_RUNS", "2");
  ingest(
      "{\"run_id\":\"a\",\"ts\":10}\n{\"run_id\":\"b\",\"ts\":30}\n{\"run_id\":\"c\",\"ts\":20}\n");
  EXPECT_EQ(held_runs(store_).size(), 2u);
  EXPECT_EQ(held_runs(store_).count("a"), 0u);
  // The evicted run's file stays, and the batch wrote it.
  EXPECT_EQ(log_of("a"), "{\"run_id\":\"a\",\"ts\":10}\n");
  // It comes back as a new run, with no memory of its earlier events.
  ingest("{\"run_id\":\"a\",\"ts\":10}\n{\"run_id\":\"a\",\"ts\":40}\n");
  EXPECT_EQ(texts("a").size(), 2u);
  EXPECT_EQ(held_runs(store_).count("c"), 0u);
}

TEST_F(IngestBatchTest, RunCapIsAppliedEvenAfterAnEmptyBatch) {
  for (int i = 0; i < 5; ++i) {
    ingest("{\"run_id\":\"r" + std::to_string(i) + "\",\"ts\":" + std::to_string(i) + "}");
  }
  ASSERT_EQ(held_runs(store_).size(), 5u);
  ScopedEnv cap("MONITOR_MAX_RUNS", "3");
  ingest("");
  EXPECT_EQ(held_runs(store_).size(), 3u);
  EXPECT_EQ(held_runs(store_).count("r0") + held_runs(store_).count("r1"), 0u);
  ScopedEnv zero("MONITOR_MAX_RUNS", "0");
  ingest("not json\n\n");
  EXPECT_TRUE(held_runs(store_).empty());
  // A cap of 0 runs still writes the batch's lines.
  ingest("{\"run_id\":\"z\",\"ts\":1}");
  EXPECT_TRUE(held_runs(store_).empty());
  EXPECT_EQ(log_of("z"), "{\"run_id\":\"z\",\"ts\":1}\n");
}

TEST(EvictRunsTest, StableByLastSeen) {
  RunMap runs;
  for (const auto& [id, seen] : std::vector<std::pair<std::string, std::uint64_t>>{
           {"a", 10}, {"b", 20}, {"c", 30}, {"d", 5}, {"e", 30}}) {
    runs[id].last_seen_ms = seen;
  }
  const auto ids_of = [](const std::vector<RunMap::node_type>& nodes) {
    std::vector<std::string> ids;
    for (const RunMap::node_type& node : nodes) ids.push_back(node.key());
    return ids;
  };
  EXPECT_EQ(ids_of(evict_runs(runs, 3)), (std::vector<std::string>{"d", "a"}));
  EXPECT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs.count("a") + runs.count("d"), 0u);
  EXPECT_TRUE(evict_runs(runs, 3).empty());
  EXPECT_EQ(runs.size(), 3u);
  EXPECT_EQ(evict_runs(runs, 0).size(), 3u);
  EXPECT_TRUE(runs.empty());
}

TEST_F(IngestBatchTest, ReadersNeverSeeHalfABatch) {
  constexpr int kLinesPerBatch = 50;
  constexpr int kBatches = 40;
  std::atomic<bool> done = false;
  std::atomic<int> half_seen = 0;
  std::thread reader([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done && std::chrono::steady_clock::now() < deadline) {
      store_.read([&](const RunMap& runs) {
        const auto found = runs.find("r");
        if (found != runs.end() && found->second.events.size() % kLinesPerBatch != 0) {
          ++half_seen;
        }
      });
    }
  });
  for (int batch = 0; batch < kBatches; ++batch) {
    std::string body;
    for (int line = 0; line < kLinesPerBatch; ++line) {
      body += "{\"run_id\":\"r\",\"ts\":" + std::to_string(batch * kLinesPerBatch + line) + "}\n";
    }
    ingest_batch(store_, body, dir_.path(), std::nullopt, clock_, files_);
  }
  done = true;
  reader.join();
  EXPECT_EQ(half_seen, 0);
  EXPECT_EQ(texts("r").size(), static_cast<std::size_t>(kLinesPerBatch * kBatches));
}

}  // namespace
}  // namespace torvesk
