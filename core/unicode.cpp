#include "core/unicode.hpp"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <stdexcept>

#include "core/errors.hpp"

namespace thalren::unicode {

// ---- Character properties -------------------------------------------------

bool is_white_space(char32_t c) {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  if (c < 0x85) return false;
  if (c == 0x85 || c == 0xA0 || c == 0x1680) return true;
  if (c < 0x2000) return false;
  if (c <= 0x200A) return true;
  return c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

bool is_alphabetic(char32_t c) {
  if (c < 0x80) return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
  return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_ALPHABETIC);
}

bool is_uppercase(char32_t c) {
  if (c < 0x80) return c >= 'A' && c <= 'Z';
  return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_UPPERCASE);
}

bool is_lowercase(char32_t c) {
  if (c < 0x80) return c >= 'a' && c <= 'z';
  return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_LOWERCASE);
}

bool is_decimal_digit(char32_t c) {
  if (c < 0x80) return c >= '0' && c <= '9';
  return u_charType(static_cast<UChar32>(c)) == U_DECIMAL_DIGIT_NUMBER;
}

bool is_numeric(char32_t c) {
  if (c < 0x80) return c >= '0' && c <= '9';
  int8_t t = u_charType(static_cast<UChar32>(c));
  return t == U_DECIMAL_DIGIT_NUMBER || t == U_LETTER_NUMBER || t == U_OTHER_NUMBER;
}

bool is_word_char(char32_t c) {
  if (c < 0x80) {
    return ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || (c >= '0' && c <= '9') || c == '_';
  }
  UChar32 u = static_cast<UChar32>(c);
  if (u_hasBinaryProperty(u, UCHAR_ALPHABETIC) || u_hasBinaryProperty(u, UCHAR_JOIN_CONTROL)) {
    return true;
  }
  uint32_t mask = U_GET_GC_MASK(u);
  return (mask & (U_GC_M_MASK | U_GC_ND_MASK | U_GC_PC_MASK)) != 0;
}

// ---- UTF-8 ----------------------------------------------------------------

namespace {

inline bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

Decoded decode_at(std::string_view text, std::size_t pos) {
  const std::size_t n = text.size();
  if (pos >= n) return {kReplacementChar, 0};
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  unsigned char b0 = s[pos];
  if (b0 < 0x80) return {b0, 1};
  std::size_t len;
  char32_t cp;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return {kReplacementChar, 1};
  }
  if (n - pos < len) return {kReplacementChar, 1};
  for (std::size_t i = 1; i < len; ++i) {
    unsigned char b = s[pos + i];
    if (!is_continuation(b)) return {kReplacementChar, 1};
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > kMaxCodePoint || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return {kReplacementChar, 1};
  }
  return {cp, len};
}

std::size_t char_length_at(std::string_view text, std::size_t pos) {
  return decode_at(text, pos).length;
}

std::size_t encoded_length(char32_t c) {
  if (c < 0x80) return 1;
  if (c < 0x800) return 2;
  if (c < 0x10000) return 3;
  if (c <= kMaxCodePoint) return 4;
  return 3;  // encoded as U+FFFD
}

void append_utf8(std::string& out, char32_t c) {
  if ((c >= 0xD800 && c <= 0xDFFF) || c > kMaxCodePoint) c = kReplacementChar;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::string encode_utf8(char32_t c) {
  std::string out;
  append_utf8(out, c);
  return out;
}

bool is_valid_utf8(std::string_view text) {
  std::size_t pos = 0;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  while (pos < text.size()) {
    if (s[pos] < 0x80) {
      ++pos;
      continue;
    }
    Decoded d = decode_at(text, pos);
    if (d.code_point == kReplacementChar && d.length == 1) return false;
    pos += d.length;
  }
  return true;
}

bool is_char_boundary(std::string_view text, std::size_t pos) {
  if (pos == 0 || pos >= text.size()) return pos <= text.size();
  return !is_continuation(static_cast<unsigned char>(text[pos]));
}

std::size_t floor_char_boundary(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return text.size();
  // A UTF-8 character is at most 4 bytes, so at most 3 steps back.
  std::size_t limit = pos >= 3 ? pos - 3 : 0;
  while (pos > limit && is_continuation(static_cast<unsigned char>(text[pos]))) --pos;
  return pos;
}

std::size_t ceil_char_boundary(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return text.size();
  std::size_t limit = pos + 3;
  while (pos < text.size() && pos < limit &&
         is_continuation(static_cast<unsigned char>(text[pos]))) {
    ++pos;
  }
  return pos;
}

std::size_t count_chars(std::string_view text) {
  std::size_t count = 0;
  for (char ch : text) count += !is_continuation(static_cast<unsigned char>(ch));
  return count;
}

std::string_view prefix_chars(std::string_view text, std::size_t n) {
  std::size_t pos = 0;
  for (std::size_t i = 0; i < n && pos < text.size(); ++i) pos += decode_at(text, pos).length;
  return text.substr(0, pos);
}

// ---- Case -----------------------------------------------------------------

std::string to_lower(std::string_view text) {
  bool ascii = true;
  for (char ch : text) {
    if (static_cast<unsigned char>(ch) >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (ascii) {
    std::string out(text);
    for (char& ch : out) {
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + ('a' - 'A'));
    }
    return out;
  }
  if (text.size() > static_cast<std::size_t>(INT32_MAX) / 2) {
    throw ValueError("text too large to lower-case");
  }
  // UTF-8 -> UTF-16 (malformed bytes become U+FFFD), lower-case, back.
  UErrorCode status = U_ZERO_ERROR;
  int32_t u16_len = 0;
  u_strFromUTF8WithSub(nullptr, 0, &u16_len, text.data(), static_cast<int32_t>(text.size()),
                       0xFFFD, nullptr, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) {
    throw std::runtime_error("UTF-8 conversion failed");
  }
  std::u16string u16(static_cast<std::size_t>(u16_len), u'\0');
  status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(reinterpret_cast<UChar*>(u16.data()), u16_len, nullptr, text.data(),
                       static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) throw std::runtime_error("UTF-8 conversion failed");

  // Lower-casing can grow a string (at most threefold per code unit).
  std::u16string lower(u16.size() + 16, u'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    status = U_ZERO_ERROR;
    int32_t len = u_strToLower(reinterpret_cast<UChar*>(lower.data()),
                               static_cast<int32_t>(lower.size()),
                               reinterpret_cast<const UChar*>(u16.data()), u16_len, "", &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      lower.assign(static_cast<std::size_t>(len), u'\0');
      continue;
    }
    if (U_FAILURE(status)) throw std::runtime_error("lower-casing failed");
    lower.resize(static_cast<std::size_t>(len));
    break;
  }

  std::string out;
  int32_t u8_len = 0;
  status = U_ZERO_ERROR;
  u_strToUTF8(nullptr, 0, &u8_len, reinterpret_cast<const UChar*>(lower.data()),
              static_cast<int32_t>(lower.size()), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) {
    throw std::runtime_error("UTF-8 conversion failed");
  }
  out.resize(static_cast<std::size_t>(u8_len));
  status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), u8_len, nullptr, reinterpret_cast<const UChar*>(lower.data()),
              static_cast<int32_t>(lower.size()), &status);
  if (U_FAILURE(status)) throw std::runtime_error("UTF-8 conversion failed");
  return out;
}

// ---- White_Space ----------------------------------------------------------

std::size_t leading_white_space_bytes(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t space = white_space_length(text, pos);
    if (space == 0) break;
    pos += space;
  }
  return pos;
}

std::string_view trim_start(std::string_view text) {
  return text.substr(leading_white_space_bytes(text));
}

std::string_view trim_end(std::string_view text) {
  std::size_t end = text.size();
  while (end > 0) {
    std::size_t start = floor_char_boundary(text, end - 1);
    Decoded d = decode_at(text, start);
    if (start + d.length != end || !is_white_space(d.code_point)) break;
    end = start;
  }
  return text.substr(0, end);
}

std::string_view trim(std::string_view text) { return trim_end(trim_start(text)); }

std::vector<std::string_view> split_white_space(std::string_view text) {
  std::vector<std::string_view> words;
  for_each_word(text, [&](std::string_view w) { words.push_back(w); });
  return words;
}

std::size_t count_words(std::string_view text) {
  std::size_t n = 0;
  for_each_word(text, [&](std::string_view) { ++n; });
  return n;
}

}  // namespace thalren::unicode
