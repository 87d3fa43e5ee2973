#include "core/ast_indexer.hpp"

#include <stdexcept>

#include "core/errors.hpp"

namespace thalren::ast_indexer {

namespace {

constexpr std::string_view kModules[] = {
    "abc", "asyncio", "builtins", "collections", "contextlib", "copy", "dataclasses",
    "datetime", "decimal", "enum", "functools", "gc", "hashlib", "heapq", "importlib",
    "inspect", "io", "itertools", "json", "logging", "math", "operator", "os", "pathlib",
    "pickle", "platform", "pprint", "queue", "random", "re", "secrets", "shutil", "signal",
    "socket", "sqlite3", "ssl", "string", "struct", "subprocess", "sys", "tempfile",
    "threading", "time", "traceback", "typing", "unittest", "urllib", "uuid", "warnings",
    "weakref", "xml", "zipfile", "zlib",
    // Separately installed, but ubiquitous enough to index like the stdlib.
    "typing_extensions", "numpy", "pandas", "requests", "aiohttp", "httpx", "pydantic",
    "pytest", "mock",
    "argparse", "array", "ast", "atexit", "base64", "binascii", "bisect", "bz2", "calendar",
    "cmath", "codecs", "concurrent", "configparser", "contextvars", "csv", "ctypes", "curses",
    "dbm", "difflib", "dis", "doctest", "email", "encodings", "errno", "faulthandler", "fcntl",
    "filecmp", "fileinput", "fnmatch", "fractions", "ftplib", "getopt", "getpass", "gettext",
    "glob", "graphlib", "grp", "gzip", "hmac", "html", "http", "imaplib", "imghdr",
    "ipaddress", "keyword", "linecache", "locale", "lzma", "mailbox", "mimetypes", "mmap",
    "modulefinder", "multiprocessing", "netrc", "nis", "nntplib", "numbers", "optparse",
    "parser", "pdb", "pkgutil", "poplib", "posix", "posixpath", "profile", "pstats", "pty",
    "pwd", "py_compile", "pyclbr", "pydoc", "readline", "reprlib", "resource", "rlcompleter",
    "runpy", "sched", "select", "selectors", "shelve", "shlex", "site", "smtpd", "smtplib",
    "sndhdr", "socketserver", "spwd", "stat", "statistics", "stringprep", "sunau", "symtable",
    "sysconfig", "syslog", "tabnanny", "tarfile", "telnetlib", "termios", "test", "textwrap",
    "timeit", "tkinter", "token", "tokenize", "trace", "tracemalloc", "tty", "turtle", "types",
    "unicodedata", "uu", "venv", "wave", "webbrowser", "winreg", "winsound", "wsgiref",
    "xdrlib", "xmlrpc", "zipapp", "zipimport", "zoneinfo",
};
static_assert(sizeof(kModules) / sizeof(kModules[0]) == 184);

}  // namespace

const std::unordered_set<std::string_view>& stdlib_modules() {
  static const std::unordered_set<std::string_view> modules(std::begin(kModules),
                                                            std::end(kModules));
  return modules;
}

const regex::Regex& identifier_regex() {
  static const regex::Regex re = [] {
    try {
      return regex::Regex("[A-Za-z_][A-Za-z0-9_]*");
    } catch (const ValueError&) {
      throw std::logic_error("Invalid regex");
    }
  }();
  return re;
}

bool is_stdlib_module(std::string_view module_name) {
  if (module_name.empty()) return false;
  const auto& modules = stdlib_modules();
  if (modules.count(module_name)) return true;
  std::size_t dot = module_name.find('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  return modules.count(module_name.substr(0, dot)) != 0;
}

std::vector<bool> batch_is_stdlib_modules(const std::vector<std::string_view>& module_names) {
  std::vector<bool> out;
  out.reserve(module_names.size());
  for (std::string_view name : module_names) out.push_back(is_stdlib_module(name));
  return out;
}

std::pair<std::vector<std::string>, std::vector<std::string>> filter_stdlib_imports(
    const std::vector<std::string_view>& imports) {
  std::pair<std::vector<std::string>, std::vector<std::string>> out;
  for (std::string_view name : imports) {
    (is_stdlib_module(name) ? out.first : out.second).emplace_back(name);
  }
  return out;
}

std::vector<std::string> extract_identifiers(std::string_view source) {
  std::unordered_set<std::string_view> seen;
  identifier_regex().for_each_match(source, [&](const regex::Match& m) { seen.insert(m.text()); });
  return std::vector<std::string>(seen.begin(), seen.end());
}

std::vector<Identifier> extract_identifiers_with_positions(std::string_view source) {
  std::vector<Identifier> out;
  identifier_regex().for_each_match(source, [&](const regex::Match& m) {
    out.push_back(Identifier{std::string(m.text()), m.start(), m.end()});
  });
  return out;
}

}  // namespace thalren::ast_indexer
