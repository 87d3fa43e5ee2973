// Task classification of a user request by weighted keyword vocabularies.
//
// Five keyword categories plus a negation list, each searched with its own
// process-wide automaton (standard semantics, ASCII case folding, substring
// matching). Keyword weights are stored as 32-bit floats and widened to
// 64-bit where they enter the score, so a weight of 0.9 contributes
// 0.8999999761581421.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/aho_corasick.hpp"

namespace thalren::classifier {

enum class TaskType : std::uint8_t { Action = 0, Analysis = 1, Generation = 2, Search = 3, Edit = 4, Default = 5 };
inline constexpr int kTaskTypeCount = 6;

// "action", "analysis", ...
std::string_view task_type_str(TaskType type);
// "Action", "Analysis", ... (the form shown in a result's repr)
std::string_view task_type_name(TaskType type);
// "TaskType.ACTION", ...
std::string task_type_repr(TaskType type);

struct Keyword {
  std::string_view text;
  float weight;
};

std::span<const Keyword> action_keywords();
std::span<const Keyword> analysis_keywords();
std::span<const Keyword> generation_keywords();
std::span<const Keyword> search_keywords();
std::span<const Keyword> edit_keywords();
std::span<const std::string_view> negation_patterns();

// Built once on first use, thread-safe, kept for the process lifetime.
const aho_corasick::Automaton& get_action_matcher();
const aho_corasick::Automaton& get_analysis_matcher();
const aho_corasick::Automaton& get_generation_matcher();
const aho_corasick::Automaton& get_search_matcher();
const aho_corasick::Automaton& get_edit_matcher();
const aho_corasick::Automaton& get_negation_matcher();

// A keyword match: its index in the category's list and its start offset.
struct KeywordHit {
  std::uint32_t keyword;
  std::size_t start;
};

struct CategoryScore {
  double score = 0.0;  // never negative
  std::uint64_t matched = 0;
  std::uint64_t negated = 0;
};

struct ClassificationResult {
  TaskType task_type = TaskType::Default;
  double confidence = 0.0;
  bool is_action_task = false;
  bool is_analysis_task = false;
  bool is_generation_task = false;
  bool needs_execution = false;
  std::uint64_t matched_count = 0;
  std::uint64_t negated_count = 0;
  std::uint64_t recommended_tool_budget = 20;

  // ClassificationResult(type=Edit, confidence=0.52, matches=2, negated=0)
  std::string repr() const;
  // "action" for Action, Generation and Edit; "analysis" for Analysis and
  // Search; "default" for Default.
  std::string_view coarse_task_type() const;
};

ClassificationResult make_result(TaskType type, double confidence, std::uint64_t matched,
                                 std::uint64_t negated);

class TaskClassifier {
 public:
  explicit TaskClassifier(double position_weight = 0.1, std::uint64_t negation_radius = 20)
      : position_weight_(position_weight), negation_radius_(negation_radius) {}

  ClassificationResult classify(std::string_view text) const;

  // One category's score from its matches in iteration order and the start
  // offsets of the negations (ascending), in a text of `text_length` bytes.
  CategoryScore score_category(std::size_t text_length, std::span<const Keyword> keywords,
                               std::span<const KeywordHit> hits,
                               std::span<const std::size_t> negations) const;

 private:
  double position_weight_;
  std::uint64_t negation_radius_;
};

// classify() with position_weight 0.1 and negation_radius 20.
ClassificationResult classify_task(std::string_view text);

bool has_negation(std::string_view text);
bool has_action_keywords(std::string_view text);
bool has_analysis_keywords(std::string_view text);
bool has_generation_keywords(std::string_view text);

struct KeywordMatch {
  std::string_view text;  // slice of the input
  std::string_view category;
  std::size_t start;
  std::size_t end;
};

// Matches of the five categories, ordered by start (stable: equal starts keep
// the category order action, analysis, generation, search, edit).
std::vector<KeywordMatch> find_all_keywords_internal(std::string_view text);

}  // namespace thalren::classifier
