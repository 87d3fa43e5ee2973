// The chat-protocol wrapper classes and the echo functions.
//
// Each wrapper holds one record by value and copies on the way in and out:
// reading `tool_calls` or `usage` builds new objects every time. Role is the
// exception: one object per variant, so identity comparisons work.

#include "protocol-records/records.hpp"

#include "families.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace proto = thalren::protocol;

using PyRole = proto::Role;
struct PyToolCall {
  proto::ToolCall record;
};
struct PyUsage {
  proto::Usage record;
};
struct PyMessage {
  proto::Message record;
};
struct PyStreamChunk {
  proto::StreamChunk record;
};

namespace {

using OptionalText = std::optional<std::string>;
using OptionalToolCalls = std::optional<std::vector<PyToolCall>>;

std::optional<std::vector<proto::ToolCall>> records_of(OptionalToolCalls calls) {
  if (!calls) return std::nullopt;
  std::vector<proto::ToolCall> out;
  out.reserve(calls->size());
  for (PyToolCall& call : *calls) out.push_back(std::move(call.record));
  return out;
}

std::optional<std::vector<PyToolCall>> wrappers_of(const std::optional<std::vector<proto::ToolCall>>& calls) {
  if (!calls) return std::nullopt;
  std::vector<PyToolCall> out;
  out.reserve(calls->size());
  for (const proto::ToolCall& call : *calls) out.push_back(PyToolCall{call});
  return out;
}

// Role
std::string_view role_as_str(const PyRole& role) { return proto::role_str(role); }
std::string role_repr(const PyRole& role) {
  switch (role) {
    case PyRole::System: return "Role.System";
    case PyRole::User: return "Role.User";
    case PyRole::Assistant: return "Role.Assistant";
    case PyRole::Tool: return "Role.Tool";
  }
  return "Role.User";
}

// ToolCall
PyToolCall make_tool_call(std::string id, std::string name, bind::Maybe<std::string_view> arguments) {
  return PyToolCall{{std::move(id), std::move(name), proto::parse_arguments(std::move(arguments).value_or("{}"))}};
}
const std::string& tool_call_id(const PyToolCall& call) { return call.record.id; }
const std::string& tool_call_name(const PyToolCall& call) { return call.record.name; }
std::string tool_call_arguments(const PyToolCall& call) { return thalren::json::write(call.record.arguments); }
std::string tool_call_repr(const PyToolCall& call) {
  return "ToolCall(id=" + proto::quote_text(call.record.id) + ", name=" + proto::quote_text(call.record.name) + ")";
}

// Usage
PyUsage make_usage(std::uint64_t prompt_tokens, std::uint64_t completion_tokens, std::uint64_t total_tokens) {
  return PyUsage{{prompt_tokens, completion_tokens, total_tokens}};
}
std::uint64_t usage_prompt(const PyUsage& u) { return u.record.prompt_tokens; }
std::uint64_t usage_completion(const PyUsage& u) { return u.record.completion_tokens; }
std::uint64_t usage_total(const PyUsage& u) { return u.record.total_tokens; }

// Message
PyMessage make_message(PyRole role, OptionalText content, OptionalToolCalls tool_calls, OptionalText tool_call_id) {
  return PyMessage{{role, std::move(content), records_of(std::move(tool_calls)), std::move(tool_call_id)}};
}
PyRole message_role(const PyMessage& m) { return m.record.role; }
const OptionalText& message_content(const PyMessage& m) { return m.record.content; }
OptionalToolCalls message_tool_calls(const PyMessage& m) { return wrappers_of(m.record.tool_calls); }
const OptionalText& message_tool_call_id(const PyMessage& m) { return m.record.tool_call_id; }
std::string message_repr(const PyMessage& m) {
  std::string content = m.record.content ? "Some(" + proto::quote_text(*m.record.content) + ")" : "None";
  return "Message(role=" + std::string(proto::role_str(m.record.role)) + ", content=" + content + ")";
}

// StreamChunk
PyStreamChunk make_stream_chunk(OptionalText content, OptionalToolCalls tool_calls, bool is_final,
                                std::optional<PyUsage> usage) {
  std::optional<proto::Usage> record;
  if (usage) record = usage->record;
  return PyStreamChunk{{std::move(content), records_of(std::move(tool_calls)), is_final, record}};
}
const OptionalText& chunk_content(const PyStreamChunk& c) { return c.record.content; }
OptionalToolCalls chunk_tool_calls(const PyStreamChunk& c) { return wrappers_of(c.record.tool_calls); }
bool chunk_is_final(const PyStreamChunk& c) { return c.record.is_final; }
std::optional<PyUsage> chunk_usage(const PyStreamChunk& c) {
  if (!c.record.usage) return std::nullopt;
  return PyUsage{*c.record.usage};
}

PyMessage echo_message(const PyMessage& msg) { return msg; }
PyStreamChunk echo_stream_chunk(const PyStreamChunk& chunk) { return chunk; }

}  // namespace

const bind::Family& protocol_family() {
  static const bind::Family family{
      bind::Class<PyRole>("Role", "Sender role for a chat message (mirrors ``thalren_protocol::Role``).")
          .variants({{"System", PyRole::System},
                     {"User", PyRole::User},
                     {"Assistant", PyRole::Assistant},
                     {"Tool", PyRole::Tool}})
          .method<"as_str($self)", &role_as_str>(
              "Provider/API string representation (system | user | assistant | tool).")
          .str<&role_as_str>()
          .repr<&role_repr>(),

      bind::Class<PyToolCall>("ToolCall",
                              "A tool invocation requested by the model (mirrors ``thalren_protocol::ToolCall``).\n"
                              "\n"
                              "``arguments`` is carried as a JSON string at the Python boundary.")
          .init<"ToolCall(id, name, arguments=...)", &make_tool_call>()
          .property<"id", &tool_call_id>("The tool call identifier.")
          .property<"name", &tool_call_name>("The name of the tool to invoke.")
          .property<"arguments", &tool_call_arguments>("The tool arguments as a JSON string.")
          .repr<&tool_call_repr>(),

      bind::Class<PyUsage>("Usage", "Token usage statistics (mirrors ``thalren_protocol::Usage``).")
          .init<"Usage(prompt_tokens=0, completion_tokens=0, total_tokens=0)", &make_usage>()
          .property<"prompt_tokens", &usage_prompt>("Tokens in the prompt.")
          .property<"completion_tokens", &usage_completion>("Tokens in the completion.")
          .property<"total_tokens", &usage_total>("Total tokens, as reported by the provider."),

      bind::Class<PyMessage>("Message", "A chat message (mirrors ``thalren_protocol::Message``).")
          .init<"Message(role, content=None, tool_calls=None, tool_call_id=None)", &make_message>()
          .property<"role", &message_role>("The sender role.")
          .property<"content", &message_content>("The text content, or None.")
          .property<"tool_calls", &message_tool_calls>("The tool calls (a new list of new objects), or None.")
          .property<"tool_call_id", &message_tool_call_id>("The id of the tool call this message answers, or None.")
          .repr<&message_repr>(),

      bind::Class<PyStreamChunk>("StreamChunk", "A chunk from a streaming response (mirrors ``thalren_protocol::StreamChunk``).")
          .init<"StreamChunk(content=None, tool_calls=None, is_final=False, usage=None)", &make_stream_chunk>()
          .property<"content", &chunk_content>("The text content, or None.")
          .property<"tool_calls", &chunk_tool_calls>("The tool calls (a new list of new objects), or None.")
          .property<"is_final", &chunk_is_final>("Whether this is the last chunk of the response.")
          .property<"usage", &chunk_usage>("Token usage (a new Usage object), or None."),

      bind::def<"echo_message(msg)", &echo_message>(
          "Echo a Message back unchanged.\n"
          "\n"
          "Shows that the protocol wrapper can be accepted and returned across the native boundary."),
      bind::def<"echo_stream_chunk(chunk)", &echo_stream_chunk>("Echo a StreamChunk back unchanged."),
  };
  return family;
}
