// The module entry point and the registration table.

#include "bind/bind.hpp"
#include "families.hpp"

#include <array>
#include <string>
#include <string_view>
#include <unordered_map>

namespace {

constexpr const char kModuleDoc[] =
    "Thalren Native Extensions Module\n"
    "\n"
    "High-performance native implementations of the agent framework's text, vector and\n"
    "bookkeeping work, exposed to Python. All functions handle errors gracefully and\n"
    "raise the appropriate Python exceptions when needed.";

constexpr const char kVersion[] = "0.12.0";

// Every public name, in registration order; __all__ follows this order.
constexpr std::array<std::string_view, 124> kRegistrationOrder = {
    "__version__",
    "Role", "ToolCall", "Usage", "Message", "StreamChunk",
    "echo_message", "echo_stream_chunk",
    "rolling_hash_blocks", "normalize_block", "find_duplicate_blocks",
    "cosine_similarity", "batch_cosine_similarity", "similarity_matrix", "top_k_similar",
    "batch_normalize_vectors", "batch_cosine_similarity_normalized", "top_k_similar_normalized",
    "EmbeddingIndex",
    "repair_json", "extract_json_objects",
    "compute_signature", "compute_batch_signatures", "signature_similarity",
    "StreamingFilter", "StreamingChunkResult",
    "strip_thinking_tokens", "contains_thinking_tokens", "find_thinking_tokens", "extract_thinking_content",
    "ThinkingDetector", "PatternAnalysis",
    "detect_circular_phrases", "count_circular_patterns", "find_circular_patterns",
    "TaskClassifier", "ClassificationResult", "TaskType",
    "classify_task", "has_action_keywords", "has_analysis_keywords", "has_generation_keywords", "has_negation",
    "find_all_keywords",
    "chunk_by_sentences", "chunk_by_chars", "chunk_by_paragraphs", "detect_doc_type", "count_tokens_approx",
    "ChunkInfoRust",
    "count_lines", "find_line_boundaries", "line_at_offset", "chunk_with_overlap",
    "SecretMatch",
    "scan_secrets", "has_secrets", "get_secret_types", "mask_secrets", "list_secret_patterns",
    "scan_secrets_summary",
    "PatternMatcher", "PatternMatch",
    "contains_any_pattern", "find_all_patterns", "count_pattern_matches", "get_matched_pattern_indices",
    "batch_contains_any", "weighted_pattern_score",
    "extract_file_path", "extract_code_blocks", "extract_shell_commands", "extract_tool_call",
    "batch_extract_file_paths",
    "sanitize_response", "is_garbage_content", "detect_leakage_patterns", "strip_markup", "validate_tool_name",
    "QuantizedEmbedding",
    "quantize_embedding", "batch_quantize_embeddings", "dequantize_embedding", "quantized_cosine_similarity",
    "batch_quantized_cosine_similarity",
    "matmul_vector", "batch_matmul_vector", "random_projection", "pairwise_distances", "knn_graph",
    "parse_yaml", "parse_yaml_with_env", "parse_yaml_file", "parse_yaml_file_with_env", "validate_yaml",
    "extract_workflow_names",
    "is_stdlib_module", "batch_is_stdlib_modules", "filter_stdlib_imports", "extract_identifiers",
    "extract_identifiers_with_positions",
    "coerce_string_type", "batch_coerce_string_types", "normalize_json_string", "batch_normalize_json_strings",
    "repair_quotes", "is_valid_json", "get_json_type",
    "pagerank", "weighted_pagerank",
    "betweenness_centrality", "connected_components", "detect_cycles",
    "BpeTokenizer",
    "count_tokens_fast", "count_tokens_fast_batch",
    "MessageSlot", "FitResult",
    "fit_context", "truncate_message", "batch_score_messages",
    "SessionStats",
    "scan_usage_file", "scan_usage_files",
};

// The families built into this module. Each declares its names; the table
// above decides where each appears.
using FamilyGetter = const bind::Family& (*)();
constexpr FamilyGetter kFamilies[] = {
    &protocol_family,
    &tokenizer_family,
    &similarity_family,
    &embeddings_family,
    &streaming_filter_family,
    &thinking_family,
    &classifier_family,
    &pattern_match_family,
    &secrets_family,
    &sanitizer_family,
    &extractor_family,
    &ast_indexer_family,
};

int exec_module(PyObject* module) {
  try {
    std::unordered_map<std::string_view, const bind::Decl*> declared;
    for (FamilyGetter family : kFamilies) {
      for (const bind::Decl& decl : family().decls) {
        if (!declared.emplace(decl.name, &decl).second) {
          throw std::logic_error("name declared twice: " + decl.name);
        }
      }
    }
    std::size_t registered = 0;
    for (std::string_view name : kRegistrationOrder) {
      std::string key(name);
      if (name == "__version__") {
        bind::add_to_module(module, "__version__", bind::check(PyUnicode_FromString(kVersion)));
        continue;
      }
      auto it = declared.find(name);
      if (it == declared.end()) continue;
      bind::add_to_module(module, key.c_str(), it->second->create(module));
      ++registered;
    }
    if (registered != declared.size()) throw std::logic_error("a family declares a name outside the registration table");
    return 0;
  } catch (...) {
    bind::translate_exception();
    return -1;
  }
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "thalren_native",
    kModuleDoc,
    0,  // no per-module state
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_thalren_native() { return PyModuleDef_Init(&kModule); }
