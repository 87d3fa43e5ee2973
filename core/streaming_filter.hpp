// Thinking-token filtering for reasoning-model output.
//
// Reasoning models wrap their private reasoning in marker tokens ("<think>" …
// "</think>" and two other spellings). `StreamingFilter` removes the markers
// from a response streamed chunk by chunk, tracks whether the stream is inside
// a thinking block, optionally drops the thinking text, and raises a flag when
// the thinking grows past a limit. A marker split across chunks is held back
// until the next chunk decides it, so the concatenated output (plus `flush`)
// never depends on where the chunks were cut.
//
// The whole-text functions answer the same questions for a complete response.
//
// All comparisons are byte-exact and case-sensitive; all offsets and lengths
// are UTF-8 bytes, end exclusive.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace thalren::aho_corasick {
class Automaton;
}

namespace thalren::streaming_filter {

// "｜" is U+FF5C, "▁" is U+2581 (3 bytes each in UTF-8).
inline constexpr std::array<std::string_view, 3> START_PATTERNS = {
    "<\xEF\xBD\x9C" "begin\xE2\x96\x81of\xE2\x96\x81thinking\xEF\xBD\x9C>",
    "<|begin_of_thinking|>", "<think>"};
inline constexpr std::array<std::string_view, 3> END_PATTERNS = {
    "<\xEF\xBD\x9C" "end\xE2\x96\x81of\xE2\x96\x81thinking\xEF\xBD\x9C>",
    "<|end_of_thinking|>", "</think>"};
// Even indexes are start tokens, odd indexes end tokens.
inline constexpr std::array<std::string_view, 6> INLINE_PATTERNS = {
    START_PATTERNS[0], END_PATTERNS[0], START_PATTERNS[1],
    END_PATTERNS[1],   START_PATTERNS[2], END_PATTERNS[2]};

// Process-wide automata (standard match semantics, case-sensitive), each
// built once on first use; safe to call from any thread.
const aho_corasick::Automaton& get_start_matcher();
const aho_corasick::Automaton& get_end_matcher();
const aho_corasick::Automaton& get_inline_matcher();

// If `text` ends with the beginning of one of `tokens` (a proper prefix, never
// a whole token), the byte length of the longest such ending; otherwise 0.
// Looks at no more than the last (longest token's character count − 1)
// characters.
std::size_t check_partial_pattern(std::string_view text,
                                  const std::array<std::string_view, 3>& tokens);

struct StreamingChunkResult {
  std::string content;
  bool is_thinking = false;
  bool state_changed = false;
  bool entering_thinking = false;
  bool exiting_thinking = false;

  std::string repr() const;
};

// StreamingChunkResult(content="…", is_thinking=…, entering=…, exiting=…) with
// the content escaped and cut after 50 bytes (back to a character boundary).
std::string chunk_result_repr(std::string_view content, bool is_thinking, bool entering_thinking,
                              bool exiting_thinking);

enum class FilterState { Normal, InThinking };

// One streamed response. Not thread-safe: one caller at a time.
class StreamingFilter {
 public:
  explicit StreamingFilter(bool suppress_thinking = false,
                           std::uint64_t max_thinking_content = 50000);

  StreamingChunkResult process_chunk(std::string_view chunk);
  // End of stream: the held-back bytes (a marker that never completed) are
  // ordinary text of the current state.
  StreamingChunkResult flush();
  void reset();

  // The same as process_chunk/flush without allocating: `content` views a
  // buffer of the filter, valid until its next call.
  struct ChunkView {
    std::string_view content;
    bool is_thinking = false;
    bool state_changed = false;
    bool entering_thinking = false;
    bool exiting_thinking = false;
  };
  ChunkView process_chunk_view(std::string_view chunk);
  ChunkView flush_view();

  FilterState state() const { return state_; }
  std::string_view state_name() const {
    return state_ == FilterState::InThinking ? "in_thinking" : "normal";
  }
  bool should_abort() const { return should_abort_; }
  const std::optional<std::string>& abort_reason() const { return abort_reason_; }
  std::uint64_t thinking_length() const { return thinking_length_; }
  bool suppress_thinking() const { return suppress_thinking_; }
  std::uint64_t max_thinking_content() const { return max_thinking_content_; }

 private:
  // Consumes `text` (the residual tail already prepended) into output_.
  void walk(std::string_view text, ChunkView& result);
  void add_thinking(std::string_view thinking, std::string& out);

  std::string residual_;
  std::string working_;  // residual + chunk, reused between chunks
  std::string output_;   // the latest chunk's output, reused between chunks
  FilterState state_ = FilterState::Normal;
  bool suppress_thinking_;
  std::uint64_t max_thinking_content_;
  std::uint64_t thinking_length_ = 0;
  bool should_abort_ = false;
  std::optional<std::string> abort_reason_;
};

// ---- Whole-text functions (no state) ---------------------------------------

struct ThinkingToken {
  std::size_t start = 0;
  std::size_t end = 0;
  std::size_t pattern_index = 0;  // index into INLINE_PATTERNS
};

// Every marker, start and end alike, left to right, non-overlapping.
std::vector<ThinkingToken> find_thinking_tokens(std::string_view content);
// `content` with every marker removed; the text between markers stays.
std::string strip_thinking_tokens(std::string_view content);
bool contains_thinking_tokens(std::string_view content);
// (main, thinking): blocks are recognised like the streaming filter does it;
// an unclosed block runs to the end of the text.
std::pair<std::string, std::string> extract_thinking_content(std::string_view content);

}  // namespace thalren::streaming_filter
