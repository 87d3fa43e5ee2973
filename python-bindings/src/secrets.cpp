// The secret scanner: SecretMatch and the six scanning functions.

#include "core/secrets.hpp"

#include "families.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace secrets = thalren::secrets;

namespace {

// One character (one code point) given as a str.
struct MaskChar {
  char32_t value = U'*';
};

}  // namespace

namespace bind {
template <>
struct Caster<MaskChar> {
  MaskChar value;
  bool load(PyObject* src) {
    if (!PyUnicode_Check(src)) return type_mismatch(src, "str");
    if (PyUnicode_GetLength(src) != 1) {
      PyErr_SetString(PyExc_ValueError, "expected a string of length 1");
      return false;
    }
    Py_UCS4 c = PyUnicode_READ_CHAR(src, 0);
    if (c >= 0xD800 && c <= 0xDFFF) {
      // A lone surrogate cannot become UTF-8: let the interpreter raise its
      // UnicodeEncodeError, as for any other text argument.
      if (PyUnicode_AsUTF8AndSize(src, nullptr) == nullptr) return false;
      PyErr_SetString(PyExc_ValueError, "expected a string of length 1");
      return false;
    }
    value.value = static_cast<char32_t>(c);
    return true;
  }
  MaskChar get() const { return value; }
};
}  // namespace bind

namespace {

const std::string& match_type(const secrets::SecretMatch& m) { return m.secret_type; }
const std::string& match_text(const secrets::SecretMatch& m) { return m.matched_text; }
const std::string& match_severity(const secrets::SecretMatch& m) { return m.severity; }
std::uint64_t match_start(const secrets::SecretMatch& m) { return m.start; }
std::uint64_t match_end(const secrets::SecretMatch& m) { return m.end; }
std::uint64_t match_line(const secrets::SecretMatch& m) { return m.line_number; }

std::vector<secrets::SecretMatch> scan_secrets(std::string_view text) { return secrets::scan_secrets(text); }
bool has_secrets(std::string_view text) { return secrets::has_secrets(text); }
std::vector<std::string> get_secret_types(std::string_view text) { return secrets::get_secret_types(text); }
std::vector<std::string> list_secret_patterns() { return secrets::list_secret_patterns(); }

std::string mask_secrets(std::string_view text, MaskChar mask_char, std::uint64_t visible_chars) {
  return secrets::mask_secrets(text, mask_char.value, visible_chars);
}

// {"total_matches", "has_secrets", "by_type", "by_severity"} in that order;
// the inner dicts come from hash maps and have no defined order.
bind::OrderedDict<bind::Ref> scan_secrets_summary(std::string_view text) {
  secrets::SecretSummary s = secrets::scan_secrets_summary(text);
  bind::OrderedDict<bind::Ref> dict;
  dict.add("total_matches", bind::to_python(s.total_matches));
  dict.add("has_secrets", bind::to_python(s.has_secrets));
  dict.add("by_type", bind::to_python(s.by_type));
  dict.add("by_severity", bind::to_python(s.by_severity));
  return dict;
}

}  // namespace

const bind::Family& secrets_family() {
  static const bind::Family family{
      bind::Class<secrets::SecretMatch>("SecretMatch", "A secret found in text by scan_secrets.")
          .property<"secret_type", &match_type>("The kind of secret (the detection row's name).")
          .property<"matched_text", &match_text>("The exact text of the match.")
          .property<"severity", &match_severity>("\"critical\", \"high\" or \"medium\".")
          .property<"start", &match_start>("Byte offset of the match in the UTF-8 text.")
          .property<"end", &match_end>("Byte offset one past the end of the match.")
          .property<"line_number", &match_line>("1-based line on which the match begins.")
          .repr<&secrets::secret_match_repr>(),

      bind::def<"scan_secrets(text)", &scan_secrets>(
          "Scan text for secrets.\n"
          "\n"
          "Returns a list of SecretMatch: every match of every detection pattern, grouped by\n"
          "pattern in table order, each group in text order. Offsets are UTF-8 byte offsets."),
      bind::def<"has_secrets(text)", &has_secrets>(
          "Return True if any detection pattern matches anywhere in text."),
      bind::def<"get_secret_types(text)", &get_secret_types>(
          "Return the names of the detection patterns that match text, in table order, each once."),
      bind::def<"mask_secrets(text, mask_char='*', visible_chars=4)", &mask_secrets>(
          "Mask every secret found in text.\n"
          "\n"
          "A secret longer than 2 * visible_chars bytes keeps its first and last visible_chars\n"
          "bytes and has every byte between them replaced by mask_char; a shorter one is\n"
          "replaced entirely. Cuts never split a character: they move to the boundary that\n"
          "hides more. mask_char must be a single character."),
      bind::def<"list_secret_patterns()", &list_secret_patterns>(
          "Return the names of the detection patterns in table order."),
      bind::def<"scan_secrets_summary(text)", &scan_secrets_summary>(
          "Summarise the secrets in text.\n"
          "\n"
          "Returns a dict with total_matches, has_secrets, by_type (type -> count) and\n"
          "by_severity (severity -> count)."),
  };
  return family;
}
