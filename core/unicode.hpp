// Unicode helpers shared by the text families: character properties and
// lower-casing from ICU, UTF-8 decoding and encoding, character-boundary
// arithmetic, White_Space trimming and word splitting.
//
// Strings are UTF-8 in std::string / std::string_view. Text coming from Python
// is always valid UTF-8; the decoders still never read out of bounds on
// malformed input (a malformed byte decodes as U+FFFD of length 1).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace thalren::unicode {

inline constexpr char32_t kReplacementChar = 0xFFFD;
inline constexpr char32_t kMaxCodePoint = 0x10FFFF;

// ---- Character properties (ICU) -------------------------------------------

// The White_Space property: U+0009-000D, U+0020, U+0085, U+00A0, U+1680,
// U+2000-200A, U+2028, U+2029, U+202F, U+205F, U+3000. Table-driven, no ICU
// call.
bool is_white_space(char32_t c);
bool is_alphabetic(char32_t c);   // Alphabetic property
bool is_uppercase(char32_t c);    // Uppercase property
bool is_lowercase(char32_t c);    // Lowercase property
bool is_decimal_digit(char32_t c);  // general category Nd
// General categories Nd, Nl or No (what Python's str.isnumeric() accepts for
// most characters).
bool is_numeric(char32_t c);
// Alphabetic, marks, Nd, connector punctuation, Join_Control: the word
// characters of the regular-expression `\w`.
bool is_word_char(char32_t c);

// ---- UTF-8 ----------------------------------------------------------------

struct Decoded {
  char32_t code_point;
  std::size_t length;  // bytes consumed, >= 1 unless pos >= text.size()
};

// Decodes the character starting at byte `pos` (< text.size()).
Decoded decode_at(std::string_view text, std::size_t pos);

// Length in bytes of the character whose lead byte is at `pos`: 1 to 4
// (1 for a malformed or truncated sequence), 0 when pos >= text.size().
std::size_t char_length_at(std::string_view text, std::size_t pos);

// Appends the UTF-8 encoding of `c` (surrogates and values above U+10FFFF are
// encoded as U+FFFD, so the output is always valid UTF-8).
void append_utf8(std::string& out, char32_t c);
std::string encode_utf8(char32_t c);
std::size_t encoded_length(char32_t c);

bool is_valid_utf8(std::string_view text);

// True if `pos` is 0, text.size(), or the offset of a lead byte.
bool is_char_boundary(std::string_view text, std::size_t pos);
// The largest character boundary <= pos (pos clamped to text.size()).
std::size_t floor_char_boundary(std::string_view text, std::size_t pos);
// The smallest character boundary >= pos (pos clamped to text.size()).
std::size_t ceil_char_boundary(std::string_view text, std::size_t pos);

// Number of code points.
std::size_t count_chars(std::string_view text);
// The first `n` code points of `text` (all of it when shorter).
std::string_view prefix_chars(std::string_view text, std::size_t n);

// Calls fn(char32_t code_point, std::size_t byte_offset, std::size_t length)
// for every character.
template <class Fn>
void for_each_char(std::string_view text, Fn&& fn) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    Decoded d = decode_at(text, pos);
    fn(d.code_point, pos, d.length);
    pos += d.length;
  }
}

// ---- Case -----------------------------------------------------------------

// Full Unicode lower-casing in the root locale (ICU u_strToLower with ""):
// final-sigma rule and expansions such as U+0130 -> "i\u0307" apply.
std::string to_lower(std::string_view text);

// ---- White_Space ----------------------------------------------------------

std::string_view trim(std::string_view text);
std::string_view trim_start(std::string_view text);
std::string_view trim_end(std::string_view text);
// Byte length of the run of leading White_Space characters.
std::size_t leading_white_space_bytes(std::string_view text);

// Words: maximal runs of non-White_Space characters, in order.
std::vector<std::string_view> split_white_space(std::string_view text);
std::size_t count_words(std::string_view text);

// Byte length of the White_Space character starting at text[pos] (pos <
// text.size()), or 0 when the character there is not White_Space. Works on
// the bytes without decoding and never reads past the end; a byte that is
// not the start of a White_Space character (a continuation byte included)
// gives 0, so a scan may step over non-space text one byte at a time.
inline std::size_t white_space_length(std::string_view text, std::size_t pos) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + pos;
  const std::size_t left = text.size() - pos;
  const unsigned b0 = p[0];
  if (b0 < 0x80) return b0 == 0x20 || (b0 >= 0x09 && b0 <= 0x0D) ? 1 : 0;
  if (b0 == 0xC2) return left >= 2 && (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;  // U+0085, U+00A0
  if (left < 3) return 0;
  const unsigned b1 = p[1], b2 = p[2];
  switch (b0) {
    case 0xE1:  // U+1680
      return b1 == 0x9A && b2 == 0x80 ? 3 : 0;
    case 0xE2:  // U+2000-200A, U+2028, U+2029, U+202F, U+205F
      if (b1 == 0x80) return (b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF ? 3 : 0;
      return b1 == 0x81 && b2 == 0x9F ? 3 : 0;
    case 0xE3:  // U+3000
      return b1 == 0x80 && b2 == 0x80 ? 3 : 0;
  }
  return 0;
}

// Calls fn(std::string_view word) for each word, without allocating.
template <class Fn>
void for_each_word(std::string_view text, Fn&& fn) {
  std::size_t pos = 0, word_start = 0;
  bool in_word = false;
  while (pos < text.size()) {
    if (const std::size_t space = white_space_length(text, pos)) {
      if (in_word) fn(text.substr(word_start, pos - word_start));
      in_word = false;
      pos += space;
    } else {
      if (!in_word) word_start = pos;
      in_word = true;
      ++pos;
    }
  }
  if (in_word) fn(text.substr(word_start));
}

}  // namespace thalren::unicode
