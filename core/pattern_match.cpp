#include "core/pattern_match.hpp"

#include <xxhash.h>

#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "core/errors.hpp"

namespace thalren::pattern_match {
namespace {

aho_corasick::Options matcher_options(bool case_insensitive, bool leftmost_longest) {
  aho_corasick::Options options;
  options.semantics = leftmost_longest ? aho_corasick::MatchSemantics::LeftmostLongest
                                       : aho_corasick::MatchSemantics::Standard;
  options.ascii_case_insensitive = case_insensitive;
  return options;
}

}  // namespace

// ---- PatternMatcher ---------------------------------------------------------

PatternMatcher::PatternMatcher(std::span<const std::string_view> patterns, bool case_insensitive)
    : patterns_(patterns.begin(), patterns.end()),
      case_insensitive_(case_insensitive),
      automaton_(patterns, matcher_options(case_insensitive, /*leftmost_longest=*/true)) {}

std::optional<std::string_view> PatternMatcher::get_pattern(std::uint64_t idx) const {
  if (idx >= patterns_.size()) return std::nullopt;
  return std::string_view(patterns_[idx]);
}

std::vector<Match> PatternMatcher::find_all(std::string_view text) const {
  return automaton_.find_all(text);
}

bool PatternMatcher::contains_any(std::string_view text) const {
  return automaton_.is_match(text);
}

std::size_t PatternMatcher::count_matches(std::string_view text) const {
  return automaton_.count(text);
}

std::vector<std::pair<std::uint32_t, std::uint64_t>> PatternMatcher::count_by_pattern(
    std::string_view text) const {
  // Slot per pattern index into the result, so the walk stays linear.
  std::vector<std::uint32_t> slot(patterns_.size(), UINT32_MAX);
  std::vector<std::pair<std::uint32_t, std::uint64_t>> counts;
  automaton_.for_each_match(text, [&](const Match& m) {
    std::uint32_t& s = slot[m.pattern];
    if (s == UINT32_MAX) {
      s = static_cast<std::uint32_t>(counts.size());
      counts.emplace_back(m.pattern, 0);
    }
    ++counts[s].second;
  });
  return counts;
}

std::vector<std::uint32_t> PatternMatcher::matched_patterns(std::string_view text) const {
  return unique_pattern_indices(automaton_, text);
}

std::vector<std::string_view> PatternMatcher::matched_pattern_strings(std::string_view text) const {
  std::vector<std::string_view> out;
  for (const std::uint32_t idx : unique_pattern_indices(automaton_, text)) {
    out.emplace_back(patterns_[idx]);
  }
  return out;
}

std::string PatternMatcher::replace_all(std::string_view text, std::string_view replacement) const {
  return automaton_.replace_all(text, replacement);
}

std::string PatternMatcher::replace_all_with(std::string_view text,
                                             std::span<const std::string_view> replacements) const {
  return automaton_.replace_all(text, replacements);
}

std::vector<std::uint32_t> unique_pattern_indices(const Automaton& automaton,
                                                  std::string_view text) {
  std::vector<bool> seen(automaton.pattern_count(), false);
  std::vector<std::uint32_t> out;
  automaton.for_each_match(text, [&](const Match& m) {
    if (!seen[m.pattern]) {
      seen[m.pattern] = true;
      out.push_back(m.pattern);
    }
  });
  return out;
}

// ---- the automaton cache ------------------------------------------------------

namespace {

struct CacheKey {
  bool case_insensitive;
  bool leftmost_longest;
  std::vector<std::string> patterns;
};

// Lookups compare against the caller's views without copying the patterns.
struct KeyView {
  bool case_insensitive;
  bool leftmost_longest;
  std::span<const std::string_view> patterns;
};

template <class Seq>
std::size_t hash_key(bool ci, bool ll, const Seq& patterns) {
  std::uint64_t h = (ci ? 1u : 0u) | (ll ? 2u : 0u);
  h ^= static_cast<std::uint64_t>(patterns.size()) << 2;
  for (const auto& p : patterns) {
    // Chaining through the seed makes the hash depend on pattern boundaries
    // and order, not only on the concatenated bytes.
    h = XXH3_64bits_withSeed(p.data(), p.size(), h + p.size());
  }
  return static_cast<std::size_t>(h);
}

struct KeyHash {
  using is_transparent = void;
  std::size_t operator()(const CacheKey& k) const {
    return hash_key(k.case_insensitive, k.leftmost_longest, k.patterns);
  }
  std::size_t operator()(const KeyView& k) const {
    return hash_key(k.case_insensitive, k.leftmost_longest, k.patterns);
  }
};

template <class A, class B>
bool same_key(const A& a, const B& b) {
  return a.case_insensitive == b.case_insensitive && a.leftmost_longest == b.leftmost_longest &&
         std::equal(a.patterns.begin(), a.patterns.end(), b.patterns.begin(), b.patterns.end(),
                    [](const auto& x, const auto& y) { return std::string_view(x) == std::string_view(y); });
}

struct KeyEqual {
  using is_transparent = void;
  bool operator()(const CacheKey& a, const CacheKey& b) const { return same_key(a, b); }
  bool operator()(const KeyView& a, const CacheKey& b) const { return same_key(a, b); }
  bool operator()(const CacheKey& a, const KeyView& b) const { return same_key(a, b); }
};

struct AutomatonCache {
  std::mutex mutex;
  std::unordered_map<CacheKey, std::shared_ptr<const Automaton>, KeyHash, KeyEqual> entries;
};

// AC_CACHE: process-wide, built on first use, never cleared.
AutomatonCache& ac_cache() {
  static AutomatonCache* cache = new AutomatonCache();  // outlives static destruction
  return *cache;
}

}  // namespace

std::shared_ptr<const Automaton> cached_automaton(std::span<const std::string_view> patterns,
                                                  bool case_insensitive, bool leftmost_longest) {
  AutomatonCache& cache = ac_cache();
  const KeyView view{case_insensitive, leftmost_longest, patterns};
  {
    std::lock_guard lock(cache.mutex);
    auto found = cache.entries.find(view);
    if (found != cache.entries.end()) return found->second;
  }
  // Built outside the lock: a large pattern list must not stall other
  // callers. Two threads may build the same automaton; the later insertion
  // wins and both results are equivalent.
  std::shared_ptr<const Automaton> built;
  try {
    built = std::make_shared<const Automaton>(patterns,
                                              matcher_options(case_insensitive, leftmost_longest));
  } catch (const ValueError&) {
    return nullptr;
  }
  std::lock_guard lock(cache.mutex);
  if (cache.entries.size() < kCacheCapacity) {
    auto found = cache.entries.find(view);
    if (found != cache.entries.end()) {
      found->second = built;
    } else {
      cache.entries.emplace(
          CacheKey{case_insensitive, leftmost_longest,
                   std::vector<std::string>(patterns.begin(), patterns.end())},
          built);
    }
  }
  return built;
}

std::size_t cache_size() {
  AutomatonCache& cache = ac_cache();
  std::lock_guard lock(cache.mutex);
  return cache.entries.size();
}

// ---- module functions -----------------------------------------------------------

std::vector<Match> find_all_patterns(std::string_view text,
                                     std::span<const std::string_view> patterns,
                                     bool case_insensitive) {
  const auto automaton = cached_automaton(patterns, case_insensitive, true);
  if (!automaton) return {};
  return automaton->find_all(text);
}

bool contains_any_pattern(std::string_view text, std::span<const std::string_view> patterns,
                          bool case_insensitive) {
  const auto automaton = cached_automaton(patterns, case_insensitive, false);
  return automaton && automaton->is_match(text);
}

std::vector<bool> batch_contains_any(std::span<const std::string_view> texts,
                                     std::span<const std::string_view> patterns,
                                     bool case_insensitive) {
  std::vector<bool> out(texts.size(), false);
  const auto automaton = cached_automaton(patterns, case_insensitive, false);
  if (!automaton) return out;
  for (std::size_t i = 0; i < texts.size(); ++i) out[i] = automaton->is_match(texts[i]);
  return out;
}

std::uint64_t count_pattern_matches(std::string_view text,
                                    std::span<const std::string_view> patterns,
                                    bool case_insensitive) {
  const auto automaton = cached_automaton(patterns, case_insensitive, false);
  return automaton ? automaton->count(text) : 0;
}

double weighted_pattern_score(std::string_view text, std::span<const std::string_view> patterns,
                              std::span<const double> weights, bool case_insensitive) {
  if (patterns.size() != weights.size()) {
    throw ValueError("Number of patterns (" + std::to_string(patterns.size()) +
                     ") must match number of weights (" + std::to_string(weights.size()) + ")");
  }
  const auto automaton = cached_automaton(patterns, case_insensitive, true);
  if (!automaton) throw ValueError("failed to build pattern automaton");
  double score = 0.0;
  for (const std::uint32_t idx : unique_pattern_indices(*automaton, text)) score += weights[idx];
  return score;
}

std::vector<std::uint32_t> get_matched_pattern_indices(std::string_view text,
                                                       std::span<const std::string_view> patterns,
                                                       bool case_insensitive) {
  const auto automaton = cached_automaton(patterns, case_insensitive, false);
  if (!automaton) return {};
  return unique_pattern_indices(*automaton, text);
}

}  // namespace thalren::pattern_match
