#include "core/aho_corasick.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <limits>
#include <mutex>
#include <string>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/errors.hpp"

namespace thalren::aho_corasick {
namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// Bytes of leftmost-longest look-ahead that may be re-read beyond the text
// consumed before iteration switches to the linear block method.
constexpr std::size_t kRereadSlack = std::size_t{1} << 16;

std::uint8_t fold_byte(std::uint8_t b) {
  return (b >= 'A' && b <= 'Z') ? static_cast<std::uint8_t>(b + ('a' - 'A')) : b;
}

// One step past the character that starts at `p`, never beyond `limit`.
// A UTF-8 lead byte takes its continuation bytes along; any other byte
// (ASCII, a stray continuation byte, an invalid lead) is a character of its
// own, so invalid input still advances by at least one byte.
std::size_t next_boundary(std::string_view text, std::size_t p,
                          std::size_t limit) {
  const auto lead = static_cast<std::uint8_t>(text[p]);
  std::size_t width = 1;
  if (lead >= 0xF0 && lead <= 0xF7) {
    width = 4;
  } else if (lead >= 0xE0) {
    width = lead <= 0xEF ? 3 : 1;
  } else if (lead >= 0xC0) {
    width = 2;
  }
  std::size_t q = p + 1;
  while (q < p + width && q < limit &&
         (static_cast<std::uint8_t>(text[q]) & 0xC0) == 0x80) {
    ++q;
  }
  return std::min(q, limit);
}

// Skips ahead to the next byte that can begin a match. Only used while the
// automaton sits in its start state, where every other byte leaves it there.
// Up to three distinct start bytes are searched for with vector compares
// (memchr for one); more are tested through a byte table, which costs one
// independent load per byte instead of the dependent load chain of the
// transition table.
class StartBytePrefilter {
 public:
  StartBytePrefilter() = default;
  explicit StartBytePrefilter(const std::array<bool, 256>& starts) {
    int distinct = 0;
    for (int b = 0; b < 256; ++b) {
      if (!starts[b]) continue;
      table_[b] = 1;
      if (distinct < 3) bytes_[distinct] = static_cast<std::uint8_t>(b);
      ++distinct;
    }
    count_ = distinct <= 3 ? distinct : 0;
    enabled_ = distinct > 0 && distinct < 256;
  }
  bool enabled() const { return enabled_; }
  // Average skip (bytes) below which the prefilter costs more than it saves.
  std::size_t min_average_skip() const { return count_ > 0 ? 16 : 8; }

  // First position >= i holding a start byte, or n.
  std::size_t find(const std::uint8_t* hay, std::size_t i, std::size_t n) const {
    if (count_ == 0) {
      const std::uint8_t* t = table_.data();
      while (i < n && t[hay[i]] == 0) ++i;
      return i;
    }
    return find_bytes(hay, i, n);
  }

 private:
  std::size_t find_bytes(const std::uint8_t* hay, std::size_t i, std::size_t n) const {
    if (count_ == 1) {
      const void* hit = std::memchr(hay + i, bytes_[0], n - i);
      return hit ? static_cast<const std::uint8_t*>(hit) - hay : n;
    }
#if defined(__SSE2__)
    const __m128i b0 = _mm_set1_epi8(static_cast<char>(bytes_[0]));
    const __m128i b1 = _mm_set1_epi8(static_cast<char>(bytes_[1]));
    const __m128i b2 = _mm_set1_epi8(static_cast<char>(bytes_[count_ == 3 ? 2 : 1]));
    while (i + 16 <= n) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i));
      const __m128i eq =
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, b0), _mm_cmpeq_epi8(v, b1)), _mm_cmpeq_epi8(v, b2));
      const int mask = _mm_movemask_epi8(eq);
      if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
      i += 16;
    }
#endif
    while (i < n && table_[hay[i]] == 0) ++i;
    return i;
  }

  std::array<std::uint8_t, 256> table_{};
  std::array<std::uint8_t, 3> bytes_{};
  int count_ = 0;  // 1-3: vector search for these bytes; 0: table
  bool enabled_ = false;
};

// Applies the prefilter each time a scan is back at the root, and gives up on
// it for the rest of the scan when it keeps stopping after a few bytes: then
// the plain table walk is cheaper (each return to the root also costs a
// mispredicted branch).
class RootSkipper {
 public:
  explicit RootSkipper(const StartBytePrefilter& p)
      : prefilter_(p), min_average_(p.min_average_skip()), active_(p.enabled()) {}
  bool active() const { return active_; }
  std::size_t skip(const std::uint8_t* hay, std::size_t i, std::size_t n) {
    const std::size_t j = prefilter_.find(hay, i, n);
    ++calls_;
    skipped_ += j - i;
    if ((calls_ & 31) == 0 && skipped_ < calls_ * min_average_) active_ = false;
    return j;
  }

 private:
  const StartBytePrefilter& prefilter_;
  std::size_t calls_ = 0;
  std::size_t skipped_ = 0;
  std::size_t min_average_;
  bool active_;
};

}  // namespace

struct Automaton::Impl {
  Options options;
  std::size_t pattern_count = 0;
  std::uint32_t empty_pattern = kNone;  // lowest index of an empty pattern
  bool has_nonempty = false;
  std::size_t trie_states = 0;  // root plus one per distinct prefix

  std::array<std::uint8_t, 256> byte_class{};
  std::uint32_t class_count = 1;

  // States are numbered dead (0), then the match states, then the rest
  // starting with the root, so one comparison tells whether a step needs
  // attention. In the dense form ids are premultiplied by class_count.
  bool dense = true;
  std::uint32_t root = 0;
  // Per special state (index id / class_count, or id in the sparse form):
  std::vector<std::uint32_t> match_pattern;
  std::vector<std::uint32_t> match_length;

  // Dense form.
  std::vector<std::uint32_t> table;

  // Sparse form: children in CSR layout plus failure links; the root keeps a
  // full row since nearly every scan step passes through it.
  std::vector<std::uint32_t> fail;
  std::vector<std::uint32_t> edge_offset;
  std::vector<std::uint16_t> edge_class;
  std::vector<std::uint32_t> edge_target;
  std::vector<std::uint32_t> root_row;

  StartBytePrefilter prefilter;

  // Standard semantics: every pattern ending at a match state, for
  // overlapping enumeration. A special state's outputs start at the terminal
  // state first_output[s] (its longest pattern); each terminal state holds
  // its own patterns (own_patterns[own_offset[t] .. own_offset[t + 1]]) and
  // links to the next shorter terminal suffix (0: none).
  std::vector<std::uint32_t> first_output;
  std::vector<std::uint32_t> next_output;
  std::vector<std::uint32_t> own_offset;
  std::vector<std::uint32_t> own_patterns;
  std::vector<std::uint32_t> empty_patterns;  // every empty pattern, in order

  std::size_t max_length = 0;  // longest pattern, in bytes
  // Leftmost-longest: the patterns reversed (concatenated, with offsets), to
  // build on first need the automaton of the linear block method.
  std::string reversed_bytes;
  std::vector<std::size_t> reversed_offsets;
  mutable std::once_flag reverse_once;
  mutable std::unique_ptr<Automaton> reverse;

  // The reversed-pattern automaton, built on first call (thread-safe);
  // nullptr for standard semantics or when it exceeds the state limit.
  const Impl* reverse_impl() const;

  void build(std::span<const std::string_view> patterns);
  std::optional<Match> find_nonempty(std::string_view hay, std::size_t from) const;
  bool any_nonempty(std::string_view hay, std::size_t from) const;
  std::size_t count_standard(std::string_view hay) const;
  // Calls f(Match) for every iterated match; no empty pattern allowed.
  template <class F>
  void for_each_nonempty(std::string_view hay, F&& f) const;
};

namespace {

// Step functions over the two layouts, so each scan loop is written once.
struct DenseStep {
  const Automaton::Impl& a;
  std::uint32_t next(std::uint32_t q, std::uint8_t b) const {
    return a.table[q + a.byte_class[b]];
  }
  std::uint32_t index(std::uint32_t q) const { return q / a.class_count; }
};

struct SparseStep {
  const Automaton::Impl& a;
  std::uint32_t next(std::uint32_t q, std::uint8_t b) const {
    const std::uint16_t c = a.byte_class[b];
    for (;;) {
      if (q == a.root) return a.root_row[c];
      const std::uint32_t lo = a.edge_offset[q];
      const std::uint32_t hi = a.edge_offset[q + 1];
      const std::uint16_t* first = a.edge_class.data() + lo;
      const std::uint16_t* last = a.edge_class.data() + hi;
      const std::uint16_t* it = std::lower_bound(first, last, c);
      if (it != last && *it == c) return a.edge_target[it - a.edge_class.data()];
      q = a.fail[q];
      if (q == 0) return 0;  // dead
    }
  }
  std::uint32_t index(std::uint32_t q) const { return q; }
};

// The scan loops rely on the state numbering: ids below the root are match
// states (or dead), ids above it are ordinary states. Each loop runs in two
// phases: while the prefilter pays, it skips from every return to the root;
// once it does not, a plain walk with a single comparison per byte takes over.

// Walks from the root to the first match state and returns it (an id below
// the root), with `i` just past the byte that reached it; returns a state at
// or above the root when the text ends first.
template <class Step>
[[gnu::always_inline]] inline std::uint32_t walk_to_first_match(const Automaton::Impl& a, Step step,
                                                                const std::uint8_t* hay, std::size_t n,
                                                                std::size_t& i, RootSkipper& skipper) {
  const std::uint32_t root = a.root;
  std::uint32_t q = root;
  while (i < n && skipper.active()) {
    i = skipper.skip(hay, i, n);
    if (i >= n) break;
    q = step.next(root, hay[i++]);
    while (q > root && i < n) q = step.next(q, hay[i++]);
    if (q < root) break;
  }
  while (q >= root && i < n) q = step.next(q, hay[i++]);
  return q;
}

template <class Step>
[[gnu::always_inline]] inline std::optional<Match> find_standard(const Automaton::Impl& a, Step step,
                                                                 const std::uint8_t* hay, std::size_t n,
                                                                 std::size_t i, RootSkipper& skipper) {
  const std::uint32_t q = walk_to_first_match(a, step, hay, n, i, skipper);
  if (q < a.root) {
    const std::uint32_t s = step.index(q);
    return Match{a.match_pattern[s], i - a.match_length[s], i};
  }
  return std::nullopt;
}

// `reach` (if given) receives how far the walk read, look-ahead included.
template <class Step>
[[gnu::always_inline]] inline std::optional<Match> find_leftmost(const Automaton::Impl& a, Step step,
                                                                 const std::uint8_t* hay, std::size_t n,
                                                                 std::size_t i, RootSkipper& skipper,
                                                                 std::size_t* reach = nullptr) {
  const std::uint32_t root = a.root;
  std::uint32_t q = walk_to_first_match(a, step, hay, n, i, skipper);
  if (q >= root) return std::nullopt;
  // After it: keep extending while a longer or earlier match is possible.
  // The walk never returns to the root from here (every later state extends
  // a match starting no later) and stops at the dead state.
  std::optional<Match> last;
  for (;;) {
    if (q == 0) break;
    if (q < root) {
      const std::uint32_t s = step.index(q);
      last = Match{a.match_pattern[s], i - a.match_length[s], i};
    }
    if (i >= n) break;
    q = step.next(q, hay[i++]);
  }
  if (reach != nullptr) *reach = i;
  return last;
}

template <class Step>
bool any_match(const Automaton::Impl& a, Step step, const std::uint8_t* hay, std::size_t n,
               std::size_t i) {
  RootSkipper skipper(a.prefilter);
  return walk_to_first_match(a, step, hay, n, i, skipper) < a.root;
}

template <class Step>
std::size_t count_std(const Automaton::Impl& a, Step step, const std::uint8_t* hay, std::size_t n) {
  const std::uint32_t root = a.root;
  RootSkipper skipper(a.prefilter);
  std::size_t count = 0;
  std::size_t i = 0;
  while (i < n && skipper.active()) {
    i = skipper.skip(hay, i, n);
    if (i >= n) break;
    std::uint32_t q = step.next(root, hay[i++]);
    while (q > root && i < n) q = step.next(q, hay[i++]);
    // A match restarts the search at its end, from the root.
    if (q < root) ++count;
  }
  std::uint32_t q = root;
  while (i < n) {
    q = step.next(q, hay[i++]);
    if (q < root) {
      ++count;
      q = root;
    }
  }
  return count;
}

// Leftmost-longest iteration in guaranteed linear time, for texts where the
// forward walk keeps re-reading its look-ahead (a long pattern that almost
// matches everywhere). A standard automaton over the reversed patterns, run
// backwards over a block, gives at each position the longest pattern
// starting there; the non-overlapping selection is then a forward pass over
// the block. Blocks overlap by the longest pattern, so the extra reading is
// bounded. With empty patterns, positions without a longer match give the
// empty match at each character boundary.
template <class Step, class F>
void leftmost_by_blocks(const Automaton::Impl& a, const Automaton::Impl& r, Step rstep,
                        std::string_view text, std::size_t i, F&& f) {
  const auto* hay = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  const bool empties = a.empty_pattern != kNone;
  const std::size_t block = std::max<std::size_t>(std::size_t{1} << 16, a.max_length);
  std::vector<std::uint32_t> length(block + 3);
  std::vector<std::uint32_t> pattern(block + 3);
  while (i < n) {
    const std::size_t begin = i;
    std::size_t end = std::min(n, begin + block);
    // End blocks on a character boundary (a lead byte takes at most three
    // continuation bytes), so stepping over a character stays in the block.
    for (int extra = 0; extra < 3 && end < n && (hay[end] & 0xC0) == 0x80; ++extra) ++end;
    const std::size_t scan_end = a.max_length > 0 ? std::min(n, end + a.max_length - 1) : end;
    std::fill(length.begin(), length.begin() + static_cast<std::ptrdiff_t>(end - begin), 0);
    if (r.has_nonempty) {
      std::uint32_t q = r.root;
      for (std::size_t k = scan_end; k-- > begin;) {
        q = rstep.next(q, hay[k]);
        if (k < end && q < r.root) {
          const std::uint32_t s = rstep.index(q);
          length[k - begin] = r.match_length[s];
          pattern[k - begin] = r.match_pattern[s];
        }
      }
    }
    std::size_t j = begin;
    while (j < end) {
      const std::uint32_t len = length[j - begin];
      if (len > 0) {
        f(Match{pattern[j - begin], j, j + len});
        j += len;
        continue;
      }
      if (!empties) {
        ++j;
        continue;
      }
      f(Match{a.empty_pattern, j, j});
      // One character on, but never past the start of a longer match.
      std::size_t next = next_boundary(text, j, n);
      for (std::size_t k = j + 1; k < next && k < end; ++k) {
        if (length[k - begin] > 0) {
          next = k;
          break;
        }
      }
      j = next;
    }
    i = j;
  }
  if (empties && i == n) f(Match{a.empty_pattern, n, n});
}

template <class F>
void leftmost_linear(const Automaton::Impl& a, const Automaton::Impl& r, std::string_view text,
                     std::size_t from, F&& f) {
  if (r.dense) {
    leftmost_by_blocks(a, r, DenseStep{r}, text, from, f);
  } else {
    leftmost_by_blocks(a, r, SparseStep{r}, text, from, f);
  }
}

// Every non-overlapping match of the non-empty patterns, with one prefilter
// budget for the whole text. Leftmost-longest switches to the block method
// once the look-ahead re-read exceeds the text consumed (plus some slack).
template <class Step, class F>
void each_match(const Automaton::Impl& a, Step step, std::string_view text, F&& f) {
  const auto* hay = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  const bool leftmost = a.options.semantics == MatchSemantics::LeftmostLongest;
  RootSkipper skipper(a.prefilter);
  std::size_t i = 0;
  std::size_t reread = 0;
  bool watch = leftmost;
  while (i < n) {
    std::size_t reach = 0;
    const std::optional<Match> m = leftmost ? find_leftmost(a, step, hay, n, i, skipper, &reach)
                                            : find_standard(a, step, hay, n, i, skipper);
    if (!m) return;
    f(*m);
    i = m->end;
    if (watch) {
      reread += reach - i;
      if (reread > i + kRereadSlack) {
        if (const Automaton::Impl* r = a.reverse_impl()) {
          leftmost_linear(a, *r, text, i, f);
          return;
        }
        watch = false;
      }
    }
  }
}

// Overlapping enumeration over a standard automaton.
template <class Step, class F>
void each_overlapping(const Automaton::Impl& a, Step step, std::string_view text, F&& f) {
  const auto* hay = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  const bool empties = !a.empty_patterns.empty();
  auto emit_empty = [&](std::size_t at) {
    for (const std::uint32_t p : a.empty_patterns) f(Match{p, at, at});
  };
  if (empties) emit_empty(0);
  if (!a.has_nonempty) {
    for (std::size_t i = 0; i < n; ++i) {
      if (i + 1 == n || (hay[i + 1] & 0xC0) != 0x80) emit_empty(i + 1);
    }
    return;
  }
  const std::uint32_t root = a.root;
  RootSkipper skipper(a.prefilter);
  std::uint32_t q = root;
  std::size_t i = 0;
  while (i < n) {
    if (q == root && !empties && skipper.active()) {
      i = skipper.skip(hay, i, n);
      if (i >= n) break;
    }
    q = step.next(q, hay[i++]);
    if (q < root) {
      for (std::uint32_t t = a.first_output[step.index(q)]; t != 0; t = a.next_output[t]) {
        const std::size_t len = a.match_length[t];
        for (std::uint32_t k = a.own_offset[t]; k < a.own_offset[t + 1]; ++k) {
          f(Match{a.own_patterns[k], i - len, i});
        }
      }
    }
    if (empties && (i == n || (hay[i] & 0xC0) != 0x80)) emit_empty(i);
  }
}

}  // namespace

void Automaton::Impl::build(std::span<const std::string_view> patterns) {
  if (patterns.size() > kMaxPatterns) {
    throw ValueError("Too many patterns: " + std::to_string(patterns.size()) +
                     " exceeds the limit of " + std::to_string(kMaxPatterns));
  }
  pattern_count = patterns.size();
  const bool fold = options.ascii_case_insensitive;
  const bool leftmost = options.semantics == MatchSemantics::LeftmostLongest;

  // Byte classes: bytes that occur in no pattern are interchangeable; with
  // folding an upper-case letter shares its lower-case letter's class.
  std::array<bool, 256> used{};
  std::array<bool, 256> starts{};
  for (std::size_t p = 0; p < patterns.size(); ++p) {
    const std::string_view pat = patterns[p];
    if (pat.empty()) {
      if (empty_pattern == kNone) empty_pattern = static_cast<std::uint32_t>(p);
      empty_patterns.push_back(static_cast<std::uint32_t>(p));
      continue;
    }
    has_nonempty = true;
    max_length = std::max(max_length, pat.size());
    for (const char ch : pat) {
      const auto b = static_cast<std::uint8_t>(ch);
      used[fold ? fold_byte(b) : b] = true;
    }
    const auto first = static_cast<std::uint8_t>(pat[0]);
    const std::uint8_t f = fold ? fold_byte(first) : first;
    starts[f] = true;
    if (fold && f >= 'a' && f <= 'z') starts[f - ('a' - 'A')] = true;
  }
  trie_states = 1;
  if (leftmost) {
    reversed_offsets.reserve(patterns.size() + 1);
    reversed_offsets.push_back(0);
    for (const std::string_view pat : patterns) {
      reversed_bytes.append(pat.rbegin(), pat.rend());
      reversed_offsets.push_back(reversed_bytes.size());
    }
  }
  if (!has_nonempty) return;

  class_count = 1;
  for (int b = 0; b < 256; ++b) {
    if (used[b]) {
      byte_class[b] = static_cast<std::uint8_t>(class_count);
      ++class_count;
    }
  }
  // 256 used bytes leave class 0 empty; fold it away so classes fit a byte.
  if (class_count == 257) {
    for (int b = 0; b < 256; ++b) --byte_class[b];
    class_count = 256;
  }
  if (fold) {
    for (int b = 'A'; b <= 'Z'; ++b) byte_class[b] = byte_class[b + ('a' - 'A')];
  }
  prefilter = StartBytePrefilter(starts);

  // Trie over byte classes. Builder ids: 0 dead, 1 root, then in creation
  // order. Children are linked lists; the root's children are a full row.
  struct Node {
    std::uint32_t first_edge = kNone;
    std::uint32_t depth = 0;
    std::uint32_t pattern = kNone;
  };
  struct Edge {
    std::uint32_t next;
    std::uint32_t target;
    std::uint16_t cls;
  };
  std::vector<Node> nodes(2);
  std::vector<Edge> edges;
  std::vector<std::uint32_t> terminal_of(patterns.size(), kNone);
  std::vector<std::uint32_t> root_children(class_count, kNone);
  const std::size_t limit = options.state_limit;

  auto child_of = [&](std::uint32_t s, std::uint16_t c) -> std::uint32_t {
    if (s == 1) return root_children[c];
    for (std::uint32_t e = nodes[s].first_edge; e != kNone; e = edges[e].next) {
      if (edges[e].cls == c) return edges[e].target;
    }
    return kNone;
  };

  for (std::size_t p = 0; p < patterns.size(); ++p) {
    const std::string_view pat = patterns[p];
    if (pat.empty()) continue;
    std::uint32_t s = 1;
    for (const char ch : pat) {
      const std::uint16_t c = byte_class[static_cast<std::uint8_t>(ch)];
      std::uint32_t t = child_of(s, c);
      if (t == kNone) {
        if (nodes.size() - 1 >= limit) {
          throw ValueError("Pattern set too large: the automaton needs more than " +
                           std::to_string(limit) + " states");
        }
        t = static_cast<std::uint32_t>(nodes.size());
        nodes.push_back(Node{kNone, nodes[s].depth + 1, kNone});
        if (s == 1) {
          root_children[c] = t;
        } else {
          edges.push_back(Edge{nodes[s].first_edge, t, c});
          nodes[s].first_edge = static_cast<std::uint32_t>(edges.size() - 1);
        }
      }
      s = t;
    }
    if (nodes[s].pattern == kNone) nodes[s].pattern = static_cast<std::uint32_t>(p);
    terminal_of[p] = s;
  }
  trie_states = nodes.size() - 1;
  const std::size_t total = nodes.size();

  // Breadth-first order, failure links and the reported match per state.
  // Standard: the failure link is the longest proper suffix in the trie and
  // a state reports its own pattern or else its failure state's (the longest
  // pattern ending here). Leftmost-longest: a match state fails to dead,
  // which spreads to everything below it, so once a match is seen only
  // extensions of a match starting no later survive.
  std::vector<std::uint32_t> order;
  order.reserve(total);
  std::vector<std::uint32_t> fail_b(total, 1);
  std::vector<std::uint32_t> out(total, kNone);  // reported builder state
  fail_b[0] = 0;
  order.push_back(1);
  for (std::size_t head = 0; head < order.size(); ++head) {
    const std::uint32_t s = order[head];
    auto visit = [&](std::uint16_t c, std::uint32_t t) {
      order.push_back(t);
      std::uint32_t f;
      if (leftmost && nodes[t].pattern != kNone) {
        f = 0;
      } else if (s == 1) {
        f = 1;
      } else {
        f = fail_b[s];
        for (;;) {
          if (f == 0) break;
          const std::uint32_t g = child_of(f, c);
          if (g != kNone) {
            f = g;
            break;
          }
          if (f == 1) break;
          f = fail_b[f];
        }
      }
      fail_b[t] = f;
      out[t] = nodes[t].pattern != kNone ? t : (f > 1 ? out[f] : kNone);
    };
    if (s == 1) {
      for (std::uint16_t c = 0; c < class_count; ++c) {
        if (root_children[c] != kNone) visit(c, root_children[c]);
      }
    } else {
      for (std::uint32_t e = nodes[s].first_edge; e != kNone; e = edges[e].next) {
        visit(edges[e].cls, edges[e].target);
      }
    }
  }

  // Renumber: dead, match states, root, the rest; within each group in
  // depth-first order, so the states along one word sit close together in
  // the table.
  std::vector<std::uint32_t> depth_first;
  depth_first.reserve(total);
  {
    std::vector<std::uint32_t> stack{1};
    while (!stack.empty()) {
      const std::uint32_t s = stack.back();
      stack.pop_back();
      depth_first.push_back(s);
      if (s == 1) {
        for (std::uint32_t c = class_count; c-- > 0;) {
          if (root_children[c] != kNone) stack.push_back(root_children[c]);
        }
      } else {
        for (std::uint32_t e = nodes[s].first_edge; e != kNone; e = edges[e].next) {
          stack.push_back(edges[e].target);
        }
      }
    }
  }
  std::vector<std::uint32_t> new_id(total);
  std::uint32_t next_id = 1;
  for (const std::uint32_t s : depth_first) {
    if (out[s] != kNone) new_id[s] = next_id++;
  }
  const std::uint32_t specials = next_id;
  for (const std::uint32_t s : depth_first) {
    if (out[s] == kNone) new_id[s] = next_id++;
  }
  new_id[0] = 0;
  match_pattern.assign(specials, kNone);
  match_length.assign(specials, 0);
  for (const std::uint32_t s : order) {
    if (out[s] != kNone) {
      match_pattern[new_id[s]] = nodes[out[s]].pattern;
      match_length[new_id[s]] = nodes[out[s]].depth;
    }
  }
  if (!leftmost) {
    first_output.assign(specials, 0);
    next_output.assign(specials, 0);
    own_offset.assign(static_cast<std::size_t>(specials) + 1, 0);
    for (const std::uint32_t s : order) {
      if (out[s] == kNone) continue;
      first_output[new_id[s]] = new_id[out[s]];
      if (out[s] == s && fail_b[s] > 1 && out[fail_b[s]] != kNone) {
        next_output[new_id[s]] = new_id[out[fail_b[s]]];
      }
    }
    for (const std::uint32_t t : terminal_of) {
      if (t != kNone) ++own_offset[new_id[t] + 1];
    }
    for (std::size_t i = 1; i < own_offset.size(); ++i) own_offset[i] += own_offset[i - 1];
    own_patterns.resize(own_offset.back());
    std::vector<std::uint32_t> fill(own_offset.begin(), own_offset.end() - 1);
    for (std::size_t p = 0; p < terminal_of.size(); ++p) {
      if (terminal_of[p] != kNone) own_patterns[fill[new_id[terminal_of[p]]]++] = static_cast<std::uint32_t>(p);
    }
  }

  const std::size_t table_entries = total * class_count;
  // Premultiplied ids must also fit 32 bits.
  dense = table_entries <= options.dense_limit_bytes / sizeof(std::uint32_t) &&
          table_entries < std::numeric_limits<std::uint32_t>::max();
  if (dense) {
    const std::uint32_t k = class_count;
    table.assign(table_entries, 0);  // the dead row loops to itself
    // Rows in breadth-first order, so a failure state's row is complete
    // before any state that falls back on it.
    for (const std::uint32_t s : order) {
      std::uint32_t* row = table.data() + static_cast<std::size_t>(new_id[s]) * k;
      if (s == 1) {
        const std::uint32_t self = new_id[1] * k;
        for (std::uint32_t c = 0; c < k; ++c) {
          row[c] = root_children[c] != kNone ? new_id[root_children[c]] * k : self;
        }
        continue;
      }
      const std::uint32_t f = fail_b[s];
      const std::uint32_t* frow =
          table.data() + static_cast<std::size_t>(new_id[f]) * k;
      std::copy(frow, frow + k, row);
      for (std::uint32_t e = nodes[s].first_edge; e != kNone; e = edges[e].next) {
        row[edges[e].cls] = new_id[edges[e].target] * k;
      }
    }
    root = new_id[1] * k;
  } else {
    fail.assign(total, 0);
    edge_offset.assign(total + 1, 0);
    for (std::uint32_t s = 1; s < total; ++s) {
      fail[new_id[s]] = new_id[fail_b[s]];
      if (s == 1) continue;
      for (std::uint32_t e = nodes[s].first_edge; e != kNone; e = edges[e].next) {
        ++edge_offset[new_id[s] + 1];
      }
    }
    for (std::size_t i = 1; i <= total; ++i) edge_offset[i] += edge_offset[i - 1];
    edge_class.resize(edge_offset[total]);
    edge_target.resize(edge_offset[total]);
    std::vector<std::pair<std::uint16_t, std::uint32_t>> kids;
    for (std::uint32_t s = 2; s < total; ++s) {
      kids.clear();
      for (std::uint32_t e = nodes[s].first_edge; e != kNone; e = edges[e].next) {
        kids.emplace_back(edges[e].cls, new_id[edges[e].target]);
      }
      std::sort(kids.begin(), kids.end());
      std::uint32_t at = edge_offset[new_id[s]];
      for (const auto& [c, t] : kids) {
        edge_class[at] = c;
        edge_target[at] = t;
        ++at;
      }
    }
    root = new_id[1];
    root_row.assign(class_count, root);
    for (std::uint32_t c = 0; c < class_count; ++c) {
      if (root_children[c] != kNone) root_row[c] = new_id[root_children[c]];
    }
  }
}

std::optional<Match> Automaton::Impl::find_nonempty(std::string_view hay,
                                                    std::size_t from) const {
  if (!has_nonempty || from >= hay.size()) return std::nullopt;
  const auto* data = reinterpret_cast<const std::uint8_t*>(hay.data());
  const bool leftmost = options.semantics == MatchSemantics::LeftmostLongest;
  RootSkipper skipper(prefilter);
  if (dense) {
    return leftmost ? find_leftmost(*this, DenseStep{*this}, data, hay.size(), from, skipper)
                    : find_standard(*this, DenseStep{*this}, data, hay.size(), from, skipper);
  }
  return leftmost ? find_leftmost(*this, SparseStep{*this}, data, hay.size(), from, skipper)
                  : find_standard(*this, SparseStep{*this}, data, hay.size(), from, skipper);
}

bool Automaton::Impl::any_nonempty(std::string_view hay, std::size_t from) const {
  if (!has_nonempty || from >= hay.size()) return false;
  const auto* data = reinterpret_cast<const std::uint8_t*>(hay.data());
  return dense ? any_match(*this, DenseStep{*this}, data, hay.size(), from)
               : any_match(*this, SparseStep{*this}, data, hay.size(), from);
}

std::size_t Automaton::Impl::count_standard(std::string_view hay) const {
  if (!has_nonempty) return 0;
  const auto* data = reinterpret_cast<const std::uint8_t*>(hay.data());
  return dense ? count_std(*this, DenseStep{*this}, data, hay.size())
               : count_std(*this, SparseStep{*this}, data, hay.size());
}

template <class F>
void Automaton::Impl::for_each_nonempty(std::string_view hay, F&& f) const {
  if (!has_nonempty) return;
  if (dense) {
    each_match(*this, DenseStep{*this}, hay, f);
  } else {
    each_match(*this, SparseStep{*this}, hay, f);
  }
}

// ---------------------------------------------------------------------------

namespace {
std::vector<std::string_view> views_of(std::span<const std::string> patterns) {
  return std::vector<std::string_view>(patterns.begin(), patterns.end());
}
}  // namespace

Automaton::Automaton(std::span<const std::string_view> patterns, Options options)
    : impl_(std::make_unique<Impl>()) {
  impl_->options = options;
  impl_->build(patterns);
}

Automaton::Automaton(std::span<const std::string> patterns, Options options)
    : Automaton(std::span<const std::string_view>(views_of(patterns)), options) {}

Automaton::Automaton(std::initializer_list<std::string_view> patterns,
                     Options options)
    : Automaton(std::span<const std::string_view>(patterns.begin(), patterns.size()),
                options) {}

Automaton::~Automaton() = default;
Automaton::Automaton(Automaton&&) noexcept = default;
Automaton& Automaton::operator=(Automaton&&) noexcept = default;

std::size_t Automaton::pattern_count() const { return impl_->pattern_count; }
MatchSemantics Automaton::semantics() const { return impl_->options.semantics; }
bool Automaton::ascii_case_insensitive() const {
  return impl_->options.ascii_case_insensitive;
}
std::size_t Automaton::state_count() const { return impl_->trie_states; }
bool Automaton::is_dense() const { return impl_->dense; }

std::size_t Automaton::memory_usage() const {
  const Impl& a = *impl_;
  return sizeof(Impl) + a.table.capacity() * 4 + a.fail.capacity() * 4 +
         a.edge_offset.capacity() * 4 + a.edge_class.capacity() * 2 +
         a.edge_target.capacity() * 4 + a.root_row.capacity() * 4 +
         a.match_pattern.capacity() * 4 + a.match_length.capacity() * 4 +
         a.first_output.capacity() * 4 + a.next_output.capacity() * 4 + a.own_offset.capacity() * 4 +
         a.own_patterns.capacity() * 4 + a.reversed_bytes.capacity() + a.reversed_offsets.capacity() * 8;
}

std::optional<Match> Automaton::find(std::string_view haystack,
                                     std::size_t from) const {
  const Impl& a = *impl_;
  from = std::min(from, haystack.size());
  if (a.empty_pattern != kNone) {
    const Match empty{a.empty_pattern, from, from};
    if (a.options.semantics == MatchSemantics::Standard) return empty;
    // Leftmost-longest: only a non-empty match starting right here is longer.
    auto m = a.find_nonempty(haystack, from);
    if (m && m->start == from) return m;
    return empty;
  }
  return a.find_nonempty(haystack, from);
}

bool Automaton::is_match(std::string_view haystack, std::size_t from) const {
  if (impl_->empty_pattern != kNone) return true;
  return impl_->any_nonempty(haystack, std::min(from, haystack.size()));
}

MatchIterator::MatchIterator(const Automaton& automaton, std::string_view haystack,
                             std::size_t from)
    : automaton_(&automaton),
      haystack_(haystack),
      pos_(std::min(from, haystack.size())) {}

std::optional<Match> MatchIterator::next() {
  if (done_) return std::nullopt;
  const Automaton::Impl& a = *automaton_->impl_;
  const std::size_t n = haystack_.size();
  if (a.empty_pattern == kNone) {
    auto m = a.find_nonempty(haystack_, pos_);
    if (!m) {
      done_ = true;
      return std::nullopt;
    }
    pos_ = m->end;
    return m;
  }
  if (a.options.semantics == MatchSemantics::LeftmostLongest) {
    // The next non-empty match is the same from every position up to its
    // start, so search once and hand out empty matches until it is reached.
    if (!pending_known_) {
      pending_ = a.find_nonempty(haystack_, pos_);
      pending_known_ = true;
    }
    if (pending_ && pending_->start == pos_) {
      const Match m = *pending_;
      pos_ = m.end;
      pending_known_ = false;
      return m;
    }
  }
  const Match empty{a.empty_pattern, pos_, pos_};
  if (pos_ >= n) {
    done_ = true;
  } else {
    const std::size_t limit = pending_ ? pending_->start : n;
    pos_ = next_boundary(haystack_, pos_, std::max(limit, pos_ + 1));
  }
  return empty;
}

const Automaton::Impl* Automaton::Impl::reverse_impl() const {
  if (reversed_offsets.empty()) return nullptr;
  std::call_once(reverse_once, [this] {
    std::vector<std::string_view> reversed;
    reversed.reserve(reversed_offsets.size() - 1);
    for (std::size_t p = 0; p + 1 < reversed_offsets.size(); ++p) {
      reversed.push_back(std::string_view(reversed_bytes)
                             .substr(reversed_offsets[p], reversed_offsets[p + 1] - reversed_offsets[p]));
    }
    Options o = options;
    o.semantics = MatchSemantics::Standard;
    try {
      reverse = std::make_unique<Automaton>(std::span<const std::string_view>(reversed), o);
    } catch (const ValueError&) {
      // Over the state limit: iteration keeps the forward walk.
    }
  });
  return reverse ? reverse->impl_.get() : nullptr;
}

void Automaton::visit(std::string_view haystack, Visitor visitor, void* context) const {
  const Impl& a = *impl_;
  auto forward = [&](const Match& m) { visitor(context, m); };
  if (a.empty_pattern == kNone) {
    a.for_each_nonempty(haystack, forward);
    return;
  }
  if (const Impl* r = a.reverse_impl()) {
    leftmost_linear(a, *r, haystack, 0, forward);
    return;
  }
  MatchIterator it(*this, haystack);
  while (auto m = it.next()) visitor(context, *m);
}

void Automaton::visit_overlapping(std::string_view haystack, Visitor visitor, void* context) const {
  const Impl& a = *impl_;
  if (a.options.semantics != MatchSemantics::Standard) {
    throw std::logic_error("overlapping matches need standard semantics");
  }
  auto forward = [&](const Match& m) { visitor(context, m); };
  if (a.dense) {
    each_overlapping(a, DenseStep{a}, haystack, forward);
  } else {
    each_overlapping(a, SparseStep{a}, haystack, forward);
  }
}

std::vector<Match> Automaton::find_all(std::string_view haystack) const {
  std::vector<Match> out;
  for_each_match(haystack, [&](const Match& m) { out.push_back(m); });
  return out;
}

std::size_t Automaton::count(std::string_view haystack) const {
  const Impl& a = *impl_;
  if (a.empty_pattern == kNone && a.options.semantics == MatchSemantics::Standard) {
    return a.count_standard(haystack);
  }
  std::size_t total = 0;
  for_each_match(haystack, [&](const Match&) { ++total; });
  return total;
}

namespace {
template <class Pick>
std::string replace_with(const Automaton& ac, std::string_view haystack, Pick pick) {
  std::string out;
  out.reserve(haystack.size());
  std::size_t copied = 0;
  ac.for_each_match(haystack, [&](const Match& m) {
    out.append(haystack.substr(copied, m.start - copied));
    out.append(pick(m.pattern));
    copied = m.end;
  });
  out.append(haystack.substr(copied));
  return out;
}

void check_replacement_count(std::size_t expected, std::size_t got) {
  if (expected != got) {
    throw ValueError("Expected " + std::to_string(expected) + " replacements, got " +
                     std::to_string(got));
  }
}
}  // namespace

std::string Automaton::replace_all(std::string_view haystack,
                                   std::string_view replacement) const {
  return replace_with(*this, haystack, [&](std::uint32_t) { return replacement; });
}

std::string Automaton::replace_all(
    std::string_view haystack, std::span<const std::string_view> replacements) const {
  check_replacement_count(pattern_count(), replacements.size());
  return replace_with(*this, haystack,
                      [&](std::uint32_t p) { return replacements[p]; });
}

std::string Automaton::replace_all(std::string_view haystack,
                                   std::span<const std::string> replacements) const {
  check_replacement_count(pattern_count(), replacements.size());
  return replace_with(*this, haystack, [&](std::uint32_t p) {
    return std::string_view(replacements[p]);
  });
}

}  // namespace thalren::aho_corasick
