#include "core/sanitizer.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "core/regex.hpp"
#include "core/unicode.hpp"

namespace thalren::sanitizer {
namespace {

struct CompiledCleanup {
  regex::Regex re;
  std::string_view replacement;
};

struct CompiledLeakage {
  regex::Regex re;
  std::string_view name;
};

template <class Rows, class Project>
std::vector<std::string_view> pattern_list(const Rows& rows, Project project) {
  std::vector<std::string_view> out;
  out.reserve(rows.size());
  for (const auto& row : rows) out.push_back(project(row));
  return out;
}

// The process-wide expression tables, compiled on first use. Besides the
// per-row expressions, each ordered table has a one-pass set over all of its
// rows: when the set finds nothing, every row would be a no-op and the whole
// table is skipped.
struct Tables {
  regex::Regex valid_tool_name{VALID_TOOL_NAME};
  std::vector<CompiledCleanup> cleanup;
  regex::RegexSet cleanup_any{
      pattern_list(CLEANUP_PATTERNS, [](const CleanupRule& r) { return r.pattern; })};
  regex::RegexSet garbage_any{pattern_list(GARBAGE_PATTERNS, [](std::string_view p) { return p; })};
  std::vector<CompiledLeakage> leakage;
  regex::RegexSet leakage_any{
      pattern_list(LEAKAGE_PATTERNS, [](const LeakageRule& r) { return r.pattern; })};

  Tables() {
    cleanup.reserve(CLEANUP_PATTERNS.size());
    for (const CleanupRule& rule : CLEANUP_PATTERNS)
      cleanup.push_back({regex::Regex(rule.pattern), rule.replacement});
    leakage.reserve(LEAKAGE_PATTERNS.size());
    for (const LeakageRule& rule : LEAKAGE_PATTERNS)
      leakage.push_back({regex::Regex(rule.pattern), rule.name});
  }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

// Replace-all that leaves `text` untouched (no copy) when nothing matches.
void replace_all_in_place(const regex::Regex& re, std::string& text, std::string_view replacement) {
  regex::MatchIterator it(re, text);
  if (!it.next()) return;
  std::string out;
  out.reserve(text.size());
  std::size_t copied = 0;
  do {
    const regex::Match& m = it.match();
    out.append(text, copied, m.start() - copied);
    out.append(replacement);
    copied = m.end();
  } while (it.next());
  out.append(text, copied, std::string::npos);
  text = std::move(out);
}

// Plain substring replace-all with "", left to right, non-overlapping.
void remove_all(std::string& text, std::string_view token) {
  std::size_t hit = text.find(token);
  if (hit == std::string::npos) return;
  std::string out;
  out.reserve(text.size());
  std::size_t copied = 0;
  while (hit != std::string::npos) {
    out.append(text, copied, hit - copied);
    copied = hit + token.size();
    hit = text.find(token, copied);
  }
  out.append(text, copied, std::string::npos);
  text = std::move(out);
}

// Splits at "\n" (a "\r" before it belongs to the line end; a final line end
// opens no extra line), keeps the lines for which `keep(trimmed_start)` holds,
// and joins them with "\n".
template <class Keep>
std::string filter_lines(std::string_view text, Keep keep) {
  std::string out;
  out.reserve(text.size());
  bool first = true;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    std::string_view line;
    if (nl == std::string_view::npos) {
      line = text.substr(pos);
      pos = text.size();
    } else {
      line = text.substr(pos, nl - pos);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      pos = nl + 1;
    }
    // The prefixes tested end in no whitespace, so trimming the start is
    // enough to decide "the trimmed line starts with". ASCII whitespace is
    // skipped inline; the decoder is needed only at a non-ASCII byte.
    std::size_t lead = 0;
    while (lead < line.size() && (line[lead] == ' ' || (line[lead] >= '\t' && line[lead] <= '\r'))) ++lead;
    std::string_view rest = line.substr(lead);
    if (!rest.empty() && static_cast<unsigned char>(rest.front()) >= 0x80) rest = unicode::trim_start(rest);
    if (!keep(rest)) continue;
    if (!first) out.push_back('\n');
    out.append(line);
    first = false;
  }
  return out;
}

// Appends the words of `text` (maximal runs of non-White_Space characters) to
// `out`, separated by single spaces.
class WordJoiner {
 public:
  explicit WordJoiner(std::string& out) : out_(out) {}

  void append(std::string_view text) {
    std::size_t pos = 0;
    std::size_t word = std::string_view::npos;  // start of the current word
    while (pos < text.size()) {
      if (const std::size_t space = unicode::white_space_length(text, pos)) {
        if (word != std::string_view::npos) emit(text.substr(word, pos - word));
        word = std::string_view::npos;
        separate();
        pos += space;
      } else {
        if (word == std::string_view::npos) word = pos;
        ++pos;
      }
    }
    if (word != std::string_view::npos) emit(text.substr(word));
  }

  // A word boundary (whitespace, or a removed tag).
  void separate() { pending_space_ = true; }

 private:
  void emit(std::string_view word) {
    if (pending_space_ && !out_.empty()) out_.push_back(' ');
    pending_space_ = false;
    out_.append(word);
  }

  std::string& out_;
  bool pending_space_ = false;
};

}  // namespace

std::string sanitize_response(std::string_view text) {
  if (text.empty()) return std::string();
  const Tables& t = tables();
  std::string out(text);

  // Each cleanup step sees the previous step's result; when no row matches
  // the text as it stands, every step is a no-op and the table is skipped.
  if (t.cleanup_any.any_match(out)) {
    for (const CompiledCleanup& rule : t.cleanup) replace_all_in_place(rule.re, out, rule.replacement);
  }

  // Every token starts with "<".
  if (out.find('<') != std::string::npos) {
    for (std::string_view token : THINKING_TOKENS) remove_all(out, token);
  }

  // Likewise: one set test over the seven phrases decides whether any row runs.
  if (t.leakage_any.any_match(out)) {
    for (const CompiledLeakage& rule : t.leakage) replace_all_in_place(rule.re, out, "");
  }

  std::string kept = filter_lines(out, [](std::string_view line) {
    return !(line.starts_with(R"({"name":)") || line.starts_with("</"));
  });
  kept = filter_lines(kept, [](std::string_view line) {
    return !(line.starts_with("parameter=") || line.starts_with("<parameter"));
  });
  return std::string(unicode::trim(kept));
}

std::string strip_markup(std::string_view text) {
  std::string out;
  if (text.empty()) return out;
  out.reserve(text.size());
  WordJoiner words(out);
  // MARKUP_PATTERN, `<[^>]+>`, matched directly: the leftmost match starts at
  // the first "<" that is followed, after at least one other character, by a
  // ">", and ends at that first ">" (the class excludes it). "<" and ">" are
  // ASCII, so byte searches never split a character.
  std::size_t pos = 0;
  std::size_t lt = text.find('<');
  while (lt != std::string_view::npos) {
    const std::size_t gt = text.find('>', lt + 1);
    if (gt == std::string_view::npos) break;  // no later "<" can close either
    if (gt == lt + 1) {  // "<>" is not a tag; its "<" is plain text
      lt = text.find('<', lt + 1);
      continue;
    }
    words.append(text.substr(pos, lt - pos));
    words.separate();  // the tag becomes a space
    pos = gt + 1;
    lt = text.find('<', pos);
  }
  words.append(text.substr(pos));
  return out;
}

bool is_garbage_content(std::string_view content) {
  if (content.empty()) return false;
  return tables().garbage_any.any_match(content);
}

std::vector<LeakageMatch> detect_leakage_patterns(std::string_view text) {
  std::vector<LeakageMatch> found;
  const Tables& t = tables();
  if (text.empty() || !t.leakage_any.any_match(text)) return found;
  for (const CompiledLeakage& rule : t.leakage) {
    rule.re.for_each_match(text, [&](const regex::Match& m) {
      found.push_back({m.start(), m.end(), rule.name});
    });
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const LeakageMatch& a, const LeakageMatch& b) { return a.start < b.start; });
  return found;
}

ToolNameVerdict validate_tool_name(std::string_view name) {
  auto reject = [](std::string reason) { return ToolNameVerdict{false, std::move(reason)}; };
  if (name.empty()) return reject("empty_or_invalid_type");
  for (std::string_view prefix : INVALID_PREFIXES) {
    if (name.starts_with(prefix)) return reject("invalid_prefix:" + std::string(prefix));
  }
  // "/" and ">" are ASCII, so the last byte is the last character when it is
  // one of them (no UTF-8 continuation byte is ASCII).
  if (name.back() == '/' || name.back() == '>') return reject("invalid_suffix");
  if (name.front() == '<') return reject("starts_with_tag");
  if (name.find_first_of(" \t") != std::string_view::npos) return reject("contains_whitespace");
  if (name.front() >= '0' && name.front() <= '9') return reject("starts_with_number");
  if (!tables().valid_tool_name.is_match(name)) return reject("invalid_characters");
  return ToolNameVerdict{true, std::nullopt};
}

}  // namespace thalren::sanitizer
