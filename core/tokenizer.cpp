#include "core/tokenizer.hpp"

#include "core/parallel.hpp"
#include "core/unicode.hpp"

#include <array>
#include <cmath>
#include <limits>

namespace thalren::tokenizer {
namespace {

// Byte flags for the single pass over UTF-8. Inside a word only kStop needs a
// branch; punctuation and non-ASCII characters are counted branch-free.
constexpr std::uint8_t kPunct = 1;     // ASCII punctuation
constexpr std::uint8_t kNonAscii = 2;  // lead byte: one character above U+007F
constexpr std::uint8_t kStop = 4;      // ASCII whitespace, or (with kNonAscii) a lead
                                       // byte 0xC2, 0xE1, 0xE2 or 0xE3 that may start White_Space

constexpr std::array<std::uint8_t, 256> make_flags() {
  std::array<std::uint8_t, 256> t{};
  for (int b = 0; b < 256; ++b) {
    std::uint8_t f = 0;
    if ((b >= 0x09 && b <= 0x0D) || b == 0x20) {
      f = kStop;
    } else if ((b >= 33 && b <= 47) || (b >= 58 && b <= 64) || (b >= 91 && b <= 96) || (b >= 123 && b <= 126)) {
      f = kPunct;
    } else if (b == 0xC2 || b == 0xE1 || b == 0xE2 || b == 0xE3) {
      f = kStop | kNonAscii;
    } else if (b >= 0xC0) {
      f = kNonAscii;
    }
    t[static_cast<std::size_t>(b)] = f;
  }
  return t;
}
constexpr std::array<std::uint8_t, 256> kFlags = make_flags();

}  // namespace

std::uint64_t count_tokens_fast(std::string_view text) {
  if (text.empty()) return 0;
  const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* p = begin;
  auto white_space_at = [&](const unsigned char* at) {
    return unicode::white_space_length(text, static_cast<std::size_t>(at - begin));
  };
  const auto* const end = p + text.size();
  double score = 0.0;
  bool any_word = false;
  while (p < end) {
    // Skip whitespace.
    while (p < end && (kFlags[*p] & kStop)) {
      if (!(kFlags[*p] & kNonAscii)) {
        ++p;
      } else if (std::size_t n = white_space_at(p)) {
        p += n;
      } else {
        break;
      }
    }
    if (p == end) break;
    // One word: bytes, ASCII punctuation, characters above U+007F.
    const unsigned char* start = p;
    std::uint64_t punct = 0, non_ascii = 0;
    for (;;) {
      while (p < end) {
        const std::uint8_t f = kFlags[*p];
        if (f & kStop) break;
        punct += f & kPunct;
        non_ascii += f >> 1;
        ++p;
      }
      // ASCII whitespace ends the word; a possible White_Space lead byte ends
      // it only when it does start White_Space.
      if (p == end || !(kFlags[*p] & kNonAscii) || white_space_at(p) != 0) break;
      ++non_ascii;
      ++p;
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
