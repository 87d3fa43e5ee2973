// Multi-pattern literal search over UTF-8 (or arbitrary) bytes.
//
// An `Automaton` is built once from a list of byte-string patterns and is
// immutable afterwards: every const member may be called from any number of
// threads at once.
//
// Match semantics (pattern indexes are positions in the builder's list):
//
//   Standard         A search reports the match that ends earliest; among the
//                    patterns ending at that byte, the longest. Iteration is
//                    non-overlapping: each search restarts at the end of the
//                    previous match. This is the classic automaton answer.
//   LeftmostLongest  A search reports the match that starts earliest; among the
//                    matches starting at that byte, the longest. Iteration is
//                    non-overlapping and resumes where the previous match
//                    ended.
//
// Duplicate patterns (after case folding) report their lowest index.
//
// ASCII case folding (`ascii_case_insensitive`) makes A-Z match a-z; every
// other byte, including every byte of a multi-byte UTF-8 sequence, must match
// exactly.
//
// Empty patterns match the empty string. Empty matches are only reported at
// character boundaries, so on valid UTF-8 no match ever splits a character:
//   - Standard: an empty match ends earliest, so every search from `p` reports
//     the empty match at `p`, and iteration yields one empty match at each
//     character boundary from the first position to the end of the text.
//   - LeftmostLongest: a non-empty pattern starting at `p` beats the empty
//     match there; otherwise the empty match at `p` is reported. After any
//     match iteration continues at its end, or one character further when it
//     was empty (so `"" | "ab"` over "abc" yields (0,2), (2,2), (3,3)).
// On invalid UTF-8 a lone continuation byte counts as one character, so no
// call ever loops or fails.
//
// Cost: building is linear in the total pattern length (times the alphabet
// size for the dense table). Standard searches read each byte once. A
// leftmost-longest find() may look ahead past the end of the match it
// reports (to rule out a longer one), by at most the longest pattern's
// length. The whole-text operations (find_all, count, for_each_match,
// replace_all) stay linear in both semantics: when leftmost-longest
// look-ahead keeps being re-read they switch to a backward scan over blocks
// with an automaton of the reversed patterns. A MatchIterator driven by hand
// has no such switch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace thalren::aho_corasick {

enum class MatchSemantics : std::uint8_t { Standard, LeftmostLongest };

// Upper bound on automaton states; one state per distinct non-empty pattern
// prefix, plus the root.
inline constexpr std::size_t kDefaultStateLimit = std::size_t{1} << 22;
// Transition tables larger than this fall back to sparse transitions with
// failure links: slower per byte, memory proportional to the pattern bytes.
inline constexpr std::size_t kDefaultDenseLimitBytes = std::size_t{32} << 20;
// Upper bound on the number of patterns (indexes are 32-bit).
inline constexpr std::size_t kMaxPatterns = (std::size_t{1} << 31) - 1;

struct Options {
  MatchSemantics semantics = MatchSemantics::Standard;
  bool ascii_case_insensitive = false;
  // Building fails with ValueError when more states than this are needed.
  std::size_t state_limit = kDefaultStateLimit;
  // Largest full transition table (in bytes) built before falling back.
  std::size_t dense_limit_bytes = kDefaultDenseLimitBytes;
};

struct Match {
  std::uint32_t pattern = 0;  // index in the builder's pattern list
  std::size_t start = 0;      // byte offset of the first matched byte
  std::size_t end = 0;        // byte offset one past the last matched byte

  std::size_t length() const { return end - start; }
  friend bool operator==(const Match&, const Match&) = default;
};

class Automaton;

// Non-overlapping matches of one haystack, left to right. Holds a reference
// to the automaton and a view of the haystack: both must outlive it.
class MatchIterator {
 public:
  MatchIterator(const Automaton& automaton, std::string_view haystack,
                std::size_t from = 0);

  // The next match, or nullopt once the haystack is exhausted (and forever
  // after).
  std::optional<Match> next();

 private:
  const Automaton* automaton_;
  std::string_view haystack_;
  std::size_t pos_;
  bool done_ = false;
  // LeftmostLongest with an empty pattern: the non-empty match found ahead of
  // `pos_`, reused while empty matches are emitted up to its start.
  std::optional<Match> pending_;
  bool pending_known_ = false;  // whether `pending_` is up to date
};

class Automaton {
 public:
  // Throws thalren::ValueError when the patterns need more states than
  // `options.state_limit` or there are more than kMaxPatterns patterns.
  Automaton(std::span<const std::string_view> patterns, Options options = {});
  Automaton(std::span<const std::string> patterns, Options options = {});
  Automaton(std::initializer_list<std::string_view> patterns,
            Options options = {});
  ~Automaton();
  Automaton(Automaton&&) noexcept;
  Automaton& operator=(Automaton&&) noexcept;
  Automaton(const Automaton&) = delete;
  Automaton& operator=(const Automaton&) = delete;

  std::size_t pattern_count() const;
  MatchSemantics semantics() const;
  bool ascii_case_insensitive() const;
  std::size_t state_count() const;
  // Whether the automaton uses the full transition table.
  bool is_dense() const;
  // Approximate heap bytes held by the automaton.
  std::size_t memory_usage() const;

  // The first match in haystack[from..] under the automaton's semantics, as
  // if the text began at `from`; offsets are relative to the whole haystack.
  // `from` beyond the end behaves like the end.
  std::optional<Match> find(std::string_view haystack,
                            std::size_t from = 0) const;
  // Whether find() would succeed; may stop at the first match seen.
  bool is_match(std::string_view haystack, std::size_t from = 0) const;

  MatchIterator iter(std::string_view haystack, std::size_t from = 0) const {
    return MatchIterator(*this, haystack, from);
  }
  std::vector<Match> find_all(std::string_view haystack) const;
  // Calls f(const Match&) for each match iter(haystack) would yield, in
  // order; faster than driving the iterator by hand.
  template <class F>
  void for_each_match(std::string_view haystack, F&& f) const {
    visit(haystack, &call_visitor<std::remove_reference_t<F>>, &f);
  }
  // Standard semantics only (std::logic_error otherwise): every occurrence of
  // every pattern, overlapping, by increasing end offset; at one end longer
  // patterns come first and equal patterns in index order. Empty patterns
  // occur at every character boundary, after the longer matches ending there.
  template <class F>
  void for_each_overlapping(std::string_view haystack, F&& f) const {
    visit_overlapping(haystack, &call_visitor<std::remove_reference_t<F>>, &f);
  }
  // Number of matches find_all would return, without materialising them.
  std::size_t count(std::string_view haystack) const;

  // A copy of haystack with every iterated match replaced: by `replacement`,
  // or by replacements[pattern]. The second form throws thalren::ValueError
  // "Expected N replacements, got M" when the list length differs from
  // pattern_count().
  std::string replace_all(std::string_view haystack,
                          std::string_view replacement) const;
  std::string replace_all(std::string_view haystack,
                          std::span<const std::string_view> replacements) const;
  std::string replace_all(std::string_view haystack,
                          std::span<const std::string> replacements) const;

  struct Impl;

 private:
  friend class MatchIterator;
  using Visitor = void (*)(void* context, const Match& match);
  template <class F>
  static void call_visitor(void* context, const Match& match) {
    (*static_cast<F*>(context))(match);
  }
  void visit(std::string_view haystack, Visitor visitor, void* context) const;
  void visit_overlapping(std::string_view haystack, Visitor visitor, void* context) const;
  std::unique_ptr<Impl> impl_;
};

}  // namespace thalren::aho_corasick
