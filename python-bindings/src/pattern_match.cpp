// Literal multi-pattern matching: PatternMatcher, PatternMatch and the
// stateless functions over the process-wide automaton cache.

#include "core/pattern_match.hpp"

#include "families.hpp"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pm = thalren::pattern_match;

// One match, with its own copy of the matched text.
struct PyPatternMatch {
  std::uint32_t pattern_idx;
  std::uint64_t start;
  std::uint64_t end;
  std::string matched_text;
};

struct PyPatternMatcher {
  pm::PatternMatcher matcher;
};

namespace {

using Patterns = std::vector<std::string_view>;

// Collects the matches first and only then creates the Python objects: the
// walk keeps the transition table in cache instead of sharing it with a
// stream of fresh allocations, which matters for large pattern sets.
bind::Ref match_list(std::string_view text, const pm::Automaton* automaton) {
  const std::vector<pm::Match> matches = automaton != nullptr ? automaton->find_all(text) : std::vector<pm::Match>{};
  bind::Ref list = bind::check_ref(PyList_New(static_cast<Py_ssize_t>(matches.size())));
  PyTypeObject* type = bind::TypeSlot<PyPatternMatch>::type;
  for (std::size_t i = 0; i < matches.size(); ++i) {
    const pm::Match& m = matches[i];
    PyObject* item = bind::detail::new_instance<PyPatternMatch>(type, m.pattern, m.start, m.end,
                                                                std::string(text.substr(m.start, m.length())));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

// PatternMatch
std::uint32_t match_pattern_idx(const PyPatternMatch& m) { return m.pattern_idx; }
std::string_view match_text(const PyPatternMatch& m) { return m.matched_text; }
std::uint64_t match_start(const PyPatternMatch& m) { return m.start; }
std::uint64_t match_end(const PyPatternMatch& m) { return m.end; }
std::string match_repr(const PyPatternMatch& m) {
  return "PatternMatch(pattern=" + std::to_string(m.pattern_idx) + ", text='" + m.matched_text + "', span=(" +
         std::to_string(m.start) + ", " + std::to_string(m.end) + "))";
}

// PatternMatcher
PyPatternMatcher make_matcher(Patterns patterns, bool case_insensitive) {
  return PyPatternMatcher{pm::PatternMatcher(patterns, case_insensitive)};
}
bool matcher_case_insensitive(const PyPatternMatcher& m) { return m.matcher.case_insensitive(); }
bind::Ref matcher_find_all(const PyPatternMatcher& m, std::string_view text) {
  return match_list(text, &m.matcher.automaton());
}
std::optional<std::string_view> matcher_get_pattern(const PyPatternMatcher& m, std::uint64_t idx) {
  return m.matcher.get_pattern(idx);
}
std::string matcher_replace_all(const PyPatternMatcher& m, std::string_view text, std::string_view replacement) {
  return m.matcher.replace_all(text, replacement);
}
bool matcher_contains_any(const PyPatternMatcher& m, std::string_view text) {
  return m.matcher.contains_any(text);
}
std::uint64_t matcher_count_matches(const PyPatternMatcher& m, std::string_view text) {
  return m.matcher.count_matches(text);
}
std::uint64_t matcher_pattern_count(const PyPatternMatcher& m) { return m.matcher.pattern_count(); }
// Keys in order of first match.
bind::OrderedDict<std::uint64_t, std::uint32_t> matcher_count_by_pattern(const PyPatternMatcher& m,
                                                                        std::string_view text) {
  return {m.matcher.count_by_pattern(text)};
}
std::vector<std::uint32_t> matcher_matched_patterns(const PyPatternMatcher& m, std::string_view text) {
  return m.matcher.matched_patterns(text);
}
std::string matcher_replace_all_with(const PyPatternMatcher& m, std::string_view text, Patterns replacements) {
  return m.matcher.replace_all_with(text, replacements);
}
std::vector<std::string_view> matcher_matched_pattern_strings(const PyPatternMatcher& m, std::string_view text) {
  return m.matcher.matched_pattern_strings(text);
}

// Module functions
bind::Ref find_all_patterns(std::string_view text, Patterns patterns, bool case_insensitive) {
  // Leftmost-longest, from the cache; no automaton (limits exceeded): no matches.
  const auto automaton = pm::cached_automaton(patterns, case_insensitive, /*leftmost_longest=*/true);
  return match_list(text, automaton.get());
}
bool contains_any_pattern(std::string_view text, Patterns patterns, bool case_insensitive) {
  return pm::contains_any_pattern(text, patterns, case_insensitive);
}
std::vector<bool> batch_contains_any(std::vector<std::string_view> texts, Patterns patterns, bool case_insensitive) {
  return pm::batch_contains_any(texts, patterns, case_insensitive);
}
std::uint64_t count_pattern_matches(std::string_view text, Patterns patterns, bool case_insensitive) {
  return pm::count_pattern_matches(text, patterns, case_insensitive);
}
double weighted_pattern_score(std::string_view text, Patterns patterns, std::vector<double> weights,
                              bool case_insensitive) {
  return pm::weighted_pattern_score(text, patterns, weights, case_insensitive);
}
std::vector<std::uint32_t> get_matched_pattern_indices(std::string_view text, Patterns patterns,
                                                       bool case_insensitive) {
  return pm::get_matched_pattern_indices(text, patterns, case_insensitive);
}

}  // namespace

const bind::Family& pattern_match_family() {
  static const bind::Family family{
      bind::Class<PyPatternMatcher>("PatternMatcher", "Fast multi-pattern matcher using Aho-Corasick algorithm")
          .init<"PatternMatcher(patterns, case_insensitive=True)", &make_matcher>()
          .method<"find_all($self, text)", &matcher_find_all>(
              "Find all matches in text (Python FFI version with owned strings)")
          .method<"get_pattern($self, idx)", &matcher_get_pattern>("Get pattern at index")
          .method<"replace_all($self, text, replacement)", &matcher_replace_all>(
              "Replace all matches with a replacement string")
          .method<"contains_any($self, text)", &matcher_contains_any>("Check if text contains any pattern")
          .method<"count_matches($self, text)", &matcher_count_matches>("Count total number of matches")
          .method<"pattern_count($self)", &matcher_pattern_count>("Get number of patterns")
          .method<"count_by_pattern($self, text)", &matcher_count_by_pattern>("Count matches per pattern")
          .method<"matched_patterns($self, text)", &matcher_matched_patterns>(
              "Get unique pattern indices that matched")
          .method<"replace_all_with($self, text, replacements)", &matcher_replace_all_with>(
              "Replace matches with pattern-specific replacements")
          .method<"matched_pattern_strings($self, text)", &matcher_matched_pattern_strings>(
              "Get pattern strings that matched")
          .property<"case_insensitive", &matcher_case_insensitive>("Whether matching is case-insensitive"),

      bind::Class<PyPatternMatch>("PatternMatch",
                                  "A pattern match with owned data, copied out for the Python boundary (FFI).")
          .property<"pattern_idx", &match_pattern_idx>("The pattern index that matched")
          .property<"matched_text", &match_text>("The matched text (owned for Python FFI)")
          .property<"start", &match_start>("Start position in text")
          .property<"end", &match_end>("End position in text")
          .repr<&match_repr>(),

      bind::def<"contains_any_pattern(text, patterns, case_insensitive=True)", &contains_any_pattern>(
          "Quick function to check if text contains any of the patterns"),
      bind::def<"find_all_patterns(text, patterns, case_insensitive=True)", &find_all_patterns>(
          "Quick function to find all pattern matches in text (zero-copy internal)"),
      bind::def<"count_pattern_matches(text, patterns, case_insensitive=True)", &count_pattern_matches>(
          "Quick function to count pattern matches"),
      bind::def<"get_matched_pattern_indices(text, patterns, case_insensitive=True)",
                &get_matched_pattern_indices>("Quick function to get indices of matched patterns"),
      bind::def<"batch_contains_any(texts, patterns, case_insensitive=True)", &batch_contains_any>(
          "Batch check multiple texts against the same patterns"),
      bind::def<"weighted_pattern_score(text, patterns, weights, case_insensitive=True)",
                &weighted_pattern_score>(
          "Calculate a weighted score for pattern matches\n"
          "\n"
          "Each pattern can have a weight, and the function returns the sum of weights\n"
          "for all matched patterns (unique patterns only)."),
  };
  return family;
}
