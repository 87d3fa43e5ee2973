// Thinking-loop detection and the circular-phrase functions.

#include "core/thinking.hpp"

#include "families.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

namespace {

namespace th = thalren::thinking;
using th::PatternAnalysis;
using th::ThinkingDetector;

// ---- ThinkingDetector ----------------------------------------------------------

ThinkingDetector make_detector(std::uint64_t repetition_threshold, double similarity_threshold,
                               std::uint64_t window_size, std::uint64_t stalling_threshold) {
  return ThinkingDetector(repetition_threshold, similarity_threshold, window_size,
                          stalling_threshold);
}

std::pair<bool, std::string> record_thinking(ThinkingDetector& d, std::string_view content) {
  th::LoopVerdict verdict = d.record_thinking(content);
  return {verdict.is_loop, std::move(verdict.guidance)};
}

bind::OrderedDict<std::variant<std::uint64_t, double>> get_stats(const ThinkingDetector& d) {
  const th::DetectorStats s = d.get_stats();
  bind::OrderedDict<std::variant<std::uint64_t, double>> out;
  out.add("total_analyzed", s.total_analyzed);
  out.add("loops_detected", s.loops_detected);
  out.add("exact_matches", s.exact_matches);
  out.add("similar_matches", s.similar_matches);
  out.add("stalling_detected", s.stalling_detected);
  out.add("consecutive_stalls", s.consecutive_stalls);
  out.add("detection_rate", s.detection_rate);
  out.add("history_size", s.history_size);
  out.add("unique_patterns", s.unique_patterns);
  return out;
}

void reset(ThinkingDetector& d) { d.reset(); }
void clear_stats(ThinkingDetector& d) { d.clear_stats(); }

// ---- PatternAnalysis ------------------------------------------------------------

bool analysis_is_loop(const PatternAnalysis& a) { return a.is_loop; }
std::string_view analysis_loop_type(const PatternAnalysis& a) { return a.loop_type; }
double analysis_similarity_score(const PatternAnalysis& a) { return a.similarity_score; }
std::uint64_t analysis_matching_patterns(const PatternAnalysis& a) { return a.matching_patterns; }
std::string_view analysis_guidance(const PatternAnalysis& a) { return a.guidance; }
std::string_view analysis_category(const PatternAnalysis& a) { return a.category; }

// ---- circular phrases --------------------------------------------------------------

std::vector<std::tuple<std::uint64_t, std::uint64_t, std::string_view>> find_circular_patterns(
    std::string_view text) {
  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::string_view>> out;
  for (const th::CircularMatch& m : th::find_circular_patterns(text)) {
    out.emplace_back(m.start, m.end, text.substr(m.start, m.end - m.start));
  }
  return out;
}

std::uint64_t count_circular_patterns(std::string_view text) {
  return th::count_circular_patterns(text);
}

bool detect_circular_phrases(std::string_view text) { return th::detect_circular_phrases(text); }

}  // namespace

const bind::Family& thinking_family() {
  static const bind::Family family{
      bind::Class<ThinkingDetector>(
          "ThinkingDetector",
          "High-performance thinking pattern detector.\n"
          "\n"
          "Uses Aho-Corasick for O(n) pattern matching and xxHash3 for fast hashing.")
          .init<"ThinkingDetector(repetition_threshold=3, similarity_threshold=0.65, window_size=10, "
                "stalling_threshold=2)",
                &make_detector>()
          .method<"record_thinking($self, content)", &record_thinking>(
              "Record a thinking block and detect loops.\n"
              "\n"
              "Returns (is_loop, guidance_message) tuple.")
          .method<"get_stats($self)", &get_stats>("Get detection statistics.")
          .method<"reset($self)", &reset>("Reset detector state for new task.")
          .method<"clear_stats($self)", &clear_stats>("Clear statistics but keep pattern history."),

      bind::Class<PatternAnalysis>("PatternAnalysis", "Detection result")
          .property<"is_loop", &analysis_is_loop>("Whether a loop was detected.")
          .property<"loop_type", &analysis_loop_type>("The kind of loop.")
          .property<"similarity_score", &analysis_similarity_score>("The best keyword similarity.")
          .property<"matching_patterns", &analysis_matching_patterns>("How many earlier blocks matched.")
          .property<"guidance", &analysis_guidance>("The guidance text.")
          .property<"category", &analysis_category>("The block's category."),

      bind::def<"find_circular_patterns(text)", &find_circular_patterns>(
          "Find all circular pattern matches."),
      bind::def<"count_circular_patterns(text)", &count_circular_patterns>(
          "Count circular patterns in text."),
      bind::def<"detect_circular_phrases(text)", &detect_circular_phrases>(
          "Detect circular phrases using Aho-Corasick."),
  };
  return family;
}
