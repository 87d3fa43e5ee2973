#include "core/extractor.hpp"

#include <algorithm>
#include <limits>

#include <re2/re2.h>

#include "core/parallel.hpp"
#include "core/regex.hpp"
#include "core/unicode.hpp"

namespace thalren::extractor {
namespace {

// Both fenced expressions are an opening -- "```", an optional language word,
// whitespace through a newline -- followed by a lazy body and the closing
// "```". Their openings are compiled on their own (see for_each_fence).
constexpr std::string_view kLazyBodyAny = "(.*?)```";    // CODE_BLOCK_PATTERN
constexpr std::string_view kLazyBodySome = "(.+?)```";   // SHELL_COMMAND_PATTERNS[0]
static_assert(CODE_BLOCK_PATTERN.ends_with(kLazyBodyAny));
static_assert(SHELL_COMMAND_PATTERNS[0].ends_with(kLazyBodySome));

constexpr std::string_view without_suffix(std::string_view pattern, std::string_view suffix) {
  return pattern.substr(0, pattern.size() - suffix.size());
}

// The process-wide expressions, compiled on first use by any extractor.
struct Tables {
  regex::Regex code_block_opening{without_suffix(CODE_BLOCK_PATTERN, kLazyBodyAny)};
  std::vector<regex::Regex> file_path;
  regex::Regex backtick_path{BACKTICK_PATH_PATTERN};
  regex::Regex shell_fence_opening{without_suffix(SHELL_COMMAND_PATTERNS[0], kLazyBodySome)};
  std::vector<regex::Regex> shell_command;  // SHELL_COMMAND_PATTERNS[1..]

  Tables() {
    file_path.reserve(FILE_PATH_PATTERNS.size());
    for (std::string_view p : FILE_PATH_PATTERNS) file_path.emplace_back(p);
    shell_command.reserve(SHELL_COMMAND_PATTERNS.size() - 1);
    for (std::size_t i = 1; i < SHELL_COMMAND_PATTERNS.size(); ++i) {
      shell_command.emplace_back(SHELL_COMMAND_PATTERNS[i]);
    }
  }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

// The whole first match of `re`, if any.
std::optional<std::string_view> first_match(const regex::Regex& re, std::string_view text) {
  regex::Match m;
  if (!re.find(text, 0, m, 0)) return std::nullopt;
  return m.text();
}

// Offset of the first character at or after `pos` whose White_Space property
// is `space` (text.size() if none).
std::size_t skip_until(std::string_view text, std::size_t pos, bool space) {
  while (pos < text.size()) {
    const unicode::Decoded d = unicode::decode_at(text, pos);
    if (unicode::is_white_space(d.code_point) == space) break;
    pos += d.length;
  }
  return pos;
}

bool is_quote(char c) { return c == '`' || c == '\'' || c == '"'; }

bool is_path_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '.' || c == '/' || c == '-';
}

// Group 1 of a match of FILE_PATH_PATTERNS[row], read off the whole match:
// a path starts with a path character and ends with a letter, so neither end
// can be confused with the optional quotes, and keywords hold no whitespace.
// (A capture pass would cost a second, slower run over the match, which for
// a long path is most of the work.)
std::string_view file_path_group(std::size_t row, std::string_view match) {
  auto strip_quotes = [](std::string_view s) {
    if (!s.empty() && is_quote(s.front())) s.remove_prefix(1);
    if (!s.empty() && is_quote(s.back())) s.remove_suffix(1);
    return s;
  };
  std::size_t pos = 0;
  switch (row) {
    case 0:  // keyword \s+ quote? PATH quote?
      pos = skip_until(match, skip_until(match, 0, true), false);
      return strip_quotes(match.substr(pos));
    case 1: {  // quote? PATH quote? \s+ keyword -- the path is a whole run of path characters
      pos = is_quote(match.front()) ? 1 : 0;
      std::size_t end = pos;
      while (end < match.size() && is_path_char(match[end])) ++end;
      return match.substr(pos, end - pos);
    }
    case 2:  // (the|this) \s+ file \s+ quote? PATH quote?
      pos = skip_until(match, skip_until(match, 0, true), false);
      pos = skip_until(match, skip_until(match, pos, true), false);
      return strip_quotes(match.substr(pos));
    default:  // `PATH`
      return match.substr(1, match.size() - 2);
  }
}

// After "```", an opening continues with a language word (ASCII letters, or
// U+017F/U+212A through case folding) or with whitespace.
bool may_open_fence(std::string_view text, std::size_t at) {
  if (at + 3 >= text.size()) return false;
  const unsigned char c = static_cast<unsigned char>(text[at + 3]);
  return c >= 'a' ? (c <= 'z' || c >= 0x80)
                  : ((c >= 'A' && c <= 'Z') || c == ' ' || (c >= '\t' && c <= '\r'));
}

// Calls fn(body) for group 1 of each successive match, left to right, of the
// fenced expression `opening` + "(.*?)```" (min_body 0) or `opening` +
// "(.+?)```" (min_body 1), with `opening` of the form
// "```(?:word|...)?\s*\n".
//
// Why this equals the engine's leftmost-first iteration of the whole
// expression: every match starts at a "```", so the leftmost match is the one
// at the first "```" where the expression matches anchored. There, at most one
// language word can match and be followed by whitespace (when a shorter word
// matches, a longer one needs a letter where the shorter needs whitespace),
// and the greedy \s* runs through the last newline of the whitespace after
// it: that is the anchored match of `opening` alone, ending at the body start
// b. The lazy body then ends at the first "```" at or after b + min_body.
// Paths that give back newlines start the body earlier, but only over
// whitespace, which holds no "```": they can differ only when min_body is 1
// and a "```" starts exactly at b, and then their body is whitespace (empty
// once trimmed) and no later match exists either. So the engine runs over
// openings only; bodies, often most of the text, are crossed with a substring
// search.
template <class Fn>
void for_each_fence(const regex::Regex& opening, std::size_t min_body, std::string_view text, Fn fn) {
  if (text.empty()) return;
  const re2::RE2& engine = opening.engine();
  const re2::StringPiece whole(text.data(), text.size());
  std::size_t pos = 0;
  while (true) {
    const std::size_t at = text.find("```", pos);
    if (at == std::string_view::npos) return;
    re2::StringPiece m;
    if (!may_open_fence(text, at) ||
        !engine.Match(whole, at, text.size(), re2::RE2::ANCHOR_START, &m, 1)) {
      pos = at + 1;
      continue;
    }
    const std::size_t body = static_cast<std::size_t>(m.data() - text.data()) + m.size();
    if (body + min_body > text.size()) return;
    const std::size_t close = text.find("```", body + min_body);
    // Without a closing fence here, no later opening can find one either.
    if (close == std::string_view::npos) return;
    fn(text.substr(body, close - body));
    pos = close + 3;
  }
}

// Calls fn(group 1) for each successive match of INDENTED_CODE_PATTERN,
// `(?m)(?:^|\n)((?:[ ]{4,}|\t).+(?:\n(?:[ ]{4,}|\t).+)*)`, read line by line.
// A line qualifies when it starts with four spaces and has a fifth character,
// or starts with a tab and has a second one (`.` takes anything but a
// newline; the greedy space run gives back what `.+` needs). The leftmost
// match starts just before the first qualifying line (at its newline, or at
// the start of the text), and the greedy repetition takes every qualifying
// line that follows; the next search starts at that run's final newline,
// whose next line does not qualify. So group 1 is each maximal run of
// consecutive qualifying lines, without its line end.
template <class Fn>
void for_each_indented_run(std::string_view text, Fn fn) {
  auto qualifies = [](std::string_view line) {
    return (line.size() >= 5 && line.starts_with("    ")) || (line.size() >= 2 && line.front() == '\t');
  };
  std::size_t run_start = std::string_view::npos;
  std::size_t run_end = 0;
  std::size_t pos = 0;
  while (true) {
    const std::size_t nl = text.find('\n', pos);
    const std::size_t end = nl == std::string_view::npos ? text.size() : nl;
    if (qualifies(text.substr(pos, end - pos))) {
      if (run_start == std::string_view::npos) run_start = pos;
      run_end = end;
    } else if (run_start != std::string_view::npos) {
      fn(text.substr(run_start, run_end - run_start));
      run_start = std::string_view::npos;
    }
    if (nl == std::string_view::npos) break;
    pos = nl + 1;
  }
  if (run_start != std::string_view::npos) fn(text.substr(run_start, run_end - run_start));
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
  const std::vector<regex::Regex>& rows = tables().file_path;
  for (std::size_t row = 0; row < rows.size(); ++row) {
    if (auto match = first_match(rows[row], text)) return file_path_group(row, *match);
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
  for_each_fence(t.code_block_opening, 0, text, [&](std::string_view body) {
    body = unicode::trim(body);
    if (!body.empty()) blocks.emplace_back(body);
  });
  if (!blocks.empty()) return blocks;

  for_each_indented_run(text, [&](std::string_view run) {
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
  for_each_fence(t.shell_fence_opening, 1, text, add);

  // The two line-level expressions: group 1 is read off the whole match, which
  // spares the capture pass (most of the cost when commands are dense).
  //
  // `(?i)(?:run|execute|command):\s*[`'"](.+?)[`'"]`: the keyword holds no
  // ":", and the greedy \s* takes the whole whitespace run (a quote is not
  // whitespace), so the opening quote is the first non-whitespace character
  // after the first ":"; the closing quote is the last character.
  t.shell_command[0].for_each_match(text, [&](const regex::Match& m) {
    const std::size_t colon = text.find(':', m.start());
    const std::size_t quote = colon + 1 + unicode::leading_white_space_bytes(
                                              text.substr(colon + 1, m.end() - colon - 1));
    add(text.substr(quote + 1, m.end() - 1 - (quote + 1)));
  });
  // `(?m)(?:^|\n)\$\s+(.+?)(?:\n|$)`: the group ends before a consumed final
  // newline; it holds no newline, and everything between the "$" and the group
  // is whitespace, so trimming from the later of "after the $" and "after the
  // last newline before the group's end" gives the trimmed group.
  t.shell_command[1].for_each_match(text, [&](const regex::Match& m) {
    const std::size_t dollar = text[m.start()] == '$' ? m.start() : m.start() + 1;
    const std::size_t end = text[m.end() - 1] == '\n' ? m.end() - 1 : m.end();
    std::size_t from = dollar + 1;
    const std::size_t newline = text.rfind('\n', end - 1);
    if (newline != std::string_view::npos && newline + 1 > from) from = newline + 1;
    add(text.substr(from, end - from));
  });
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
    // A match is a backtick, a run of path characters and a backtick.
    std::optional<std::string_view> match = first_match(tables().backtick_path, text);
    std::string_view path = match ? match->substr(1, match->size() - 2) : std::string_view(".");
    ToolCallGuess g = guess("ls", 0.8, 100);
    g.args.emplace_back("path", std::string(path));
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
