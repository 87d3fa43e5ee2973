// Text extractors: file paths, code blocks, shell commands and tool-call
// guesses from free-form model output.

#include "core/extractor.hpp"

#include "families.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace ex = thalren::extractor;

std::optional<std::string_view> extract_file_path(std::string_view text) {
  return ex::extract_file_path(text);
}

// The workers of the pool get owned copies of the texts.
std::vector<std::optional<std::string>> batch_extract_file_paths(std::vector<std::string> texts) {
  return ex::batch_extract_file_paths(texts);
}

// {"tool": str, "args": {name: str, ...}, "confidence": float, "source": str},
// keys in this insertion order.
std::optional<bind::OrderedDict<bind::Ref>> extract_tool_call(std::string_view text, std::string_view tool_name,
                                                              std::optional<std::string_view> current_file) {
  std::optional<ex::ToolCallGuess> guess = ex::extract_tool_call(text, tool_name, current_file);
  if (!guess) return std::nullopt;
  bind::OrderedDict<bind::Ref> out;
  out.add("tool", bind::to_python(guess->tool));
  out.add("args", bind::to_python(bind::OrderedDict<std::string, std::string_view>{std::move(guess->args)}));
  out.add("confidence", bind::to_python(guess->confidence));
  out.add("source", bind::to_python(guess->source));
  return out;
}

constexpr const char kExtractFilePathDoc[] =
    "Extract the first plausible file path (with an extension) from model output, or None.";

constexpr const char kBatchExtractFilePathsDoc[] =
    "extract_file_path for each text, in input order.\n"
    "\n"
    "The whole list crosses the Python boundary once; batches of 10 or more\n"
    "texts are processed in parallel. Results equal per-item calls.";

constexpr const char kExtractCodeBlocksDoc[] =
    "Extract the bodies of fenced code blocks; without any, the indented code blocks\n"
    "with their common indentation removed.";

constexpr const char kExtractShellCommandsDoc[] =
    "Extract shell commands from shell code fences, 'run:'-style quotes and '$ ' prompt lines.";

constexpr const char kExtractToolCallDoc[] =
    "Guess a call of the named tool (ls, shell, read or write) from prose.\n"
    "\n"
    "Returns a dict with the keys tool, args, confidence and source, or None when\n"
    "the tool is unknown or the text does not hold what the tool needs.";

}  // namespace

const bind::Family& extractor_family() {
  static const bind::Family family{
      bind::def<"extract_file_path(text)", &extract_file_path>(kExtractFilePathDoc),
      bind::def<"extract_code_blocks(text)", &ex::extract_code_blocks>(kExtractCodeBlocksDoc),
      bind::def<"extract_shell_commands(text)", &ex::extract_shell_commands>(kExtractShellCommandsDoc),
      bind::def<"extract_tool_call(text, tool_name, current_file=None)", &extract_tool_call>(
          kExtractToolCallDoc),
      bind::def<"batch_extract_file_paths(texts)", &batch_extract_file_paths>(kBatchExtractFilePathsDoc),
  };
  return family;
}
