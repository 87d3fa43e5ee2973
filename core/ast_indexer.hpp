// Source-indexing helpers: membership in a fixed set of well-known top-level
// module names (the Python standard library plus a few ubiquitous packages),
// and identifier extraction with an ASCII identifier expression.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/regex.hpp"

namespace thalren::ast_indexer {

// STDLIB_MODULES: the 184 top-level names, built once on first use.
const std::unordered_set<std::string_view>& stdlib_modules();

// IDENTIFIER_REGEX: [A-Za-z_][A-Za-z0-9_]*, compiled once on first use.
const regex::Regex& identifier_regex();

// True if the dotted module name, or its part before the first ".", is in
// STDLIB_MODULES (case-sensitive; an empty name or empty first part is not).
bool is_stdlib_module(std::string_view module_name);

std::vector<bool> batch_is_stdlib_modules(const std::vector<std::string_view>& module_names);

// (stdlib, non-stdlib), each keeping input order and duplicates.
std::pair<std::vector<std::string>, std::vector<std::string>> filter_stdlib_imports(
    const std::vector<std::string_view>& imports);

// Each distinct identifier once, in no particular order.
std::vector<std::string> extract_identifiers(std::string_view source);

struct Identifier {
  std::string name;
  std::size_t start;  // UTF-8 byte offsets, end exclusive
  std::size_t end;
};

// Every identifier match in text order, duplicates included.
std::vector<Identifier> extract_identifiers_with_positions(std::string_view source);

}  // namespace thalren::ast_indexer
