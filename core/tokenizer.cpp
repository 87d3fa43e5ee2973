#include "core/tokenizer.hpp"

#include "core/parallel.hpp"

#include <array>
#include <cmath>
#include <limits>

namespace thalren::tokenizer {
namespace {

// Byte classes for the single pass over UTF-8.
enum ByteClass : std::uint8_t {
  kWord = 0,         // ASCII letter, digit, control that is not whitespace
  kSpace = 1,        // ASCII whitespace
  kPunct = 2,        // ASCII punctuation
  kLead = 3,         // lead byte of a multi-byte character that is never whitespace
  kMaybeSpace = 4,   // lead byte 0xC2, 0xE1, 0xE2 or 0xE3: may start a White_Space character
  kContinuation = 5  // 10xxxxxx
};

constexpr std::array<std::uint8_t, 256> make_classes() {
  std::array<std::uint8_t, 256> t{};
  for (int b = 0; b < 256; ++b) {
    std::uint8_t c = kWord;
    if ((b >= 0x09 && b <= 0x0D) || b == 0x20) {
      c = kSpace;
    } else if ((b >= 33 && b <= 47) || (b >= 58 && b <= 64) || (b >= 91 && b <= 96) || (b >= 123 && b <= 126)) {
      c = kPunct;
    } else if (b >= 0x80 && b < 0xC0) {
      c = kContinuation;
    } else if (b == 0xC2 || b == 0xE1 || b == 0xE2 || b == 0xE3) {
      c = kMaybeSpace;
    } else if (b >= 0xC0) {
      c = kLead;
    }
    t[static_cast<std::size_t>(b)] = c;
  }
  return t;
}
constexpr std::array<std::uint8_t, 256> kClasses = make_classes();

// Length in bytes of the White_Space character starting at p (lead byte class
// kMaybeSpace), or 0 if the character there is not whitespace.
inline std::size_t multibyte_space(const unsigned char* p, const unsigned char* end) {
  const std::size_t left = static_cast<std::size_t>(end - p);
  if (p[0] == 0xC2) return left >= 2 && (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;
  if (left < 3) return 0;
  const unsigned b1 = p[1], b2 = p[2];
  switch (p[0]) {
    case 0xE1:  // U+1680
      return b1 == 0x9A && b2 == 0x80 ? 3 : 0;
    case 0xE2:  // U+2000-200A, U+2028, U+2029, U+202F, U+205F
      if (b1 == 0x80) return (b2 <= 0x8A && b2 >= 0x80) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF ? 3 : 0;
      return b1 == 0x81 && b2 == 0x9F ? 3 : 0;
    case 0xE3:  // U+3000
      return b1 == 0x80 && b2 == 0x80 ? 3 : 0;
  }
  return 0;
}

}  // namespace

std::uint64_t count_tokens_fast(std::string_view text) {
  if (text.empty()) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  double score = 0.0;
  bool any_word = false;
  while (p < end) {
    // Skip whitespace.
    for (;;) {
      if (p == end) break;
      const std::uint8_t c = kClasses[*p];
      if (c == kSpace) {
        ++p;
      } else if (c == kMaybeSpace) {
        std::size_t n = multibyte_space(p, end);
        if (n == 0) break;
        p += n;
      } else {
        break;
      }
    }
    if (p == end) break;
    // One word: bytes, ASCII punctuation, characters above U+007F.
    const unsigned char* start = p;
    std::uint64_t punct = 0, non_ascii = 0;
    while (p < end) {
      const std::uint8_t c = kClasses[*p];
      if (c == kWord) {
        ++p;
      } else if (c == kPunct) {
        ++punct;
        ++p;
      } else if (c == kContinuation) {
        ++p;
      } else if (c == kLead) {
        ++non_ascii;
        ++p;
      } else if (c == kMaybeSpace) {
        if (multibyte_space(p, end) != 0) break;
        ++non_ascii;
        ++p;
      } else {
        break;  // kSpace
      }
    }
    any_word = true;
    const std::uint64_t length = static_cast<std::uint64_t>(p - start);
    score += 1.0;
    if (length > 10) {
      score += static_cast<double>(length - 10) * 0.25;
    } else if (length > 6) {
      score += 0.3;
    }
    if (punct > 0) score += static_cast<double>(punct) * 0.8;
    if (non_ascii > 0) score += static_cast<double>(non_ascii) * 0.5;
  }
  if (!any_word) return 1;
  const double rounded = std::round(score);
  std::uint64_t count = rounded >= 18446744073709551616.0 ? std::numeric_limits<std::uint64_t>::max()
                                                          : static_cast<std::uint64_t>(rounded);
  return count < 1 ? 1 : count;
}

std::vector<std::uint64_t> count_tokens_fast_batch(std::span<const std::string_view> texts) {
  return parallel::parallel_map<std::uint64_t>(texts.size(), [&](std::size_t i) { return count_tokens_fast(texts[i]); });
}

}  // namespace thalren::tokenizer
