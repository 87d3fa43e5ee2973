#include "core/secrets.hpp"

#include <string.h>  // memmem

#include <algorithm>
#include <stdexcept>
#include <unordered_set>

#include "core/errors.hpp"
#include "core/unicode.hpp"

namespace thalren::secrets {

namespace {

struct RowSpec {
  const char* name;
  const char* severity;
  const char* expression;
};

// The detection rows, in order. Service prefixes are the ones each provider
// documents for that kind of credential.
constexpr RowSpec kRows[] = {
    {"aws_access_key", "high", R"((?i)AKIA[0-9A-Z]{16})"},
    {"aws_secret_key", "critical", R"((?i)(?:aws|amazon).{0,20}['"][0-9a-zA-Z/+]{40}['"])"},
    // Legacy secret keys carry "T3BlbkFJ" (Base64 of the provider's name).
    {"openai_api_key", "high", R"(sk-[a-zA-Z0-9]{20,}T3BlbkFJ[a-zA-Z0-9]{20,})"},
    {"openai_api_key_v2", "high", R"(sk-proj-[a-zA-Z0-9_-]{80,})"},
    {"anthropic_api_key", "high", R"(sk-ant-[a-zA-Z0-9_-]{20,})"},
    {"google_api_key", "high", R"(AIza[0-9A-Za-z_-]{35})"},
    // p personal, o OAuth, u user-to-server, s server-to-server, r refresh.
    {"github_token", "high", R"(gh[pousr]_[A-Za-z0-9_]{36,})"},
    {"github_oauth", "high", R"(gho_[A-Za-z0-9]{36})"},
    // b bot, a app, p user, r refresh, s session.
    {"slack_token", "high", R"(xox[baprs]-[0-9]{10,13}-[0-9]{10,13}[a-zA-Z0-9-]*)"},
    {"slack_webhook", "medium",
     R"(https://hooks\.slack\.com/services/T[A-Z0-9]+/B[A-Z0-9]+/[a-zA-Z0-9]+)"},
    {"discord_token", "high", R"([MN][A-Za-z\d]{23,}\.[\w-]{6}\.[\w-]{27})"},
    {"private_key", "critical", R"(-----BEGIN (?:(?:RSA|EC|DSA|OPENSSH) )?PRIVATE KEY-----)"},
    {"database_url", "critical",
     R"((?i)(?:postgres|mysql|mongodb|redis)://[^\s'"]+:[^\s'"]+@[^\s'"]+)"},
    {"generic_api_key", "medium",
     R"((?i)(?:api[_-]?key|apikey|api[_-]?secret)['":\s=]+['"]?([a-zA-Z0-9_-]{20,})['"]?)"},
    {"generic_password", "medium",
     R"((?i)(?:password|passwd|pwd|secret)['":\s=]+['"]?([^\s'"]{8,})['"]?)"},
    {"jwt_token", "medium", R"(eyJ[A-Za-z0-9_-]+\.eyJ[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+)"},
    {"stripe_key", "high", R"((?:sk|pk)_(?:live|test)_[a-zA-Z0-9]{24,})"},
    {"twilio_sid", "medium", R"(AC[a-f0-9]{32})"},
    {"sendgrid_key", "high", R"(SG\.[a-zA-Z0-9_-]{22}\.[a-zA-Z0-9_-]{43})"},
    {"heroku_api_key", "high",
     R"((?i)heroku.{0,20}['"][0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}['"])"},
};

constexpr std::size_t kRowCount = sizeof(kRows) / sizeof(kRows[0]);
static_assert(kRowCount == 20);

// The expressions are fixed; failing to compile one is a broken build, not a
// user error, so it surfaces as an internal fault.
std::vector<SecretPattern> build_table() {
  std::vector<SecretPattern> rows;
  rows.reserve(kRowCount);
  for (const RowSpec& r : kRows) {
    try {
      rows.push_back(SecretPattern{r.name, regex::Regex(r.expression), r.severity});
    } catch (const ValueError& e) {
      throw std::logic_error(std::string("secret pattern does not compile: ") + r.name);
    }
  }
  return rows;
}

// One-pass membership test over all rows, so has_secrets/get_secret_types
// (and the scan's choice of rows to enumerate) read the text once.
const regex::RegexSet& row_set() {
  static const regex::RegexSet set = [] {
    std::vector<std::string_view> expressions;
    for (const RowSpec& r : kRows) expressions.emplace_back(r.expression);
    try {
      return regex::RegexSet(expressions);
    } catch (const ValueError&) {
      throw std::logic_error("secret pattern set does not compile");
    }
  }();
  return set;
}

// Rows 2-20 as one set, for has_secrets.
const regex::RegexSet& rest_set() {
  static const regex::RegexSet set = [] {
    std::vector<std::string_view> expressions;
    for (std::size_t i = 1; i < kRowCount; ++i) expressions.emplace_back(kRows[i].expression);
    try {
      return regex::RegexSet(expressions);
    } catch (const ValueError&) {
      throw std::logic_error("secret pattern set does not compile");
    }
  }();
  return set;
}

// Offsets at which lines start: 0, then one past every "\n".
std::vector<std::size_t> line_starts(std::string_view text) {
  std::vector<std::size_t> starts{0};
  const char* base = text.data();
  std::size_t pos = 0;
  while (pos < text.size()) {
    const void* nl = memchr(base + pos, '\n', text.size() - pos);
    if (nl == nullptr) break;
    pos = static_cast<std::size_t>(static_cast<const char*>(nl) - base) + 1;
    starts.push_back(pos);
  }
  return starts;
}

template <class Fn>
void for_each_secret(std::string_view text, Fn&& fn) {
  if (text.empty()) return;
  const auto& rows = secret_patterns();
  for (int index : row_set().matching(text)) {
    const SecretPattern& row = rows[static_cast<std::size_t>(index)];
    row.pattern.for_each_match(text, [&](const regex::Match& m) { fn(row, m); });
  }
}

// True if `needle` has a proper border (a non-empty proper prefix that is
// also a suffix), i.e. two of its occurrences can overlap.
bool has_border(std::string_view needle) {
  const std::size_t n = needle.size();
  if (n < 2) return false;
  std::vector<std::size_t> pi(n, 0);
  for (std::size_t i = 1; i < n; ++i) {
    std::size_t k = pi[i - 1];
    while (k > 0 && needle[i] != needle[k]) k = pi[k - 1];
    if (needle[i] == needle[k]) ++k;
    pi[i] = k;
  }
  return pi[n - 1] > 0;
}

// Replaces every non-overlapping occurrence of `needle` (left to right) in
// `s` with `replacement`. Returns whether anything was replaced.
bool replace_all_literal(std::string& s, std::string_view needle, std::string_view replacement) {
  const std::size_t n = needle.size();
  auto find_from = [&](std::size_t from) -> std::size_t {
    if (from > s.size() || s.size() - from < n) return std::string::npos;
    const void* hit = memmem(s.data() + from, s.size() - from, needle.data(), n);
    return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - s.data())
               : std::string::npos;
  };
  std::size_t pos = find_from(0);
  if (pos == std::string::npos) return false;
  if (replacement.size() == n) {
    // Same length: overwrite in place. Bytes after the cursor are untouched,
    // so later searches see the same text a fresh copy would.
    while (pos != std::string::npos) {
      std::copy(replacement.begin(), replacement.end(), s.begin() + static_cast<std::ptrdiff_t>(pos));
      pos = find_from(pos + n);
    }
    return true;
  }
  std::string out;
  out.reserve(s.size() + (replacement.size() > n ? replacement.size() - n : 0) * 4);
  std::size_t copied = 0;
  while (pos != std::string::npos) {
    out.append(s, copied, pos - copied);
    out.append(replacement);
    copied = pos + n;
    pos = find_from(copied);
  }
  out.append(s, copied, std::string::npos);
  s.swap(out);
  return true;
}

}  // namespace

const std::vector<SecretPattern>& secret_patterns() {
  static const std::vector<SecretPattern> table = build_table();
  return table;
}

std::string secret_match_repr(const SecretMatch& m) {
  std::string out = "SecretMatch(type='";
  out += m.secret_type;
  out += "', severity='";
  out += m.severity;
  out += "', line=";
  out += std::to_string(m.line_number);
  out += ')';
  return out;
}

std::vector<SecretMatch> scan_secrets(std::string_view text) {
  std::vector<SecretMatch> out;
  std::vector<std::size_t> lines;
  for_each_secret(text, [&](const SecretPattern& row, const regex::Match& m) {
    if (lines.empty()) lines = line_starts(text);
    SecretMatch s;
    s.secret_type = row.name;
    s.matched_text = std::string(m.text());
    s.severity = row.severity;
    s.start = m.start();
    s.end = m.end();
    // Number of line starts <= start.
    s.line_number = static_cast<std::uint64_t>(
        std::upper_bound(lines.begin(), lines.end(), m.start()) - lines.begin());
    out.push_back(std::move(s));
  });
  return out;
}

bool has_secrets(std::string_view text) {
  if (text.empty()) return false;
  // Rows are tried in table order: row 1 alone, because its literal prefix
  // turns the search into a fast skip loop that finds an early key several
  // times sooner than the combined automaton; then rows 2-20 in one pass
  // instead of nineteen.
  if (secret_patterns().front().pattern.is_match(text)) return true;
  return rest_set().any_match(text);
}

std::vector<std::string> get_secret_types(std::string_view text) {
  std::vector<std::string> out;
  if (text.empty()) return out;
  const auto& rows = secret_patterns();
  for (int index : row_set().matching(text)) {
    out.emplace_back(rows[static_cast<std::size_t>(index)].name);
  }
  return out;
}

std::vector<std::string> list_secret_patterns() {
  std::vector<std::string> out;
  out.reserve(kRowCount);
  for (const RowSpec& r : kRows) out.emplace_back(r.name);
  return out;
}

std::string mask_secrets(std::string_view text, char32_t mask_char, std::uint64_t visible_chars) {
  std::string result(text);
  if (text.empty()) return result;
  const std::string mask = unicode::encode_utf8(mask_char);
  std::string replacement;
  // Texts already replaced that can never reappear in the result: a text
  // without a border and without the mask character cannot be re-formed by
  // any later replacement (every such occurrence would lie in a stretch of
  // unmasked bytes that is a copy of a stretch of the text before).
  std::unordered_set<std::string_view> gone;

  for_each_secret(text, [&](const SecretPattern&, const regex::Match& m) {
    const std::string_view secret = m.text();
    if (gone.count(secret)) return;
    const std::size_t length = secret.size();
    if (length == 0) return;
    // L > 2V, written so that no product can overflow.
    const bool keep_ends = visible_chars <= (length - 1) / 2;
    std::size_t head = 0, tail = length;
    if (keep_ends) {
      const std::size_t v = static_cast<std::size_t>(visible_chars);
      head = unicode::floor_char_boundary(secret, v);
      tail = unicode::ceil_char_boundary(secret, length - v);
    }
    replacement.clear();
    replacement.append(secret.substr(0, head));
    for (std::size_t i = head; i < tail; ++i) replacement.append(mask);
    replacement.append(secret.substr(tail));

    replace_all_literal(result, secret, replacement);
    if (!has_border(secret) && secret.find(mask) == std::string_view::npos) gone.insert(secret);
  });
  return result;
}

SecretSummary scan_secrets_summary(std::string_view text) {
  SecretSummary summary;
  for_each_secret(text, [&](const SecretPattern& row, const regex::Match&) {
    ++summary.total_matches;
    ++summary.by_type[std::string(row.name)];
    ++summary.by_severity[std::string(row.severity)];
  });
  summary.has_secrets = summary.total_matches > 0;
  return summary;
}

}  // namespace thalren::secrets
