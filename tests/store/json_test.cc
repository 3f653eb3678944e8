#include "store/json.h"

#include <gtest/gtest.h>

#include <bit>
#include <boost/json/monotonic_resource.hpp>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "store_test_support.h"

namespace torvesk {
namespace {

// The canonical text of the parsed text, or "<refused>".
std::string canonical_of(std::string_view text) {
  const std::optional<boost::json::value> value = parse_json_text(text);
  return value ? canonical_json(*value) : "<refused>";
}

struct Case {
  std::string input;
  std::string canonical;
};

void expect_canonical(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(canonical_of(c.input), c.canonical);
  }
}

TEST(CanonicalJsonTest, IntegersArePlainDecimal) {
  expect_canonical({
      {"0", "0"},
      {"5", "5"},
      {"-5", "-5"},
      {"18446744073709551615", "18446744073709551615"},
      {"-9223372036854775808", "-9223372036854775808"},
      // Beyond 64 bits an integer is a float, written as one; among equally short digit strings
      // the one nearest the value is chosen.
      {"18446744073709551616", "18446744073709551616.0"},
      {"-9223372036854775809", "-9223372036854775808.0"},
  });
}

TEST(CanonicalJsonTest, FloatsAreShortestInPlainOrExponentForm) {
  expect_canonical({
      {"15.84", "15.84"},
      {"1.584E1", "15.84"},
      {"5.0", "5.0"},
      {"5e3", "5000.0"},
      {"1E+2", "100.0"},
      {"1e5", "100000.0"},
      {"0.1", "0.1"},
      {"0.30000000000000004", "0.30000000000000004"},
      {"-2.5", "-2.5"},
      {"0.000001", "0.000001"},
      {"0.0000015", "0.0000015"},
      {"1e-7", "1e-7"},
      {"1.5e-7", "1.5e-7"},
      {"123e-20", "1.23e-18"},
      {"1e20", "100000000000000000000.0"},
      {"1e21", "1e+21"},
      {"-1.5e300", "-1.5e+300"},
      {"1.7976931348623157e308", "1.7976931348623157e+308"},
      {"5e-324", "5e-324"},
      {"123456789012345678901234567890", "1.2345678901234568e+29"},
      {"0.0", "0.0"},
      {"-0.0", "-0.0"},
  });
}

TEST(CanonicalJsonTest, MinusZeroIsAFloatNeverAnUnsignedInteger) {
  for (const char* text : {"-0", "-0.0", "-0e5"}) {
    SCOPED_TRACE(text);
    const auto value = parse_json_text(text);
    ASSERT_TRUE(value);
    ASSERT_TRUE(value->is_double());
    EXPECT_TRUE(std::signbit(value->get_double()));
    EXPECT_FALSE(is_unsigned_integer(*value));
    EXPECT_EQ(canonical_json(*value), "-0.0");
  }
  EXPECT_TRUE(is_unsigned_integer(*parse_json_text("0")));
  EXPECT_TRUE(is_unsigned_integer(*parse_json_text("18446744073709551615")));
  EXPECT_FALSE(is_unsigned_integer(*parse_json_text("-1")));
  EXPECT_FALSE(is_unsigned_integer(*parse_json_text("5.0")));
  EXPECT_FALSE(is_unsigned_integer(*parse_json_text("5e3")));
  EXPECT_FALSE(is_unsigned_integer(*parse_json_text("\"5\"")));
}

TEST(CanonicalJsonTest, OverflowToInfinityRefusesTheTextUnderflowGivesZero) {
  expect_canonical({
      {"1e400", "<refused>"},
      {"-1e400", "<refused>"},
      {"[1,1.7976931348623159e308]", "<refused>"},
      {"1e-400", "0.0"},
      {"-1e-400", "-0.0"},
      {"[123e-10000000]", "[0.0]"},
      {"2.4e-324", "0.0"},
  });
}

TEST(CanonicalJsonTest, FloatsAreCorrectlyRounded) {
  // Long decimals near halfway points, where a fast inexact parse goes wrong.
  std::mt19937_64 random(7);
  for (int i = 0; i < 20000; ++i) {
    std::string text = std::to_string(random() % 10) + ".";
    const int digits = 15 + static_cast<int>(random() % 12);
    for (int d = 0; d < digits; ++d) text.push_back(static_cast<char>('0' + random() % 10));
    text += "e" + std::to_string(static_cast<int>(random() % 600) - 300);
    const auto value = parse_json_text(text);
    ASSERT_TRUE(value) << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(value->get_double()),
              std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)))
        << text;
  }
  EXPECT_EQ(parse_json_text("2.2250738585072011e-308")->get_double(),
            std::strtod("2.2250738585072011e-308", nullptr));
}

TEST(CanonicalJsonTest, EveryFiniteDoubleReadsBackBitForBit) {
  std::mt19937_64 random(11);
  std::vector<double> values = {
      0.1, 1e-6, 9.999999999999999e-7, 1e21, 9.999999999999999e20, 5e-324, 2.2250738585072014e-308};
  for (int i = 0; i < 50000; ++i) values.push_back(std::bit_cast<double>(random()));
  for (double value : values) {
    if (!std::isfinite(value)) continue;
    std::string text;
    append_canonical_double(text, value);
    SCOPED_TRACE(text);
    const auto parsed = parse_json_text(text);
    ASSERT_TRUE(parsed);
    ASSERT_TRUE(parsed->is_double());
    ASSERT_EQ(std::bit_cast<std::uint64_t>(parsed->get_double()),
              std::bit_cast<std::uint64_t>(value));
  }
}

TEST(CanonicalJsonTest, StringsAreEscapedMinimally) {
  expect_canonical({
      {R"("plain")", R"("plain")"},
      {R"("q\"b\\s\/")", R"("q\"b\\s/")"},
      {R"("\b\t\n\f\r")", R"("\b\t\n\f\r")"},
      {R"("\u0000\u0001\u001F\u000b")", R"("\u0000\u0001\u001f\u000b")"},
      {R"("\u007f")", "\"\x7f\""},
      {R"("\u00e9\u20AC")", "\"\xc3\xa9\xe2\x82\xac\""},
      {R"("\ud83d\ude00")", "\"\xf0\x9f\x98\x80\""},
      {"\"caf\xc3\xa9 \xe2\x82\xac\"", "\"caf\xc3\xa9 \xe2\x82\xac\""},
      {R"({"k\u0001":"\u2028"})", "{\"k\\u0001\":\"\xe2\x80\xa8\"}"},
  });
}

TEST(CanonicalJsonTest, CompactWithMembersInOrder) {
  expect_canonical({
      {" { \"b\" : [ 1 , true , null , false ] ,\n\t\"a\" : { } , \"c\":[]} ",
       R"({"b":[1,true,null,false],"a":{},"c":[]})"},
      {"\"\"", "\"\""},
      {"null", "null"},
  });
}

TEST(StrictJsonTest, DuplicateMembersKeepLastValueAtFirstPosition) {
  expect_canonical({
      {R"({"a":1,"b":2,"a":3})", R"({"a":3,"b":2})"},
      {R"({"x":{"a":1,"b":0,"a":{"c":1,"c":2}}})", R"({"x":{"a":{"c":2},"b":0}})"},
      {R"([{"a":1,"a":[{"z":1,"z":2}]}])", R"([{"a":[{"z":2}]}])"},
  });
  // A large object (the library indexes those by hash) behaves the same.
  std::string text = "{";
  std::string expected = "{";
  for (int i = 0; i < 100; ++i) {
    text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    expected += "\"k" + std::to_string(i) + "\":" + (i == 0 ? "last" : std::to_string(i)) + ",";
  }
  text += "\"k0\":\"last\"}";
  expected.back() = '}';
  expected.replace(expected.find("last"), 4, "\"last\"");
  EXPECT_EQ(canonical_of(text), expected);
}

TEST(StrictJsonTest, NestingOf127IsAcceptedAnd128Refused) {
  const auto nested = [](int depth, bool objects) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += objects ? "{\"a\":" : "[";
    text += "1";
    for (int i = 0; i < depth; ++i) text += objects ? "}" : "]";
    return text;
  };
  for (bool objects : {false, true}) {
    SCOPED_TRACE(objects ? "objects" : "arrays");
    EXPECT_NE(canonical_of(nested(127, objects)), "<refused>");
    EXPECT_EQ(canonical_of(nested(128, objects)), "<refused>");
  }
  EXPECT_EQ(canonical_of(std::string(1000000, '[')), "<refused>");
  EXPECT_EQ(canonical_of(std::string(100000, '{')), "<refused>");
}

TEST(StrictJsonTest, RefusesAnythingButExactlyOneStrictValue) {
  const std::vector<std::string> refused = {
      "",
      "   ",
      "{\"type\":\"X\"} x",
      "{\"type\":\"X\",}",
      "[1,]",
      "[1] [2]",
      "{} // comment",
      "/* c */ {}",
      "NaN",
      "[Infinity]",
      "01",
      "[-]",
      "1.",
      ".5",
      "+1",
      "'a'",
      "\"tab\tinside\"",
      "\"line\nfeed\"",
      std::string("{}\0junk", 7),
      "\"\xff\"",
      "\"\xc3\x28\"",
      "\"\xed\xa0\x80\"",  // an encoded surrogate
      "\xef\xbb\xbf{}",    // byte-order mark
      "{\"a\" 1}",
      "[\"\\x\"]",
      "[\"\\u12\"]",
      "tru",
  };
  for (const std::string& text : refused) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parse_json_text(text));
  }
}

TEST(JsonParserTest, ReusedParserRecoversAfterFailures) {
  JsonParser parser;
  unsigned char buffer[4096];
  boost::json::monotonic_resource arena(buffer, sizeof buffer);
  for (int round = 0; round < 3; ++round) {
    EXPECT_FALSE(parser.parse("[1,2", boost::json::storage_ptr(&arena)));
    EXPECT_FALSE(parser.parse("{\"a\":[1,{\"b\":1e999}]}", boost::json::storage_ptr(&arena)));
    {
      const auto value = parser.parse("{\"a\":[1,-0]}", boost::json::storage_ptr(&arena));
      ASSERT_TRUE(value);
      EXPECT_EQ(canonical_json(*value), "{\"a\":[1,-0.0]}");
    }
    arena.release();
  }
}

// Serialise, parse, serialise again: the same bytes, for every value the parser accepts.
void expect_stable(const std::string& text) {
  const auto first = parse_json_text(text);
  if (!first) return;
  const std::string canonical = canonical_json(*first);
  const auto second = parse_json_text(canonical);
  ASSERT_TRUE(second) << canonical;
  ASSERT_EQ(canonical_json(*second), canonical);
}

TEST(CanonicalJsonTest, SerialiseParseSerialiseIsStable) {
  namespace fs = std::filesystem;
  int files = 0;
  for (const auto& entry :
       fs::directory_iterator(testing::testdata_path("jsontestsuite/test_parsing"))) {
    SCOPED_TRACE(entry.path().filename().string());
    expect_stable(testing::read_file(entry.path().string()));
    ++files;
  }
  EXPECT_GT(files, 300);
  // Random documents with awkward numbers and strings.
  std::mt19937_64 random(3);
  const std::vector<std::string> atoms = {"0",
                                          "-0",
                                          "1e5",
                                          "1E-7",
                                          "0.1",
                                          "123456789012345678901",
                                          "-1.5e-300",
                                          "7",
                                          "true",
                                          "null",
                                          "\"\"",
                                          "\"\\u0001\\n\\\"\"",
                                          "\"\\ud83d\\ude00\"",
                                          "2.5E+20",
                                          "1e21"};
  for (int i = 0; i < 2000; ++i) {
    std::string text = "{";
    const int members = static_cast<int>(random() % 6);
    for (int m = 0; m < members; ++m) {
      if (m) text += ",";
      text += "\"m" + std::to_string(random() % 4) + "\":[" + atoms[random() % atoms.size()] + "," +
              atoms[random() % atoms.size()] + "]";
    }
    text += "}";
    SCOPED_TRACE(text);
    expect_stable(text);
  }
}

}  // namespace
// Both kinds of buffer hand over exactly what was written, however often they grew, also after
// being moved while their text was still short enough to sit inside the string object.
TEST(TextBufferTest, TakeStringHandsOverWhatWasWritten) {
  struct Case {
    const char* name;
    bool for_string;
    std::size_t pieces;
  };
  const Case cases[] = {
      {"heap, nothing written", false, 0},
      {"string, nothing written", true, 0},
      {"string, short", true, 1},
      {"heap, grown many times", false, 5000},
      {"string, grown many times", true, 5000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TextBuffer first = c.for_string ? TextBuffer::for_string() : TextBuffer();
    first.reserve(8);  // room for what follows the move without growing
    std::string expected;
    if (c.pieces != 0) {
      first.append("ab");
      expected += "ab";
    }
    TextBuffer buffer = std::move(first);
    for (std::size_t i = 1; i < c.pieces; ++i) {
      const std::string piece = std::to_string(i) + ",";
      buffer.append(piece);
      expected += piece;
    }
    append_escaped_characters(buffer, "\"\n");
    expected += "\\\"\\n";
    EXPECT_EQ(buffer.take_string(), expected);
    EXPECT_TRUE(buffer.empty());
    buffer.append("again");
    EXPECT_EQ(buffer.take_string(), "again");
  }
}

}  // namespace torvesk
