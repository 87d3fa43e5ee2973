#include "core/json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <string>

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

namespace thalren::json {
namespace {

// Builds values from reader events on an explicit stack.
class Builder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Builder> {
 public:
  explicit Builder(std::size_t max_depth) : max_depth_(max_depth) {}

  bool Null() { return put(Value(nullptr)); }
  bool Bool(bool b) { return put(Value(b)); }
  bool Int(int i) { return put(i < 0 ? Value(std::int64_t{i}) : Value(std::uint64_t(i))); }
  bool Uint(unsigned u) { return put(Value(std::uint64_t{u})); }
  bool Int64(std::int64_t i) { return put(i < 0 ? Value(i) : Value(std::uint64_t(i))); }
  bool Uint64(std::uint64_t u) { return put(Value(u)); }
  bool Double(double d) { return put(Value(d)); }
  bool String(const char* s, rapidjson::SizeType n, bool) { return put(Value(std::string(s, n))); }
  bool Key(const char* s, rapidjson::SizeType n, bool) {
    keys_.emplace_back(s, n);
    return true;
  }
  bool StartObject() { return open(Value(Object{})); }
  bool StartArray() { return open(Value(Array{})); }
  bool EndObject(rapidjson::SizeType) {
    Object& members = std::get<Object>(stack_.back().data);
    // Keys already strictly ascending (the common case for generated JSON)
    // need neither sorting nor de-duplication.
    const bool ordered =
        std::adjacent_find(members.begin(), members.end(), [](const Member& a, const Member& b) {
          return !(a.first < b.first);
        }) == members.end();
    if (!ordered) {
      // Sort by key; among equal keys keep the member that came last.
      std::stable_sort(members.begin(), members.end(),
                       [](const Member& a, const Member& b) { return a.first < b.first; });
      auto out = members.begin();
      for (auto it = members.begin(); it != members.end(); ++it) {
        if (out != members.begin() && std::prev(out)->first == it->first) {
          std::prev(out)->second = std::move(it->second);
        } else {
          if (out != it) *out = std::move(*it);
          ++out;
        }
      }
      members.erase(out, members.end());
    }
    return close();
  }
  bool EndArray(rapidjson::SizeType) { return close(); }

  bool depth_exceeded() const { return depth_exceeded_; }
  Value take() { return std::move(result_); }

 private:
  bool put(Value v) {
    if (stack_.empty()) {
      result_ = std::move(v);
      return true;
    }
    Value& top = stack_.back();
    if (auto* arr = std::get_if<Array>(&top.data)) {
      arr->push_back(std::move(v));
    } else {
      std::get<Object>(top.data).emplace_back(std::move(keys_.back()), std::move(v));
      keys_.pop_back();
    }
    return true;
  }
  bool open(Value container) {
    if (stack_.size() >= max_depth_) {
      depth_exceeded_ = true;
      return false;
    }
    stack_.push_back(std::move(container));
    return true;
  }
  bool close() {
    Value done = std::move(stack_.back());
    stack_.pop_back();
    return put(std::move(done));
  }

  std::size_t max_depth_;
  bool depth_exceeded_ = false;
  std::vector<Value> stack_;
  std::vector<std::string> keys_;
  Value result_;
};

std::string position(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  std::size_t line = 1, line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return " at line " + std::to_string(line) + " column " + std::to_string(offset - line_start + 1);
}

}  // namespace

Value parse(std::string_view text, std::size_t max_depth) {
  Builder builder(max_depth);
  rapidjson::Reader reader;
  rapidjson::MemoryStream stream(text.data(), text.size());
  constexpr unsigned kFlags =
      rapidjson::kParseIterativeFlag | rapidjson::kParseFullPrecisionFlag | rapidjson::kParseValidateEncodingFlag;
  rapidjson::ParseResult ok = reader.Parse<kFlags>(stream, builder);
  if (!ok) {
    std::string problem;
    if (builder.depth_exceeded()) {
      problem = "nesting deeper than " + std::to_string(max_depth) + " levels";
    } else {
      problem = rapidjson::GetParseError_En(ok.Code());
      if (!problem.empty() && problem.back() == '.') problem.pop_back();
    }
    // A NUL byte ends RapidJSON's view of the text early; report the rest as trailing data.
    throw ParseError(problem + position(text, ok.Offset()), ok.Offset());
  }
  // MemoryStream stops at the end; RapidJSON treats an embedded NUL as the end.
  if (stream.Tell() < text.size()) {
    std::size_t at = stream.Tell();
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r')) ++at;
    if (at < text.size()) {
      throw ParseError("The document root must not be followed by other values" + position(text, at), at);
    }
  }
  return builder.take();
}

void write_string(std::string_view text, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\u00";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
    }
  }
  out.append(text.data() + run, text.size() - run);
  out.push_back('"');
}

namespace {
struct Writer {
  std::string& out;
  void operator()(std::nullptr_t) const { out += "null"; }
  void operator()(bool b) const { out += b ? "true" : "false"; }
  void operator()(std::int64_t i) const { append_number(i); }
  void operator()(std::uint64_t u) const { append_number(u); }
  void operator()(double d) const {
    if (!std::isfinite(d)) {  // not produced by the reader; keep the output valid JSON
      out += "null";
      return;
    }
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
    std::string_view text(buf, static_cast<std::size_t>(end - buf));
    out += text;
    if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
  }
  void operator()(const std::string& s) const { write_string(s, out); }
  void operator()(const Array& a) const {
    out.push_back('[');
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (i) out.push_back(',');
      std::visit(*this, a[i].data);
    }
    out.push_back(']');
  }
  void operator()(const Object& o) const {
    out.push_back('{');
    for (std::size_t i = 0; i < o.size(); ++i) {
      if (i) out.push_back(',');
      write_string(o[i].first, out);
      out.push_back(':');
      std::visit(*this, o[i].second.data);
    }
    out.push_back('}');
  }
  template <class I>
  void append_number(I v) const {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, end);
  }
};
}  // namespace

void write(const Value& value, std::string& out) { std::visit(Writer{out}, value.data); }

std::string write(const Value& value) {
  std::string out;
  write(value, out);
  return out;
}

}  // namespace thalren::json
