// Source-indexing helpers: the well-known module-name set and identifier
// extraction.

#include "core/ast_indexer.hpp"

#include "families.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace ai = thalren::ast_indexer;

namespace {

bool is_stdlib_module(std::string_view module_name) { return ai::is_stdlib_module(module_name); }

std::vector<bool> batch_is_stdlib_modules(std::vector<std::string_view> module_names) {
  return ai::batch_is_stdlib_modules(module_names);
}

std::pair<std::vector<std::string>, std::vector<std::string>> filter_stdlib_imports(
    std::vector<std::string_view> imports) {
  return ai::filter_stdlib_imports(imports);
}

std::vector<std::string> extract_identifiers(std::string_view source) { return ai::extract_identifiers(source); }

std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t>> extract_identifiers_with_positions(
    std::string_view source) {
  std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t>> out;
  for (ai::Identifier& id : ai::extract_identifiers_with_positions(source)) {
    out.emplace_back(std::move(id.name), id.start, id.end);
  }
  return out;
}

}  // namespace

const bind::Family& ast_indexer_family() {
  static const bind::Family family{
      bind::def<"is_stdlib_module(module_name)", &is_stdlib_module>(
          "Check if a module name is a standard library module.\n"
          "\n"
          "Uses O(1) HashSet lookup for the top-level module name.\n"
          "\n"
          "Args:\n"
          "    module_name: Full module name (e.g., \"os.path\", \"typing\")\n"
          "\n"
          "Returns:\n"
          "    True if the module is part of the standard library or a common\n"
          "    third-party package"),
      bind::def<"batch_is_stdlib_modules(module_names)", &batch_is_stdlib_modules>(
          "Check multiple module names for stdlib membership.\n"
          "\n"
          "Processes modules in batch for efficiency."),
      bind::def<"filter_stdlib_imports(imports)", &filter_stdlib_imports>(
          "Partition imports into stdlib and non-stdlib.\n"
          "\n"
          "Returns a tuple (stdlib_imports, non_stdlib_imports), each in input order."),
      bind::def<"extract_identifiers(source)", &extract_identifiers>(
          "Extract all unique identifier references from source code.\n"
          "\n"
          "Uses compiled regex pattern [A-Za-z_][A-Za-z0-9_]*."),
      bind::def<"extract_identifiers_with_positions(source)", &extract_identifiers_with_positions>(
          "Extract identifiers with their positions.\n"
          "\n"
          "Returns a list of (identifier, start, end) tuples with UTF-8 byte offsets."),
  };
  return family;
}
