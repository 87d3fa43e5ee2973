// Token counting: the fast estimate.

#include "core/tokenizer.hpp"

#include "families.hpp"

#include <span>
#include <string_view>
#include <vector>

namespace {

namespace tk = thalren::tokenizer;

std::uint64_t count_tokens_fast(std::string_view text) { return tk::count_tokens_fast(text); }

std::vector<std::uint64_t> count_tokens_fast_batch(std::vector<std::string_view> texts) {
  return tk::count_tokens_fast_batch(texts);
}

constexpr const char kCountTokensFastDoc[] =
    "Fast approximate token count (~90% accuracy).\n"
    "\n"
    "Uses heuristics based on whitespace, punctuation, and typical subword\n"
    "splitting ratios. Useful for quick budget estimation when loading a full\n"
    "BPE model is too expensive.";

constexpr const char kCountTokensFastBatchDoc[] =
    "Count tokens for a batch of texts using the fast heuristic.\n"
    "\n"
    "All texts cross the Python boundary once and are processed in parallel,\n"
    "which saves the per-call overhead of looping over `count_tokens_fast`\n"
    "from Python. Results are identical to calling `count_tokens_fast` on each element.";

}  // namespace

const bind::Family& tokenizer_family() {
  static const bind::Family family{
      bind::def<"count_tokens_fast(text)", &count_tokens_fast>(kCountTokensFastDoc),
      bind::def<"count_tokens_fast_batch(texts)", &count_tokens_fast_batch>(kCountTokensFastBatchDoc),
  };
  return family;
}
