// Text extractors: pull a file path, code blocks and shell commands out of
// free-form model output, and build from them a best-guess tool call for a
// named tool (used when a model describes an action in prose instead of
// emitting a proper call).
//
// Every function accepts any text and never throws for its content: nothing
// found is an absent value or an empty list. The expressions are compiled once
// per process on first use and shared by all threads. Trimming removes
// leading and trailing Unicode White_Space.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace thalren::extractor {

// A fenced code block; group 1 is the body.
inline constexpr std::string_view CODE_BLOCK_PATTERN =
    R"((?is)```(?:python|py|javascript|js|typescript|ts|bash|sh|json|yaml|yml|toml|html|css|markdown|md|sql|go|rust|java|c|cpp|ruby|php)?\s*\n(.*?)```)";

// A run of lines indented by four or more spaces or a tab; group 1 is the run.
inline constexpr std::string_view INDENTED_CODE_PATTERN =
    R"((?m)(?:^|\n)((?:[ ]{4,}|\t).+(?:\n(?:[ ]{4,}|\t).+)*))";

// Tried in order; the first that matches decides. Group 1 is the path, which
// must end in a dot and 1 to 10 letters.
inline constexpr std::array<std::string_view, 4> FILE_PATH_PATTERNS = {
    R"((?i)(?:to|file|path|in|create|write|save|modify|update|edit)\s+[`'"]?([a-zA-Z0-9_./-]+\.[a-zA-Z]{1,10})[`'"]?)",
    R"((?m)^[`'"]?([a-zA-Z0-9_./-]+\.[a-zA-Z]{1,10})[`'"]?\s+(?:with|should|will))",
    R"((?i)(?:the|this)\s+file\s+[`'"]?([a-zA-Z0-9_./-]+\.[a-zA-Z]{1,10})[`'"]?)",
    R"(`([a-zA-Z0-9_./-]+\.[a-zA-Z]{1,10})`)",
};

// Any backticked run of path characters, extension not required.
inline constexpr std::string_view BACKTICK_PATH_PATTERN = R"(`([a-zA-Z0-9_./-]+)`)";

// Group 1 is the command in each; all three contribute, in this order.
inline constexpr std::array<std::string_view, 3> SHELL_COMMAND_PATTERNS = {
    R"((?is)```(?:bash|sh|shell|zsh)?\s*\n(.+?)```)",
    R"((?i)(?:run|execute|command):\s*[`'"](.+?)[`'"])",
    R"((?m)(?:^|\n)\$\s+(.+?)(?:\n|$))",
};

// Batches of at least this many texts are spread over the worker pool.
inline constexpr std::size_t kParallelBatchThreshold = 10;

// Group 1 of the first match of the first file-path expression that matches
// (a view into `text`, untrimmed), or nothing.
std::optional<std::string_view> extract_file_path(std::string_view text);

// extract_file_path for each text, in input order; on the worker pool from
// kParallelBatchThreshold texts up, on the calling thread below that.
std::vector<std::optional<std::string>> batch_extract_file_paths(std::span<const std::string> texts);

// Trimmed, non-empty bodies of the fenced blocks, in order. Only when that
// yields nothing: the indented runs, each with its common indentation removed
// (counted in bytes of leading White_Space, blank lines not counted; a cut
// that would fall inside a multi-byte whitespace character moves to the next
// character boundary), trimmed, non-empty.
std::vector<std::string> extract_code_blocks(std::string_view text);

// Trimmed, non-empty group 1 of every match of each shell expression: all of
// expression 1's matches first, then 2's, then 3's (duplicates kept).
std::vector<std::string> extract_shell_commands(std::string_view text);

// A best-guess call of a known tool.
struct ToolCallGuess {
  std::string_view tool;  // canonical name: "ls", "shell", "read" or "write"
  // Argument name and value, in insertion order.
  std::vector<std::pair<std::string_view, std::string>> args;
  double confidence = 0.0;
  std::string source;  // the first N code points of the text
};

// `tool_name` is lower-cased (full Unicode) and looked up among ls/list,
// run/bash/shell/execute, read/read_file and write/write_file; any other name,
// or a handler that finds nothing usable, gives nothing.
std::optional<ToolCallGuess> extract_tool_call(std::string_view text, std::string_view tool_name,
                                               std::optional<std::string_view> current_file);

}  // namespace thalren::extractor
