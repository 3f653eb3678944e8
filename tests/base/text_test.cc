#include "base/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace torvesk {
namespace {

TEST(WhiteSpace, IsExactlyTheUnicodeWhiteSpaceSet) {
  const std::vector<char32_t> members = {0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085,
                                         0x00A0, 0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004,
                                         0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028,
                                         0x2029, 0x202F, 0x205F, 0x3000};
  for (const char32_t c : members) {
    SCOPED_TRACE(testing::Message() << "U+" << std::hex << static_cast<unsigned>(c));
    EXPECT_TRUE(is_white_space(c));
  }
  // Every other code point, including the look-alikes U+001C..U+001F, U+180E, U+200B and U+FEFF.
  std::size_t count = 0;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (is_white_space(c)) ++count;
  }
  EXPECT_EQ(count, members.size());
  for (const char32_t c : {0x001C, 0x001D, 0x001E, 0x001F, 0x180E, 0x200B, 0xFEFF}) {
    SCOPED_TRACE(testing::Message() << "U+" << std::hex << static_cast<unsigned>(c));
    EXPECT_FALSE(is_white_space(c));
  }
}

TEST(TrimWhiteSpace, Table) {
  struct Case {
    const char* name;
    std::string input;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"empty", "", ""},
      {"only spaces", " \t\r\n\v\f ", ""},
      {"nothing to trim", "a b", "a b"},
      {"ascii both sides, inner kept", "  a \t b\n", "a \t b"},
      {"next line U+0085", "\u0085x\u0085", "x"},
      {"no-break space", "\u00A0x\u00A0", "x"},
      {"ogham space mark", "\u1680x", "x"},
      {"en quad and hair space", "\u2000x\u200A", "x"},
      {"line and paragraph separators", "\u2028x\u2029", "x"},
      {"narrow nbsp, math space, ideographic", "\u202F\u205Fx\u3000", "x"},
      {"only unicode white space", "\u3000\u00A0\u2029", ""},
      {"zero width space is kept", "\u200Bx\u200B", "\u200Bx\u200B"},
      {"byte order mark is kept", "\uFEFFx", "\uFEFFx"},
      {"information separators are kept", "\x1Fx\x1C", "\x1Fx\x1C"},
      {"non-white multibyte edges kept", "\u00E9x\U0001F600", "\u00E9x\U0001F600"},
      {"invalid byte stops the front", "\xFF x ", "\xFF x"},
      {"invalid byte stops the back", " x \xFF", "x \xFF"},
      {"invalid byte between spaces", " \xFF ", "\xFF"},
      {"stray continuation is not U+0085", " a\x85", "a\x85"},
      {"lone continuation byte at the front", "\x85 a", "\x85 a"},
      {"overlong space is not a space", "\xC0\xA0x\xC0\xA0", "\xC0\xA0x\xC0\xA0"},
      {"truncated ideographic space at the back", " x\xE3\x80", "x\xE3\x80"},
      {"truncated ideographic space at the front", "\xE3\x80 x ", "\xE3\x80 x"},
      {"extra continuation after a space", "x\xE3\x80\x80\x80", "x\xE3\x80\x80\x80"},
      {"white space after invalid bytes", "a\xFF\u3000", "a\xFF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(std::string(trim_white_space(c.input)), c.expected);
  }
}

TEST(Utf8, ValidationTable) {
  struct Case {
    const char* name;
    std::string bytes;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"empty", "", true},
      {"ascii", "plain text", true},
      {"nul is a character", std::string("a\0b", 3), true},
      {"two bytes", "\xC3\xA9", true},
      {"three bytes", "\xE2\x82\xAC", true},
      {"four bytes", "\xF0\x9F\x98\x80", true},
      {"smallest two byte U+0080", "\xC2\x80", true},
      {"smallest three byte U+0800", "\xE0\xA0\x80", true},
      {"smallest four byte U+10000", "\xF0\x90\x80\x80", true},
      {"last before surrogates U+D7FF", "\xED\x9F\xBF", true},
      {"first after surrogates U+E000", "\xEE\x80\x80", true},
      {"U+FFFF", "\xEF\xBF\xBF", true},
      {"largest U+10FFFF", "\xF4\x8F\xBF\xBF", true},
      {"overlong nul", "\xC0\x80", false},
      {"overlong two byte", "\xC1\xBF", false},
      {"overlong three byte", "\xE0\x9F\xBF", false},
      {"overlong three byte nul", "\xE0\x80\x80", false},
      {"overlong four byte", "\xF0\x8F\xBF\xBF", false},
      {"high surrogate", "\xED\xA0\x80", false},
      {"low surrogate", "\xED\xBF\xBF", false},
      {"surrogate pair as cesu", "\xED\xA0\xBD\xED\xB8\x80", false},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false},
      {"lead F5", "\xF5\x80\x80\x80", false},
      {"five byte form", "\xF8\x88\x80\x80\x80", false},
      {"byte FF", "\xFF", false},
      {"byte FE", "\xFE", false},
      {"lone continuation", "\x80", false},
      {"truncated two byte", "a\xC3", false},
      {"truncated three byte", "\xE2\x82", false},
      {"truncated four byte", "\xF0\x9F\x98", false},
      {"truncated then ascii", "\xE2\x28\xA1", false},
      {"valid then stray continuation", "\xC3\xA9\xA9", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid);
  }
}

TEST(Utf8, DecodesScalarValuesInOrder) {
  const std::string text = "a\u00E9\u20AC\U0001F600\U0010FFFF";
  const std::vector<char32_t> expected = {U'a', 0xE9, 0x20AC, 0x1F600, 0x10FFFF};
  EXPECT_EQ(count_scalar_values(text), expected.size());
  std::vector<char32_t> decoded;
  for (std::size_t pos = 0; pos < text.size();) decoded.push_back(next_scalar_value(text, pos));
  EXPECT_EQ(decoded, expected);
}

TEST(Utf8, DecodingInvalidBytesStillAdvances) {
  const std::string text = "\xFF\xE2\x82";
  std::size_t pos = 0;
  EXPECT_EQ(next_scalar_value(text, pos), U'\uFFFD');
  EXPECT_EQ(pos, 1u);
  EXPECT_EQ(next_scalar_value(text, pos), U'\uFFFD');
  EXPECT_EQ(pos, 2u);
}

TEST(AsciiCase, FoldsOnlyAsciiLetters) {
  EXPECT_TRUE(equals_ignoring_ascii_case("Content-Type", "content-TYPE"));
  EXPECT_TRUE(equals_ignoring_ascii_case("", ""));
  EXPECT_FALSE(equals_ignoring_ascii_case("Host", "Hosts"));
  EXPECT_FALSE(equals_ignoring_ascii_case("\u00C9", "\u00E9"));  // non-ASCII never folds
  // These pairs differ only in the bit that separates ASCII upper and lower case letters.
  EXPECT_FALSE(equals_ignoring_ascii_case("[", "{"));
  EXPECT_FALSE(equals_ignoring_ascii_case("@", "`"));
  EXPECT_EQ(to_ascii_lower("X-Forwarded-FOR \u00C9@[Z]"), "x-forwarded-for \u00C9@[z]");
}

}  // namespace
}  // namespace torvesk
