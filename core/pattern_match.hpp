// Literal multi-pattern matching for callers: a reusable compiled matcher and
// stateless functions backed by a process-wide automaton cache.
//
// Offsets are UTF-8 byte offsets into the text, end exclusive; pattern
// indexes are positions in the caller's pattern list. `PatternMatcher` and
// `find_all_patterns` / `weighted_pattern_score` use leftmost-longest
// semantics; the other stateless functions use standard semantics (see
// core/aho_corasick.hpp for both).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/aho_corasick.hpp"

namespace thalren::pattern_match {

using aho_corasick::Automaton;
using aho_corasick::Match;

// A compiled pattern list. Immutable after construction, so every method may
// run concurrently.
class PatternMatcher {
 public:
  // Throws ValueError carrying the automaton builder's message when the
  // patterns exceed its limits.
  PatternMatcher(std::span<const std::string_view> patterns, bool case_insensitive);

  bool case_insensitive() const { return case_insensitive_; }
  const Automaton& automaton() const { return automaton_; }
  std::size_t pattern_count() const { return patterns_.size(); }
  // The pattern at `idx`, or nullopt when idx >= pattern_count().
  std::optional<std::string_view> get_pattern(std::uint64_t idx) const;

  std::vector<Match> find_all(std::string_view text) const;
  bool contains_any(std::string_view text) const;
  std::size_t count_matches(std::string_view text) const;
  // (pattern index, number of matches) for each pattern that matched, in
  // order of first match.
  std::vector<std::pair<std::uint32_t, std::uint64_t>> count_by_pattern(std::string_view text) const;
  // Each matching pattern index once, in order of first match.
  std::vector<std::uint32_t> matched_patterns(std::string_view text) const;
  std::vector<std::string_view> matched_pattern_strings(std::string_view text) const;
  std::string replace_all(std::string_view text, std::string_view replacement) const;
  // Throws ValueError "Expected N replacements, got M" on a length mismatch.
  std::string replace_all_with(std::string_view text,
                               std::span<const std::string_view> replacements) const;

 private:
  std::vector<std::string> patterns_;
  bool case_insensitive_;
  Automaton automaton_;
};

// The automaton for exactly this pattern sequence and these flags, from the
// process-wide cache (at most kCacheCapacity entries, never evicted; beyond
// that automata are built per call). nullptr when it cannot be built.
inline constexpr std::size_t kCacheCapacity = 512;
std::shared_ptr<const Automaton> cached_automaton(std::span<const std::string_view> patterns,
                                                  bool case_insensitive, bool leftmost_longest);
// Entries currently held by the cache.
std::size_t cache_size();

// Each pattern index once, in order of first match.
std::vector<std::uint32_t> unique_pattern_indices(const Automaton& automaton,
                                                  std::string_view text);

std::vector<Match> find_all_patterns(std::string_view text,
                                     std::span<const std::string_view> patterns,
                                     bool case_insensitive);
bool contains_any_pattern(std::string_view text, std::span<const std::string_view> patterns,
                          bool case_insensitive);
std::vector<bool> batch_contains_any(std::span<const std::string_view> texts,
                                     std::span<const std::string_view> patterns,
                                     bool case_insensitive);
std::uint64_t count_pattern_matches(std::string_view text,
                                    std::span<const std::string_view> patterns,
                                    bool case_insensitive);
// Throws ValueError on a length mismatch or when the automaton cannot be
// built.
double weighted_pattern_score(std::string_view text, std::span<const std::string_view> patterns,
                              std::span<const double> weights, bool case_insensitive);
std::vector<std::uint32_t> get_matched_pattern_indices(std::string_view text,
                                                       std::span<const std::string_view> patterns,
                                                       bool case_insensitive);

}  // namespace thalren::pattern_match
