// JSON values, a strict reader and a compact writer.
//
// Objects keep their members sorted by key (byte-wise order of the UTF-8
// keys); when a text repeats a key, the last member wins. Integers that fit a
// signed or unsigned 64-bit integer keep their exact value; every other number
// is a 64-bit float. The reader accepts exactly one value (surrounding
// whitespace allowed), validates UTF-8, and refuses nesting deeper than the
// limit instead of recursing: it never uses stack in proportion to the input.
#pragma once

#include "core/errors.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace thalren::json {

struct Value;
using Array = std::vector<Value>;
using Member = std::pair<std::string, Value>;
using Object = std::vector<Member>;  // sorted by key, keys unique

struct Value {
  using Storage = std::variant<std::nullptr_t, bool, std::int64_t, std::uint64_t, double, std::string, Array, Object>;
  Storage data = nullptr;

  Value() = default;
  template <class T>
    requires(!std::is_same_v<std::remove_cvref_t<T>, Value>)
  Value(T&& v) : data(std::forward<T>(v)) {}

  bool operator==(const Value&) const = default;
};

inline constexpr std::size_t kDefaultMaxDepth = 128;

// The reader's complaint, worded "<problem> at line L column C" (1-based;
// columns count bytes).
struct ParseError : ValueError {
  ParseError(const std::string& message, std::size_t offset) : ValueError(message), offset(offset) {}
  std::size_t offset;
};

// Parses one JSON value. Throws ParseError.
Value parse(std::string_view text, std::size_t max_depth = kDefaultMaxDepth);

// Appends the compact form: no whitespace, members in stored (sorted) order,
// strings escaped only where JSON requires it, floats in shortest round-trip
// form (always with a '.' or an exponent, so they read back as floats).
void write(const Value& value, std::string& out);
std::string write(const Value& value);

// Appends `text` as a JSON string literal.
void write_string(std::string_view text, std::string& out);

}  // namespace thalren::json
