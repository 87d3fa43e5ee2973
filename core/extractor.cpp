#include "core/extractor.hpp"

#include <algorithm>
#include <limits>

#include "core/parallel.hpp"
#include "core/regex.hpp"
#include "core/unicode.hpp"

namespace thalren::extractor {
namespace {

// The process-wide expressions, compiled on first use by any extractor.
struct Tables {
  regex::Regex code_block{CODE_BLOCK_PATTERN};
  regex::Regex indented_code{INDENTED_CODE_PATTERN};
  std::vector<regex::Regex> file_path;
  regex::Regex backtick_path{BACKTICK_PATH_PATTERN};
  std::vector<regex::Regex> shell_command;

  Tables() {
    file_path.reserve(FILE_PATH_PATTERNS.size());
    for (std::string_view p : FILE_PATH_PATTERNS) file_path.emplace_back(p);
    shell_command.reserve(SHELL_COMMAND_PATTERNS.size());
    for (std::string_view p : SHELL_COMMAND_PATTERNS) shell_command.emplace_back(p);
  }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

// Group 1 of the first match of `re`, if any.
std::optional<std::string_view> first_group(const regex::Regex& re, std::string_view text) {
  regex::Match m;
  if (!re.find(text, 0, m, 1)) return std::nullopt;
  return m.group(1);
}

// One indented run with its common indentation removed, trimmed.
std::string dedent(std::string_view run) {
  std::vector<std::string_view> lines;
  std::size_t pos = 0;
  while (true) {
    std::size_t nl = run.find('\n', pos);
    std::string_view line = run.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    pos = nl + 1;
  }

  std::size_t common = std::numeric_limits<std::size_t>::max();
  for (std::string_view line : lines) {
    if (unicode::trim(line).empty()) continue;
    common = std::min(common, unicode::leading_white_space_bytes(line));
  }
  if (common == std::numeric_limits<std::size_t>::max()) common = 0;

  std::string joined;
  joined.reserve(run.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i != 0) joined.push_back('\n');
    std::string_view line = lines[i];
    if (line.size() <= common) {
      joined.append(unicode::trim(line));
    } else {
      // The common indentation is a byte count; on a line indented with
      // multi-byte whitespace it may end inside a character, and then the
      // whole character goes.
      joined.append(line.substr(unicode::ceil_char_boundary(line, common)));
    }
  }
  return std::string(unicode::trim(joined));
}

}  // namespace

std::optional<std::string_view> extract_file_path(std::string_view text) {
  for (const regex::Regex& re : tables().file_path) {
    if (auto path = first_group(re, text)) return path;
  }
  return std::nullopt;
}

std::vector<std::optional<std::string>> batch_extract_file_paths(std::span<const std::string> texts) {
  auto one = [&](std::size_t i) -> std::optional<std::string> {
    if (auto path = extract_file_path(texts[i])) return std::string(*path);
    return std::nullopt;
  };
  if (texts.size() >= kParallelBatchThreshold) {
    return parallel::parallel_map<std::optional<std::string>>(texts.size(), one);
  }
  std::vector<std::optional<std::string>> out;
  out.reserve(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) out.push_back(one(i));
  return out;
}

std::vector<std::string> extract_code_blocks(std::string_view text) {
  const Tables& t = tables();
  std::vector<std::string> blocks;
  t.code_block.for_each_match(
      text,
      [&](const regex::Match& m) {
        std::string_view body = unicode::trim(m.group(1));
        if (!body.empty()) blocks.emplace_back(body);
      },
      1);
  if (!blocks.empty()) return blocks;

  t.indented_code.for_each_match(
      text,
      [&](const regex::Match& m) {
        std::string block = dedent(m.group(1));
        if (!block.empty()) blocks.push_back(std::move(block));
      },
      1);
  return blocks;
}

std::vector<std::string> extract_shell_commands(std::string_view text) {
  std::vector<std::string> commands;
  for (const regex::Regex& re : tables().shell_command) {
    re.for_each_match(
        text,
        [&](const regex::Match& m) {
          std::string_view command = unicode::trim(m.group(1));
          if (!command.empty()) commands.emplace_back(command);
        },
        1);
  }
  return commands;
}

std::optional<ToolCallGuess> extract_tool_call(std::string_view text, std::string_view tool_name,
                                               std::optional<std::string_view> current_file) {
  const std::string name = unicode::to_lower(tool_name);
  auto guess = [&](std::string_view tool, double confidence, std::size_t source_chars) {
    ToolCallGuess g;
    g.tool = tool;
    g.confidence = confidence;
    g.source = std::string(unicode::prefix_chars(text, source_chars));
    return g;
  };

  if (name == "ls" || name == "list") {
    std::optional<std::string_view> path = first_group(tables().backtick_path, text);
    ToolCallGuess g = guess("ls", 0.8, 100);
    g.args.emplace_back("path", std::string(path.value_or(".")));
    return g;
  }
  if (name == "run" || name == "bash" || name == "shell" || name == "execute") {
    std::vector<std::string> commands = extract_shell_commands(text);
    if (commands.empty()) return std::nullopt;
    ToolCallGuess g = guess("shell", 0.75, 150);
    g.args.emplace_back("command", std::move(commands.front()));
    return g;
  }
  if (name == "read" || name == "read_file") {
    std::optional<std::string_view> path = extract_file_path(text);
    if (!path) return std::nullopt;
    ToolCallGuess g = guess("read", 0.9, 100);
    g.args.emplace_back("path", std::string(*path));
    return g;
  }
  if (name == "write" || name == "write_file") {
    std::optional<std::string_view> path = extract_file_path(text);
    if (!path) path = current_file;  // an empty current_file is a valid path
    if (!path) return std::nullopt;
    std::vector<std::string> blocks = extract_code_blocks(text);
    if (blocks.empty()) return std::nullopt;
    std::string& content = blocks.front();
    double confidence = 0.85;
    if (path->ends_with(".py") &&
        (content.find("def ") != std::string::npos || content.find("class ") != std::string::npos)) {
      confidence = 0.95;
    }
    ToolCallGuess g = guess("write", confidence, 200);
    g.args.emplace_back("path", std::string(*path));
    g.args.emplace_back("content", std::move(content));
    return g;
  }
  return std::nullopt;
}

}  // namespace thalren::extractor
