// Thinking-loop detection: notices when a reasoning model stalls (announces
// an action again and again without taking it), repeats a thinking block
// verbatim, or keeps circling around the same keywords, and produces the
// guidance text the framework injects to push the model into action.
//
// Also: stateless search for stock "circular" phrases ("let me read", "i need
// to check", ...) with a process-wide, ASCII-case-folding automaton.
//
// All offsets are UTF-8 byte offsets into the searched text, end exclusive.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace thalren::aho_corasick {
class Automaton;
}

namespace thalren::thinking {

// Words ignored when extracting keywords (87 of them), built on first use.
const std::unordered_set<std::string_view>& get_stopwords();

// First-sentence prefixes that announce an action instead of taking it.
inline constexpr std::array<std::string_view, 7> STALL_PREFIXES = {
    "let me", "i'll", "i will", "i need to", "i should", "now", "first"};

// Stock phrases of circular reasoning, in this order ("i need to read" twice).
inline constexpr std::array<std::string_view, 32> CIRCULAR_PATTERNS = {
    "let me read",       "let me check",        "let me look at",    "let me examine",
    "let me see",        "i need to read",      "i need to check",   "i need to look at",
    "i need to examine", "i need to see",       "first let me",      "now let me",
    "let me first",      "let me start by",     "i'll need to",      "i will need to",
    "i'll have to",      "i will have to",      "let me actually use", "let me use the",
    "i'll actually read", "i'll read",          "i will read",       "i need to read",
    "now i'll",          "now i will",          "i should read",     "i should examine",
    "i should check",    "i should look",       "let me continue",   "let me proceed"};

// The automaton over CIRCULAR_PATTERNS: standard semantics (earliest end,
// longest among equal ends), ASCII case folding. Built once per process.
const aho_corasick::Automaton& get_circular_matcher();

struct CircularMatch {
  std::size_t start = 0;
  std::size_t end = 0;
};

// Non-overlapping matches of the circular phrases, left to right.
std::vector<CircularMatch> find_circular_patterns(std::string_view text);
std::size_t count_circular_patterns(std::string_view text);
bool detect_circular_phrases(std::string_view text);

// ---------------------------------------------------------------------------
// Pieces of a block's analysis, exposed for testing.

// The keyword set of a block: the distinct lower-cased alphanumeric runs of
// at least 4 UTF-8 bytes that are not stop words. Shared between the history
// and the keyword cache. Kept ordered by (hash, text) so that two sets
// intersect in one merge pass.
class ThinkingPattern {
 public:
  struct Keyword {
    std::uint64_t hash;  // XXH3-64 of `text`
    std::string text;
  };

  ThinkingPattern() = default;
  // `keywords` must be distinct; they are put in order here.
  explicit ThinkingPattern(std::vector<Keyword> keywords);

  std::size_t size() const { return keywords_.size(); }
  bool empty() const { return keywords_.empty(); }
  bool contains(std::string_view word) const;
  const std::vector<Keyword>& keywords() const { return keywords_; }

 private:
  std::vector<Keyword> keywords_;
};

ThinkingPattern extract_keywords(std::string_view text);

// Whitespace runs collapsed to one space, whitespace trimmed at both ends.
std::string normalize_block(std::string_view text);

// XXH3-64 (seed 0) of the normalised text.
std::uint64_t block_hash(std::string_view text);

// "file_read", "search", "analysis", "implementation" or "general".
std::string_view categorize_block(std::string_view text);

// True when the first sentence of the first line starts with a stall prefix.
bool is_stalling_block(std::string_view text);

// |a ∩ b| and |a ∪ b|; both 0 when either set is empty (similarity 0).
struct Overlap {
  std::size_t shared = 0;
  std::size_t combined = 0;
  double similarity() const {
    return combined == 0 ? 0.0 : static_cast<double>(shared) / static_cast<double>(combined);
  }
};
Overlap keyword_overlap(const ThinkingPattern& a, const ThinkingPattern& b);

// The percentage shown in the similarity header: shared/combined × 100 rounded
// to the nearest whole number, computed exactly from the counts; an exact half
// (such as 27 of 40 = 67.5) rounds up.
std::uint64_t similarity_percent(const Overlap& overlap);

enum class LoopType { Stalling, SemanticSimilarity, ExactRepetition };

// Header + advice. `overlap` is only used for LoopType::SemanticSimilarity.
std::string generate_guidance(LoopType type, std::uint64_t count, std::string_view category,
                              const Overlap& overlap = {});

// ---------------------------------------------------------------------------

// A detection result in structured form (the detector itself reports a
// flag and a guidance text).
struct PatternAnalysis {
  bool is_loop = false;
  std::string loop_type;
  double similarity_score = 0.0;
  std::uint64_t matching_patterns = 0;
  std::string guidance;
  std::string category;
};

struct DetectorStats {
  std::uint64_t total_analyzed = 0;
  std::uint64_t loops_detected = 0;
  std::uint64_t exact_matches = 0;
  std::uint64_t similar_matches = 0;
  std::uint64_t stalling_detected = 0;
  std::uint64_t consecutive_stalls = 0;
  double detection_rate = 0.0;
  std::uint64_t history_size = 0;
  std::uint64_t unique_patterns = 0;
};

struct LoopVerdict {
  bool is_loop = false;
  std::string guidance;  // empty unless is_loop
};

// Watches the thinking blocks of one task. Not thread-safe: one caller at a time.
class ThinkingDetector {
 public:
  static constexpr std::size_t kKeywordCacheCapacity = 100;

  explicit ThinkingDetector(std::uint64_t repetition_threshold = 3,
                            double similarity_threshold = 0.65, std::uint64_t window_size = 10,
                            std::uint64_t stalling_threshold = 2);

  LoopVerdict record_thinking(std::string_view content);
  DetectorStats get_stats() const;
  // New task: history, repeat counts and the stall run are forgotten; the
  // statistics and the keyword cache are kept.
  void reset();
  // Zeroes the five statistics counters; the history stays.
  void clear_stats();

 private:
  using PatternPtr = std::shared_ptr<const ThinkingPattern>;

  PatternPtr keywords_for(std::uint64_t hash, std::string_view content);
  void remember(PatternPtr pattern);

  std::uint64_t repetition_threshold_;
  double similarity_threshold_;
  std::uint64_t window_size_;
  std::uint64_t stalling_threshold_;

  std::deque<PatternPtr> history_;
  std::unordered_map<std::uint64_t, std::uint64_t> repeat_counts_;

  // LRU keyword cache: most recently used at the front of `lru_`.
  std::list<std::pair<std::uint64_t, PatternPtr>> lru_;
  std::unordered_map<std::uint64_t, decltype(lru_)::iterator> lru_index_;

  std::uint64_t consecutive_stalls_ = 0;
  std::uint64_t total_analyzed_ = 0;
  std::uint64_t loops_detected_ = 0;
  std::uint64_t exact_matches_ = 0;
  std::uint64_t similar_matches_ = 0;
  std::uint64_t stalling_detected_ = 0;
};

}  // namespace thalren::thinking
