#include "core/streaming_filter.hpp"

#include <unicode/uchar.h>

#include <algorithm>
#include <cstring>
#include <span>
#include <stdexcept>

#include "core/aho_corasick.hpp"
#include "core/unicode.hpp"

namespace thalren::streaming_filter {

static_assert(START_PATTERNS[0].size() == 29 && START_PATTERNS[1].size() == 21 &&
              START_PATTERNS[2].size() == 7);
static_assert(END_PATTERNS[0].size() == 27 && END_PATTERNS[1].size() == 19 &&
              END_PATTERNS[2].size() == 8);

namespace {

template <std::size_t N>
aho_corasick::Automaton build_matcher(const std::array<std::string_view, N>& patterns,
                                      const char* failure) {
  try {
    return aho_corasick::Automaton(std::span<const std::string_view>(patterns),
                                   aho_corasick::Options{});
  } catch (const std::exception&) {
    // The vocabulary is fixed: failing to compile it is a broken build.
    throw std::logic_error(failure);
  }
}

}  // namespace

const aho_corasick::Automaton& get_start_matcher() {
  static const aho_corasick::Automaton automaton =
      build_matcher(START_PATTERNS, "Failed to compile start patterns");
  return automaton;
}

const aho_corasick::Automaton& get_end_matcher() {
  static const aho_corasick::Automaton automaton =
      build_matcher(END_PATTERNS, "Failed to compile end patterns");
  return automaton;
}

const aho_corasick::Automaton& get_inline_matcher() {
  static const aho_corasick::Automaton automaton =
      build_matcher(INLINE_PATTERNS, "Failed to compile inline patterns");
  return automaton;
}

// ---------------------------------------------------------------------------

namespace {

// A token set with its character counts, measured once.
struct TokenSet {
  const std::array<std::string_view, 3>* tokens;
  std::array<std::size_t, 3> chars{};
  std::array<int, 3> first_bytes{};  // -1 for an empty token
  std::size_t longest = 0;  // largest character count

  explicit TokenSet(const std::array<std::string_view, 3>& t) : tokens(&t) {
    for (std::size_t i = 0; i < t.size(); ++i) {
      chars[i] = unicode::count_chars(t[i]);
      first_bytes[i] = t[i].empty() ? -1 : static_cast<unsigned char>(t[i].front());
      longest = std::max(longest, chars[i]);
    }
  }
};

std::size_t partial_token_length(std::string_view text, const TokenSet& set) {
  if (text.empty() || set.longest < 2) return 0;
  const std::array<std::string_view, 3>& tokens = *set.tokens;
  // Most chunks end without any token's first byte nearby: settle that with
  // memchr over the bytes the look-back could reach.
  const std::size_t reach = std::min(text.size(), 4 * (set.longest - 1));
  const std::string_view tail = text.substr(text.size() - reach);
  bool any = false;
  for (int b : set.first_bytes) {
    if (b >= 0 && std::memchr(tail.data(), b, tail.size()) != nullptr) {
      any = true;
      break;
    }
  }
  if (!any) return 0;
  // Walk back over the last (longest - 1) characters and note where a suffix
  // could begin a token (its first byte is a token's first byte); the suffix
  // starting at the k-th character from the end has k characters.
  constexpr std::size_t kMaxLook = 64;
  std::size_t where[kMaxLook];
  std::size_t chars[kMaxLook];
  std::size_t candidates = 0;
  const std::size_t max_k = std::min(set.longest - 1, kMaxLook);
  std::size_t pos = text.size();
  for (std::size_t k = 1; k <= max_k && pos > 0; ++k) {
    // Step back over at most three continuation bytes to the lead byte.
    std::size_t lead = pos - 1;
    for (int i = 0; i < 3 && lead > 0 && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80;
         ++i) {
      --lead;
    }
    const int first = static_cast<unsigned char>(text[lead]);
    if (first == set.first_bytes[0] || first == set.first_bytes[1] || first == set.first_bytes[2]) {
      where[candidates] = lead;
      chars[candidates] = k;
      ++candidates;
    }
    pos = lead;
  }
  // The longest qualifying suffix wins; a whole token never qualifies.
  while (candidates > 0) {
    --candidates;
    const std::string_view suffix = text.substr(where[candidates]);
    for (std::size_t t = 0; t < tokens.size(); ++t) {
      if (suffix.size() <= tokens[t].size() && chars[candidates] < set.chars[t] &&
          tokens[t].starts_with(suffix)) {
        return suffix.size();
      }
    }
  }
  return 0;
}

const TokenSet& start_set() {
  static const TokenSet set(START_PATTERNS);
  return set;
}

const TokenSet& end_set() {
  static const TokenSet set(END_PATTERNS);
  return set;
}

}  // namespace

std::size_t check_partial_pattern(std::string_view text,
                                  const std::array<std::string_view, 3>& tokens) {
  if (&tokens == &START_PATTERNS) return partial_token_length(text, start_set());
  if (&tokens == &END_PATTERNS) return partial_token_length(text, end_set());
  return partial_token_length(text, TokenSet(tokens));
}

// ---------------------------------------------------------------------------

namespace {

bool is_printable(char32_t c) {
  if (c == ' ') return true;
  switch (u_charType(static_cast<UChar32>(c))) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
    case U_SPACE_SEPARATOR:
      return false;
    default:
      return true;
  }
}

void append_escaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  unicode::for_each_char(text, [&](char32_t c, std::size_t offset, std::size_t length) {
    switch (c) {
      case '"': out += "\\\""; return;
      case '\\': out += "\\\\"; return;
      case '\n': out += "\\n"; return;
      case '\r': out += "\\r"; return;
      case '\t': out += "\\t"; return;
      case '\0': out += "\\0"; return;
      default: break;
    }
    if (is_printable(c)) {
      out.append(text.substr(offset, length));
      return;
    }
    out += "\\u{";
    char digits[8];
    int n = 0;
    std::uint32_t v = static_cast<std::uint32_t>(c);
    do {
      digits[n++] = kHex[v & 0xF];
      v >>= 4;
    } while (v != 0);
    while (n > 0) out.push_back(digits[--n]);
    out.push_back('}');
  });
}

}  // namespace

std::string chunk_result_repr(std::string_view content, bool is_thinking, bool entering_thinking,
                              bool exiting_thinking) {
  constexpr std::size_t kPreviewBytes = 50;
  std::string out = "StreamingChunkResult(content=\"";
  if (content.size() <= kPreviewBytes) {
    append_escaped(out, content);
  } else {
    append_escaped(out, content.substr(0, unicode::floor_char_boundary(content, kPreviewBytes)));
    out += "...";
  }
  out += "\", is_thinking=";
  out += is_thinking ? "true" : "false";
  out += ", entering=";
  out += entering_thinking ? "true" : "false";
  out += ", exiting=";
  out += exiting_thinking ? "true" : "false";
  out += ")";
  return out;
}

std::string StreamingChunkResult::repr() const {
  return chunk_result_repr(content, is_thinking, entering_thinking, exiting_thinking);
}

// ---------------------------------------------------------------------------

StreamingFilter::StreamingFilter(bool suppress_thinking, std::uint64_t max_thinking_content)
    : suppress_thinking_(suppress_thinking), max_thinking_content_(max_thinking_content) {
  residual_.reserve(256);
}

void StreamingFilter::add_thinking(std::string_view thinking, std::string& out) {
  thinking_length_ += thinking.size();
  if (!suppress_thinking_) out.append(thinking);
}

void StreamingFilter::walk(std::string_view text, ChunkView& result) {
  const aho_corasick::Automaton& start_matcher = get_start_matcher();
  const aho_corasick::Automaton& end_matcher = get_end_matcher();
  std::string& out = output_;
  std::size_t p = 0;
  while (p < text.size()) {
    if (state_ == FilterState::Normal) {
      if (std::optional<aho_corasick::Match> m = start_matcher.find(text, p)) {
        out.append(text.substr(p, m->start - p));
        state_ = FilterState::InThinking;
        result.entering_thinking = true;
        p = m->end;
        continue;
      }
      const std::string_view rest = text.substr(p);
      const std::size_t held = partial_token_length(rest, start_set());
      out.append(rest.substr(0, rest.size() - held));
      residual_.assign(rest.substr(rest.size() - held));
      return;
    }
    if (std::optional<aho_corasick::Match> m = end_matcher.find(text, p)) {
      add_thinking(text.substr(p, m->start - p), out);
      // Measured only when a block closes: an open block never aborts.
      if (thinking_length_ > max_thinking_content_) {
        should_abort_ = true;
        abort_reason_ =
            "Thinking content exceeded " + std::to_string(max_thinking_content_) + " chars";
      }
      state_ = FilterState::Normal;
      result.exiting_thinking = true;
      p = m->end;
      continue;
    }
    const std::string_view rest = text.substr(p);
    const std::size_t held = partial_token_length(rest, end_set());
    add_thinking(rest.substr(0, rest.size() - held), out);
    residual_.assign(rest.substr(rest.size() - held));
    return;
  }
}

namespace {

// Empties a scratch buffer; one grown by an unusually large chunk gives its
// memory back instead of holding it for the rest of the stream.
void clear_scratch(std::string& buffer) {
  constexpr std::size_t kKeepCapacity = std::size_t{1} << 16;
  if (buffer.capacity() > kKeepCapacity) {
    std::string().swap(buffer);
  } else {
    buffer.clear();
  }
}

}  // namespace

StreamingFilter::ChunkView StreamingFilter::process_chunk_view(std::string_view chunk) {
  get_start_matcher();
  get_end_matcher();
  ChunkView result;
  clear_scratch(output_);
  clear_scratch(working_);
  if (residual_.empty()) {
    walk(chunk, result);
  } else {
    // The held-back tail is shorter than one token, so joining costs one copy
    // of the chunk.
    working_.reserve(residual_.size() + chunk.size());
    working_.append(residual_);
    working_.append(chunk);
    residual_.clear();
    walk(working_, result);
  }
  result.content = output_;
  result.is_thinking = state_ == FilterState::InThinking;
  result.state_changed = result.entering_thinking || result.exiting_thinking;
  return result;
}

StreamingChunkResult StreamingFilter::process_chunk(std::string_view chunk) {
  const ChunkView v = process_chunk_view(chunk);
  return {std::string(v.content), v.is_thinking, v.state_changed, v.entering_thinking,
          v.exiting_thinking};
}

StreamingFilter::ChunkView StreamingFilter::flush_view() {
  clear_scratch(output_);
  clear_scratch(working_);
  if (state_ == FilterState::InThinking) {
    add_thinking(residual_, output_);
  } else {
    output_.assign(residual_);
  }
  residual_.clear();
  ChunkView result;
  result.content = output_;
  result.is_thinking = state_ == FilterState::InThinking;
  return result;
}

StreamingChunkResult StreamingFilter::flush() {
  const ChunkView v = flush_view();
  return {std::string(v.content), v.is_thinking, false, false, false};
}

void StreamingFilter::reset() {
  state_ = FilterState::Normal;
  should_abort_ = false;
  residual_.clear();
  thinking_length_ = 0;
  abort_reason_.reset();
}

// ---------------------------------------------------------------------------

std::vector<ThinkingToken> find_thinking_tokens(std::string_view content) {
  std::vector<ThinkingToken> tokens;
  auto it = get_inline_matcher().iter(content);
  while (std::optional<aho_corasick::Match> m = it.next()) {
    tokens.push_back({m->start, m->end, m->pattern});
  }
  return tokens;
}

std::string strip_thinking_tokens(std::string_view content) {
  std::string out;
  out.reserve(content.size());
  std::size_t copied = 0;
  auto it = get_inline_matcher().iter(content);
  while (std::optional<aho_corasick::Match> m = it.next()) {
    out.append(content.substr(copied, m->start - copied));
    copied = m->end;
  }
  out.append(content.substr(copied));
  return out;
}

bool contains_thinking_tokens(std::string_view content) {
  return get_inline_matcher().is_match(content);
}

std::pair<std::string, std::string> extract_thinking_content(std::string_view content) {
  std::pair<std::string, std::string> result;
  auto& [main_text, thinking] = result;
  const aho_corasick::Automaton& start_matcher = get_start_matcher();
  const aho_corasick::Automaton& end_matcher = get_end_matcher();
  bool inside = false;
  std::size_t p = 0;
  while (p < content.size()) {
    std::string& sink = inside ? thinking : main_text;
    std::optional<aho_corasick::Match> m =
        (inside ? end_matcher : start_matcher).find(content, p);
    if (!m) {
      sink.append(content.substr(p));
      break;
    }
    sink.append(content.substr(p, m->start - p));
    p = m->end;
    inside = !inside;
  }
  return result;
}

}  // namespace thalren::streaming_filter
