// Thinking-token filtering: the streaming filter and its per-chunk result,
// and the whole-text functions over the same token vocabulary.

#include "core/streaming_filter.hpp"

#include "families.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

// A `chunk` argument: its UTF-8 view and the str object itself, so that a
// chunk passed on unchanged (the common case) is returned as the same object.
struct ChunkArg {
  PyObject* object = nullptr;
  std::string_view text;
};

template <>
struct bind::Caster<ChunkArg> {
  ChunkArg value;
  bool load(PyObject* src) {
    Caster<std::string_view> text;
    if (!text.load(src)) return false;
    value = {src, text.get()};
    return true;
  }
  const ChunkArg& get() const { return value; }
};

namespace {

namespace sf = thalren::streaming_filter;
using sf::StreamingFilter;

// The Python-facing StreamingChunkResult: the content is held as a str.
struct ChunkResult {
  bind::Ref content;
  bool is_thinking = false;
  bool state_changed = false;
  bool entering_thinking = false;
  bool exiting_thinking = false;
};

ChunkResult to_result(const StreamingFilter::ChunkView& v, const ChunkArg* chunk = nullptr) {
  ChunkResult r;
  if (chunk != nullptr && PyUnicode_CheckExact(chunk->object) && v.content == chunk->text) {
    r.content = bind::Ref::borrow(chunk->object);
  } else {
    r.content = bind::Ref::steal(bind::str_from_utf8(v.content));
  }
  r.is_thinking = v.is_thinking;
  r.state_changed = v.state_changed;
  r.entering_thinking = v.entering_thinking;
  r.exiting_thinking = v.exiting_thinking;
  return r;
}

// ---- StreamingFilter ----------------------------------------------------------

StreamingFilter make_filter(bool suppress_thinking, std::uint64_t max_thinking_content) {
  return StreamingFilter(suppress_thinking, max_thinking_content);
}

ChunkResult process_chunk(StreamingFilter& f, const ChunkArg& chunk) {
  return to_result(f.process_chunk_view(chunk.text), &chunk);
}
ChunkResult flush(StreamingFilter& f) { return to_result(f.flush_view()); }
void reset(StreamingFilter& f) { f.reset(); }
std::string_view get_state(const StreamingFilter& f) { return f.state_name(); }
bool should_abort(const StreamingFilter& f) { return f.should_abort(); }
std::optional<std::string> get_abort_reason(const StreamingFilter& f) { return f.abort_reason(); }
std::uint64_t get_thinking_length(const StreamingFilter& f) { return f.thinking_length(); }

// ---- StreamingChunkResult -------------------------------------------------------

bind::Ref result_content(const ChunkResult& r) { return r.content; }
bool result_is_thinking(const ChunkResult& r) { return r.is_thinking; }
bool result_state_changed(const ChunkResult& r) { return r.state_changed; }
bool result_entering(const ChunkResult& r) { return r.entering_thinking; }
bool result_exiting(const ChunkResult& r) { return r.exiting_thinking; }

std::string result_repr(const ChunkResult& r) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(r.content.get(), &size);
  if (data == nullptr) throw bind::PythonError{};
  return sf::chunk_result_repr(std::string_view(data, static_cast<std::size_t>(size)),
                               r.is_thinking, r.entering_thinking, r.exiting_thinking);
}

// ---- whole-text functions ---------------------------------------------------------

std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>> find_thinking_tokens(
    std::string_view content) {
  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>> out;
  for (const sf::ThinkingToken& t : sf::find_thinking_tokens(content)) {
    out.emplace_back(t.start, t.end, t.pattern_index);
  }
  return out;
}

std::string strip_thinking_tokens(std::string_view content) {
  return sf::strip_thinking_tokens(content);
}

bool contains_thinking_tokens(std::string_view content) {
  return sf::contains_thinking_tokens(content);
}

std::pair<std::string, std::string> extract_thinking_content(std::string_view content) {
  return sf::extract_thinking_content(content);
}

constexpr const char kFilterDoc[] =
    "High-performance streaming content filter.\n"
    "\n"
    "Processes thinking tokens in linear time with Aho-Corasick multi-pattern\n"
    "matching instead of one regular-expression pass per pattern.";

constexpr const char kFlushDoc[] =
    "Flush the residual buffer at end-of-stream.\n"
    "\n"
    "process_chunk holds back the end of a chunk when it could be the beginning\n"
    "of a thinking token split across chunks. When the stream ends before that\n"
    "token completes, the held-back bytes belong to the output: they are returned\n"
    "here (as thinking text when inside a thinking block).";

}  // namespace

const bind::Family& streaming_filter_family() {
  static const bind::Family family{
      bind::Class<StreamingFilter>("StreamingFilter", kFilterDoc)
          .init<"StreamingFilter(suppress_thinking=False, max_thinking_content=50000)", &make_filter>()
          .method<"process_chunk($self, chunk)", &process_chunk>(
              "Process a content chunk, detecting thinking state transitions.")
          .method<"flush($self)", &flush>(kFlushDoc)
          .method<"reset($self)", &reset>("Reset filter state for a new response.")
          .method<"get_state($self)", &get_state>("Get current thinking state as string.")
          .method<"should_abort($self)", &should_abort>("Check if streaming should be aborted.")
          .method<"get_abort_reason($self)", &get_abort_reason>("Get abort reason if any.")
          .method<"get_thinking_length($self)", &get_thinking_length>(
              "Get total thinking content length processed."),

      bind::Class<ChunkResult>("StreamingChunkResult", "Result of processing a streaming chunk")
          .property<"content", &result_content>("The text to pass on for this chunk.")
          .property<"is_thinking", &result_is_thinking>("Whether the filter is inside a thinking block after this chunk.")
          .property<"state_changed", &result_state_changed>("Whether a thinking token was consumed in this chunk.")
          .property<"entering_thinking", &result_entering>("Whether a start token was consumed in this chunk.")
          .property<"exiting_thinking", &result_exiting>("Whether an end token was consumed in this chunk.")
          .repr<&result_repr>(),

      bind::def<"find_thinking_tokens(content)", &find_thinking_tokens>(
          "Find all thinking token positions in content.\n"
          "\n"
          "Returns list of (start, end, pattern_index) tuples."),
      bind::def<"strip_thinking_tokens(content)", &strip_thinking_tokens>(
          "Strip all thinking tokens from content (batch processing).\n"
          "\n"
          "More efficient than streaming for complete content."),
      bind::def<"contains_thinking_tokens(content)", &contains_thinking_tokens>(
          "Check if content contains any thinking tokens."),
      bind::def<"extract_thinking_content(content)", &extract_thinking_content>(
          "Extract thinking content from a complete response.\n"
          "\n"
          "Returns (main_content, thinking_content) tuple."),
  };
  return family;
}
