// Token counting.
//
// `count_tokens_fast` is a cheap estimate of the number of model tokens in a
// text, for budget decisions where a real byte-pair-encoding model would cost
// too much: every whitespace-separated word (Unicode White_Space) counts one,
// plus surcharges for long words, ASCII punctuation and non-ASCII characters,
// summed in 64-bit floating point and rounded once (halves away from zero).
// The empty text counts 0; any other text at least 1.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace thalren::tokenizer {

std::uint64_t count_tokens_fast(std::string_view text);

// Element i is count_tokens_fast(texts[i]); computed in the worker pool.
std::vector<std::uint64_t> count_tokens_fast_batch(std::span<const std::string_view> texts);

}  // namespace thalren::tokenizer
