#include "core/secrets.hpp"

#include <string.h>  // memmem

#include <algorithm>
#include <array>
#include <map>
#include <span>
#include <utility>
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


// ---- masking ------------------------------------------------------------------

// How one secret is masked: the kept head and tail, in bytes of the secret.
// A cut that would split a character moves to the boundary that hides more.
struct MaskRule {
  std::string_view mask;
  std::uint64_t visible;

  std::pair<std::size_t, std::size_t> cuts(std::string_view secret) const {
    const std::size_t length = secret.size();
    // L > 2V, written so that no product can overflow.
    if (length == 0 || visible > (length - 1) / 2) return {0, length};
    const std::size_t v = static_cast<std::size_t>(visible);
    return {unicode::floor_char_boundary(secret, v), unicode::ceil_char_boundary(secret, length - v)};
  }

  void append_replacement(std::string& out, std::string_view secret) const {
    auto [head, tail] = cuts(secret);
    out.append(secret.substr(0, head));
    for (std::size_t i = head; i < tail; ++i) out.append(mask);
    out.append(secret.substr(tail));
  }
};

// Distinct secrets beyond which masking switches to the positional method.
constexpr std::size_t kSubstitutionLimit = 16;

// The masking rule applied literally: for each secret in order, replace every
// occurrence in the current result (left to right, non-overlapping). Costs
// one pass over the result per secret, so repeats are skipped when they
// provably cannot occur any more.
std::string mask_by_substitution(std::string_view text, const std::vector<std::string_view>& secrets,
                                 const MaskRule& rule) {
  std::string result(text);
  std::string replacement;
  std::uint64_t version = 0;  // bumped whenever the result changes
  // A secret absent from the result at a given version (a pass found none).
  std::unordered_map<std::string_view, std::uint64_t> absent_at;
  // Secrets that can never reappear: a text without a border and without the
  // mask character cannot be re-formed by any later replacement (such an
  // occurrence would lie in a stretch of unmasked bytes copied unchanged from
  // the text before, where it was already replaced).
  std::unordered_set<std::string_view> gone;
  for (std::string_view secret : secrets) {
    if (gone.count(secret)) continue;
    auto it = absent_at.find(secret);
    if (it != absent_at.end() && it->second == version) continue;
    replacement.clear();
    rule.append_replacement(replacement, secret);
    if (replace_all_literal(result, secret, replacement)) {
      ++version;
      if (!has_border(secret) && secret.find(rule.mask) == std::string_view::npos) gone.insert(secret);
    } else {
      absent_at[secret] = version;
    }
  }
  return result;
}

// Overlapping occurrences of many literal strings at once (Aho-Corasick with
// sorted sparse edges and a dense root).
class LiteralIndex {
 public:
  explicit LiteralIndex(const std::vector<std::string_view>& patterns) {
    nodes_.push_back(Node{});
    std::vector<std::vector<std::pair<unsigned char, std::uint32_t>>> children(1);
    for (std::uint32_t id = 0; id < patterns.size(); ++id) {
      std::uint32_t node = 0;
      for (char ch : patterns[id]) {
        const auto byte = static_cast<unsigned char>(ch);
        std::uint32_t next = kNone;
        for (auto& [b, child] : children[node]) {
          if (b == byte) next = child;
        }
        if (next == kNone) {
          next = static_cast<std::uint32_t>(nodes_.size());
          nodes_.push_back(Node{});
          nodes_.back().depth = nodes_[node].depth + 1;
          children.emplace_back();
          children[node].emplace_back(byte, next);
        }
        node = next;
      }
      nodes_[node].pattern = id;
    }
    // Flatten the edges, sorted by byte, and fill the dense root row.
    root_.fill(0);
    for (std::uint32_t n = 0; n < nodes_.size(); ++n) {
      auto& list = children[n];
      std::sort(list.begin(), list.end());
      nodes_[n].first_edge = static_cast<std::uint32_t>(edges_.size());
      nodes_[n].edge_count = static_cast<std::uint32_t>(list.size());
      for (auto& [b, child] : list) edges_.push_back(Edge{b, child});
      if (n == 0) {
        for (auto& [b, child] : list) root_[b] = child;
      }
    }
    // Failure and output links, breadth first.
    std::vector<std::uint32_t> queue;
    queue.reserve(nodes_.size());
    for (const Edge& e : edge_range(0)) {
      nodes_[e.child].fail = 0;
      queue.push_back(e.child);
    }
    for (std::size_t qi = 0; qi < queue.size(); ++qi) {
      const std::uint32_t n = queue[qi];
      const std::uint32_t f = nodes_[n].fail;
      nodes_[n].output = nodes_[f].pattern != kNone ? f : nodes_[f].output;
      for (const Edge& e : edge_range(n)) {
        nodes_[e.child].fail = step(f, e.byte);
        queue.push_back(e.child);
      }
    }
  }

  // Calls fn(pattern id, start offset) for every occurrence of every pattern.
  template <class Fn>
  void for_each_occurrence(std::string_view text, Fn&& fn) const {
    std::uint32_t node = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      node = step(node, static_cast<unsigned char>(text[i]));
      for (std::uint32_t out = nodes_[node].pattern != kNone ? node : nodes_[node].output; out != kNone;
           out = nodes_[out].output) {
        fn(nodes_[out].pattern, i + 1 - nodes_[out].depth);
      }
    }
  }

 private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  struct Node {
    std::uint32_t fail = 0;
    std::uint32_t output = kNone;   // nearest proper suffix node ending a pattern
    std::uint32_t pattern = kNone;  // pattern ending here
    std::uint32_t depth = 0;
    std::uint32_t first_edge = 0;
    std::uint32_t edge_count = 0;
  };
  struct Edge {
    unsigned char byte;
    std::uint32_t child;
  };

  std::span<const Edge> edge_range(std::uint32_t n) const {
    return {edges_.data() + nodes_[n].first_edge, nodes_[n].edge_count};
  }
  std::uint32_t child(std::uint32_t n, unsigned char byte) const {
    if (n == 0) return root_[byte];  // 0 when absent
    auto range = edge_range(n);
    auto it = std::lower_bound(range.begin(), range.end(), byte,
                               [](const Edge& e, unsigned char b) { return e.byte < b; });
    return it != range.end() && it->byte == byte ? it->child : kNone;
  }
  std::uint32_t step(std::uint32_t n, unsigned char byte) const {
    while (n != 0) {
      std::uint32_t c = child(n, byte);
      if (c != kNone) return c;
      n = nodes_[n].fail;
    }
    return root_[byte];
  }

  std::vector<Node> nodes_;
  std::vector<Edge> edges_;
  std::array<std::uint32_t, 256> root_{};
};

// The same rule computed on positions of the original text, exact when no
// secret contains the mask character. Then the result is the text with some
// bytes masked, each masked byte shown as one mask character, and an
// occurrence of a secret in the current result is exactly an occurrence in
// the original text none of whose bytes is masked yet (the mask character is
// a whole character that the secret does not contain). So every occurrence is
// found once up front, and each replace-all walks that secret's live
// occurrences instead of the whole result.
std::string mask_by_position(std::string_view text, const std::vector<std::string_view>& secrets,
                             const std::unordered_set<std::string_view>& distinct, const MaskRule& rule) {
  std::vector<std::string_view> patterns(distinct.begin(), distinct.end());
  std::unordered_map<std::string_view, std::uint32_t> id_of;
  for (std::uint32_t i = 0; i < patterns.size(); ++i) id_of.emplace(patterns[i], i);

  std::vector<std::vector<std::size_t>> live(patterns.size());  // ascending starts
  LiteralIndex(patterns).for_each_occurrence(text, [&](std::uint32_t id, std::size_t start) {
    live[id].push_back(start);
  });

  std::map<std::size_t, std::size_t> masked;  // disjoint [start, end) ranges
  auto overlaps_mask = [&](std::size_t a, std::size_t b) {
    auto it = masked.lower_bound(b);
    if (it == masked.begin()) return false;
    --it;
    return it->second > a;
  };

  std::vector<bool> done(patterns.size(), false);
  for (std::string_view secret : secrets) {
    const std::uint32_t id = id_of.at(secret);
    if (done[id]) continue;
    const std::size_t length = secret.size();
    const auto [head, tail] = rule.cuts(secret);
    std::vector<std::size_t>& occurrences = live[id];
    std::size_t kept = 0, resume = 0;
    bool replaced = false;
    for (std::size_t start : occurrences) {
      if (overlaps_mask(start, start + length)) continue;  // destroyed for good
      if (start < resume) {
        occurrences[kept++] = start;  // skipped by this pass, may match later
        continue;
      }
      if (head < tail) masked.emplace(start + head, start + tail);
      resume = start + length;
      replaced = true;
    }
    occurrences.resize(kept);
    // Masked bytes only accumulate, so a pass that replaces nothing means
    // the secret never occurs again.
    if (!replaced) done[id] = true;
  }

  std::string out;
  std::size_t masked_bytes = 0;
  for (auto& [a, b] : masked) masked_bytes += b - a;
  out.reserve(text.size() + masked_bytes * (rule.mask.size() - 1));
  std::size_t copied = 0;
  for (auto& [a, b] : masked) {
    out.append(text.substr(copied, a - copied));
    for (std::size_t i = a; i < b; ++i) out.append(rule.mask);
    copied = b;
  }
  out.append(text.substr(copied));
  return out;
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
  if (text.empty()) return std::string();
  std::vector<std::string_view> secrets;  // every match, in processing order
  for_each_secret(text, [&](const SecretPattern&, const regex::Match& m) {
    if (!m.text().empty()) secrets.push_back(m.text());
  });
  if (secrets.empty()) return std::string(text);

  const std::string mask = unicode::encode_utf8(mask_char);
  const MaskRule rule{mask, visible_chars};
  bool mask_inside_a_secret = false;
  std::unordered_set<std::string_view> distinct;
  for (std::string_view s : secrets) {
    if (distinct.insert(s).second && s.find(mask) != std::string_view::npos) mask_inside_a_secret = true;
  }
  // Both strategies give the same result; substitution is cheapest for a
  // handful of secrets, the positional one stays near-linear for many.
  if (mask_inside_a_secret || distinct.size() <= kSubstitutionLimit) {
    return mask_by_substitution(text, secrets, rule);
  }
  return mask_by_position(text, secrets, distinct, rule);
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
