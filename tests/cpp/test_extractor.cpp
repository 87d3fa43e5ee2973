// The extractors and the markup stripper read groups off whole matches and
// run fenced expressions from each fence only. These tests hold them to the
// plain reading: every expression iterated by the engine with its capture
// groups, on random texts built from the pieces that matter.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/extractor.hpp"
#include "core/regex.hpp"
#include "core/sanitizer.hpp"
#include "core/unicode.hpp"

namespace {

using namespace thalren;

std::vector<std::string> groups_trimmed(const regex::Regex& re, std::string_view text) {
  std::vector<std::string> out;
  re.for_each_match(
      text,
      [&](const regex::Match& m) {
        std::string_view g = unicode::trim(m.group(1));
        if (!g.empty()) out.emplace_back(g);
      },
      1);
  return out;
}

// Compiled once per pattern text (the patterns are static strings).
const regex::Regex& compiled(std::string_view pattern) {
  static std::vector<std::pair<std::string_view, std::unique_ptr<regex::Regex>>> cache;
  for (auto& [p, re] : cache) {
    if (p.data() == pattern.data()) return *re;
  }
  cache.emplace_back(pattern, std::make_unique<regex::Regex>(pattern));
  return *cache.back().second;
}

std::vector<std::string> reference_shell_commands(std::string_view text) {
  std::vector<std::string> out;
  for (std::string_view p : extractor::SHELL_COMMAND_PATTERNS) {
    for (std::string& c : groups_trimmed(compiled(p), text)) out.push_back(std::move(c));
  }
  return out;
}

std::vector<std::string> reference_fenced_blocks(std::string_view text) {
  return groups_trimmed(compiled(extractor::CODE_BLOCK_PATTERN), text);
}

std::optional<std::string> reference_file_path(std::string_view text) {
  for (std::string_view p : extractor::FILE_PATH_PATTERNS) {
    regex::Match m;
    if (compiled(p).find(text, 0, m, 1)) return std::string(m.group(1));
  }
  return std::nullopt;
}

std::string reference_ls_path(std::string_view text) {
  regex::Match m;
  if (compiled(extractor::BACKTICK_PATH_PATTERN).find(text, 0, m, 1)) return std::string(m.group(1));
  return ".";
}

std::string reference_strip_markup(std::string_view text) {
  std::string spaced = compiled(sanitizer::MARKUP_PATTERN).replace_all(text, " ");
  std::string out;
  for (std::string_view w : unicode::split_white_space(spaced)) {
    if (!out.empty()) out.push_back(' ');
    out.append(w);
  }
  return out;
}

std::string random_text(std::mt19937& rng, const std::vector<std::string_view>& pieces, int max_pieces) {
  std::uniform_int_distribution<int> count(0, max_pieces);
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::string s;
  for (int i = count(rng); i > 0; --i) s += pieces[pick(rng)];
  return s;
}

const std::vector<std::string_view> kFencePieces = {
    "a", "x", "ls -la", "`", "``", "```", "```python", "```PY", "```bash", "```Sh", "```shell", "```zsh",
    "```c", "```cpp", "```j\u017fon", "```\u212a", " ", "\t", "\n", "\n", "\r\n", "\u3000", "\u2028",
    "\u0085", "\n\n", " \n ", "$", "$ ", "\n$ ", "run:", "RUN: ", "execute:", "command:", ":", "'", "\"",
};

const std::vector<std::string_view> kPathPieces = {
    "a", "b.py", ".", "/", "-", "_", "x.Md", "`", "'", "\"", " ", "\t", "\n", "\u3000", "to", "TO ",
    "file ", "path", "in ", "create", "Save ", "edit", "the ", "This ", "File ", "with", " should",
    " will", "\u212a", "\u017f", "2", "\u00e9", "Makefile",
};

TEST(Extractor, ShellCommandsEqualPlainIteration) {
  std::mt19937 rng(1);
  for (int i = 0; i < 20000; ++i) {
    std::string text = random_text(rng, kFencePieces, 30);
    ASSERT_EQ(extractor::extract_shell_commands(text), reference_shell_commands(text)) << text;
  }
}

TEST(Extractor, FencedBlocksEqualPlainIteration) {
  std::mt19937 rng(2);
  for (int i = 0; i < 20000; ++i) {
    std::string text = random_text(rng, kFencePieces, 30);
    std::vector<std::string> fenced = reference_fenced_blocks(text);
    if (fenced.empty()) continue;  // the indented fallback is tested from Python
    ASSERT_EQ(extractor::extract_code_blocks(text), fenced) << text;
  }
}

TEST(Extractor, FilePathsEqualPlainIteration) {
  std::mt19937 rng(3);
  for (int i = 0; i < 20000; ++i) {
    std::string text = random_text(rng, kPathPieces, 25);
    std::optional<std::string_view> got = extractor::extract_file_path(text);
    std::optional<std::string> want = reference_file_path(text);
    ASSERT_EQ(got.has_value(), want.has_value()) << text;
    if (got) {
      ASSERT_EQ(std::string(*got), *want) << text;
    }
    std::optional<extractor::ToolCallGuess> ls = extractor::extract_tool_call(text, "ls", std::nullopt);
    ASSERT_TRUE(ls.has_value());
    ASSERT_EQ(ls->args.at(0).second, reference_ls_path(text)) << text;
  }
}

// The indented runs found by the expression itself, dedented as described:
// common indentation in bytes over the non-blank lines, a cut inside a
// multi-byte character moving to the next character boundary.
std::vector<std::string> reference_indented_blocks(std::string_view text) {
  std::vector<std::string> out;
  compiled(extractor::INDENTED_CODE_PATTERN).for_each_match(
      text,
      [&](const regex::Match& m) {
        std::vector<std::string_view> lines;
        std::string_view run = m.group(1);
        std::size_t pos = 0;
        while (true) {
          std::size_t nl = run.find('\n', pos);
          std::string_view line = run.substr(pos, nl == std::string_view::npos ? run.npos : nl - pos);
          if (line.ends_with('\r')) line.remove_suffix(1);
          lines.push_back(line);
          if (nl == std::string_view::npos) break;
          pos = nl + 1;
        }
        std::optional<std::size_t> common;
        for (std::string_view line : lines) {
          if (unicode::trim(line).empty()) continue;
          std::size_t indent = unicode::leading_white_space_bytes(line);
          if (!common || indent < *common) common = indent;
        }
        std::string joined;
        for (std::size_t i = 0; i < lines.size(); ++i) {
          if (i) joined += '\n';
          std::string_view line = lines[i];
          if (line.size() <= common.value_or(0)) {
            joined += unicode::trim(line);
          } else {
            joined += line.substr(unicode::ceil_char_boundary(line, common.value_or(0)));
          }
        }
        std::string_view block = unicode::trim(joined);
        if (!block.empty()) out.emplace_back(block);
      },
      1);
  return out;
}

TEST(Extractor, IndentedBlocksEqualPlainIteration) {
  const std::vector<std::string_view> pieces = {"    ", " ", "\t", "\n", "\n", "\r", "a", "x = 1",
                                                "\u3000", "\u2003", "\u00e9", "     ", "\t\t"};
  std::mt19937 rng(5);
  for (int i = 0; i < 30000; ++i) {
    std::string text = random_text(rng, pieces, 30);
    ASSERT_EQ(extractor::extract_code_blocks(text), reference_indented_blocks(text)) << text;
  }
}

TEST(Sanitizer, StripMarkupEqualsReplaceThenSplit) {
  const std::vector<std::string_view> pieces = {"a", "<", ">", "<>", "<b>", "</i>", " ", "\n", "\u3000",
                                                "\u0085", "\u00e9", "x y", "<a\nb>", "\t"};
  std::mt19937 rng(4);
  for (int i = 0; i < 20000; ++i) {
    std::string text = random_text(rng, pieces, 30);
    ASSERT_EQ(sanitizer::strip_markup(text), reference_strip_markup(text)) << text;
  }
}

}  // namespace
