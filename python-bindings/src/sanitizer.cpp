// Response sanitiser: cleanup, markup stripping, garbage and leakage
// detection, tool-name validation.

#include "core/sanitizer.hpp"

#include "families.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace {

namespace sz = thalren::sanitizer;

using LeakageRecord = std::tuple<std::uint64_t, std::uint64_t, std::string_view>;

std::vector<LeakageRecord> detect_leakage_patterns(std::string_view text) {
  std::vector<LeakageRecord> out;
  for (const sz::LeakageMatch& m : sz::detect_leakage_patterns(text)) {
    out.emplace_back(m.start, m.end, m.pattern_name);
  }
  return out;
}

std::tuple<bool, std::optional<std::string>> validate_tool_name(std::string_view name) {
  sz::ToolNameVerdict verdict = sz::validate_tool_name(name);
  return {verdict.is_valid, std::move(verdict.rejection_reason)};
}

constexpr const char kSanitizeResponseDoc[] =
    "Clean model output before it is shown or fed back.\n"
    "\n"
    "Removes leaked tool-call markup, reasoning-channel tokens and echoed\n"
    "system-prompt phrases, drops lines that start with tool-call fragments,\n"
    "shrinks long runs of blank lines and trims the result.";

constexpr const char kStripMarkupDoc[] =
    "Replace every tag by a space and collapse whitespace runs to single spaces.";

constexpr const char kIsGarbageContentDoc[] =
    "True when the content contains any tool-call or system-prompt garbage marker.";

constexpr const char kDetectLeakagePatternsDoc[] =
    "Find echoed system-prompt phrases.\n"
    "\n"
    "Returns (start, end, pattern_name) tuples sorted by start; offsets are\n"
    "UTF-8 byte offsets, end exclusive, each match running to the end of its line.";

constexpr const char kValidateToolNameDoc[] =
    "Judge whether a tool name proposed by a model is plausible.\n"
    "\n"
    "Returns (is_valid, rejection_reason); the reason is None exactly when the\n"
    "name is valid.";

}  // namespace

const bind::Family& sanitizer_family() {
  static const bind::Family family{
      bind::def<"sanitize_response(text)", &sz::sanitize_response>(kSanitizeResponseDoc),
      bind::def<"is_garbage_content(content)", &sz::is_garbage_content>(kIsGarbageContentDoc),
      bind::def<"detect_leakage_patterns(text)", &detect_leakage_patterns>(kDetectLeakagePatternsDoc),
      bind::def<"strip_markup(text)", &sz::strip_markup>(kStripMarkupDoc),
      bind::def<"validate_tool_name(name)", &validate_tool_name>(kValidateToolNameDoc),
  };
  return family;
}
