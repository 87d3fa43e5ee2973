#include "protocol-records/records.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace thalren::protocol {

std::string_view role_str(Role role) {
  switch (role) {
    case Role::System: return "system";
    case Role::User: return "user";
    case Role::Assistant: return "assistant";
    case Role::Tool: return "tool";
  }
  return "user";
}

json::Value parse_arguments(std::string_view text) {
  try {
    return json::parse(text);
  } catch (const json::ParseError& e) {
    throw ValueError(std::string("arguments is not valid JSON: ") + e.what());
  }
}

namespace {
bool printable(UChar32 c) {
  if (c == ' ') return true;
  switch (u_charType(c)) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_UNASSIGNED:
    case U_PRIVATE_USE_CHAR:
    case U_SURROGATE:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
    case U_SPACE_SEPARATOR:
      return false;
    default:
      return !u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND);
  }
}
}  // namespace

std::string quote_text(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const int32_t length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    int32_t start = i;
    UChar32 c;
    U8_NEXT(s, i, length, c);
    switch (c) {
      case '\\': out += "\\\\"; continue;
      case '"': out += "\\\""; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case 0: out += "\\0"; continue;
    }
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else if (c >= 0 && printable(c)) {
      out.append(text.data() + start, static_cast<std::size_t>(i - start));
    } else {
      if (c < 0) c = 0xFFFD;  // not reachable from a Python str
      char digits[8];
      int n = 0;
      do {
        digits[n++] = kHex[c & 15];
        c >>= 4;
      } while (c != 0);
      out += "\\u{";
      while (n > 0) out.push_back(digits[--n]);
      out.push_back('}');
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace thalren::protocol
