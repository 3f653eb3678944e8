#include "store/run_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "fake_log_files.h"
#include "store/run_store.h"
#include "store_test_support.h"

namespace torvesk {
namespace {

using testing::read_file;
using testing::ScopedEnv;
using testing::write_file;

std::vector<std::string> texts_of(const Run& run) {
  std::vector<std::string> texts;
  for (std::string_view text : run.events) texts.emplace_back(text);
  return texts;
}

using testing::held_runs;

// Every run of `expected` is in `store` with the same events and fields; `last_seen` overrides
// the expected last_seen_ms of the runs it names.
void expect_same_runs(const RunStore& store, const RunStore& expected,
                      const std::map<std::string, std::uint64_t>& last_seen = {}) {
  ASSERT_EQ(held_runs(store).size(), held_runs(expected).size());
  for (const auto& [id, want] : held_runs(expected)) {
    SCOPED_TRACE(id);
    ASSERT_EQ(held_runs(store).count(id), 1u);
    const torvesk::Run& run = held_runs(store).at(id);
    EXPECT_EQ(texts_of(run), texts_of(want));
    EXPECT_EQ(run.status, want.status);
    EXPECT_EQ(run.plan_name, want.plan_name);
    EXPECT_EQ(run.runner_host, want.runner_host);
    EXPECT_EQ(run.artifact_id, want.artifact_id);
    EXPECT_EQ(run.observed_ip, want.observed_ip);
    const auto named = last_seen.find(id);
    EXPECT_EQ(run.last_seen_ms, named == last_seen.end() ? want.last_seen_ms : named->second);
    EXPECT_EQ(run.fingerprints.size(), want.fingerprints.size());
  }
}

TEST(RunFileNameTest, KeepsLettersDigitsAndHyphenOneUnderscorePerCharacter) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a/b:c", "a_b_c.ndjson"},
      {"run.1", "run_1.ndjson"},
      {"x_y", "x_y.ndjson"},
      {"Run-7", "Run-7.ndjson"},
      {"\xc3\xa4", "_.ndjson"},
      {"a\xe2\x82\xac"
       "b\xf0\x9f\x98\x80",
       "a_b_.ndjson"},
      {"", "unknown.ndjson"},
      {"unknown", "unknown.ndjson"},
      {"a b", "a_b.ndjson"},
      {"a.b", "a_b.ndjson"},
      {"..", "__.ndjson"},
      {"../../etc/passwd", "______etc_passwd.ndjson"},
      {"C:\\x", "C__x.ndjson"},
      {std::string("a\0b\n", 4), "a_b_.ndjson"},
      // Not valid UTF-8: a stray continuation byte still counts as a character.
      {"\x80"
       "a",
       "_a.ndjson"},
  };
  for (const auto& [id, name] : cases) {
    SCOPED_TRACE(id);
    EXPECT_EQ(run_file_name(id), name);
  }
}

class RunLogTest : public ::testing::Test {
 protected:
  void ingest(std::string_view body, std::optional<std::string> address = std::nullopt) {
    ingest_batch(live_, body, dir_.path(), address, testing::fixed_clock(500), files_);
  }
  void load(RunStore& store) { load_runs(dir_.path(), store, testing::fixed_clock(900), files_); }

  ScopedEnv max_events_{"MONITOR_MAX_EVENTS", std::nullopt};
  ScopedEnv max_runs_{"MONITOR_MAX_RUNS", std::nullopt};
  testing::ScratchDir dir_;
  testing::FakeLogFiles files_;
  RunStore live_;
  RunStore loaded_;
};

TEST_F(RunLogTest, AppendCreatesTheFileAndOnlyEverAppends) {
  append_run_log(dir_.path(), "a.b", "{\"ts\":1}\n", files_);
  append_run_log(dir_.path(), "a_b", "{\"ts\":2}\n{\"ts\":3}\n", files_);
  EXPECT_EQ(read_file(dir_.file("a_b.ndjson")), "{\"ts\":1}\n{\"ts\":2}\n{\"ts\":3}\n");
  struct stat status;
  ASSERT_EQ(::stat(dir_.file("a_b.ndjson").c_str(), &status), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(status.st_mode & 0777, 0644 & ~mask);
}

TEST_F(RunLogTest, PartialAndInterruptedWritesAreContinued) {
  files_.max_bytes_per_write = 3;
  files_.interrupt_every_other_write = true;
  const std::string text = "{\"run_id\":\"r\",\"ts\":1}\n{\"run_id\":\"r\",\"ts\":2}\n";
  append_run_log(dir_.path(), "r", text, files_);
  EXPECT_EQ(read_file(dir_.file("r.ndjson")), text);
}

TEST_F(RunLogTest, OpenFailureIsIgnored) {
  files_.fail_open = true;
  append_run_log(dir_.path(), "r", "{}\n", files_);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("r.ndjson")));
  append_run_log(dir_.file("no/such/folder"), "r", "{}\n");
}

TEST_F(RunLogTest, BrokenLastLineIsEndedBeforeTheNextAppend) {
  ingest("{\"run_id\":\"r\",\"ts\":1}\n");
  // The disk fills up in the middle of the second append.
  files_.bytes_before_failure = 10;
  ingest("{\"run_id\":\"r\",\"ts\":2}\n");
  ASSERT_EQ(read_file(dir_.file("r.ndjson")), "{\"run_id\":\"r\",\"ts\":1}\n{\"run_id\":");
  files_.bytes_before_failure.reset();
  ingest("{\"run_id\":\"r\",\"ts\":3}\n");
  EXPECT_EQ(read_file(dir_.file("r.ndjson")),
            "{\"run_id\":\"r\",\"ts\":1}\n{\"run_id\":\n{\"run_id\":\"r\",\"ts\":3}\n");
  // Only the broken line is lost on reload; the event after it survives.
  load(loaded_);
  EXPECT_EQ(texts_of(held_runs(loaded_).at("r")),
            (std::vector<std::string>{R"({"run_id":"r","ts":1})", R"({"run_id":"r","ts":3})"}));
}

TEST_F(RunLogTest, FileWithoutFinalLineFeedFromElsewhereIsRepairedToo) {
  write_file(dir_.file("r.ndjson"), "{\"run_id\":\"r\",\"ts\":1}");
  append_run_log(dir_.path(), "r", "{\"run_id\":\"r\",\"ts\":2}\n", files_);
  EXPECT_EQ(read_file(dir_.file("r.ndjson")),
            "{\"run_id\":\"r\",\"ts\":1}\n{\"run_id\":\"r\",\"ts\":2}\n");
}

TEST_F(RunLogTest, ReloadEqualsTheLiveRuns) {
  ingest(
      R"({"type":"RunStarted","payload":{"run_id":"r1","plan_name":"P","runner_host":"h"},"ts":1})"
      "\n"
      R"({"type":"NodeLog","run_id":"r1","payload":{"msg":"caf\u00e9\u0001","x":-0,"y":1e5}})"
      "\n"
      R"({"type":"RunFailed","run_id":"r1","ts":3,"_observed_ip":"6.6.6.6"})"
      "\n"
      R"({"type":"RunStarted","run_id":"r.2","ts":2})"
      "\n"
      "[1,2]\n",
      "10.0.0.5");
  ingest(R"({"type":"RunCompleted","run_id":"r.2","ts":9,"payload":{"artifact_id":"A"}})");
  load(loaded_);
  // A stored value that is not an object has no time of its own: it gets the load time.
  expect_same_runs(loaded_, live_, {{"unknown", 900}});
  EXPECT_EQ(held_runs(loaded_).at("r1").observed_ip, "10.0.0.5");
  EXPECT_EQ(held_runs(loaded_).at("r1").status, "failed");
  // Loading trusts the stored lines and writes nothing.
  EXPECT_EQ(files_.opens.size(), 3u);
}

// An empty data folder text is the current folder for writing and for loading alike, so what
// such a monitor writes comes back at its next start.
TEST_F(RunLogTest, EmptyFolderTextIsTheCurrentFolder) {
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  RunStore written;
  ingest_batch(written, R"({"type":"X","run_id":"here","ts":4})", "", std::nullopt,
               testing::fixed_clock(500), files_);
  RunStore reloaded;
  load_runs("", reloaded, testing::fixed_clock(900), files_);
  std::filesystem::current_path(previous);
  EXPECT_EQ(read_file(dir_.file("here.ndjson")), "{\"type\":\"X\",\"run_id\":\"here\",\"ts\":4}\n");
  ASSERT_EQ(held_runs(reloaded).count("here"), 1u);
  EXPECT_EQ(held_runs(reloaded).at("here").events.size(), 1u);
}

TEST_F(RunLogTest, OnlyFilesWithTheExactExtensionAreLoaded) {
  const std::string line = "{\"run_id\":\"NAME\",\"ts\":1}\n";
  const auto line_for = [&](const std::string& name) {
    std::string text = line;
    text.replace(text.find("NAME"), 4, name);
    return text;
  };
  for (const std::string name : {"notes.txt", "A.NDJSON", ".ndjson", "a.ndjson.bak", "ndjson",
                                 "good.ndjson", "a.b.ndjson", "..ndjson"}) {
    write_file(dir_.file(name), line_for(name));
  }
  std::filesystem::create_directory(dir_.file("x.ndjson"));
  write_file(dir_.file("x.ndjson/inner.ndjson"), line_for("inner.ndjson"));
  load(loaded_);
  std::vector<std::string> ids;
  for (const auto& [id, run] : held_runs(loaded_)) ids.push_back(id);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::string>{"..ndjson", "a.b.ndjson", "good.ndjson"}));
}

TEST_F(RunLogTest, InvalidUtf8SkipsTheWholeFile) {
  write_file(dir_.file("bad.ndjson"),
             "{\"run_id\":\"bad\",\"ts\":1}\n{\"run_id\":\"bad\",\"ts\":2,\"x\":\"\xff\"}\n");
  write_file(dir_.file("good.ndjson"), "{\"run_id\":\"good\",\"ts\":1}\n");
  load(loaded_);
  EXPECT_EQ(held_runs(loaded_).count("bad"), 0u);
  EXPECT_EQ(held_runs(loaded_).count("good"), 1u);
}

// An append that ended part-way (the process killed inside its write) can cut a character in
// two; the lines before and after the cut line, appended later, still load.
TEST_F(RunLogTest, LineCutInsideACharacterIsDroppedAlone) {
  write_file(dir_.file("cut.ndjson"),
             "{\"run_id\":\"cut\",\"ts\":1}\n"
             "{\"run_id\":\"cut\",\"ts\":2,\"x\":\"\xE2\x82\n"
             "{\"run_id\":\"cut\",\"ts\":3}\n"
             "{\"run_id\":\"cut\",\"ts\":4,\"x\":\"\xF0\x9F\x94");
  // The same bytes inside a line are no cut: the file is skipped as before.
  write_file(dir_.file("bad.ndjson"),
             "{\"run_id\":\"bad\",\"ts\":1}\n{\"run_id\":\"bad\",\"x\":\"\xE2\x82\"}\n");
  // Nor is an end that no character starts with (an overlong form, a value beyond U+10FFFF).
  write_file(dir_.file("overlong.ndjson"), "{\"run_id\":\"overlong\",\"ts\":1}\n\xE0\x85\n");
  write_file(dir_.file("beyond.ndjson"), "{\"run_id\":\"beyond\",\"ts\":1}\n\xF4\xBE\n");
  load(loaded_);
  ASSERT_EQ(held_runs(loaded_).count("cut"), 1u);
  EXPECT_EQ(texts_of(held_runs(loaded_).at("cut")),
            (std::vector<std::string>{R"({"run_id":"cut","ts":1})", R"({"run_id":"cut","ts":3})"}));
  EXPECT_EQ(held_runs(loaded_).count("bad"), 0u);
  EXPECT_EQ(held_runs(loaded_).count("overlong"), 0u);
  EXPECT_EQ(held_runs(loaded_).count("beyond"), 0u);
}

TEST_F(RunLogTest, ByteOrderMarkCostsTheFirstLine) {
  write_file(dir_.file("bom.ndjson"),
             "\xef\xbb\xbf{\"run_id\":\"r\",\"ts\":1}\n{\"run_id\":\"r\",\"ts\":2}\n");
  load(loaded_);
  EXPECT_EQ(texts_of(held_runs(loaded_).at("r")),
            (std::vector<std::string>{R"({"run_id":"r","ts":2})"}));
}

TEST_F(RunLogTest, RunnerLogCopiedIntoTheFolderLoadsItsEvents) {
  write_file(
      dir_.file("copy.ndjson"),
      R"({"kind":"dravelune-log-header","version":1,"plan_name":"P","run_id":"w1"})"
      "\n"
      R"({"timestamp":1700000000000,"event":{"type":"RunStarted","payload":{"run_id":"w1","plan_name":"P"}}})"
      "\r\n"
      R"({"timestamp":1700000000500,"event":{"type":"NodeLog","run_id":"w1","ts":1700000000400}})"
      "\n"
      R"({"timestamp":1700000000900,"event":{"type":"RunCompleted","run_id":"w1"}})");
  load(loaded_);
  ASSERT_EQ(held_runs(loaded_).size(), 1u);
  const torvesk::Run& run = held_runs(loaded_).at("w1");
  EXPECT_EQ(
      texts_of(run),
      (std::vector<std::string>{
          R"({"type":"RunStarted","payload":{"run_id":"w1","plan_name":"P"},"ts":1700000000000})",
          R"({"type":"NodeLog","run_id":"w1","ts":1700000000400})",
          R"({"type":"RunCompleted","run_id":"w1","ts":1700000000900})",
      }));
  EXPECT_EQ(run.status, "completed");
  EXPECT_EQ(run.plan_name, "P");
  EXPECT_EQ(run.last_seen_ms, 1700000000900u);
}

TEST_F(RunLogTest, LoadGroupsByTheRunIdInsideEachLine) {
  write_file(
      dir_.file("shared.ndjson"),
      "{\"run_id\":\"a\",\"ts\":1}\n{\"run_id\":\"b\",\"ts\":1}\n{\"run_id\":\"a\",\"ts\":1}\n"
      "42\n");
  load(loaded_);
  EXPECT_EQ(texts_of(held_runs(loaded_).at("a")).size(), 1u);
  EXPECT_EQ(texts_of(held_runs(loaded_).at("b")).size(), 1u);
  // A stored value that is not an object gets the load time, and no "ts".
  EXPECT_EQ(texts_of(held_runs(loaded_).at("unknown")), (std::vector<std::string>{"42"}));
  EXPECT_EQ(held_runs(loaded_).at("unknown").last_seen_ms, 900u);
}

// Many files are prepared on two threads at once; the store must still end up as if every file
// had been applied alone, in listing order, since events of one run id may sit in several files
// and the event cap keeps the newest.
TEST_F(RunLogTest, ManyFilesLoadAsIfAppliedOneAfterAnother) {
  ScopedEnv events_cap("MONITOR_MAX_EVENTS", "40");
  for (int f = 0; f < 60; ++f) {
    std::string body;
    for (int i = 0; i < 30; ++i) {
      body += "{\"run_id\":\"" + std::string(i % 3 == 0 ? "shared" : "own" + std::to_string(f)) +
              "\",\"type\":\"" + (i == 29 && f % 7 == 0 ? "RunFailed" : "NodeLog") +
              "\",\"ts\":" + std::to_string(1000 - f * 7 + i) + ",\"payload\":{\"plan_name\":\"p" +
              std::to_string(f) + "\"}}\n";
    }
    if (f == 11) body = "{\"run_id\":\"bad\",\"ts\":1}\n\xff\n";          // not UTF-8
    if (f == 12) body += "{\"run_id\":\"shared\",\"ts\":5,\"m\":\"\xc3";  // cut character
    if (f == 13) body += "{\"run_id\":\"shared\",\"ts\":6,\"m\"";         // torn line
    if (f == 20 || f == 40) {
      // Larger than a file held prepared ahead; the second larger than one piece of the load.
      const std::size_t bytes = f == 20 ? 2 * 1024 * 1024 : 17 * 1024 * 1024;
      for (int i = 0; body.size() < bytes; ++i) {
        body += "{\"run_id\":\"big" + std::to_string(f) + "\",\"ts\":" + std::to_string(i) +
                ",\"msg\":\"" + std::string(80, 'x') + "\"}\n";
      }
      body += "{\"run_id\":\"shared\",\"ts\":" + std::to_string(f) + "}\n";
    }
    write_file(dir_.file("f" + std::to_string(f) + ".ndjson"), body);
  }
  load(loaded_);

  // The reference: each file alone in a folder of its own, loaded in the listing's order.
  RunStore one_by_one;
  testing::ScratchDir single;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    const std::filesystem::path alone = std::filesystem::path(single.path()) / "x.ndjson";
    std::filesystem::copy_file(entry.path(), alone,
                               std::filesystem::copy_options::overwrite_existing);
    load_runs(single.path(), one_by_one, testing::fixed_clock(900), files_);
  }
  ASSERT_GT(held_runs(loaded_).size(), 60u);
  expect_same_runs(loaded_, one_by_one);
  EXPECT_EQ(held_runs(loaded_).count("bad"), 0u);
  EXPECT_EQ(texts_of(held_runs(loaded_).at("big40")).size(), 40u);
}

TEST_F(RunLogTest, LoadAppliesTheEventCapButNoRunCap) {
  ScopedEnv runs_cap("MONITOR_MAX_RUNS", "2");
  ScopedEnv events_cap("MONITOR_MAX_EVENTS", "3");
  for (const std::string id : {"a", "b", "c"}) {
    std::string text;
    for (int ts = 1; ts <= 5; ++ts) {
      text += "{\"run_id\":\"" + id + "\",\"ts\":" + std::to_string(ts) + "}\n";
    }
    write_file(dir_.file(id + ".ndjson"), text);
  }
  load(loaded_);
  ASSERT_EQ(held_runs(loaded_).size(), 3u);
  const torvesk::Run& a = held_runs(loaded_).at("a");
  EXPECT_EQ(texts_of(a),
            (std::vector<std::string>{R"({"run_id":"a","ts":3})", R"({"run_id":"a","ts":4})",
                                      R"({"run_id":"a","ts":5})"}));
  EXPECT_EQ(a.fingerprints.size(), 5u);
  EXPECT_EQ(a.last_seen_ms, 5u);
  // The first ingest of any kind applies the run cap.
  ingest_batch(loaded_, "", dir_.path(), std::nullopt, testing::fixed_clock(1), files_);
  EXPECT_EQ(held_runs(loaded_).size(), 2u);
  EXPECT_EQ(read_file(dir_.file("a.ndjson")).size(), 5 * std::string(R"({"run_id":"a","ts":1})"
                                                                     "\n")
                                                             .size());
}

TEST_F(RunLogTest, DefaultEventCapLoadsTheNewest50000) {
  std::string text;
  for (int ts = 1; ts <= 60000; ++ts) {
    text += "{\"run_id\":\"r\",\"ts\":" + std::to_string(ts) + "}\n";
  }
  write_file(dir_.file("r.ndjson"), text);
  load(loaded_);
  const torvesk::Run& run = held_runs(loaded_).at("r");
  EXPECT_EQ(run.events.size(), 50000u);
  EXPECT_EQ(run.events.front(), R"({"run_id":"r","ts":10001})");
  EXPECT_EQ(run.events.back(), R"({"run_id":"r","ts":60000})");
  EXPECT_EQ(run.fingerprints.size(), 60000u);
  // The file keeps every line.
  EXPECT_EQ(read_file(dir_.file("r.ndjson")), text);
}

TEST_F(RunLogTest, UnlistableFolderLoadsNothing) {
  load_runs(dir_.file("missing"), loaded_, testing::fixed_clock(1), files_);
  write_file(dir_.file("plain"), "{}");
  load_runs(dir_.file("plain"), loaded_, testing::fixed_clock(1), files_);
  EXPECT_TRUE(held_runs(loaded_).empty());
}

TEST_F(RunLogTest, NamedPipeInTheFolderDoesNotStallTheLoad) {
  ASSERT_EQ(::mkfifo(dir_.file("pipe.ndjson").c_str(), 0644), 0);
  write_file(dir_.file("good.ndjson"), "{\"run_id\":\"good\",\"ts\":1}\n");
  load_runs(dir_.path(), loaded_);
  EXPECT_EQ(held_runs(loaded_).size(), 1u);
}

// Entries of the folder that are not regular files are skipped like unwritable files, by the
// appends and by the load: a link is not followed out of the folder, and a named pipe holds
// neither a worker nor the start-up.
TEST_F(RunLogTest, AppendsAndTheLoadTouchOnlyRegularFiles) {
  testing::ScratchDir outside;
  const std::string target = outside.file("target");
  const std::string outside_line = "{\"run_id\":\"linked\",\"ts\":1}\n";
  write_file(target, outside_line);
  ASSERT_EQ(::symlink(target.c_str(), dir_.file("linked.ndjson").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir_.file("piped.ndjson").c_str(), 0644), 0);

  // More than a pipe holds, on a thread of its own: an append that wrote into the pipe would wait
  // for a reader for good.
  std::string body = "{\"run_id\":\"linked\",\"ts\":2}\n{\"run_id\":\"plain\",\"ts\":4}\n";
  for (int i = 0; i < 10000; ++i) {
    body += "{\"run_id\":\"piped\",\"ts\":" + std::to_string(i) + "}\n";
  }
  std::promise<void> appended;
  std::future<void> done = appended.get_future();
  std::thread([this, &appended, &body] {
    ingest(body);
    appended.set_value();
  }).detach();
  ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "an append is stuck on the named pipe";

  EXPECT_EQ(read_file(target), outside_line) << "the link's target is untouched";
  EXPECT_EQ(read_file(dir_.file("plain.ndjson")), "{\"run_id\":\"plain\",\"ts\":4}\n");
  EXPECT_EQ(held_runs(live_).size(), 3u) << "the runs whose files were skipped are still held";

  load(loaded_);
  EXPECT_EQ(held_runs(loaded_).count("linked"), 0u) << "the link is not loaded";
  EXPECT_EQ(held_runs(loaded_).count("plain"), 1u);
}

}  // namespace
}  // namespace torvesk
