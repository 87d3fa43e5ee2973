// The framework's chat-protocol records: role, tool call, token usage,
// message and streamed chunk. Plain values; the Python wrappers hold one each.
#pragma once

#include "core/json.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace thalren::protocol {

enum class Role : std::uint8_t { System = 0, User = 1, Assistant = 2, Tool = 3 };

// The provider/API string: "system", "user", "assistant" or "tool".
std::string_view role_str(Role role);

struct ToolCall {
  std::string id;
  std::string name;
  json::Value arguments;  // stored parsed
};

struct Usage {
  std::uint64_t prompt_tokens = 0;
  std::uint64_t completion_tokens = 0;
  std::uint64_t total_tokens = 0;  // as given, never derived
};

struct Message {
  Role role = Role::User;
  std::optional<std::string> content;
  std::optional<std::vector<ToolCall>> tool_calls;  // empty list and absent differ
  std::optional<std::string> tool_call_id;
};

struct StreamChunk {
  std::optional<std::string> content;
  std::optional<std::vector<ToolCall>> tool_calls;
  bool is_final = false;
  std::optional<Usage> usage;
};

// Parses tool-call arguments; throws ValueError "arguments is not valid JSON: ...".
json::Value parse_arguments(std::string_view text);

// `text` as a double-quoted literal for reprs: backslash, quote, tab, CR, LF
// and NUL as two-character escapes; other non-printable characters (controls,
// format characters, separators other than the space, unassigned and private
// code points, marks that extend a grapheme) as \u{hex}; the rest unchanged.
std::string quote_text(std::string_view text);

}  // namespace thalren::protocol
