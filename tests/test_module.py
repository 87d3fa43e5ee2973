"""The module object and the call frame shared by every function and class."""
import gc
import inspect
import sys
import threading
import tracemalloc

import pytest

import thalren_native as tn

FIRST_SEVEN = ["__version__", "Role", "ToolCall", "Usage", "Message", "StreamChunk", "echo_message"]
ORDER = FIRST_SEVEN + [
    "echo_stream_chunk", "rolling_hash_blocks", "normalize_block", "find_duplicate_blocks", "cosine_similarity",
    "batch_cosine_similarity", "similarity_matrix", "top_k_similar", "batch_normalize_vectors",
    "batch_cosine_similarity_normalized", "top_k_similar_normalized", "EmbeddingIndex", "repair_json",
    "extract_json_objects", "compute_signature", "compute_batch_signatures", "signature_similarity",
    "StreamingFilter", "StreamingChunkResult", "strip_thinking_tokens", "contains_thinking_tokens",
    "find_thinking_tokens", "extract_thinking_content", "ThinkingDetector", "PatternAnalysis",
    "detect_circular_phrases", "count_circular_patterns", "find_circular_patterns", "TaskClassifier",
    "ClassificationResult", "TaskType", "classify_task", "has_action_keywords", "has_analysis_keywords",
    "has_generation_keywords", "has_negation", "find_all_keywords", "chunk_by_sentences", "chunk_by_chars",
    "chunk_by_paragraphs", "detect_doc_type", "count_tokens_approx", "ChunkInfoRust", "count_lines",
    "find_line_boundaries", "line_at_offset", "chunk_with_overlap", "SecretMatch", "scan_secrets", "has_secrets",
    "get_secret_types", "mask_secrets", "list_secret_patterns", "scan_secrets_summary", "PatternMatcher",
    "PatternMatch", "contains_any_pattern", "find_all_patterns", "count_pattern_matches",
    "get_matched_pattern_indices", "batch_contains_any", "weighted_pattern_score", "extract_file_path",
    "extract_code_blocks", "extract_shell_commands", "extract_tool_call", "batch_extract_file_paths",
    "sanitize_response", "is_garbage_content", "detect_leakage_patterns", "strip_markup", "validate_tool_name",
    "QuantizedEmbedding", "quantize_embedding", "batch_quantize_embeddings", "dequantize_embedding",
    "quantized_cosine_similarity", "batch_quantized_cosine_similarity", "matmul_vector", "batch_matmul_vector",
    "random_projection", "pairwise_distances", "knn_graph", "parse_yaml", "parse_yaml_with_env",
    "parse_yaml_file", "parse_yaml_file_with_env", "validate_yaml", "extract_workflow_names",
    "is_stdlib_module", "batch_is_stdlib_modules", "filter_stdlib_imports", "extract_identifiers",
    "extract_identifiers_with_positions", "coerce_string_type", "batch_coerce_string_types",
    "normalize_json_string", "batch_normalize_json_strings", "repair_quotes", "is_valid_json", "get_json_type",
    "pagerank", "weighted_pagerank", "betweenness_centrality", "connected_components", "detect_cycles",
    "BpeTokenizer", "count_tokens_fast", "count_tokens_fast_batch", "MessageSlot", "FitResult", "fit_context",
    "truncate_message", "batch_score_messages", "SessionStats", "scan_usage_file", "scan_usage_files",
]


def test_module_attributes():
    assert tn.__name__ == "thalren_native"
    assert tn.__version__ == "0.12.0"
    assert tn.__doc__.startswith("Thalren Native Extensions Module\n\n")
    assert len(ORDER) == 124 and len(set(ORDER)) == 124


def test_all_follows_the_registration_order():
    registered = tn.__all__
    assert registered[:len(FIRST_SEVEN)] == FIRST_SEVEN
    # Names registered so far appear in table order, each exactly once, and nothing else.
    assert registered == [name for name in ORDER if name in set(registered)]
    for name in registered:
        assert hasattr(tn, name)


def public_callables():
    for name in tn.__all__:
        obj = getattr(tn, name)
        if callable(obj):
            yield name, obj


def test_every_callable_has_a_text_signature_docstring():
    # The interpreter strips "<signature>\n--\n\n" from __doc__ into __text_signature__.
    for name, obj in public_callables():
        if isinstance(obj, type):
            if obj.__text_signature__ is not None:
                inspect.signature(obj)
            for attr, member in vars(obj).items():
                if callable(member) and not attr.startswith("__"):
                    assert member.__text_signature__.startswith("($self"), (name, attr)
                    assert member.__doc__, (name, attr)
        else:
            assert obj.__text_signature__ is not None, name
            assert obj.__doc__, name
            inspect.signature(obj)


def test_signatures_carry_defaults():
    assert str(inspect.signature(tn.count_tokens_fast)) == "(text)"
    assert str(inspect.signature(tn.Usage)) == "(prompt_tokens=0, completion_tokens=0, total_tokens=0)"
    assert str(inspect.signature(tn.Message)) == "(role, content=None, tool_calls=None, tool_call_id=None)"
    assert tn.ToolCall.__text_signature__ == "(id, name, arguments=...)"
    assert tn.count_tokens_fast.__doc__.startswith("Fast approximate token count (~90% accuracy).")


@pytest.mark.parametrize("call, message", [
    (lambda: tn.count_tokens_fast(), "count_tokens_fast() missing 1 required positional argument: 'text'"),
    (lambda: tn.count_tokens_fast("a", "b"), "count_tokens_fast() takes 1 positional argument but 2 were given"),
    (lambda: tn.count_tokens_fast(text="a", extra=1), "count_tokens_fast() got an unexpected keyword argument 'extra'"),
    (lambda: tn.count_tokens_fast("a", text="b"), "count_tokens_fast() got multiple values for argument 'text'"),
    (lambda: tn.Message(), "Message.__new__() missing 1 required positional argument: 'role'"),
    (lambda: tn.Usage(1, 2, 3, 4), "Usage.__new__() takes from 0 to 3 positional arguments but 4 were given"),
    (lambda: tn.ToolCall(), "ToolCall.__new__() missing 2 required positional arguments: 'id' and 'name'"),
    (lambda: tn.Role.User.as_str(1), "Role.as_str() takes 0 positional arguments but 1 was given"),
    (lambda: tn.echo_message(msg=None, chunk=1), "echo_message() got an unexpected keyword argument 'chunk'"),
])
def test_binding_errors_use_the_interpreters_wording(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize("call, exc, message, param", [
    (lambda: tn.count_tokens_fast(123), TypeError, "'int' object is not an instance of 'str'", "text"),
    (lambda: tn.count_tokens_fast(None), TypeError, "'None' is not an instance of 'str'", "text"),
    (lambda: tn.count_tokens_fast("\ud800"), UnicodeEncodeError, None, "text"),
    (lambda: tn.count_tokens_fast_batch({"a"}), TypeError, "'set' object is not an instance of 'Sequence'", "texts"),
    (lambda: tn.count_tokens_fast_batch({"a": 1}), TypeError, "'dict' object is not an instance of 'Sequence'", "texts"),
    (lambda: tn.count_tokens_fast_batch(x for x in "ab"), TypeError, "'generator' object is not an instance of 'Sequence'", "texts"),
    (lambda: tn.count_tokens_fast_batch(["a", 1]), TypeError, "'int' object is not an instance of 'str'", "texts"),
    (lambda: tn.Usage(-1), OverflowError, None, "prompt_tokens"),
    (lambda: tn.Usage(2**64), OverflowError, None, "prompt_tokens"),
    (lambda: tn.Usage(1.0), TypeError, "'float' object cannot be interpreted as an integer", "prompt_tokens"),
    (lambda: tn.StreamChunk(is_final=1), TypeError, "'int' object is not an instance of 'bool'", "is_final"),
    (lambda: tn.echo_message({}), TypeError, "'dict' object is not an instance of 'Message'", "msg"),
    (lambda: tn.echo_message(None), TypeError, "'None' is not an instance of 'Message'", "msg"),
])
def test_conversion_errors_keep_their_message_and_name_the_parameter(call, exc, message, param):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{param}'"]


def test_str_is_refused_as_a_list():
    with pytest.raises(TypeError) as info:
        tn.count_tokens_fast_batch("abc")
    assert "'str'" in str(info.value) and "list" in str(info.value)
    assert info.value.__notes__ == ["while processing 'texts'"]


def test_any_sequence_but_str_is_a_list():
    class Seq:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i >= 2:
                raise IndexError
            return "ab cd"
    assert tn.count_tokens_fast_batch(("a b", "c")) == [2, 1]
    assert tn.count_tokens_fast_batch(Seq()) == [2, 2]


def test_index_objects_are_integers():
    class Index:
        def __index__(self):
            return 7
    assert tn.Usage(Index()).prompt_tokens == 7
    assert tn.Usage(True).prompt_tokens == 1  # bool is an int subclass


def test_classes_are_final_immutable_and_named_in_builtins():
    for name in tn.__all__:
        cls = getattr(tn, name)
        if not isinstance(cls, type):
            continue
        assert cls.__module__ == "builtins" and cls.__qualname__ == name
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        with pytest.raises((TypeError, AttributeError)):
            cls.some_attribute = 1


def test_instances_have_no_dict_and_read_only_attributes():
    usage = tn.Usage(1, 2, 3)
    with pytest.raises(AttributeError):
        usage.prompt_tokens = 5
    with pytest.raises(AttributeError):
        usage.anything = 5
    assert not hasattr(usage, "__dict__")


def test_uninstantiable_classes_raise_type_error():
    with pytest.raises(TypeError):
        tn.Role()


def test_no_leak_over_many_calls():
    tc = tn.ToolCall("id", "name", '{"a": [1, 2, {"b": null}]}')
    msg = tn.Message(tn.Role.User, "hello", [tc], "x")

    def work():
        tn.count_tokens_fast("some words here")
        tn.count_tokens_fast_batch(["a b", "c"])
        tn.echo_message(msg).tool_calls
        tc.arguments
        try:
            tn.count_tokens_fast(1)
        except TypeError:
            pass
        try:
            tn.ToolCall("a", "b", "{")
        except ValueError:
            pass

    for _ in range(2000):
        work()
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(20000):
        work()
    gc.collect()
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert after - before < 64 * 1024


def test_pool_is_used_from_many_threads_at_once():
    texts = ["word " * (i % 50) for i in range(2000)]
    expected = [tn.count_tokens_fast(t) for t in texts]
    results = [None] * 4

    def run(slot):
        results[slot] = tn.count_tokens_fast_batch(texts)
    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == expected for r in results)


def test_import_exports_only_the_entry_point():
    import subprocess
    path = tn.__file__
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True)
    if out.returncode != 0:
        pytest.skip("nm not available")
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_thalren_native"]
