#include "core/regex.hpp"

#include <re2/re2.h>
#include <re2/set.h>
#include <unicode/uset.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "core/errors.hpp"
#include "core/unicode.hpp"

namespace thalren::regex {

namespace {

// ---- Shorthand classes ----------------------------------------------------

struct Range {
  char32_t lo, hi;
};

// Code-point ranges of an ICU set pattern, sorted and disjoint.
std::vector<Range> icu_ranges(const char16_t* pattern, bool complement) {
  UErrorCode status = U_ZERO_ERROR;
  USet* set = uset_openPattern(reinterpret_cast<const UChar*>(pattern), -1, &status);
  if (U_FAILURE(status)) throw std::runtime_error("cannot build Unicode class");
  if (complement) uset_complement(set);
  std::vector<Range> out;
  int32_t n = uset_getRangeCount(set);
  for (int32_t i = 0; i < n; ++i) {
    UChar32 lo, hi;
    status = U_ZERO_ERROR;
    uset_getItem(set, i, &lo, &hi, nullptr, 0, &status);
    if (U_FAILURE(status)) {
      uset_close(set);
      throw std::runtime_error("cannot read Unicode class");
    }
    // Surrogate code points never occur in UTF-8 text; leave them out.
    if (lo < 0xD800 && hi > 0xDFFF) {
      out.push_back({static_cast<char32_t>(lo), 0xD7FF});
      out.push_back({0xE000, static_cast<char32_t>(hi)});
    } else if (lo >= 0xD800 && hi <= 0xDFFF) {
      continue;
    } else if (lo < 0xD800 && hi >= 0xD800) {
      out.push_back({static_cast<char32_t>(lo), 0xD7FF});
    } else if (lo <= 0xDFFF && hi > 0xDFFF) {
      out.push_back({0xE000, static_cast<char32_t>(hi)});
    } else {
      out.push_back({static_cast<char32_t>(lo), static_cast<char32_t>(hi)});
    }
  }
  uset_close(set);
  return out;
}

// The body of a bracket class (without the brackets) listing `ranges`.
std::string class_body(const std::vector<Range>& ranges) {
  std::string body;
  char buf[32];
  for (const Range& r : ranges) {
    if (r.lo == r.hi) {
      std::snprintf(buf, sizeof buf, "\\x{%X}", static_cast<unsigned>(r.lo));
    } else {
      std::snprintf(buf, sizeof buf, "\\x{%X}-\\x{%X}", static_cast<unsigned>(r.lo),
                    static_cast<unsigned>(r.hi));
    }
    body += buf;
  }
  return body;
}

struct ShorthandBodies {
  // Index: 0 = s, 1 = d, 2 = w; [0] positive body, [1] complement body.
  std::string body[3][2];
};

const ShorthandBodies& shorthand_bodies() {
  static const ShorthandBodies bodies = [] {
    ShorthandBodies b;
    const char16_t* patterns[3] = {
        u"[:White_Space:]",
        u"[:Nd:]",
        u"[[:Alphabetic:][:M:][:Nd:][:Pc:][:Join_Control:]]",
    };
    for (int i = 0; i < 3; ++i) {
      b.body[i][0] = class_body(icu_ranges(patterns[i], false));
      b.body[i][1] = class_body(icu_ranges(patterns[i], true));
    }
    return b;
  }();
  return bodies;
}

int shorthand_index(char c) {
  switch (c) {
    case 's': case 'S': return 0;
    case 'd': case 'D': return 1;
    case 'w': case 'W': return 2;
    default: return -1;
  }
}

inline bool is_negated_shorthand(char c) { return c == 'S' || c == 'D' || c == 'W'; }

// ---- Engine options -------------------------------------------------------

RE2::Options engine_options() {
  RE2::Options options;
  options.set_encoding(RE2::Options::EncodingUTF8);
  options.set_log_errors(false);
  options.set_longest_match(false);
  // The Unicode classes make programs larger than RE2's defaults expect;
  // give the program and its lazily built DFA room so searches stay on the
  // fast path. Memory is only used as states are actually built.
  options.set_max_mem(int64_t{64} << 20);
  return options;
}

// RE2 cannot tell an empty group from a missing one when the text pointer is
// null; searching a non-null empty string avoids that.
inline re2::StringPiece piece(std::string_view text) {
  static const char kEmpty[1] = {0};
  return text.data() ? re2::StringPiece(text.data(), text.size()) : re2::StringPiece(kEmpty, 0);
}

}  // namespace

std::string translate_shorthands(std::string_view pattern) {
  std::string out;
  out.reserve(pattern.size());
  const std::size_t n = pattern.size();
  std::size_t i = 0;
  bool in_class = false;
  while (i < n) {
    char c = pattern[i];
    if (c == '\\' && i + 1 < n) {
      char e = pattern[i + 1];
      int idx = shorthand_index(e);
      if (idx >= 0) {
        const ShorthandBodies& b = shorthand_bodies();
        bool neg = is_negated_shorthand(e);
        if (in_class) {
          out += b.body[idx][neg ? 1 : 0];
        } else {
          out += neg ? "[^" : "[";
          out += b.body[idx][0];
          out += ']';
        }
        i += 2;
        continue;
      }
      if (e == 'Q' && !in_class) {
        // Literal run up to \E (or the end): copied untouched.
        std::size_t stop = pattern.find("\\E", i + 2);
        std::size_t upto = stop == std::string_view::npos ? n : stop + 2;
        out.append(pattern.substr(i, upto - i));
        i = upto;
        continue;
      }
      out += c;
      out += e;
      i += 2;
      continue;
    }
    if (!in_class) {
      if (c == '[') {
        in_class = true;
        out += c;
        ++i;
        if (i < n && pattern[i] == '^') out += pattern[i++];
        // A ']' right after the opening bracket (or its '^') is a literal.
        if (i < n && pattern[i] == ']') out += pattern[i++];
        continue;
      }
      out += c;
      ++i;
      continue;
    }
    // Inside a bracket class.
    if (c == '[' && i + 1 < n && pattern[i + 1] == ':') {
      std::size_t stop = pattern.find(":]", i + 2);
      if (stop != std::string_view::npos) {
        out.append(pattern.substr(i, stop + 2 - i));
        i = stop + 2;
        continue;
      }
    }
    if (c == ']') in_class = false;
    out += c;
    ++i;
  }
  return out;
}

// ---- Regex ----------------------------------------------------------------

Regex::Regex(std::string_view pattern) : pattern_(pattern) {
  std::string translated = translate_shorthands(pattern);
  re_ = std::make_unique<re2::RE2>(translated, engine_options());
  if (!re_->ok()) {
    std::string message = "invalid regular expression: " + re_->error();
    if (re_->error_code() == re2::RE2::ErrorPatternTooLarge) {
      message = "regular expression too large";
    }
    throw ValueError(message);
  }
}

Regex::~Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;

int Regex::capture_count() const { return re_->NumberOfCapturingGroups(); }

bool Regex::is_match(std::string_view text) const {
  re2::StringPiece t = piece(text);
  return re_->Match(t, 0, t.size(), re2::RE2::UNANCHORED, nullptr, 0);
}

bool Regex::find(std::string_view text, std::size_t from, Match& out, int groups) const {
  const int available = capture_count();
  if (groups < 0 || groups > available) groups = available;
  const int nsub = groups + 1;
  re2::StringPiece t = piece(text);
  if (from > t.size()) return false;

  // Up to 16 groups live on the stack; more is rare enough to allocate.
  re2::StringPiece stack_sub[17];
  std::vector<re2::StringPiece> heap_sub;
  re2::StringPiece* sub = stack_sub;
  if (nsub > 17) {
    heap_sub.resize(static_cast<std::size_t>(nsub));
    sub = heap_sub.data();
  }
  if (!re_->Match(t, from, t.size(), re2::RE2::UNANCHORED, sub, nsub)) return false;

  out.subject_ = std::string_view(t.data(), t.size());
  out.groups_.resize(static_cast<std::size_t>(nsub));
  for (int g = 0; g < nsub; ++g) {
    Span& s = out.groups_[static_cast<std::size_t>(g)];
    if (sub[g].data() == nullptr) {
      s = Span{};
    } else {
      s.start = static_cast<std::size_t>(sub[g].data() - t.data());
      s.end = s.start + sub[g].size();
      s.matched = true;
    }
  }
  return true;
}

std::vector<Span> Regex::find_all(std::string_view text) const {
  std::vector<Span> spans;
  MatchIterator it(*this, text, 0);
  while (it.next()) spans.push_back(it.match().span(0));
  return spans;
}

std::string Regex::replace_all(std::string_view text, std::string_view replacement) const {
  std::string out;
  std::size_t copied = 0;
  MatchIterator it(*this, text, 0);
  while (it.next()) {
    const Match& m = it.match();
    if (out.empty() && copied == 0) out.reserve(text.size());
    out.append(text.substr(copied, m.start() - copied));
    out.append(replacement);
    copied = m.end();
  }
  if (copied == 0 && out.empty()) return std::string(text);
  out.append(text.substr(copied));
  return out;
}

// ---- MatchIterator --------------------------------------------------------

MatchIterator::MatchIterator(const Regex& re, std::string_view text, int groups)
    : re_(&re), text_(text), groups_(groups) {}

bool MatchIterator::next() {
  while (!done_) {
    if (pos_ > text_.size() || !re_->find(text_, pos_, match_, groups_)) {
      done_ = true;
      return false;
    }
    const std::size_t start = match_.start(), end = match_.end();
    if (start == end) {
      // Resume one whole character later; at the end of the text, stop.
      if (end >= text_.size()) {
        done_ = true;
      } else {
        pos_ = end + unicode::char_length_at(text_, end);
      }
      if (start == last_end_) continue;  // adjacent to the previous match
    } else {
      pos_ = end;
    }
    last_end_ = end;
    return true;
  }
  return false;
}

// ---- RegexSet ---------------------------------------------------------------

struct RegexSet::Impl {
  Impl() : set(engine_options(), re2::RE2::UNANCHORED) {}
  re2::RE2::Set set;
  // Used when the set's automaton runs out of memory on some input.
  std::vector<Regex> fallback;
};

RegexSet::RegexSet(const std::vector<std::string_view>& patterns)
    : impl_(std::make_unique<Impl>()), size_(patterns.size()) {
  for (std::string_view p : patterns) {
    impl_->fallback.emplace_back(p);  // validates, ValueError on a bad pattern
    std::string error;
    if (impl_->set.Add(translate_shorthands(p), &error) < 0) {
      throw ValueError("invalid regular expression: " + error);
    }
  }
  if (!impl_->set.Compile()) throw ValueError("regular expression set too large");
}

RegexSet::~RegexSet() = default;

bool RegexSet::any_match(std::string_view text) const {
  re2::RE2::Set::ErrorInfo info{};
  std::vector<int> hits;
  if (impl_->set.Match(piece(text), nullptr, &info)) return true;
  if (info.kind == re2::RE2::Set::kNoError) return false;
  for (const Regex& re : impl_->fallback) {
    if (re.is_match(text)) return true;
  }
  return false;
}

std::vector<int> RegexSet::matching(std::string_view text) const {
  re2::RE2::Set::ErrorInfo info{};
  std::vector<int> hits;
  if (impl_->set.Match(piece(text), &hits, &info)) {
    std::sort(hits.begin(), hits.end());
    return hits;
  }
  hits.clear();
  if (info.kind == re2::RE2::Set::kNoError) return hits;
  for (std::size_t i = 0; i < impl_->fallback.size(); ++i) {
    if (impl_->fallback[i].is_match(text)) hits.push_back(static_cast<int>(i));
  }
  return hits;
}

}  // namespace thalren::regex
