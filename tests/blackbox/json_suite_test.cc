// The parsing cases of the JSONTestSuite collection through POST /ingest: every case that fits on
// one line becomes one line of a single batch, between marker events. Texts that must be accepted
// are stored, texts that must be rejected are dropped, and the rest of the batch stays whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

#include "support/monitor_process.h"

namespace torvesk::testing {
namespace {

struct SuiteCase {
  std::string name;
  std::string text;
};

struct SuiteFiles {
  std::vector<SuiteCase> one_line;  // valid UTF-8, no line feed
  std::vector<SuiteCase> not_utf8;  // the body they would be part of is refused whole
  std::size_t multi_line = 0;       // a line feed splits them into other lines: left out
};

bool valid_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    std::size_t length = c < 0x80                 ? 1
                         : c >= 0xC2 && c <= 0xDF ? 2
                         : c >= 0xE0 && c <= 0xEF ? 3
                         : c >= 0xF0 && c <= 0xF4 ? 4
                                                  : 0;
    if (length == 0 || i + length > bytes.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
    }
    const auto second = static_cast<unsigned char>(length > 1 ? bytes[i + 1] : 0);
    if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) ||
        (c == 0xF0 && second < 0x90) || (c == 0xF4 && second > 0x8F)) {
      return false;
    }
    i += length;
  }
  return true;
}

SuiteFiles suite_files() {
  SuiteFiles files;
  const std::filesystem::path folder =
      std::filesystem::path(TORVESK_TESTDATA_DIR) / "jsontestsuite" / "test_parsing";
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  for (const auto& path : paths) {
    SuiteCase c{path.filename().string(), read_file(path.string())};
    if (c.text.find('\n') != std::string::npos) {
      ++files.multi_line;
    } else if (!valid_utf8(c.text)) {
      files.not_utf8.push_back(std::move(c));
    } else {
      files.one_line.push_back(std::move(c));
    }
  }
  return files;
}

// Markers carry no run id, like most suite texts, so both land in the run "unknown" and its
// download shows what each case left between its marker and the next. They are written in
// canonical form and so come back byte for byte.
std::string marker(std::size_t index, const std::string& name) {
  return "{\"type\":\"Marker\",\"case\":\"" + name + "\",\"ts\":" + std::to_string(index) + "}";
}

TEST(JsonSuite, OneLineCasesInOneBatchAreStoredOrDroppedAndTheBatchStaysWhole) {
  const SuiteFiles files = suite_files();
  ASSERT_GT(files.one_line.size(), 200u) << "the suite is missing";
  MonitorProcess monitor;
  ASSERT_TRUE(monitor.started());

  // A body that is not UTF-8 is refused whole: nothing of it is stored.
  for (const SuiteCase& c : files.not_utf8) {
    SCOPED_TRACE(c.name);
    const auto response = ingest(monitor, marker(0, "never stored") + "\n" + c.text + "\n");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 400);
    EXPECT_EQ(response->body, "body is not UTF-8");
  }

  std::string body;
  for (std::size_t i = 0; i < files.one_line.size(); ++i) {
    const SuiteCase& c = files.one_line[i];
    ASSERT_EQ(c.name.find_first_of("\"\\"), std::string::npos) << c.name;
    body += marker(i, c.name) + "\n" + c.text + "\n";
  }
  body += marker(files.one_line.size(), "end") + "\n";
  const auto pushed = ingest(monitor, body);
  ASSERT_TRUE(pushed);
  ASSERT_EQ(pushed->status, 200);

  const auto download = http_request(monitor, "GET", "/api/runs/unknown/download");
  ASSERT_TRUE(download);
  ASSERT_EQ(download->status, 200);
  // What each case left behind, found between its marker and the next.
  std::map<std::string, std::vector<std::string>> stored;
  std::vector<std::string> all_stored;
  std::size_t next_marker = 0;
  std::string current;
  for (const std::string& line : lines_of(download->body)) {
    const std::string expected_marker = next_marker < files.one_line.size()
                                            ? marker(next_marker, files.one_line[next_marker].name)
                                            : marker(next_marker, "end");
    if (line == expected_marker) {
      current = next_marker < files.one_line.size() ? files.one_line[next_marker].name : "end";
      stored[current];
      ++next_marker;
      continue;
    }
    ASSERT_NE(line.rfind("{\"type\":\"Marker\"", 0), 0u) << "marker out of order: " << line;
    ASSERT_FALSE(current.empty()) << "stored before the first marker: " << line;
    stored[current].push_back(line);
    all_stored.push_back(line);
  }
  EXPECT_EQ(next_marker, files.one_line.size() + 1) << "every marker is kept, in order";
  EXPECT_TRUE(stored["end"].empty());

  // An accepted text whose canonical form equals an earlier one's (`[0e1]` and `[0e+1]`, say) is
  // a duplicate and adds nothing; a monitor that keeps no runs in memory (MONITOR_MAX_RUNS=0)
  // still writes every line to its file, and so shows the text such a case stands for.
  MonitorOptions no_memory;
  no_memory.env = {{"MONITOR_MAX_RUNS", "0"}};
  MonitorProcess reference(no_memory);
  ASSERT_TRUE(reference.started());
  const std::string reference_file = reference.data_dir() + "/unknown.ndjson";

  std::size_t accepted = 0, accepted_stored = 0, as_duplicates = 0;
  std::size_t rejected = 0, rejected_stored = 0, either = 0, either_stored = 0;
  for (const SuiteCase& c : files.one_line) {
    SCOPED_TRACE(c.name);
    const std::vector<std::string>& left = stored[c.name];
    EXPECT_LE(left.size(), 1u);
    switch (c.name[0]) {
      case 'n':
        ++rejected;
        rejected_stored += left.size();
        EXPECT_TRUE(left.empty()) << "stored: " << (left.empty() ? "" : left.front());
        break;
      case 'i':
        ++either;
        either_stored += left.size();
        break;
      default: {
        ++accepted;
        if (!left.empty()) {
          ++accepted_stored;
          break;
        }
        const std::size_t before = lines_of(read_file(reference_file)).size();
        const auto alone = ingest(reference, c.text + "\n");
        ASSERT_TRUE(alone);
        ASSERT_EQ(alone->status, 200);
        const std::vector<std::string> written = lines_of(read_file(reference_file));
        ASSERT_EQ(written.size(), before + 1) << "accepted when pushed alone";
        EXPECT_NE(std::find(all_stored.begin(), all_stored.end(), written.back()), all_stored.end())
            << "nothing stored, and " << written.back() << " is no earlier line";
        ++accepted_stored;
        ++as_duplicates;
      }
    }
  }
  EXPECT_EQ(accepted_stored, accepted);
  EXPECT_EQ(rejected_stored, 0u);

  // The monitor goes on serving after the batch.
  const auto after = http_request(monitor, "GET", "/api/runs");
  ASSERT_TRUE(after);
  EXPECT_EQ(after->status, 200);

  std::printf(
      "[figure] JSONTestSuite through /ingest, %zu one-line cases in one batch: y_ stored %zu/%zu "
      "(%zu as duplicates of an earlier line), n_ stored %zu/%zu, i_ stored %zu/%zu, markers kept "
      "%zu/%zu; %zu non-UTF-8 cases refused whole (400); %zu multi-line cases left out\n",
      files.one_line.size(), accepted_stored, accepted, as_duplicates, rejected_stored, rejected,
      either_stored, either, next_marker, files.one_line.size() + 1, files.not_utf8.size(),
      files.multi_line);
}

}  // namespace
}  // namespace torvesk::testing
