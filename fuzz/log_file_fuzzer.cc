// The input as the content of one run log file, loaded with load_runs under a small event cap,
// against a reference that applies the rules line by line: normalize_line, then duplicates by
// canonical text, status, first non-empty metadata and address, last time, and the newest events
// up to the cap.
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <boost/json/value.hpp>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "fuzz_check.h"
#include "store/json.h"
#include "store/normalize.h"
#include "store/run_log.h"
#include "store/run_store.h"

namespace torvesk::fuzz {
namespace {

namespace json = boost::json;

// Small, so that a few lines already run into the cap.
constexpr std::size_t kMaxEvents = 3;
constexpr std::uint64_t kLoadTime = 900;

// The listing of the data folder is real (one empty file in a folder made once); the reading
// of that file gives the input.
class InputLogFiles final : public LogFileSystem {
 public:
  std::string_view content;

  int open_append(const std::string&) override { return -1; }
  off_t size(int) override { return -1; }
  ssize_t read_at(int, void*, std::size_t, off_t) override { return -1; }
  ssize_t write(int, const void*, std::size_t) override { return -1; }
  int close(int) override { return 0; }
  bool read_file(const std::string&, std::string& contents) override {
    contents.assign(content);
    return true;
  }
};

struct ModelRun {
  std::deque<std::string> events;
  std::string status;
  std::array<std::string, 9> metadata;
  std::string observed_ip;
  std::set<std::string> accepted;
  std::uint64_t last_seen_ms = 0;
};

constexpr std::array<std::string_view, 9> kMetadataNames = {
    "plan_name", "studio_label", "studio_id", "studio_version", "plan_version",
    "plan_hash", "runner_host",  "log_level", "artifact_id",
};

// A non-empty string member, or empty.
std::string_view string_member(const json::value* object_value, std::string_view name) {
  if (object_value == nullptr || !object_value->is_object()) return {};
  const json::value* member =
      object_value->get_object().if_contains(json::string_view(name.data(), name.size()));
  if (member == nullptr || !member->is_string()) return {};
  return std::string_view(member->get_string().data(), member->get_string().size());
}

void model_apply(std::map<std::string, ModelRun>& runs, const RunEvent& event) {
  ModelRun& run = runs[event.run_id];
  std::string text = canonical_json(event.json);
  if (!run.accepted.insert(text).second) return;
  if (run.status.empty()) run.status = "running";
  if (event.type == "RunFailed") run.status = "failed";
  if (event.type == "RunCompleted") run.status = "completed";
  const json::value* payload =
      event.json.is_object() ? event.json.get_object().if_contains("payload") : nullptr;
  for (std::size_t i = 0; i < kMetadataNames.size(); ++i) {
    if (run.metadata[i].empty()) run.metadata[i] = string_member(payload, kMetadataNames[i]);
  }
  if (run.observed_ip.empty()) run.observed_ip = string_member(&event.json, "_observed_ip");
  run.last_seen_ms = event.ts;
  run.events.push_back(std::move(text));
  while (run.events.size() > kMaxEvents) run.events.pop_front();
}

// A proper prefix of the UTF-8 encoding of one character: some bytes to come would complete it.
bool is_unfinished_character(std::string_view tail) {
  // Between them, these allow every byte that can follow a valid start (after E0 only A0..BF,
  // after ED only 80..9F, after F0 only 90..BF, after F4 only 80..8F).
  static constexpr std::array<char, 4> kNextBytes = {'\x80', '\x90', '\xA0', '\xBF'};
  if (tail.empty() || tail.size() > 3) return false;
  std::string completed(tail);
  for (std::size_t missing = 1; tail.size() + missing <= 4; ++missing) {
    completed.resize(tail.size() + missing);
    std::size_t combinations = 1;
    for (std::size_t i = 0; i < missing; ++i) combinations *= kNextBytes.size();
    for (std::size_t c = 0; c < combinations; ++c) {
      std::size_t rest = c;
      for (std::size_t i = 0; i < missing; ++i, rest /= kNextBytes.size()) {
        completed[tail.size() + i] = kNextBytes[rest % kNextBytes.size()];
      }
      if (is_valid_utf8(completed) && count_scalar_values(completed) == 1) return true;
    }
  }
  return false;
}

// UTF-8 text but for an unfinished last character: what an append that ended part-way leaves.
bool is_cut_inside_last_character(std::string_view line) {
  for (std::size_t k = 1; k <= 3 && k <= line.size(); ++k) {
    if (is_valid_utf8(line.substr(0, line.size() - k)) &&
        is_unfinished_character(line.substr(line.size() - k))) {
      return true;
    }
  }
  return false;
}

std::vector<std::string_view> split_lines(std::string_view content) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    const bool last = end == std::string_view::npos;
    if (last) end = content.size();
    std::string_view line = content.substr(start, end - start);
    if (!last && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// A file that is not UTF-8 loads nothing, unless its only flaws are lines cut inside their last
// character, which alone are dropped.
std::map<std::string, ModelRun> model_load(std::string_view content) {
  std::map<std::string, ModelRun> runs;
  const std::vector<std::string_view> lines = split_lines(content);
  for (const std::string_view line : lines) {
    if (!is_valid_utf8(line) && !is_cut_inside_last_character(line)) return runs;
  }
  for (const std::string_view line : lines) {
    if (!is_valid_utf8(line)) continue;
    if (std::optional<RunEvent> event = normalize_line(line, [] { return kLoadTime; })) {
      model_apply(runs, *event);
    }
  }
  return runs;
}

void check_same(const Run& run, const ModelRun& model) {
  FUZZ_CHECK(run.events.size() == model.events.size());
  for (std::size_t i = 0; i < model.events.size(); ++i)
    FUZZ_CHECK(run.events[i] == model.events[i]);
  FUZZ_CHECK(run.status == model.status);
  const std::array<const std::string*, 9> metadata = {
      &run.plan_name, &run.studio_label, &run.studio_id, &run.studio_version, &run.plan_version,
      &run.plan_hash, &run.runner_host,  &run.log_level, &run.artifact_id,
  };
  for (std::size_t i = 0; i < metadata.size(); ++i) FUZZ_CHECK(*metadata[i] == model.metadata[i]);
  FUZZ_CHECK(run.observed_ip == model.observed_ip);
  FUZZ_CHECK(run.fingerprints.size() == model.accepted.size());
  FUZZ_CHECK(run.last_seen_ms == model.last_seen_ms);
}

std::filesystem::path data_dir;

void remove_data_dir() {
  std::error_code ec;
  std::filesystem::remove_all(data_dir, ec);
}

}  // namespace
}  // namespace torvesk::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using namespace torvesk::fuzz;
  ::setenv("MONITOR_MAX_EVENTS", std::to_string(kMaxEvents).c_str(), 1);
  std::string pattern = (std::filesystem::temp_directory_path() / "torvesk-fuzz-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  data_dir = pattern;
  std::ofstream(data_dir / "run.ndjson").flush();
  std::atexit(remove_data_dir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  using namespace torvesk;
  fuzz::InputLogFiles files;
  files.content = fuzz::input_text(data, size);
  RunStore store;
  load_runs(
      fuzz::data_dir.string(), store, [] { return fuzz::kLoadTime; }, files);

  const std::map<std::string, fuzz::ModelRun> expected = fuzz::model_load(files.content);
  store.read([&](const RunMap& runs) {
    FUZZ_CHECK(runs.size() == expected.size());
    for (const auto& [run_id, model] : expected) {
      const auto found = runs.find(run_id);
      FUZZ_CHECK(found != runs.end());
      fuzz::check_same(found->second, model);
    }
  });
  return 0;
}
