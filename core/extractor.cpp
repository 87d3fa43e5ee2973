#include "core/extractor.hpp"

#include <algorithm>
#include <limits>

#include <re2/re2.h>

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

// Calls fn(start, end) for each successive non-overlapping match of `re`, left
// to right, for an expression whose every match starts with `lead` and is
// longer than that. The leftmost match is the anchored match at the first
// occurrence of `lead` that has one, so the engine runs only from those
// occurrences instead of scanning the prose between fences.
template <class Fn>
void for_each_match_at(const regex::Regex& re, std::string_view text, std::string_view lead, Fn fn) {
  if (text.empty()) return;
  const re2::RE2& engine = re.engine();
  const re2::StringPiece whole(text.data(), text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t at = text.find(lead, pos);
    if (at == std::string_view::npos) return;
    re2::StringPiece m;
    if (engine.Match(whole, at, text.size(), re2::RE2::ANCHOR_START, &m, 1)) {
      const std::size_t end = static_cast<std::size_t>(m.data() - text.data()) + m.size();
      fn(at, end);
      pos = end;
    } else {
      pos = at + 1;
    }
  }
}

// The offset of the first White_Space character at or after `pos`.
std::size_t find_white_space(std::string_view text, std::size_t pos) {
  while (pos < text.size()) {
    unicode::Decoded d = unicode::decode_at(text, pos);
    if (unicode::is_white_space(d.code_point)) break;
    pos += d.length;
  }
  return pos;
}

// Group 1 of a fenced match [start, end), trimmed. A fence match is "```", an
// optional language word (no whitespace in it), whitespace through the last
// newline of that run, the body, and the closing "```"; everything between the
// language word and the body is whitespace, so trimming from the end of the
// word gives the trimmed body without running the capture engine.
std::string_view trimmed_fence_body(std::string_view text, std::size_t start, std::size_t end) {
  const std::size_t word_end = find_white_space(text, start + 3);
  return unicode::trim(text.substr(word_end, end - 3 - word_end));
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
  for_each_match_at(t.code_block, text, "```", [&](std::size_t start, std::size_t end) {
    std::string_view body = trimmed_fence_body(text, start, end);
    if (!body.empty()) blocks.emplace_back(body);
  });
  if (!blocks.empty()) return blocks;

  // Group 1 is the whole match without the newline that may open it (the run
  // itself starts with a space or a tab), so no capture pass is needed.
  t.indented_code.for_each_match(text, [&](const regex::Match& m) {
    std::string_view run = m.text();
    if (run.front() == '\n') run.remove_prefix(1);
    std::string block = dedent(run);
    if (!block.empty()) blocks.push_back(std::move(block));
  });
  return blocks;
}

std::vector<std::string> extract_shell_commands(std::string_view text) {
  const Tables& t = tables();
  std::vector<std::string> commands;
  auto add = [&](std::string_view command) {
    command = unicode::trim(command);
    if (!command.empty()) commands.emplace_back(command);
  };
  for_each_match_at(t.shell_command[0], text, "```", [&](std::size_t start, std::size_t end) {
    add(trimmed_fence_body(text, start, end));
  });
  for (std::size_t i = 1; i < t.shell_command.size(); ++i) {
    t.shell_command[i].for_each_match(text, [&](const regex::Match& m) { add(m.group(1)); }, 1);
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
