// Compile-time parsing of text signatures.
//
// A callable is declared by its text signature, e.g. "fit(messages, budget,
// strategy=\"smart\")" or "query($self, vector, k=10)". The signature is the
// first line of the docstring (the interpreter derives __text_signature__
// from it) and the single source of the parameter names and defaults.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace bind {

template <std::size_t N>
struct FixedString {
  char data[N] = {};
  constexpr FixedString(const char (&text)[N]) {
    for (std::size_t i = 0; i < N; ++i) data[i] = text[i];
  }
  constexpr std::string_view view() const { return {data, N - 1}; }
};

inline constexpr std::size_t kMaxParams = 16;

struct ParsedSignature {
  std::string_view name;          // the callable's name before "("
  bool has_self = false;          // first parameter is "$self"
  std::size_t count = 0;          // parameters, "$self" excluded
  std::array<std::string_view, kMaxParams> params{};
  std::array<std::string_view, kMaxParams> defaults{};  // empty: required
  std::size_t required = 0;       // parameters without a default
  bool valid = true;
};

namespace detail {
// Plain loops: std::string_view::find compares pointers into the template
// parameter object with null, which GCC 12 refuses in constant evaluation.
constexpr std::size_t index_of(std::string_view s, char c) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == c) return i;
  }
  return std::string_view::npos;
}
constexpr std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}
}  // namespace detail

// Parses "name(p1, p2=default, ...)". Defaults may contain quoted strings
// (with commas) but no nested brackets.
constexpr ParsedSignature parse_signature(std::string_view sig) {
  ParsedSignature out;
  std::size_t open = detail::index_of(sig, '(');
  if (open == std::string_view::npos || sig.empty() || sig.back() != ')') {
    out.valid = false;
    return out;
  }
  out.name = sig.substr(0, open);
  std::string_view body = sig.substr(open + 1, sig.size() - open - 2);
  std::size_t i = 0;
  bool first = true;
  while (i < body.size()) {
    std::size_t start = i;
    char quote = 0;
    while (i < body.size()) {
      char c = body[i];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '\'' || c == '"') {
        quote = c;
      } else if (c == ',') {
        break;
      }
      ++i;
    }
    std::string_view item = detail::trim(body.substr(start, i - start));
    ++i;  // skip the comma
    if (item.empty()) continue;
    if (first && item == "$self") {
      out.has_self = true;
      first = false;
      continue;
    }
    first = false;
    if (out.count == kMaxParams) {
      out.valid = false;
      return out;
    }
    std::size_t eq = detail::index_of(item, '=');
    if (eq == std::string_view::npos) {
      if (out.count != out.required) out.valid = false;  // required after optional
      out.params[out.count++] = item;
      ++out.required;
    } else {
      out.params[out.count] = detail::trim(item.substr(0, eq));
      out.defaults[out.count] = detail::trim(item.substr(eq + 1));
      ++out.count;
    }
  }
  return out;
}

}  // namespace bind
