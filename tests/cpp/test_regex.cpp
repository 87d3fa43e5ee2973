// Engine tests: shorthand translation, match iteration, replacement, sets,
// and the Unicode helpers the regex layer depends on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/regex.hpp"
#include "core/unicode.hpp"

using thalren::regex::Match;
using thalren::regex::MatchIterator;
using thalren::regex::Regex;
using thalren::regex::RegexSet;
using thalren::regex::Span;
namespace unicode = thalren::unicode;

namespace {

std::vector<std::pair<size_t, size_t>> spans(const Regex& re, std::string_view text) {
  std::vector<std::pair<size_t, size_t>> out;
  for (const Span& s : re.find_all(text)) out.emplace_back(s.start, s.end);
  return out;
}

using Spans = std::vector<std::pair<size_t, size_t>>;

}  // namespace

// ---- Translation ------------------------------------------------------------

TEST(Translate, LeavesOtherSyntaxAlone) {
  for (const char* p : {"abc", "a\\.b", "\\\\s", "[a-z]+", "(?i)x{2,3}", "\\p{L}", "[]a]",
                        "[^]a]", "[[:alpha:]]", "\\Q\\s\\E", "\\b", "\\n\\t"}) {
    EXPECT_EQ(thalren::regex::translate_shorthands(p), p) << p;
  }
}

TEST(Translate, RewritesShorthands) {
  std::string s = thalren::regex::translate_shorthands("\\s");
  EXPECT_EQ(s.front(), '[');
  EXPECT_NE(s.find("\\x{3000}"), std::string::npos);
  EXPECT_EQ(thalren::regex::translate_shorthands("\\S").substr(0, 2), "[^");
  std::string in_class = thalren::regex::translate_shorthands("[^\\s'\"]");
  EXPECT_EQ(in_class.substr(0, 2), "[^");
  EXPECT_EQ(in_class.find('[', 1), std::string::npos);  // no nested bracket
  EXPECT_EQ(in_class.substr(in_class.size() - 3), "'\"]");
}

struct ClassCase {
  const char* pattern;
  const char* text;
  bool matches;
};

class ShorthandClasses : public ::testing::TestWithParam<ClassCase> {};

TEST_P(ShorthandClasses, FullMatch) {
  const ClassCase& c = GetParam();
  Regex re(std::string("^(?:") + c.pattern + ")$");
  EXPECT_EQ(re.is_match(c.text), c.matches) << c.pattern << " on " << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Unicode, ShorthandClasses,
    ::testing::Values(
        ClassCase{"\\s", " ", true}, ClassCase{"\\s", "\u00a0", true},
        ClassCase{"\\s", "\u3000", true}, ClassCase{"\\s", "\u0085", true},
        ClassCase{"\\s", "\u200b", false}, ClassCase{"\\s", "x", false},
        ClassCase{"\\S", "\u3000", false}, ClassCase{"\\S", "\u00e9", true},
        ClassCase{"\\d", "\u0663", true},  // ARABIC-INDIC DIGIT THREE
        ClassCase{"\\d", "\u00b2", false},  // superscript two is No, not Nd
        ClassCase{"\\D", "7", false}, ClassCase{"\\D", "\u00b2", true},
        ClassCase{"\\w", "\u00e9", true}, ClassCase{"\\w", "_", true},
        ClassCase{"\\w", "\u0301", true},  // combining mark
        ClassCase{"\\w", "\u200d", true},  // zero-width joiner
        ClassCase{"\\w", "\u24b6", true},  // circled letter (Alphabetic)
        ClassCase{"\\w", "-", false}, ClassCase{"\\w", "\U0001F600", false},
        ClassCase{"\\W", "\u00e9", false}, ClassCase{"\\W", "\U0001F600", true},
        ClassCase{"[\\w-]+", "ab-\u00e9", true}, ClassCase{"[\\w-]+", "a b", false},
        ClassCase{"[^\\s'\"]+", "p\u00e4ss", true}, ClassCase{"[^\\s'\"]+", "a\u2003b", false},
        ClassCase{"[^\\S]", "\u2028", true}, ClassCase{"[^\\S]", "a", false},
        ClassCase{"[\\S]", "a", true}, ClassCase{"[A-Za-z\\d]+", "a\u0663", true},
        ClassCase{"[\\D]", "5", false}, ClassCase{"[^\\W\\d]", "a", true},
        ClassCase{"[^\\W\\d]", "5", false}, ClassCase{"\\\\s", "\\s", true},
        ClassCase{"(?i)\\w+", "ABC\u00c9", true}));

TEST(Regex, DollarIsEndOfTextWithoutMultiline) {
  Regex re("a$");
  EXPECT_FALSE(re.is_match("a\n"));
  EXPECT_TRUE(re.is_match("a"));
  Regex multi("(?m)a$");
  EXPECT_TRUE(multi.is_match("a\nb"));
}

TEST(Regex, DotDoesNotMatchNewline) {
  EXPECT_FALSE(Regex("a.b").is_match("a\nb"));
  EXPECT_TRUE(Regex("(?s)a.b").is_match("a\nb"));
}

TEST(Regex, InvalidPatternIsValueError) {
  for (const char* p : {"(", "[a-", "a{2,1}", "(?<=a)b", "\\1"}) {
    EXPECT_THROW(Regex{p}, thalren::ValueError) << p;
  }
}

// ---- Iteration ----------------------------------------------------------------

TEST(Iteration, NonOverlappingLeftToRight) {
  EXPECT_EQ(spans(Regex("aa"), "aaaaa"), (Spans{{0, 2}, {2, 4}}));
  EXPECT_EQ(spans(Regex("a|ab"), "ab"), (Spans{{0, 1}}));  // leftmost-first
}

TEST(Iteration, EmptyMatchesAdvanceOneCharacter) {
  // Never an empty match where the previous match ended; after an empty match
  // the search moves one whole character (here, two-byte characters).
  EXPECT_EQ(spans(Regex("a*"), "baaa"), (Spans{{0, 0}, {1, 4}}));
  EXPECT_EQ(spans(Regex("x*"), "\u00e9\u00e9"), (Spans{{0, 0}, {2, 2}, {4, 4}}));
  EXPECT_EQ(spans(Regex(""), ""), (Spans{{0, 0}}));
  EXPECT_EQ(spans(Regex("a*?"), "aa"), (Spans{{0, 0}, {1, 1}, {2, 2}}));
  EXPECT_EQ(spans(Regex("\\d*"), "1a22"), (Spans{{0, 1}, {2, 4}}));
}

TEST(Iteration, ByteOffsetsAndGroups) {
  Regex re("(k)(x)?=(\\w+)");
  std::string text = "\u00e9 k=v\u00e9 k=1";
  MatchIterator it(re, text, -1);
  ASSERT_TRUE(it.next());
  const Match& m = it.match();
  EXPECT_EQ(m.start(), 3u);
  EXPECT_EQ(m.end(), 8u);
  EXPECT_EQ(m.group_count(), 4u);
  EXPECT_EQ(m.group(1), "k");
  EXPECT_FALSE(m.span(2).matched);
  EXPECT_EQ(m.group(3), "v\u00e9");
  ASSERT_TRUE(it.next());
  EXPECT_EQ(it.match().start(), 9u);
  EXPECT_FALSE(it.next());
  EXPECT_FALSE(it.next());
}

TEST(Iteration, EmptyGroupIsMatched) {
  Regex re("a()b");
  Match m;
  ASSERT_TRUE(re.find("ab", 0, m));
  EXPECT_TRUE(m.span(1).matched);
  EXPECT_EQ(m.span(1).start, 1u);
}

TEST(Iteration, AnchorsSeeTextBeforeStart) {
  Regex re("^a");
  Match m;
  EXPECT_FALSE(re.find("aa", 1, m));
  Regex multi("(?m)^a");
  EXPECT_EQ(spans(multi, "a\na"), (Spans{{0, 1}, {2, 3}}));
}

TEST(Iteration, CallbackCanStop) {
  Regex re("a");
  int seen = 0;
  re.for_each_match("aaaa", [&](const Match&) { return ++seen < 2; });
  EXPECT_EQ(seen, 2);
}

// ---- Replacement ---------------------------------------------------------------

TEST(Replace, LiteralReplacement) {
  EXPECT_EQ(Regex("\\n{4,}").replace_all("a\n\n\n\n\nb", "\n\n\n"), "a\n\n\nb");
  EXPECT_EQ(Regex("b").replace_all("abcb", "\\1$0"), "a\\1$0c\\1$0");
  EXPECT_EQ(Regex("x").replace_all("abc", "y"), "abc");
  EXPECT_EQ(Regex("x*").replace_all("ab", "-"), "-a-b-");
  EXPECT_EQ(Regex("a*").replace_all("baaac", "-"), "-b-c-");
  EXPECT_EQ(Regex("x").replace_all("", "y"), "");
}

// ---- Sets ------------------------------------------------------------------------

TEST(Set, ReportsEveryMatchingExpression) {
  RegexSet set({"foo", "\\d{3}", "(?i)BAR", "z$"});
  EXPECT_EQ(set.matching("bar 1234 foo"), (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(set.any_match("z"));
  EXPECT_FALSE(set.any_match("z\n"));
  EXPECT_TRUE(set.matching("").empty());
  EXPECT_TRUE(set.matching("\u0663\u0663\u0663").size() == 1);
  EXPECT_THROW(RegexSet({"("}), thalren::ValueError);
}

// ---- Unicode helpers ----------------------------------------------------------

TEST(Unicode, DecodeAndEncode) {
  std::string s = "a\u00e9\u20ac\U0001F600";
  std::vector<char32_t> cps;
  unicode::for_each_char(s, [&](char32_t c, size_t, size_t) { cps.push_back(c); });
  EXPECT_EQ(cps, (std::vector<char32_t>{U'a', 0xE9, 0x20AC, 0x1F600}));
  std::string back;
  for (char32_t c : cps) unicode::append_utf8(back, c);
  EXPECT_EQ(back, s);
  EXPECT_EQ(unicode::encode_utf8(0xD800), "\uFFFD");
  EXPECT_EQ(unicode::count_chars(s), 4u);
  EXPECT_EQ(unicode::prefix_chars(s, 2), "a\u00e9");
  EXPECT_TRUE(unicode::is_valid_utf8(s));
  EXPECT_FALSE(unicode::is_valid_utf8("\xed\xa0\x80"));  // encoded surrogate
  EXPECT_FALSE(unicode::is_valid_utf8("\xc3"));
  EXPECT_EQ(unicode::decode_at("\xf0\x9f", 0).length, 1u);
}

TEST(Unicode, Boundaries) {
  std::string s = "a\u20acb";  // euro sign occupies bytes 1..3
  EXPECT_EQ(unicode::floor_char_boundary(s, 2), 1u);
  EXPECT_EQ(unicode::ceil_char_boundary(s, 2), 4u);
  EXPECT_EQ(unicode::floor_char_boundary(s, 99), s.size());
  EXPECT_TRUE(unicode::is_char_boundary(s, 4));
  EXPECT_FALSE(unicode::is_char_boundary(s, 3));
}

TEST(Unicode, PropertiesAndCase) {
  EXPECT_TRUE(unicode::is_white_space(0x2029));
  EXPECT_FALSE(unicode::is_white_space(0x200B));
  EXPECT_TRUE(unicode::is_alphabetic(0x24B6));
  EXPECT_TRUE(unicode::is_uppercase(0xC9));
  EXPECT_TRUE(unicode::is_numeric(0xB2));
  EXPECT_FALSE(unicode::is_decimal_digit(0xB2));
  EXPECT_TRUE(unicode::is_word_char(0x200C));
  EXPECT_EQ(unicode::to_lower("READ_FILE"), "read_file");
  EXPECT_EQ(unicode::to_lower("\u0130"), "i\u0307");
  EXPECT_EQ(unicode::to_lower("\u039f\u03a3"), "\u03bf\u03c2");  // final sigma
}

TEST(Unicode, TrimAndWords) {
  EXPECT_EQ(unicode::trim("\u3000 a b\u00a0\n"), "a b");
  EXPECT_EQ(unicode::trim(" \t "), "");
  EXPECT_EQ(unicode::split_white_space(" a\u2003b  c\u200b "),
            (std::vector<std::string_view>{"a", "b", "c\u200b"}));
  EXPECT_EQ(unicode::count_words(""), 0u);
  EXPECT_EQ(unicode::leading_white_space_bytes("\u3000 x"), 4u);
}
