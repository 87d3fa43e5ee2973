// Secret scanner: finds credentials (cloud keys, API tokens, private-key
// headers, database URLs with passwords, password and API-key assignments)
// in arbitrary text, and masks them.
//
// Everything works from one process-wide, ordered table of 20 detection rows
// (`secret_patterns()`); the row order decides the order of results and the
// order in which masking is applied. All offsets are UTF-8 byte offsets.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/regex.hpp"

namespace thalren::secrets {

struct SecretPattern {
  std::string_view name;      // the secret type reported to callers
  regex::Regex pattern;
  std::string_view severity;  // "critical", "high" or "medium"
};

// SECRET_PATTERNS: the 20 rows, built once on first use (thread-safe).
const std::vector<SecretPattern>& secret_patterns();

struct SecretMatch {
  std::string secret_type;
  std::string matched_text;
  std::string severity;
  std::uint64_t start = 0;        // byte offset of the first byte
  std::uint64_t end = 0;          // one past the last byte
  std::uint64_t line_number = 0;  // 1-based; only "\n" ends a line
};

// "SecretMatch(type='<type>', severity='<severity>', line=<n>)"
std::string secret_match_repr(const SecretMatch& m);

// Every match of every row: row 1's matches in text order, then row 2's, ...
// Matches of different rows are never merged or de-duplicated.
std::vector<SecretMatch> scan_secrets(std::string_view text);

// True if any row matches anywhere.
bool has_secrets(std::string_view text);

// Names of the rows that match somewhere, in table order, each once.
std::vector<std::string> get_secret_types(std::string_view text);

// The 20 row names in table order.
std::vector<std::string> list_secret_patterns();

// Masks every match. For each row in table order, for each of its matches M
// in the original text (L bytes), the replacement keeps the first and last
// `visible_chars` bytes of M when L > 2 * visible_chars and replaces the
// bytes between them by `mask_char` (one per byte); otherwise every byte of M
// becomes a `mask_char`. Every occurrence of M in the current result is
// replaced (plain substring replace-all, left to right).
//
// A cut that would fall inside a multi-byte character moves outwards from
// the visible part, to the character boundary that hides more: the kept head
// is shortened to the previous boundary and the kept tail starts at the next
// one, so the result is always valid UTF-8 and never reveals more than
// `visible_chars` bytes at either end. Any `visible_chars` (even one whose
// double overflows 64 bits) is accepted; one of at least half the match
// length masks the whole match.
//
// Cost: near-linear in the text plus the occurrences of the secrets, except
// when secrets contain the mask character itself; then each distinct such
// secret costs one pass over the result.
std::string mask_secrets(std::string_view text, char32_t mask_char = U'*',
                         std::uint64_t visible_chars = 4);

struct SecretSummary {
  std::uint64_t total_matches = 0;
  bool has_secrets = false;
  std::unordered_map<std::string, std::uint64_t> by_type;
  std::unordered_map<std::string, std::uint64_t> by_severity;
};

SecretSummary scan_secrets_summary(std::string_view text);

}  // namespace thalren::secrets
