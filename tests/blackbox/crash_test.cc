// The monitor killed with SIGKILL while it ingests, then started again on the same data folder:
// every event of every batch that was answered 200 is there after each restart, and none twice.
// TORVESK_CRASH_ROUNDS sets the number of kills (default 5; tests/reliability/crash-rounds runs
// 50).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>
#include <utility>

#include "support/monitor_process.h"

namespace torvesk::testing {
namespace {

constexpr int kDefaultRounds = 5;
// Every round pushes for at most this long before the kill.
constexpr auto kLongestPushing = 400ms;

// Events whose text is already canonical, so the stored line equals the pushed one. Their
// messages are mostly two- and three-byte characters, so a cut write usually splits one.
std::string event_line(const std::string& run_id, std::uint64_t seq, std::size_t message_bytes) {
  std::string message;
  while (message.size() < message_bytes) message += "\xC3\xA9\xE2\x82\xAC-";  // "é€-"
  return "{\"type\":\"NodeLog\",\"run_id\":\"" + run_id + "\",\"ts\":" + std::to_string(seq) +
         ",\"payload\":{\"seq\":" + std::to_string(seq) + ",\"msg\":\"" + message + "\"}}";
}

std::optional<HttpResponse> push(const MonitorProcess& monitor, const std::string& body) {
  Connection connection(monitor.address(), monitor.port());
  if (!connection.connected()) return std::nullopt;
  if (!connection.send(request_text(monitor, "POST", "/ingest",
                                    {{"Content-Type", "application/x-ndjson"}}, body))) {
    return std::nullopt;
  }
  return connection.read_response(30s);
}

// The sequence number of one of the events below; 0 when the line holds none.
std::uint64_t seq_of(const std::string& line) {
  const std::size_t at = line.find("\"seq\":");
  return at == std::string::npos ? 0 : std::strtoull(line.c_str() + at + 6, nullptr, 10);
}

struct StoredEvent {
  std::size_t hash = 0;  // of the whole line
  int count = 0;
};

// What the monitor holds for these runs, by sequence number.
std::map<std::uint64_t, StoredEvent> stored_events(const MonitorProcess& monitor,
                                                   const std::vector<std::string>& run_ids) {
  std::map<std::uint64_t, StoredEvent> stored;
  for (const std::string& run_id : run_ids) {
    Connection connection(monitor.address(), monitor.port());
    EXPECT_TRUE(
        connection.send(request_text(monitor, "GET", "/api/runs/" + run_id + "/download", {}, "")));
    const auto download = connection.read_response(60s);
    EXPECT_TRUE(download) << run_id;
    if (!download || download->status != 200) continue;
    for (const std::string& line : lines_of(download->body)) {
      StoredEvent& event = stored[seq_of(line)];
      event.hash = std::hash<std::string>()(line);
      ++event.count;
    }
  }
  return stored;
}

struct CutCase {
  std::string name;
  std::string cut_before;  // the last line is cut just before this text
  bool cut_line_survives;  // nothing but the line feed was lost
};

// A run's file whose last line was cut off (a write that ended part-way), appended to through a
// running monitor, then loaded again: only the cut line is lost.
TEST(CrashSafety, FileCutInsideItsLastLineKeepsEveryOtherLineAfterAppendAndReload) {
  const std::vector<std::string> first = {
      R"({"type":"NodeLog","run_id":"cut","ts":1,"payload":{"level":"info"}})",
      R"({"type":"NodeLog","run_id":"cut","ts":2,"payload":{"msg":"caf)"
      "\xC3\xA9"
      R"("}})",
      R"({"type":"NodeLog","run_id":"cut","ts":3,"payload":{"msg":"12 )"
      "\xE2\x82\xAC"
      R"( due"}})"};
  const std::vector<std::string> later = {R"({"type":"NodeLog","run_id":"cut","ts":4})",
                                          R"({"type":"RunCompleted","run_id":"cut","ts":5})"};
  const std::vector<CutCase> cases = {
      {"inside a name", "d\":\"cut\",\"ts\":3", false},
      {"inside a three-byte character", "\x82\xAC due", false},
      {"between the two halves of a line", "\"payload\":{\"msg\":\"12", false},
      {"only the line feed", "\n", true},
  };
  std::size_t kept = 0, expected_total = 0;
  for (const CutCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    MonitorOptions options;
    options.data_dir = dir.path();
    const std::string file = dir.path() + "/cut.ndjson";
    {
      MonitorProcess monitor(options);
      ASSERT_TRUE(monitor.started());
      std::string body;
      for (const std::string& line : first) body += line + "\n";
      const auto pushed = push(monitor, body);
      ASSERT_TRUE(pushed);
      ASSERT_EQ(pushed->status, 200);
    }
    const std::string written = read_file(file);
    const std::size_t last_line = written.rfind('\n', written.size() - 2) + 1;
    const std::size_t cut = written.find(c.cut_before, last_line);
    ASSERT_NE(cut, std::string::npos);
    std::filesystem::resize_file(file, cut);

    std::vector<std::string> expected(first.begin(), first.end() - 1);
    if (c.cut_line_survives) expected.push_back(first.back());
    {
      MonitorProcess monitor(options);
      ASSERT_TRUE(monitor.started());
      std::string body;
      for (const std::string& line : later) body += line + "\n";
      const auto pushed = push(monitor, body);
      ASSERT_TRUE(pushed);
      ASSERT_EQ(pushed->status, 200);
      monitor.kill();
    }
    expected.insert(expected.end(), later.begin(), later.end());
    MonitorProcess reloaded(options);
    ASSERT_TRUE(reloaded.started());
    const auto download = http_request(reloaded, "GET", "/api/runs/cut/download");
    ASSERT_TRUE(download);
    const std::vector<std::string> loaded = lines_of(download->body);
    EXPECT_EQ(loaded, expected);
    for (const std::string& line : expected) {
      if (std::find(loaded.begin(), loaded.end(), line) != loaded.end()) ++kept;
    }
    expected_total += expected.size();
  }
  std::printf("[figure] cut last line, append, reload: %zu/%zu whole events back over %zu cuts\n",
              kept, expected_total, cases.size());
}

int crash_rounds() {
  const char* text = std::getenv("TORVESK_CRASH_ROUNDS");
  const int rounds = text ? std::atoi(text) : 0;
  return rounds > 0 ? rounds : kDefaultRounds;
}

// The lines of one push.
struct Batch {
  std::vector<std::string> lines;
  std::string body() const {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
  }
};

// Pushes batches until one gets no answer (the monitor was killed) or a round's share of bytes is
// sent; a batch without an answer is sent again after the restart, as a runner would.
class Pusher {
 public:
  static inline const std::string kSharedRun = "crash-shared";

  Pusher(std::string own_run, std::atomic<std::uint64_t>& next_seq, unsigned seed)
      : own_run_(std::move(own_run)), next_seq_(next_seq), random_(seed) {}

  // Adds the sequence number and line hash of every acknowledged event to `acknowledged`.
  void run(const MonitorProcess& monitor,
           std::vector<std::pair<std::uint64_t, std::size_t>>& acknowledged) {
    std::size_t pushed_bytes = 0;
    while (pushed_bytes < kMaxBytesPerRound) {
      if (!unanswered_) unanswered_ = next_batch();
      const std::string body = unanswered_->body();
      const auto response = push(monitor, body);
      if (!response) return;  // killed: the batch's fate is unknown
      if (response->status == 200) {
        for (const std::string& line : unanswered_->lines) {
          acknowledged.emplace_back(seq_of(line), std::hash<std::string>()(line));
        }
        unanswered_.reset();
      }
      pushed_bytes += body.size();
    }
  }
  bool has_unanswered() const { return unanswered_.has_value(); }

 private:
  // Keeps the data folder, which every restart reads whole, to a size that 50 rounds can
  // reload quickly.
  static constexpr std::size_t kMaxBytesPerRound = 6 * 1024 * 1024;

  Batch next_batch() {
    // Mostly small batches; every fourth a large one of about 1 MiB, so kills also land inside
    // long appends. Some lines go to a run the other pusher writes too.
    const bool large = random_() % 4 == 0;
    const std::size_t count = large ? 4000 : 1 + random_() % 40;
    Batch batch;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint64_t seq = next_seq_.fetch_add(1);
      const std::string& run = random_() % 8 == 0 ? kSharedRun : own_run_;
      batch.lines.push_back(event_line(run, seq, 100 + random_() % 100));
    }
    return batch;
  }

  std::string own_run_;
  std::atomic<std::uint64_t>& next_seq_;
  std::mt19937 random_;
  std::optional<Batch> unanswered_;
};

off_t file_size(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

// Whether the file ends in an unfinished line, and whether that line ends inside a character.
std::pair<bool, bool> torn_end(const std::string& path) {
  const std::string text = read_file(path);
  if (text.empty() || text.back() == '\n') return {false, false};
  std::size_t lead = text.size();
  while (lead > 0 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) --lead;
  if (lead == 0) return {true, false};
  const auto c = static_cast<unsigned char>(text[lead - 1]);
  const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
  return {true, text.size() - (lead - 1) < length};
}

TEST(CrashSafety, KillsDuringPushesLoseNoAcknowledgedEvent) {
  const int rounds = crash_rounds();
  TempDir dir;
  MonitorOptions options;
  options.data_dir = dir.path();
  options.env = {{"MONITOR_MAX_EVENTS", "100000000"},
                 {"MONITOR_MAX_RUNS", "100000"},
                 {"MONITOR_RATE_BYTES_PER_MIN", "0"}};
  const std::vector<std::string> runs = {"crash-0", "crash-1", Pusher::kSharedRun};
  std::atomic<std::uint64_t> next_seq{1};
  std::vector<Pusher> pushers;
  pushers.reserve(2);
  for (unsigned i = 0; i < 2; ++i) pushers.emplace_back(runs[i], next_seq, 1000 + i);
  // Sequence number and line hash of every event answered 200.
  std::vector<std::pair<std::uint64_t, std::size_t>> acknowledged;
  std::mt19937 random(7);

  int kills_while_growing = 0, torn = 0, torn_in_character = 0, retried = 0;
  std::size_t missing_total = 0, doubled_total = 0, changed_total = 0;
  for (int round = 0; round <= rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    MonitorProcess monitor(options);
    ASSERT_TRUE(monitor.started());
    // Every acknowledged event is back, unchanged and once; nothing at all is there twice.
    const std::map<std::uint64_t, StoredEvent> stored = stored_events(monitor, runs);
    std::size_t missing = 0, doubled = 0, changed = 0;
    for (const auto& [seq, hash] : acknowledged) {
      const auto found = stored.find(seq);
      if (found == stored.end()) {
        ++missing;
      } else if (found->second.hash != hash) {
        ++changed;
      }
    }
    for (const auto& [seq, event] : stored) doubled += event.count > 1 ? 1 : 0;
    EXPECT_EQ(stored.count(0), 0u) << "a line that is none of the pushed events";
    EXPECT_EQ(missing, 0u) << "of " << acknowledged.size() << " acknowledged events";
    EXPECT_EQ(changed, 0u);
    EXPECT_EQ(doubled, 0u);
    missing_total += missing;
    doubled_total += doubled;
    changed_total += changed;
    if (round == rounds) break;

    for (const Pusher& pusher : pushers) retried += pusher.has_unanswered() ? 1 : 0;
    std::vector<std::vector<std::pair<std::uint64_t, std::size_t>>> acknowledged_now(
        pushers.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < pushers.size(); ++i) {
      threads.emplace_back([&, i] { pushers[i].run(monitor, acknowledged_now[i]); });
    }
    // Half of the kills come at a random moment, half as soon as a run's file grows, to land
    // inside an append.
    const auto pushing = std::chrono::milliseconds(20 + random() % (kLongestPushing.count() - 20));
    if (round % 2 == 0) {
      std::this_thread::sleep_for(pushing);
    } else {
      std::this_thread::sleep_for(pushing / 4);
      const std::string watched = dir.path() + "/" + runs[round / 2 % 2] + ".ndjson";
      const off_t before = file_size(watched);
      const auto deadline = std::chrono::steady_clock::now() + kLongestPushing;
      while (file_size(watched) == before && std::chrono::steady_clock::now() < deadline) {
      }
      kills_while_growing += file_size(watched) != before ? 1 : 0;
    }
    monitor.kill();
    for (std::thread& thread : threads) thread.join();
    for (const auto& events : acknowledged_now) {
      acknowledged.insert(acknowledged.end(), events.begin(), events.end());
    }
    for (const std::string& run : runs) {
      const auto [cut, in_character] = torn_end(dir.path() + "/" + run + ".ndjson");
      torn += cut ? 1 : 0;
      torn_in_character += in_character ? 1 : 0;
    }
  }
  std::printf(
      "[figure] crash: %d kills (%d as a file grew), %d appends cut short (%d inside a "
      "character), %d unanswered batches sent again; %zu acknowledged events: %zu missing, %zu "
      "changed, %zu stored twice (summed over the restarts)\n",
      rounds, kills_while_growing, torn, torn_in_character, retried, acknowledged.size(),
      missing_total, changed_total, doubled_total);
}

}  // namespace
}  // namespace torvesk::testing
