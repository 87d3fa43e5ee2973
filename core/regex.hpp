// Compiled regular expressions on a linear-time engine (RE2).
//
// Untrusted model output is searched with these expressions, so the engine
// must never backtrack: every search is linear in the text length.
//
// Expressions are written with Perl-style syntax and the following semantics,
// which differ from RE2's own defaults and are provided by a translation step
// applied before compiling:
//   - `\s` is the Unicode White_Space set, `\d` the decimal digits (Nd), `\w`
//     the Unicode word characters (Alphabetic, marks, Nd, connector
//     punctuation, Join_Control). Their negations `\S`, `\D`, `\W` are the
//     complements. All six work inside and outside brackets ([^\s'"], [\w-]).
//   - `$` without (?m) matches only at the very end of the text; `^` without
//     (?m) only at its start. `.` never matches "\n" unless (?s) is set.
//   - Alternation is leftmost-first (Perl order), not leftmost-longest.
// `\b` and `\B` keep RE2's ASCII word-boundary meaning.
//
// All offsets are UTF-8 byte offsets into the searched text, end exclusive.
// The text is expected to be valid UTF-8 (every str from Python is).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace re2 {
class RE2;
}

namespace thalren::regex {

// Rewrites the shorthand classes \s \d \w \S \D \W of `pattern` into explicit
// Unicode classes, leaving everything else untouched (including escaped
// backslashes and \Q...\E literal runs). Exposed for testing.
std::string translate_shorthands(std::string_view pattern);

// A span of the searched text; `matched` is false for a capture group that
// did not take part in the match (its offsets are then 0).
struct Span {
  std::size_t start = 0;
  std::size_t end = 0;
  bool matched = false;
  std::size_t size() const { return end - start; }
};

class Regex;

// One match: group 0 is the whole match, groups 1..n the capture groups that
// were requested when iterating. Views refer to the searched text.
class Match {
 public:
  std::size_t start() const { return groups_[0].start; }
  std::size_t end() const { return groups_[0].end; }
  std::string_view text() const { return subject_.substr(start(), end() - start()); }
  // Number of groups held, including group 0.
  std::size_t group_count() const { return groups_.size(); }
  const Span& span(std::size_t group) const { return groups_[group]; }
  // The text of a group; empty when the group did not participate.
  std::string_view group(std::size_t group) const {
    const Span& s = groups_[group];
    return s.matched ? subject_.substr(s.start, s.end - s.start) : std::string_view();
  }

 private:
  friend class Regex;
  friend class MatchIterator;
  std::string_view subject_;
  std::vector<Span> groups_;
};

// An immutable compiled expression; safe to share between threads (the
// engine keeps its per-search scratch space in a thread-safe pool).
class Regex {
 public:
  // Compiles `pattern` after translating its shorthand classes. An invalid
  // pattern throws thalren::ValueError with the engine's description.
  explicit Regex(std::string_view pattern);
  ~Regex();
  Regex(Regex&&) noexcept;
  Regex& operator=(Regex&&) noexcept;
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  // The pattern as written by the caller (before translation).
  const std::string& pattern() const { return pattern_; }
  // Number of capture groups (not counting group 0).
  int capture_count() const;

  // True if the expression matches anywhere in `text`. Computes no positions.
  bool is_match(std::string_view text) const;

  // The leftmost-first match starting the search at byte `from` (the text
  // before `from` still serves as context for ^ and \b). `groups` is how many
  // capture groups to report besides group 0 (clamped to capture_count();
  // -1 = all). Returns false when there is no match.
  bool find(std::string_view text, std::size_t from, Match& out, int groups = -1) const;

  // Calls `fn(const Match&)` for each successive non-overlapping match, left
  // to right; `fn` may return void, or bool (false stops the iteration).
  template <class Fn>
  void for_each_match(std::string_view text, Fn&& fn, int groups = 0) const;

  // All matches (whole-match spans only).
  std::vector<Span> find_all(std::string_view text) const;

  // Replaces every match (iteration as above) with `replacement`, inserted
  // literally (no group references).
  std::string replace_all(std::string_view text, std::string_view replacement) const;

  const re2::RE2& engine() const { return *re_; }

 private:
  std::string pattern_;
  std::unique_ptr<re2::RE2> re_;
};

// Successive non-overlapping matches, left to right. After an empty match the
// search resumes one whole character later, and an empty match is never
// reported at the offset where the previous match ended.
//
//   MatchIterator it(re, text);
//   while (it.next()) use(it.match());
class MatchIterator {
 public:
  MatchIterator(const Regex& re, std::string_view text, int groups = 0);
  bool next();
  const Match& match() const { return match_; }

 private:
  const Regex* re_;
  std::string_view text_;
  int groups_;
  std::size_t pos_ = 0;
  std::size_t last_end_ = static_cast<std::size_t>(-1);
  bool done_ = false;
  Match match_;
};

// Tests many expressions against one text in a single pass (RE2::Set): the
// answer is the set of expression indices that match somewhere.
class RegexSet {
 public:
  // Each pattern is translated like Regex's; invalid -> ValueError.
  explicit RegexSet(const std::vector<std::string_view>& patterns);
  ~RegexSet();
  RegexSet(const RegexSet&) = delete;
  RegexSet& operator=(const RegexSet&) = delete;

  std::size_t size() const { return size_; }
  // True if any expression matches.
  bool any_match(std::string_view text) const;
  // Indices (ascending) of every expression that matches somewhere in `text`.
  std::vector<int> matching(std::string_view text) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::size_t size_ = 0;
};

template <class Fn>
void Regex::for_each_match(std::string_view text, Fn&& fn, int groups) const {
  MatchIterator it(*this, text, groups);
  while (it.next()) {
    if constexpr (std::is_same_v<decltype(fn(it.match())), bool>) {
      if (!fn(it.match())) return;
    } else {
      fn(it.match());
    }
  }
}

}  // namespace thalren::regex
