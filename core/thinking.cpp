#include "core/thinking.hpp"

#include <xxhash.h>

#include <algorithm>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>

#include "core/aho_corasick.hpp"
#include "core/unicode.hpp"

namespace thalren::thinking {

namespace {

bool is_ascii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Full Unicode lower-casing, with a fast path for ASCII text.
std::string lower(std::string_view text) {
  if (!is_ascii(text)) return unicode::to_lower(text);
  std::string out(text);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

bool is_alphanumeric(char32_t c) {
  if (c < 0x80) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  }
  return unicode::is_alphabetic(c) || unicode::is_numeric(c);
}

constexpr std::string_view kStopwords[] = {
    "let",   "me",     "i",      "the",    "a",       "an",     "to",      "and",   "of",
    "in",    "for",    "is",     "it",     "this",    "that",   "with",    "be",    "on",
    "as",    "at",     "by",     "from",   "or",      "but",    "not",     "are",   "was",
    "were",  "been",   "being",  "have",   "has",     "had",    "do",      "does",  "did",
    "will",  "would",  "could",  "should", "may",     "might",  "must",    "shall", "can",
    "need",  "now",    "just",   "also",   "very",    "well",   "here",    "there", "when",
    "where", "what",   "which",  "who",    "how",     "why",    "all",     "each",  "every",
    "both",  "few",    "more",   "most",   "other",   "some",   "such",    "no",    "nor",
    "only",  "own",    "same",   "so",     "than",    "too",    "about",   "into",  "through",
    "during", "before", "after", "above",  "below",   "between"};
static_assert(std::size(kStopwords) == 87);

}  // namespace

const std::unordered_set<std::string_view>& get_stopwords() {
  static const std::unordered_set<std::string_view> words(std::begin(kStopwords),
                                                          std::end(kStopwords));
  return words;
}

const aho_corasick::Automaton& get_circular_matcher() {
  static const aho_corasick::Automaton automaton = [] {
    try {
      return aho_corasick::Automaton(
          std::span<const std::string_view>(CIRCULAR_PATTERNS),
          aho_corasick::Options{.semantics = aho_corasick::MatchSemantics::Standard,
                                .ascii_case_insensitive = true});
    } catch (const std::exception&) {
      // A fixed vocabulary that fails to compile is a broken build, not bad input.
      throw std::logic_error("Failed to compile circular patterns");
    }
  }();
  return automaton;
}

std::vector<CircularMatch> find_circular_patterns(std::string_view text) {
  std::vector<CircularMatch> out;
  auto it = get_circular_matcher().iter(text);
  while (std::optional<aho_corasick::Match> m = it.next()) out.push_back({m->start, m->end});
  return out;
}

std::size_t count_circular_patterns(std::string_view text) {
  return get_circular_matcher().count(text);
}

bool detect_circular_phrases(std::string_view text) {
  return get_circular_matcher().is_match(text);
}

// ---------------------------------------------------------------------------

namespace {

bool ascii_white_space(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

bool ascii_alphanumeric(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

std::uint64_t hash_word(std::string_view word) { return XXH3_64bits(word.data(), word.size()); }

constexpr auto keyword_less = [](const ThinkingPattern::Keyword& a,
                                 const ThinkingPattern::Keyword& b) {
  return a.hash != b.hash ? a.hash < b.hash : a.text < b.text;
};

// Collects distinct keywords; an open-addressing table of indexes into the
// word list keeps memory proportional to the distinct words only. Stop words
// are remembered as rejected entries, so every distinct word of a block is
// looked up in the stop-word set once.
class KeywordCollector {
 public:
  void add(std::string_view word) {
    if (word.size() < 4) return;
    const std::uint64_t hash = hash_word(word);
    std::size_t slot = hash & mask_;
    while (slots_[slot].index != 0) {
      // The hash sits in the table, so a probe touches an entry only on a hit.
      if (slots_[slot].hash == hash && entries_[slots_[slot].index - 1].keyword.text == word) return;
      slot = (slot + 1) & mask_;
    }
    const bool keep = get_stopwords().count(word) == 0;
    entries_.push_back({{hash, std::string(word)}, keep});
    kept_ += keep;
    slots_[slot] = {hash, entries_.size()};
    if (entries_.size() * 2 > slots_.size()) grow();
  }

  std::vector<ThinkingPattern::Keyword> take() {
    std::vector<ThinkingPattern::Keyword> out;
    out.reserve(kept_);
    for (Entry& e : entries_) {
      if (e.keep) out.push_back(std::move(e.keyword));
    }
    return out;
  }

 private:
  struct Entry {
    ThinkingPattern::Keyword keyword;
    bool keep;
  };

  struct Slot {
    std::uint64_t hash = 0;
    std::size_t index = 0;  // entry index + 1; 0 = free
  };

  void grow() {
    slots_.assign(slots_.size() * 2, Slot{});
    mask_ = slots_.size() - 1;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const std::uint64_t hash = entries_[i].keyword.hash;
      std::size_t slot = hash & mask_;
      while (slots_[slot].index != 0) slot = (slot + 1) & mask_;
      slots_[slot] = {hash, i + 1};
    }
  }

  std::vector<Entry> entries_;
  std::size_t kept_ = 0;
  std::vector<Slot> slots_ = std::vector<Slot>(256);
  std::size_t mask_ = 255;
};

}  // namespace

ThinkingPattern::ThinkingPattern(std::vector<Keyword> keywords) : keywords_(std::move(keywords)) {
  std::sort(keywords_.begin(), keywords_.end(), keyword_less);
}

bool ThinkingPattern::contains(std::string_view word) const {
  const Keyword probe{hash_word(word), std::string(word)};
  return std::binary_search(keywords_.begin(), keywords_.end(), probe, keyword_less);
}

ThinkingPattern extract_keywords(std::string_view text) {
  KeywordCollector collector;
  char small[64];
  std::string lowered;
  auto take = [&](std::string_view piece, bool ascii) {
    if (!ascii) {
      lowered = unicode::to_lower(piece);
      collector.add(lowered);
    } else if (piece.size() >= 4) {  // ASCII lower-casing keeps the length
      char* out = small;
      if (piece.size() > sizeof small) {
        lowered.resize(piece.size());
        out = lowered.data();
      }
      for (std::size_t i = 0; i < piece.size(); ++i) out[i] = ascii_lower(piece[i]);
      collector.add(std::string_view(out, piece.size()));
    }
  };
  std::size_t pos = 0, piece_start = 0;
  bool in_piece = false, piece_ascii = true;
  while (pos < text.size()) {
    const unsigned char byte = static_cast<unsigned char>(text[pos]);
    bool alnum;
    std::size_t length = 1;
    if (byte < 0x80) {
      alnum = ascii_alphanumeric(byte);
    } else {
      const unicode::Decoded d = unicode::decode_at(text, pos);
      alnum = is_alphanumeric(d.code_point);
      length = d.length;
    }
    if (alnum && !in_piece) {
      piece_start = pos;
      in_piece = true;
      piece_ascii = true;
    } else if (!alnum && in_piece) {
      take(text.substr(piece_start, pos - piece_start), piece_ascii);
      in_piece = false;
    }
    if (alnum && byte >= 0x80) piece_ascii = false;
    pos += length;
  }
  if (in_piece) take(text.substr(piece_start), piece_ascii);
  return ThinkingPattern(collector.take());
}

std::string normalize_block(std::string_view text) {
  // Most text is already normal (words separated by one ASCII space), so
  // copy maximal normal stretches in one piece and only rewrite the
  // whitespace runs that need it.
  std::string out;
  out.reserve(text.size());
  const std::size_t n = text.size();
  // Length of the whitespace character at `pos`, 0 when it is something else.
  auto space_at = [&](std::size_t pos) -> std::size_t {
    const unsigned char byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) return ascii_white_space(byte) ? 1 : 0;
    const unicode::Decoded d = unicode::decode_at(text, pos);
    return unicode::is_white_space(d.code_point) ? d.length : 0;
  };
  // The first whitespace character at or after `pos`: offset and length
  // (n and 0 when there is none).
  auto next_space = [&](std::size_t pos) -> std::pair<std::size_t, std::size_t> {
    while (pos < n) {
      const unsigned char byte = static_cast<unsigned char>(text[pos]);
      if (byte < 0x80) {
        if (ascii_white_space(byte)) return {pos, 1};
        ++pos;
        continue;
      }
      const unicode::Decoded d = unicode::decode_at(text, pos);
      if (unicode::is_white_space(d.code_point)) return {pos, d.length};
      pos += d.length;
    }
    return {n, 0};
  };
  // Byte offset just past the whitespace run that starts at `pos`.
  auto run_end = [&](std::size_t pos) {
    while (pos < n) {
      const std::size_t length = space_at(pos);
      if (length == 0) break;
      pos += length;
    }
    return pos;
  };

  std::size_t copy_from = run_end(0);  // leading whitespace is dropped
  std::size_t pos = copy_from;
  while (pos < n) {
    const auto [at, length] = next_space(pos);
    if (length == 0) break;
    const std::size_t end = run_end(at);
    if (end == n) {  // trailing whitespace is dropped
      out.append(text.substr(copy_from, at - copy_from));
      return out;
    }
    if (!(end == at + 1 && text[at] == ' ')) {
      out.append(text.substr(copy_from, at - copy_from));
      out.push_back(' ');
      copy_from = end;
    }
    pos = end;
  }
  out.append(text.substr(copy_from));
  return out;
}

std::uint64_t block_hash(std::string_view text) {
  std::string normalized = normalize_block(text);
  return XXH3_64bits(normalized.data(), normalized.size());
}

std::string_view categorize_block(std::string_view text) {
  const std::string lowered = lower(text);
  auto has = [&](std::string_view needle) { return lowered.find(needle) != std::string::npos; };
  if (has("read") || has("file") || has("content")) return "file_read";
  if (has("search") || has("find") || has("look for")) return "search";
  if (has("understand") || has("analyze") || has("examine")) return "analysis";
  if (has("implement") || has("create") || has("write")) return "implementation";
  return "general";
}

bool is_stalling_block(std::string_view text) {
  std::string_view line = text.substr(0, text.find('\n'));
  if (line.size() < text.size() && !line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::string_view sentence = unicode::trim(line.substr(0, line.find('.')));
  if (sentence.empty()) return false;
  // Only the head can match a prefix (at most 9 bytes); lower-casing maps every
  // character to at least one byte, and the only context-dependent rule (final
  // sigma) never produces ASCII, so the head's lower case is a prefix of the
  // whole sentence's.
  const std::string head = lower(unicode::prefix_chars(sentence, 16));
  for (std::string_view prefix : STALL_PREFIXES) {
    if (std::string_view(head).starts_with(prefix)) return true;
  }
  return false;
}

Overlap keyword_overlap(const ThinkingPattern& a, const ThinkingPattern& b) {
  if (a.empty() || b.empty()) return {};
  const auto& small = (a.size() <= b.size() ? a : b).keywords();
  const auto& large = (a.size() <= b.size() ? b : a).keywords();
  std::size_t shared = 0;
  if (small.size() * 32 < large.size()) {
    // Very unequal sizes: probe the larger set for each keyword of the smaller.
    for (const ThinkingPattern::Keyword& k : small) {
      shared += std::binary_search(large.begin(), large.end(), k, keyword_less);
    }
  } else {
    auto i = small.begin();
    auto j = large.begin();
    while (i != small.end() && j != large.end()) {
      if (keyword_less(*i, *j)) {
        ++i;
      } else if (keyword_less(*j, *i)) {
        ++j;
      } else {
        ++shared;
        ++i;
        ++j;
      }
    }
  }
  return {shared, a.size() + b.size() - shared};
}

std::uint64_t similarity_percent(const Overlap& overlap) {
  if (overlap.combined == 0) return 0;
  // round(100 * shared / combined) with halves up, in exact integer arithmetic.
  const unsigned __int128 num = static_cast<unsigned __int128>(overlap.shared) * 200 + overlap.combined;
  const unsigned __int128 den = static_cast<unsigned __int128>(overlap.combined) * 2;
  return static_cast<std::uint64_t>(num / den);
}

namespace {

struct Advice {
  std::string_view category;
  std::string_view after_stalling;
  std::string_view after_repetition;
};

constexpr Advice kAdvice[] = {
    {"search",
     "STOP saying 'let me search' - EXECUTE the search tool NOW. State your query and run the "
     "search.",
     "You've already searched for this. Either use the results you have or try a different search "
     "query."},
    {"analysis",
     "STOP saying 'let me analyze' - provide your analysis NOW. Use the information you have.",
     "You've analyzed this enough. Proceed with your current understanding and take action."},
    {"file_read",
     "STOP saying 'let me read' - EXECUTE the read tool NOW. If you've already read the file, use "
     "that content.",
     "You've already read this file. Use the content you have. If you need specific information, "
     "state what you're looking for."},
    {"implementation",
     "STOP planning - EXECUTE the edit/write tool NOW. Write the code based on what you know.",
     "Stop planning and start implementing. Write the code now based on what you know."},
    {"general",
     "STOP stating intent - TAKE ACTION NOW. Execute a tool or provide your response.",
     "Take a different approach or proceed with action. Repeated thinking without progress is "
     "unproductive."},
};

const Advice& advice_for(std::string_view category) {
  for (const Advice& a : kAdvice) {
    if (a.category == category) return a;
  }
  return kAdvice[std::size(kAdvice) - 1];  // anything unknown reads as "general"
}

}  // namespace

std::string generate_guidance(LoopType type, std::uint64_t count, std::string_view category,
                              const Overlap& overlap) {
  const Advice& advice = advice_for(category);
  std::string out;
  switch (type) {
    case LoopType::Stalling:
      out = "STALLING DETECTED: You've stated your intent " + std::to_string(count) +
            " times without taking action. ";
      out += advice.after_stalling;
      return out;
    case LoopType::SemanticSimilarity:
      out = "LOOP DETECTED (semantic, " + std::to_string(similarity_percent(overlap)) +
            "% similar): You've repeated this thought pattern " + std::to_string(count) +
            " times. ";
      break;
    case LoopType::ExactRepetition:
      out = "LOOP DETECTED (exact_repetition): You've repeated this thought pattern " +
            std::to_string(count) + " times. ";
      break;
  }
  out += advice.after_repetition;
  return out;
}

// ---------------------------------------------------------------------------

ThinkingDetector::ThinkingDetector(std::uint64_t repetition_threshold, double similarity_threshold,
                                   std::uint64_t window_size, std::uint64_t stalling_threshold)
    : repetition_threshold_(repetition_threshold),
      similarity_threshold_(similarity_threshold),
      window_size_(window_size),
      stalling_threshold_(stalling_threshold) {}

ThinkingDetector::PatternPtr ThinkingDetector::keywords_for(std::uint64_t hash,
                                                             std::string_view content) {
  if (auto it = lru_index_.find(hash); it != lru_index_.end()) {
    lru_.splice(lru_.begin(), lru_, it->second);
    return it->second->second;
  }
  auto pattern = std::make_shared<const ThinkingPattern>(extract_keywords(content));
  if (lru_.size() >= kKeywordCacheCapacity) {
    lru_index_.erase(lru_.back().first);
    lru_.pop_back();
  }
  lru_.emplace_front(hash, pattern);
  lru_index_.emplace(hash, lru_.begin());
  return pattern;
}

void ThinkingDetector::remember(PatternPtr pattern) {
  // A window of 0 behaves like a window of 1: the latest block is always kept.
  if (!history_.empty() && history_.size() >= window_size_) history_.pop_front();
  history_.push_back(std::move(pattern));
}

LoopVerdict ThinkingDetector::record_thinking(std::string_view content) {
  ++total_analyzed_;
  const std::uint64_t hash = block_hash(content);
  PatternPtr keywords = keywords_for(hash, content);
  const std::string_view category = categorize_block(content);

  if (!is_stalling_block(content)) {
    consecutive_stalls_ = 0;
  } else {
    ++consecutive_stalls_;
    if (consecutive_stalls_ >= stalling_threshold_) {
      ++loops_detected_;
      ++stalling_detected_;
      remember(std::move(keywords));
      return {true, generate_guidance(LoopType::Stalling, consecutive_stalls_, category)};
    }
  }

  const std::uint64_t repeats = ++repeat_counts_[hash];
  if (repeats >= repetition_threshold_) {
    ++loops_detected_;
    ++exact_matches_;
    remember(std::move(keywords));
    return {true, generate_guidance(LoopType::ExactRepetition, repeats, category)};
  }

  Overlap best;
  double best_similarity = 0.0;
  std::uint64_t similar = 0;
  for (const PatternPtr& earlier : history_) {
    const Overlap overlap = keyword_overlap(*keywords, *earlier);
    const double similarity = overlap.similarity();
    if (similarity > best_similarity) {
      best_similarity = similarity;
      best = overlap;
    }
    if (similarity >= similarity_threshold_) ++similar;
  }
  remember(std::move(keywords));

  if (similar >= repetition_threshold_ - 1) {  // wraps for 0: never reports
    ++loops_detected_;
    ++similar_matches_;
    return {true,
            generate_guidance(LoopType::SemanticSimilarity, similar + 1, category, best)};
  }
  return {};
}

DetectorStats ThinkingDetector::get_stats() const {
  DetectorStats s;
  s.total_analyzed = total_analyzed_;
  s.loops_detected = loops_detected_;
  s.exact_matches = exact_matches_;
  s.similar_matches = similar_matches_;
  s.stalling_detected = stalling_detected_;
  s.consecutive_stalls = consecutive_stalls_;
  s.detection_rate = total_analyzed_ == 0 ? 0.0
                                          : static_cast<double>(loops_detected_) /
                                                static_cast<double>(total_analyzed_);
  s.history_size = history_.size();
  s.unique_patterns = repeat_counts_.size();
  return s;
}

void ThinkingDetector::reset() {
  history_.clear();
  repeat_counts_.clear();
  consecutive_stalls_ = 0;
}

void ThinkingDetector::clear_stats() {
  total_analyzed_ = 0;
  loops_detected_ = 0;
  exact_matches_ = 0;
  similar_matches_ = 0;
  stalling_detected_ = 0;
}

}  // namespace thalren::thinking
