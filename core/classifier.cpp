#include "core/classifier.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>

namespace thalren::classifier {
namespace {

using aho_corasick::Automaton;

constexpr Keyword kActionKeywords[] = {
    {"execute", 1.0f}, {"apply", 1.0f},   {"run", 0.9f},    {"deploy", 1.0f}, {"build", 0.8f},
    {"install", 0.9f}, {"start", 0.7f},   {"stop", 0.7f},   {"restart", 0.8f}, {"test", 0.8f},
    {"commit", 0.9f},  {"push", 0.8f},    {"pull", 0.7f},   {"merge", 0.8f},
};

constexpr Keyword kAnalysisKeywords[] = {
    {"analyze", 1.0f},  {"explore", 1.0f},   {"review", 0.9f},   {"understand", 0.9f},
    {"explain", 0.9f},  {"describe", 0.8f},  {"investigate", 0.9f}, {"examine", 0.9f},
    {"study", 0.8f},    {"assess", 0.8f},    {"evaluate", 0.8f}, {"summarize", 0.8f},
    {"overview", 0.7f}, {"what is", 0.8f},   {"what does", 0.8f}, {"how does", 0.8f},
    {"why does", 0.7f},
};

constexpr Keyword kGenerationKeywords[] = {
    {"create", 1.0f}, {"generate", 1.0f}, {"write", 0.9f},      {"implement", 1.0f}, {"add", 0.8f},
    {"new", 0.7f},    {"scaffold", 0.9f}, {"initialize", 0.8f}, {"setup", 0.8f},     {"bootstrap", 0.9f},
};

constexpr Keyword kSearchKeywords[] = {
    {"find", 1.0f},     {"search", 1.0f},   {"locate", 0.9f},     {"grep", 1.0f},
    {"look for", 0.9f}, {"where is", 0.9f}, {"which file", 0.8f}, {"list", 0.7f},
};

constexpr Keyword kEditKeywords[] = {
    {"modify", 1.0f},   {"refactor", 1.0f}, {"fix", 1.0f},     {"update", 0.9f},   {"change", 0.8f},
    {"edit", 0.9f},     {"rename", 0.9f},   {"move", 0.7f},    {"delete", 0.8f},   {"remove", 0.8f},
    {"replace", 0.9f},  {"improve", 0.8f},  {"optimize", 0.9f}, {"clean up", 0.8f}, {"debug", 0.9f},
};

constexpr std::string_view kNegationPatterns[] = {
    "don't", "do not", "dont", "shouldn't", "should not", "wouldn't", "would not", "can't",
    "cannot", "not", "never", "without", "avoid", "skip", "ignore",
};

aho_corasick::Options keyword_options() {
  return {aho_corasick::MatchSemantics::Standard, /*ascii_case_insensitive=*/true};
}

// The fixed lists cannot exceed any limit; should building fail anyway, the
// caller sees an internal error naming the list.
Automaton compile_keywords(std::span<const Keyword> keywords, const char* failure) {
  std::vector<std::string_view> texts;
  for (const Keyword& k : keywords) texts.push_back(k.text);
  try {
    return Automaton(std::span<const std::string_view>(texts), keyword_options());
  } catch (const std::exception&) {
    throw std::logic_error(failure);
  }
}

}  // namespace

std::string_view task_type_str(TaskType type) {
  static constexpr std::string_view kNames[] = {"action", "analysis", "generation",
                                                "search", "edit",     "default"};
  return kNames[static_cast<int>(type)];
}

std::string_view task_type_name(TaskType type) {
  static constexpr std::string_view kNames[] = {"Action", "Analysis", "Generation",
                                                "Search", "Edit",     "Default"};
  return kNames[static_cast<int>(type)];
}

std::string task_type_repr(TaskType type) {
  std::string out = "TaskType.";
  for (const char c : task_type_str(type)) out += static_cast<char>(c - ('a' - 'A'));
  return out;
}

std::span<const Keyword> action_keywords() { return kActionKeywords; }
std::span<const Keyword> analysis_keywords() { return kAnalysisKeywords; }
std::span<const Keyword> generation_keywords() { return kGenerationKeywords; }
std::span<const Keyword> search_keywords() { return kSearchKeywords; }
std::span<const Keyword> edit_keywords() { return kEditKeywords; }
std::span<const std::string_view> negation_patterns() { return kNegationPatterns; }

const Automaton& get_action_matcher() {
  static const Automaton matcher =
      compile_keywords(kActionKeywords, "Failed to compile action patterns");
  return matcher;
}
const Automaton& get_analysis_matcher() {
  static const Automaton matcher =
      compile_keywords(kAnalysisKeywords, "Failed to compile analysis patterns");
  return matcher;
}
const Automaton& get_generation_matcher() {
  static const Automaton matcher =
      compile_keywords(kGenerationKeywords, "Failed to compile generation patterns");
  return matcher;
}
const Automaton& get_search_matcher() {
  static const Automaton matcher =
      compile_keywords(kSearchKeywords, "Failed to compile search patterns");
  return matcher;
}
const Automaton& get_edit_matcher() {
  static const Automaton matcher = compile_keywords(kEditKeywords, "Failed to compile edit patterns");
  return matcher;
}
const Automaton& get_negation_matcher() {
  static const Automaton matcher = [] {
    try {
      return Automaton(std::span<const std::string_view>(kNegationPatterns), keyword_options());
    } catch (const std::exception&) {
      throw std::logic_error("Failed to compile negation patterns");
    }
  }();
  return matcher;
}

std::string_view ClassificationResult::coarse_task_type() const {
  switch (task_type) {
    case TaskType::Action:
    case TaskType::Generation:
    case TaskType::Edit:
      return "action";
    case TaskType::Analysis:
    case TaskType::Search:
      return "analysis";
    case TaskType::Default:
      break;
  }
  return "default";
}

std::string ClassificationResult::repr() const {
  char confidence_text[64];
  std::snprintf(confidence_text, sizeof confidence_text, "%.2f", confidence);
  return "ClassificationResult(type=" + std::string(task_type_name(task_type)) +
         ", confidence=" + confidence_text + ", matches=" + std::to_string(matched_count) +
         ", negated=" + std::to_string(negated_count) + ")";
}

ClassificationResult make_result(TaskType type, double confidence, std::uint64_t matched,
                                 std::uint64_t negated) {
  static constexpr std::uint64_t kBudget[] = {15, 30, 20, 10, 15, 20};
  ClassificationResult r;
  r.task_type = type;
  r.confidence = confidence;
  r.is_action_task = type == TaskType::Action || type == TaskType::Edit;
  r.is_analysis_task = type == TaskType::Analysis || type == TaskType::Search;
  r.is_generation_task = type == TaskType::Generation;
  r.needs_execution = type == TaskType::Action;
  r.matched_count = matched;
  r.negated_count = negated;
  r.recommended_tool_budget = kBudget[static_cast<int>(type)];
  return r;
}

namespace {

// All six lists in one standard automaton, so classify() reads the text
// once. Pattern order: action, analysis, generation, search, edit keywords,
// then the negations; kCategoryStart[c] is the first pattern of category c
// (category 5 = negations).
constexpr int kNegationCategory = 5;
constexpr std::array<std::uint32_t, 7> kCategoryStart = {
    0, 14, 31, 41, 49, 64, 79,
};
constexpr std::array<std::span<const Keyword>, 5> kCategoryKeywords = {
    std::span<const Keyword>(kActionKeywords), std::span<const Keyword>(kAnalysisKeywords),
    std::span<const Keyword>(kGenerationKeywords), std::span<const Keyword>(kSearchKeywords),
    std::span<const Keyword>(kEditKeywords),
};
static_assert(std::size(kActionKeywords) == 14 && std::size(kAnalysisKeywords) == 17 &&
              std::size(kGenerationKeywords) == 10 && std::size(kSearchKeywords) == 8 &&
              std::size(kEditKeywords) == 15 && std::size(kNegationPatterns) == 15);

const Automaton& combined_matcher() {
  static const Automaton matcher = [] {
    std::vector<std::string_view> texts;
    for (const auto& keywords : kCategoryKeywords) {
      for (const Keyword& k : keywords) texts.push_back(k.text);
    }
    for (const std::string_view n : kNegationPatterns) texts.push_back(n);
    try {
      return Automaton(std::span<const std::string_view>(texts), keyword_options());
    } catch (const std::exception&) {
      throw std::logic_error("Failed to compile keyword patterns");
    }
  }();
  return matcher;
}

int category_of(std::uint32_t pattern) {
  int c = 0;
  while (pattern >= kCategoryStart[c + 1]) ++c;
  return c;
}

// One match of one category's own iteration.
struct Hit {
  int category;
  std::uint32_t keyword;  // index within the category's list
  std::size_t start;
};

// The matches each category's automaton would iterate, all from one pass:
// the overlapping walk yields every occurrence by end (longer first at one
// end), and a category takes the first occurrence that starts at or after
// the end of its previous match -- the one ending earliest, the longest
// among those -- which is exactly its own non-overlapping iteration.
void collect_hits(std::string_view text, std::vector<Hit>& hits) {
  std::array<std::size_t, 6> resume{};
  combined_matcher().for_each_overlapping(text, [&](const aho_corasick::Match& m) {
    const int c = category_of(m.pattern);
    if (m.start < resume[c]) return;
    resume[c] = m.end;
    hits.push_back(Hit{c, m.pattern - kCategoryStart[c], m.start});
  });
}

}  // namespace

CategoryScore TaskClassifier::score_category(std::size_t text_length, std::span<const Keyword> keywords,
                                             std::span<const KeywordHit> hits,
                                             std::span<const std::size_t> negations) const {
  CategoryScore result;
  double total = 0.0;
  const double length = static_cast<double>(text_length);
  // Matches arrive with increasing starts, so the nearest earlier negation is
  // found by a pointer that only moves forward.
  std::size_t before = 0;  // negations starting before the current match
  for (const KeywordHit& hit : hits) {
    const std::size_t s = hit.start;
    const double w = static_cast<double>(keywords[hit.keyword].weight);
    while (before < negations.size() && negations[before] < s) ++before;
    if (before > 0 && s - negations[before - 1] <= negation_radius_) {
      ++result.negated;
      total += w * -0.5;
    } else {
      ++result.matched;
      const double f =
          text_length == 0 ? 1.0 : 1.0 + position_weight_ * (1.0 - static_cast<double>(s) / length);
      total += w * f;
    }
  }
  result.score = total > 0.0 ? total : 0.0;  // a NaN total also gives 0
  return result;
}

ClassificationResult TaskClassifier::classify(std::string_view text) const {
  std::vector<Hit> hits;
  collect_hits(text, hits);
  std::vector<std::size_t> negations;
  std::array<std::vector<KeywordHit>, 5> by_category;
  for (const Hit& h : hits) {
    if (h.category == kNegationCategory) {
      negations.push_back(h.start);
    } else {
      by_category[h.category].push_back(KeywordHit{h.keyword, h.start});
    }
  }
  std::array<CategoryScore, 5> scores;
  for (int c = 0; c < 5; ++c) {
    scores[c] = score_category(text.size(), kCategoryKeywords[c], by_category[c], negations);
  }
  int winner = 0;
  double best = scores[0].score;
  double total = 0.0;
  std::uint64_t matched = 0;
  std::uint64_t negated = 0;
  for (int i = 0; i < 5; ++i) {
    if (scores[i].score >= best) {  // ties go to the later category
      best = scores[i].score;
      winner = i;
    }
    total += scores[i].score;
    matched += scores[i].matched;
    negated += scores[i].negated;
  }
  const double confidence = total > 0.0 ? best / total : 0.0;
  const TaskType type = confidence >= 0.3 ? static_cast<TaskType>(winner) : TaskType::Default;
  return make_result(type, confidence, matched, negated);
}

ClassificationResult classify_task(std::string_view text) { return TaskClassifier().classify(text); }

bool has_negation(std::string_view text) { return get_negation_matcher().is_match(text); }
bool has_action_keywords(std::string_view text) { return get_action_matcher().is_match(text); }
bool has_analysis_keywords(std::string_view text) { return get_analysis_matcher().is_match(text); }
bool has_generation_keywords(std::string_view text) {
  return get_generation_matcher().is_match(text);
}

std::vector<KeywordMatch> find_all_keywords_internal(std::string_view text) {
  struct Category {
    const Automaton& matcher;
    std::string_view name;
  };
  const Category categories[] = {
      {get_action_matcher(), "action"}, {get_analysis_matcher(), "analysis"},
      {get_generation_matcher(), "generation"}, {get_search_matcher(), "search"},
      {get_edit_matcher(), "edit"},
  };
  std::vector<KeywordMatch> out;
  for (const Category& c : categories) {
    c.matcher.for_each_match(text, [&](const aho_corasick::Match& m) {
      out.push_back({text.substr(m.start, m.length()), c.name, m.start, m.end});
    });
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const KeywordMatch& a, const KeywordMatch& b) { return a.start < b.start; });
  return out;
}

}  // namespace thalren::classifier
