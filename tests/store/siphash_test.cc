#include "store/siphash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "store/fingerprint_set.h"
#include "store_test_support.h"

namespace torvesk {
namespace {

using testing::testdata_path;

// Rows of a tab-separated vector file, comment lines skipped.
std::vector<std::vector<std::string>> read_tsv(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  std::vector<std::vector<std::string>> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> columns;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
      columns.push_back(line.substr(start, tab - start));
    }
    columns.push_back(line.substr(start));
    rows.push_back(columns);
  }
  return rows;
}

TEST(SipHash13Test, MatchesReferenceVectors) {
  std::uint64_t k0 = 0, k1 = 0;
  for (int i = 0; i < 8; ++i) {
    k0 |= static_cast<std::uint64_t>(i) << (8 * i);
    k1 |= static_cast<std::uint64_t>(i + 8) << (8 * i);
  }
  const auto rows = read_tsv(testdata_path("siphash13-vectors.tsv"));
  ASSERT_EQ(rows.size(), 64u);
  for (const auto& row : rows) {
    const std::size_t length = std::stoul(row.at(0));
    SCOPED_TRACE("length " + row.at(0));
    std::string message;
    for (std::size_t i = 0; i < length; ++i) message.push_back(static_cast<char>(i));
    EXPECT_EQ(siphash13(k0, k1, message.data(), message.size()), std::stoull(row.at(1)));
  }
}

TEST(EventFingerprintTest, MatchesReferenceVectors) {
  const auto rows = read_tsv(testdata_path("fingerprint-vectors.tsv"));
  ASSERT_GE(rows.size(), 10u);
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 2u);
    SCOPED_TRACE(row.at(1));
    EXPECT_EQ(event_fingerprint(row.at(1)), std::stoull(row.at(0)));
  }
}

TEST(EventFingerprintTest, IsTheHashOfTheTextAndOneTerminatingByte) {
  // Checks the tail handling at every length around the 8-byte block boundary.
  for (std::size_t length = 0; length < 40; ++length) {
    SCOPED_TRACE(length);
    std::string text(length, 'x');
    for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + i % 26);
    const std::string with_terminator = text + '\xff';
    EXPECT_EQ(event_fingerprint(text),
              siphash13(0, 0, with_terminator.data(), with_terminator.size()));
  }
}

TEST(FingerprintSetTest, InsertReportsOnlyNewMembers) {
  FingerprintSet set;
  EXPECT_FALSE(set.contains(0));
  EXPECT_TRUE(set.insert(0));  // zero marks free slots inside; it is still a member like others
  EXPECT_FALSE(set.insert(0));
  EXPECT_TRUE(set.insert(7));
  EXPECT_FALSE(set.insert(7));
  EXPECT_TRUE(set.contains(0));
  EXPECT_TRUE(set.contains(7));
  EXPECT_FALSE(set.contains(8));
  EXPECT_EQ(set.size(), 2u);
}

TEST(FingerprintSetTest, AgreesWithStdSetThroughGrowth) {
  std::mt19937_64 random(42);
  FingerprintSet set;
  std::set<std::uint64_t> reference;
  for (int i = 0; i < 20000; ++i) {
    // Small values collide often, large ones are hash-like; both shapes occur.
    const std::uint64_t value = (i % 3 == 0) ? random() % 5000 : random();
    ASSERT_EQ(set.insert(value), reference.insert(value).second) << value;
  }
  EXPECT_EQ(set.size(), reference.size());
  for (std::uint64_t value : reference) ASSERT_TRUE(set.contains(value)) << value;
  for (int i = 0; i < 1000; ++i) {
    const std::uint64_t value = random();
    EXPECT_EQ(set.contains(value), reference.count(value) == 1) << value;
  }
}

}  // namespace
}  // namespace torvesk
