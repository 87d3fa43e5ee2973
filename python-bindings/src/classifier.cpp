// Task classification: TaskType, TaskClassifier, ClassificationResult and
// the keyword functions.

#include "core/classifier.hpp"

#include "families.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

namespace cls = thalren::classifier;

using PyTaskType = cls::TaskType;
using PyClassificationResult = cls::ClassificationResult;
using PyTaskClassifier = cls::TaskClassifier;

namespace {

// TaskType
std::string_view task_type_str(const PyTaskType& t) { return cls::task_type_str(t); }
std::string task_type_repr(const PyTaskType& t) { return cls::task_type_repr(t); }

// TaskClassifier
PyTaskClassifier make_classifier(double position_weight, std::uint64_t negation_radius) {
  return PyTaskClassifier(position_weight, negation_radius);
}
PyClassificationResult classify(const PyTaskClassifier& c, std::string_view text) { return c.classify(text); }

// ClassificationResult
PyTaskType result_task_type(const PyClassificationResult& r) { return r.task_type; }
double result_confidence(const PyClassificationResult& r) { return r.confidence; }
bool result_is_action(const PyClassificationResult& r) { return r.is_action_task; }
bool result_is_analysis(const PyClassificationResult& r) { return r.is_analysis_task; }
bool result_is_generation(const PyClassificationResult& r) { return r.is_generation_task; }
bool result_needs_execution(const PyClassificationResult& r) { return r.needs_execution; }
std::uint64_t result_matched(const PyClassificationResult& r) { return r.matched_count; }
std::uint64_t result_negated(const PyClassificationResult& r) { return r.negated_count; }
std::uint64_t result_budget(const PyClassificationResult& r) { return r.recommended_tool_budget; }
std::string result_repr(const PyClassificationResult& r) { return r.repr(); }

using LegacyValue = std::variant<bool, double, std::string_view>;
bind::OrderedDict<LegacyValue> to_legacy_dict(const PyClassificationResult& r) {
  bind::OrderedDict<LegacyValue> d;
  d.add("is_action_task", r.is_action_task);
  d.add("is_analysis_task", r.is_analysis_task);
  d.add("needs_execution", r.needs_execution);
  d.add("coarse_task_type", r.coarse_task_type());
  d.add("confidence", r.confidence);
  d.add("source", std::string_view("native"));
  d.add("task_type", cls::task_type_str(r.task_type));
  return d;
}

// Module functions
PyClassificationResult classify_task(std::string_view text) { return cls::classify_task(text); }
bool has_action_keywords(std::string_view text) { return cls::has_action_keywords(text); }
bool has_analysis_keywords(std::string_view text) { return cls::has_analysis_keywords(text); }
bool has_generation_keywords(std::string_view text) { return cls::has_generation_keywords(text); }
bool has_negation(std::string_view text) { return cls::has_negation(text); }

using KeywordTuple = std::tuple<std::uint64_t, std::uint64_t, std::string_view, std::string_view>;
std::vector<KeywordTuple> find_all_keywords(std::string_view text) {
  std::vector<KeywordTuple> out;
  for (const cls::KeywordMatch& m : cls::find_all_keywords_internal(text)) {
    out.emplace_back(m.start, m.end, m.text, m.category);
  }
  return out;
}

}  // namespace

const bind::Family& classifier_family() {
  static const bind::Family family{
      bind::Class<PyTaskClassifier>("TaskClassifier", "Fast task classifier using Aho-Corasick multi-pattern matching.")
          .init<"TaskClassifier(position_weight=0.1, negation_radius=20)", &make_classifier>()
          .method<"classify($self, text)", &classify>(
              "Classify a task from user input text.\n"
              "\n"
              "Returns classification result with task type, confidence, and metadata."),

      bind::Class<PyClassificationResult>("ClassificationResult", "Classification result with confidence and metadata")
          .property<"task_type", &result_task_type>()
          .property<"confidence", &result_confidence>()
          .property<"is_action_task", &result_is_action>()
          .property<"is_analysis_task", &result_is_analysis>()
          .property<"is_generation_task", &result_is_generation>()
          .property<"needs_execution", &result_needs_execution>()
          .property<"matched_count", &result_matched>()
          .property<"negated_count", &result_negated>()
          .property<"recommended_tool_budget", &result_budget>()
          .method<"to_legacy_dict($self)", &to_legacy_dict>(
              "Convert to legacy dictionary format for backward compatibility.")
          .repr<&result_repr>(),

      bind::Class<PyTaskType>("TaskType", "Task type enumeration")
          .variants({{"Action", PyTaskType::Action},
                     {"Analysis", PyTaskType::Analysis},
                     {"Generation", PyTaskType::Generation},
                     {"Search", PyTaskType::Search},
                     {"Edit", PyTaskType::Edit},
                     {"Default", PyTaskType::Default}})
          .str<&task_type_str>()
          .repr<&task_type_repr>(),

      bind::def<"classify_task(text)", &classify_task>(
          "Classify a task using default settings (convenience function)."),
      bind::def<"has_action_keywords(text)", &has_action_keywords>("Check if text contains action keywords."),
      bind::def<"has_analysis_keywords(text)", &has_analysis_keywords>("Check if text contains analysis keywords."),
      bind::def<"has_generation_keywords(text)", &has_generation_keywords>(
          "Check if text contains generation keywords."),
      bind::def<"has_negation(text)", &has_negation>("Check if text contains negation patterns."),
      bind::def<"find_all_keywords(text)", &find_all_keywords>(
          "Find all keyword matches in text (Python FFI version with owned strings)."),
  };
  return family;
}
