// The automaton against a brute-force reference on random pattern sets and
// texts, in both semantics, with and without ASCII folding, in both the dense
// and the sparse layout.
#include "core/aho_corasick.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/errors.hpp"
#include "core/pattern_match.hpp"

namespace ac = thalren::aho_corasick;
using ac::Match;
using ac::MatchSemantics;

namespace {

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool equal_at(std::string_view text, std::size_t at, std::string_view pat, bool ci) {
  if (at + pat.size() > text.size()) return false;
  for (std::size_t i = 0; i < pat.size(); ++i) {
    const char a = text[at + i];
    const char b = pat[i];
    if (ci ? fold(a) != fold(b) : a != b) return false;
  }
  return true;
}

std::size_t char_step(std::string_view text, std::size_t p) {
  std::size_t q = p + 1;
  while (q < text.size() && (static_cast<unsigned char>(text[q]) & 0xC0) == 0x80) ++q;
  return q;
}

// Straight from the definitions, no automaton.
struct Reference {
  std::vector<std::string> patterns;
  MatchSemantics semantics;
  bool ci;

  std::optional<Match> find(std::string_view text, std::size_t from) const {
    if (semantics == MatchSemantics::Standard) {
      for (std::size_t end = from; end <= text.size(); ++end) {
        std::optional<Match> best;
        for (std::size_t p = 0; p < patterns.size(); ++p) {
          const std::size_t len = patterns[p].size();
          if (len > end - from) continue;
          if (!equal_at(text, end - len, patterns[p], ci)) continue;
          if (!best || len > best->length()) {
            best = Match{static_cast<std::uint32_t>(p), end - len, end};
          }
        }
        if (best) return best;
      }
      return std::nullopt;
    }
    for (std::size_t start = from; start <= text.size(); ++start) {
      std::optional<Match> best;
      for (std::size_t p = 0; p < patterns.size(); ++p) {
        if (!equal_at(text, start, patterns[p], ci)) continue;
        const std::size_t len = patterns[p].size();
        if (!best || len > best->length()) {
          best = Match{static_cast<std::uint32_t>(p), start, start + len};
        }
      }
      if (best) return best;
    }
    return std::nullopt;
  }

  std::vector<Match> find_all(std::string_view text) const {
    std::vector<Match> out;
    std::size_t pos = 0;
    for (;;) {
      auto m = find(text, pos);
      if (!m) break;
      out.push_back(*m);
      if (m->length() > 0) {
        pos = m->end;
      } else if (m->end >= text.size()) {
        break;
      } else {
        pos = char_step(text, m->end);
      }
    }
    return out;
  }
};

// Letters in both cases, a digit, and two-byte characters that share a lead
// byte and differ only in bits that ASCII folding would touch (U+00E9 vs
// U+00C9), plus a three-byte character.
const std::vector<std::string> kAlphabet = {"a", "A", "b", "B", "c", "1",
                                            "\xC3\xA9", "\xC3\x89", "\xE2\x96\x81"};

std::string random_string(std::mt19937& rng, std::size_t max_chars) {
  std::uniform_int_distribution<std::size_t> len(0, max_chars);
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
  std::string s;
  for (std::size_t i = len(rng); i > 0; --i) s += kAlphabet[pick(rng)];
  return s;
}

std::string describe(const std::vector<std::string>& patterns, std::string_view text) {
  std::string d = "patterns:";
  for (const auto& p : patterns) d += " [" + p + "]";
  d += " text: [" + std::string(text) + "]";
  return d;
}

struct Config {
  MatchSemantics semantics;
  bool ci;
  bool dense;
};

class RandomAgainstReference : public ::testing::TestWithParam<Config> {};

TEST_P(RandomAgainstReference, FindIterateCountReplace) {
  const Config cfg = GetParam();
  std::mt19937 rng(12345 + static_cast<int>(cfg.semantics) * 7 + cfg.ci * 3 + cfg.dense);
  for (int round = 0; round < 1500; ++round) {
    std::vector<std::string> patterns;
    const int count = std::uniform_int_distribution<int>(0, 10)(rng);
    const bool allow_empty = round % 5 == 0;
    for (int i = 0; i < count; ++i) {
      std::string p = random_string(rng, 4);
      if (p.empty() && !allow_empty) p = "a";
      patterns.push_back(p);
    }
    ac::Options opt{cfg.semantics, cfg.ci};
    if (!cfg.dense) opt.dense_limit_bytes = 0;
    const ac::Automaton automaton(std::span<const std::string>(patterns), opt);
    ASSERT_EQ(automaton.is_dense(), cfg.dense || count == 0 || automaton.state_count() == 1);
    const Reference ref{patterns, cfg.semantics, cfg.ci};
    for (int t = 0; t < 4; ++t) {
      const std::string text = random_string(rng, 24);
      SCOPED_TRACE(describe(patterns, text));
      const auto expected = ref.find_all(text);
      ASSERT_EQ(automaton.find_all(text), expected);
      ASSERT_EQ(automaton.count(text), expected.size());
      std::vector<Match> iterated;
      auto it = automaton.iter(text);
      while (auto m = it.next()) iterated.push_back(*m);
      ASSERT_EQ(iterated, expected);
      for (std::size_t from = 0; from <= text.size(); from = char_step(text, from)) {
        const auto want = ref.find(text, from);
        ASSERT_EQ(automaton.find(text, from), want) << "from " << from;
        ASSERT_EQ(automaton.is_match(text, from), want.has_value()) << "from " << from;
        if (from == text.size()) break;
      }
      // Replacement: numbered markers make every pattern's slot visible.
      std::vector<std::string> repl;
      for (std::size_t p = 0; p < patterns.size(); ++p) repl.push_back("<" + std::to_string(p) + ">");
      std::string want_text;
      std::size_t copied = 0;
      for (const Match& m : expected) {
        want_text += text.substr(copied, m.start - copied) + repl[m.pattern];
        copied = m.end;
      }
      want_text += text.substr(copied);
      ASSERT_EQ(automaton.replace_all(text, std::span<const std::string>(repl)), want_text);
    }
  }
}

// Every occurrence, by end, longer first, then by index; empty patterns at
// character boundaries.
std::vector<Match> overlapping_reference(const std::vector<std::string>& patterns, std::string_view text,
                                         bool ci) {
  std::vector<Match> out;
  for (std::size_t end = 0; end <= text.size(); ++end) {
    const bool boundary = end == text.size() || (static_cast<unsigned char>(text[end]) & 0xC0) != 0x80;
    std::vector<Match> here;
    for (std::size_t p = 0; p < patterns.size(); ++p) {
      const std::size_t len = patterns[p].size();
      if (len > end) continue;
      if (len == 0 && !boundary) continue;
      if (equal_at(text, end - len, patterns[p], ci)) here.push_back({static_cast<std::uint32_t>(p), end - len, end});
    }
    std::stable_sort(here.begin(), here.end(),
                     [](const Match& a, const Match& b) { return a.length() > b.length(); });
    out.insert(out.end(), here.begin(), here.end());
  }
  return out;
}

TEST(AhoCorasick, OverlappingAgainstReference) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::string> patterns;
    const int count = std::uniform_int_distribution<int>(0, 10)(rng);
    for (int i = 0; i < count; ++i) {
      std::string p = random_string(rng, 4);
      if (p.empty() && round % 4 != 0) p = "b";
      patterns.push_back(p);
    }
    ac::Options opt{MatchSemantics::Standard, round % 2 == 0};
    if (round % 3 == 0) opt.dense_limit_bytes = 0;
    const ac::Automaton automaton(std::span<const std::string>(patterns), opt);
    const std::string text = random_string(rng, 24);
    SCOPED_TRACE(describe(patterns, text));
    std::vector<Match> got;
    automaton.for_each_overlapping(text, [&](const Match& m) { got.push_back(m); });
    ASSERT_EQ(got, overlapping_reference(patterns, text, opt.ascii_case_insensitive));
  }
  const ac::Automaton leftmost({"a"}, {MatchSemantics::LeftmostLongest});
  EXPECT_THROW(leftmost.for_each_overlapping("a", [](const Match&) {}), std::logic_error);
}

INSTANTIATE_TEST_SUITE_P(
    AllLayouts, RandomAgainstReference,
    ::testing::Values(Config{MatchSemantics::Standard, false, true},
                      Config{MatchSemantics::Standard, true, true},
                      Config{MatchSemantics::LeftmostLongest, false, true},
                      Config{MatchSemantics::LeftmostLongest, true, true},
                      Config{MatchSemantics::Standard, false, false},
                      Config{MatchSemantics::Standard, true, false},
                      Config{MatchSemantics::LeftmostLongest, false, false},
                      Config{MatchSemantics::LeftmostLongest, true, false}));

// Arbitrary bytes (invalid UTF-8 included) in patterns and text, with more
// patterns so that states have many children; no empty patterns here since
// empty matches follow character boundaries.
TEST(AhoCorasick, RandomBytesAgainstReference) {
  std::mt19937 rng(99);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> small(0, 5);
  for (int round = 0; round < 300; ++round) {
    std::vector<std::string> patterns(std::uniform_int_distribution<int>(1, 60)(rng));
    for (auto& p : patterns) {
      const int len = 1 + small(rng) % 4;
      for (int i = 0; i < len; ++i) {
        // A narrow range of bytes keeps matches frequent.
        p += static_cast<char>(round % 2 ? byte(rng) : 0x3E + small(rng) * 0x20);
      }
    }
    for (const auto semantics : {MatchSemantics::Standard, MatchSemantics::LeftmostLongest}) {
      for (const bool ci : {false, true}) {
        const ac::Automaton automaton(std::span<const std::string>(patterns), {semantics, ci});
        const Reference ref{patterns, semantics, ci};
        std::string text;
        for (int i = 0; i < 200; ++i) {
          text += static_cast<char>(round % 2 ? byte(rng) : 0x3E + small(rng) * 0x20);
        }
        ASSERT_EQ(automaton.find_all(text), ref.find_all(text));
      }
    }
  }
}

// Long patterns that almost match everywhere make the forward leftmost walk
// re-read its look-ahead; whole-text iteration then switches to the block
// method, which must give the iterator's answer.
TEST(AhoCorasick, LeftmostLookaheadStaysLinear) {
  const std::string text(2'000'000, 'a');
  const ac::Automaton a({"a", std::string(3000, 'a') + "b"}, {MatchSemantics::LeftmostLongest});
  EXPECT_EQ(a.count(text), text.size());  // linear: a forward walk would read 6e9 bytes
  std::mt19937 rng(5);
  for (int round = 0; round < 40; ++round) {
    std::vector<std::string> patterns;
    for (int i = 0; i < 6; ++i) patterns.push_back(random_string(rng, 3));
    patterns.push_back(std::string(200 + round, 'a') + "c");
    patterns.push_back(std::string(50, 'a') + "\xC3\xA9");
    if (round % 2) patterns.push_back("");
    std::string hay;
    while (hay.size() < 300'000) {
      hay += std::string(std::uniform_int_distribution<int>(0, 400)(rng), 'a');
      hay += random_string(rng, 3);
    }
    const ac::Automaton automaton(std::span<const std::string>(patterns),
                                  {MatchSemantics::LeftmostLongest, round % 3 == 0});
    std::vector<Match> iterated;
    auto it = automaton.iter(hay);
    while (auto m = it.next()) iterated.push_back(*m);
    ASSERT_EQ(automaton.find_all(hay), iterated) << "round " << round;
  }
}

TEST(AhoCorasick, WorkedExamples) {
  const ac::Automaton standard({"a", "ab", "b"}, {MatchSemantics::Standard});
  EXPECT_EQ(standard.find_all("ab"), (std::vector<Match>{{0, 0, 1}, {2, 1, 2}}));
  const ac::Automaton leftmost({"a", "ab", "b"}, {MatchSemantics::LeftmostLongest});
  EXPECT_EQ(leftmost.find_all("ab"), (std::vector<Match>{{1, 0, 2}}));

  // Among patterns ending at the same byte the longest wins.
  const ac::Automaton words({"move", "remove", "start", "restart", "not", "do not"},
                            {MatchSemantics::Standard, true});
  EXPECT_EQ(words.find_all("Remove, RESTART, do not"),
            (std::vector<Match>{{1, 0, 6}, {3, 8, 15}, {5, 17, 23}}));

  // Standard stops at the earliest end even when a longer match started before.
  const ac::Automaton circ({"first let me", "let me read"}, {MatchSemantics::Standard, true});
  EXPECT_EQ(circ.find_all("first let me read"), (std::vector<Match>{{0, 0, 12}}));

  // Duplicates (after folding) report the first index.
  const ac::Automaton dup({"Fix", "fix", "FIX"}, {MatchSemantics::LeftmostLongest, true});
  EXPECT_EQ(dup.find_all("fIx"), (std::vector<Match>{{0, 0, 3}}));

  // Folding is ASCII only.
  const ac::Automaton accent({"\xC3\xA9"}, {MatchSemantics::Standard, true});
  EXPECT_FALSE(accent.is_match("\xC3\x89"));
  EXPECT_TRUE(accent.is_match("x\xC3\xA9"));
}

TEST(AhoCorasick, EmptyPatternsNeverSplitCharacters) {
  const std::string text = "a\xC3\xA9\xE2\x96\x81";  // a, U+00E9, U+2581
  const ac::Automaton standard({"", "a"}, {MatchSemantics::Standard});
  EXPECT_EQ(standard.find_all(text),
            (std::vector<Match>{{0, 0, 0}, {0, 1, 1}, {0, 3, 3}, {0, 6, 6}}));
  const ac::Automaton leftmost({"x", "", "a\xC3\xA9"}, {MatchSemantics::LeftmostLongest});
  EXPECT_EQ(leftmost.find_all(text), (std::vector<Match>{{2, 0, 3}, {1, 3, 3}, {1, 6, 6}}));
  EXPECT_EQ(leftmost.replace_all(text, std::string_view("-")), "--\xE2\x96\x81-");
  EXPECT_EQ(standard.find_all(""), (std::vector<Match>{{0, 0, 0}}));
  EXPECT_EQ(standard.count(text), 4u);
  EXPECT_TRUE(standard.is_match(""));

  // Invalid UTF-8 still advances.
  const std::string junk(1000, '\x80');
  EXPECT_EQ(standard.count(junk), 1001u);
  EXPECT_EQ(leftmost.count(junk), 1001u);
}

TEST(AhoCorasick, SearchFromOffsetIgnoresEarlierText) {
  const ac::Automaton a({"<think>", "</think>"}, {MatchSemantics::Standard});
  const std::string text = "<thi<think>x</think>";
  EXPECT_EQ(a.find(text, 0), (Match{0, 4, 11}));
  EXPECT_EQ(a.find(text, 5), (Match{1, 12, 20}));
  EXPECT_EQ(a.find(text, 13), std::nullopt);
  EXPECT_EQ(a.find(text, 999), std::nullopt);
  auto it = a.iter(text, 11);
  EXPECT_EQ(it.next(), (Match{1, 12, 20}));
  EXPECT_EQ(it.next(), std::nullopt);
  EXPECT_EQ(it.next(), std::nullopt);
}

TEST(AhoCorasick, NoPatterns) {
  const ac::Automaton none(std::span<const std::string_view>{}, {});
  EXPECT_EQ(none.pattern_count(), 0u);
  EXPECT_EQ(none.find_all("anything"), std::vector<Match>{});
  EXPECT_FALSE(none.is_match("anything"));
  EXPECT_EQ(none.replace_all("abc", std::span<const std::string_view>{}), "abc");
  EXPECT_THROW(none.replace_all("abc", std::vector<std::string>{"x"}), thalren::ValueError);
}

TEST(AhoCorasick, ReplacementCountMismatchMessage) {
  const ac::Automaton a({"a", "b", "c"}, {});
  try {
    a.replace_all("abc", std::vector<std::string>{"x", "y"});
    FAIL() << "expected ValueError";
  } catch (const thalren::ValueError& e) {
    EXPECT_STREQ(e.what(), "Expected 3 replacements, got 2");
  }
}

TEST(AhoCorasick, StateLimitIsAValueError) {
  ac::Options opt;
  opt.state_limit = 10;
  EXPECT_NO_THROW(ac::Automaton({"abcde", "abxyz"}, opt));  // 9 states
  try {
    ac::Automaton({"abcde", "vwxyz"}, opt);
    FAIL() << "expected ValueError";
  } catch (const thalren::ValueError& e) {
    EXPECT_STREQ(e.what(), "Pattern set too large: the automaton needs more than 10 states");
  }
}

TEST(AhoCorasick, AllBytesUsedAndLargeSets) {
  // Every byte value in some pattern: the class map has no spare class.
  std::vector<std::string> patterns;
  for (int b = 0; b < 256; ++b) patterns.push_back(std::string(1, static_cast<char>(b)) + "z");
  const ac::Automaton a(std::span<const std::string>(patterns), {});
  std::string text;
  for (int b = 0; b < 256; ++b) text += std::string(1, static_cast<char>(b)) + "z";
  EXPECT_EQ(a.count(text), 256u);

  // Thousands of patterns, dense and sparse layouts agree.
  std::mt19937 rng(7);
  std::vector<std::string> words;
  for (int i = 0; i < 5000; ++i) words.push_back(random_string(rng, 8) + "q");
  std::string big;
  for (int i = 0; i < 20000; ++i) big += random_string(rng, 6) + "q ";
  for (const auto semantics : {MatchSemantics::Standard, MatchSemantics::LeftmostLongest}) {
    ac::Options sparse{semantics, true};
    sparse.dense_limit_bytes = 0;
    const ac::Automaton d(std::span<const std::string>(words), {semantics, true});
    const ac::Automaton s(std::span<const std::string>(words), sparse);
    EXPECT_TRUE(d.is_dense());
    EXPECT_FALSE(s.is_dense());
    EXPECT_EQ(d.find_all(big), s.find_all(big));
    EXPECT_GT(d.count(big), 1000u);
  }
}

TEST(AhoCorasick, PrefilterPaths) {
  // One, two and three distinct start bytes take the skipping scan; long
  // stretches without them exercise the vector loop and its tail.
  const std::string filler(1000, '.');
  for (const auto& pats : std::vector<std::vector<std::string>>{
           {"zq"}, {"zq", "yq"}, {"zq", "yq", "xq"}, {"Zq"}}) {
    for (const bool ci : {false, true}) {
      for (const auto semantics : {MatchSemantics::Standard, MatchSemantics::LeftmostLongest}) {
        const ac::Automaton a(std::span<const std::string>(pats), {semantics, ci});
        const Reference ref{pats, semantics, ci};
        std::string text = filler + "zqz" + filler.substr(0, 17) + "yq" + "ZQxq" + filler.substr(0, 5) +
                           "xq" + std::string(300, 'z') + "q";
        ASSERT_EQ(a.find_all(text), ref.find_all(text));
        ASSERT_EQ(a.count(text), ref.find_all(text).size());
      }
    }
  }
}

// The process-wide automaton cache behind the stateless pattern functions.
TEST(AutomatonCache, ReusesExactKeysAndStopsGrowingAtCapacity) {
  namespace pm = thalren::pattern_match;
  const std::vector<std::string_view> ab = {"alpha", "beta"};
  const std::vector<std::string_view> ba = {"beta", "alpha"};
  const std::vector<std::string_view> joined = {"alphabeta"};
  const std::size_t before = pm::cache_size();
  const auto first = pm::cached_automaton(ab, true, false);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(pm::cached_automaton(ab, true, false), first);  // same key: same automaton
  EXPECT_EQ(pm::cache_size(), before + 1);
  EXPECT_NE(pm::cached_automaton(ba, true, false), first);  // other order
  EXPECT_NE(pm::cached_automaton(ab, false, false), first);  // other case setting
  EXPECT_NE(pm::cached_automaton(ab, true, true), first);    // other semantics
  EXPECT_NE(pm::cached_automaton(joined, true, false), first);
  EXPECT_EQ(pm::cache_size(), before + 5);
  EXPECT_EQ(pm::cached_automaton(ba, true, false)->find("x beta"), (Match{0, 2, 6}));

  // Fill to capacity; later keys are built per call and not kept.
  for (std::size_t i = 0; pm::cache_size() < pm::kCacheCapacity; ++i) {
    const std::string word = "filler" + std::to_string(i);
    const std::vector<std::string_view> one = {word};
    ASSERT_NE(pm::cached_automaton(one, false, false), nullptr);
  }
  const std::vector<std::string_view> late = {"late", "comer"};
  const auto a = pm::cached_automaton(late, false, false);
  const auto b = pm::cached_automaton(late, false, false);
  ASSERT_NE(a, nullptr);
  EXPECT_NE(a, b);  // not cached
  EXPECT_EQ(pm::cache_size(), pm::kCacheCapacity);
  EXPECT_EQ(a->count("late comer"), 2u);
  EXPECT_EQ(pm::cached_automaton(ab, true, false), first);  // earlier entries stay
}

}  // namespace
