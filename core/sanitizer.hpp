// Response sanitising: cleans model output before it is shown or fed back.
//
// Removes tool-call markup that leaked into plain text, reasoning-channel
// tokens and echoed fragments of system prompts ("training data leakage"),
// detects garbage output, and judges whether a proposed tool name is
// plausible. Every function accepts any text and never throws for its
// content. The expressions below are compiled once per process on first use
// and shared by all threads.
//
// Trimming removes leading and trailing Unicode White_Space. All offsets are
// UTF-8 byte offsets, end exclusive.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace thalren::sanitizer {

// Any tag-like run: "<" up to the next ">".
inline constexpr std::string_view MARKUP_PATTERN = R"(<[^>]+>)";

// Anchored at the start and the end of the whole name.
inline constexpr std::string_view VALID_TOOL_NAME = R"(^[a-zA-Z][a-zA-Z0-9_]*$)";

struct CleanupRule {
  std::string_view pattern;
  std::string_view replacement;  // inserted literally
};

// Applied in order, each as a replace-all over the result of the previous one.
inline constexpr std::array<CleanupRule, 7> CLEANUP_PATTERNS = {{
    {R"((</\w+>\s*){3,})", ""},  // a run of three or more closing tags
    {R"(</?function[^>]*>)", ""},
    {R"(</?parameter[^>]*>)", ""},
    {R"(</?tool[^>]*>)", ""},
    {R"(</?IMPORTANT[^>]*>)", ""},
    // an inline JSON tool call with a flat arguments object
    {R"(\{"name":\s*"[^"]+",\s*"arguments":\s*\{[^}]*\}\})", ""},
    {R"(\n{4,})", "\n\n\n"},  // long blank runs shrink to exactly three newlines
}};

// Reasoning-channel markers, removed by plain substring replacement in this
// order. The first two use U+FF5C FULLWIDTH VERTICAL LINE and U+2581 LOWER
// ONE EIGHTH BLOCK.
inline constexpr std::array<std::string_view, 6> THINKING_TOKENS = {
    "<｜begin▁of▁thinking｜>",  // 29 bytes
    "<｜end▁of▁thinking｜>",    // 27 bytes
    "<|begin_of_thinking|>",
    "<|end_of_thinking|>",
    "<think>",
    "</think>",
};

// One hit of any of these makes a text garbage.
inline constexpr std::array<std::string_view, 9> GARBAGE_PATTERNS = {
    R"(FUNCTION_CALL\s*\{)",
    R"(</function>\s*</function>)",
    R"(<parameter[^>]*>)",
    R"((?m)^\s*\{\s*"name":\s*"[^"]+",\s*"arguments":)",
    R"((?m)^\s*<IMPORTANT>)",
    R"((?m)^\s*Do NOT)",
    R"((?m)^\s*NEVER\s+)",
    R"(\[TOOL_REQUEST\])",
    R"(\[END_TOOL_REQUEST\])",
};

struct LeakageRule {
  std::string_view pattern;
  std::string_view name;
};

// Echoed system-prompt phrases; each expression runs from the phrase to the
// end of its line (the newline itself is not part of the match).
inline constexpr std::array<LeakageRule, 7> LEAKAGE_PATTERNS = {{
    {R"((?i)Do not invent any new (?:or additional )?parameters.*)", "no_new_params"},
    {R"((?i)The parameter value should be passed as a string.*)", "string_params"},
    {R"((?i)If you want to call multiple functions.*)", "multiple_funcs"},
    {R"((?i)Do NOT surround the function call.*)", "no_surround"},
    {R"((?i)All parameters are required unless.*)", "required_params"},
    {R"((?i)The agent is not allowed to directly access.*)", "no_direct_access"},
    {R"((?i)Begin by calling list_directory.*)", "begin_list_dir"},
}};

// Placeholder-looking name prefixes, checked case-sensitively in this order.
inline constexpr std::array<std::string_view, 7> INVALID_PREFIXES = {
    "example_", "func_", "function_", "tool_name", "my_", "test_tool", "sample_"};

// Cleanup steps in order: the seven cleanup expressions, the thinking tokens,
// the leakage expressions, then two line filters (dropping lines that start,
// once trimmed, with `{"name":` or "</"; then with "parameter=" or
// "<parameter"), and a final trim. Lines end at "\n" or "\r\n"; kept lines are
// joined with "\n".
std::string sanitize_response(std::string_view text);

// Every tag replaced by a space, then whitespace runs collapsed to single
// spaces and the ends trimmed.
std::string strip_markup(std::string_view text);

// True when any garbage expression matches somewhere; an empty text is not
// garbage.
bool is_garbage_content(std::string_view content);

struct LeakageMatch {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::string_view pattern_name;  // one of the names in LEAKAGE_PATTERNS
};

// Every match of every leakage expression (non-overlapping within one
// expression), ordered by start; equal starts keep the table order.
std::vector<LeakageMatch> detect_leakage_patterns(std::string_view text);

struct ToolNameVerdict {
  bool is_valid = false;
  std::optional<std::string> rejection_reason;  // absent exactly when valid
};

// Checks, first failure wins: empty, placeholder prefix, trailing "/" or ">",
// leading "<", space or tab, leading ASCII digit, then the VALID_TOOL_NAME
// shape.
ToolNameVerdict validate_tool_name(std::string_view name);

}  // namespace thalren::sanitizer
