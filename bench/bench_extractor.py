"""Text extractors against a pure-Python version with `re` (peer_extractor),
plus one adversarial input per expression at 1 MB and 4 MB side by side (the
time must grow linearly: about 4x)."""
from __future__ import annotations

import harness
import peer_extractor as peer
import thalren_native as tn
from bench_sanitizer import MB, growth_case, model_output, repeated


def adversarial_cases() -> list[harness.Case]:
    rows = [
        # (function to call, expression attacked, repeated piece)
        ("extract_code_blocks", "CODE_BLOCK ` unclosed", "`"),
        ("extract_code_blocks", "CODE_BLOCK ```c\\n unclosed", "```c\n"),
        ("extract_code_blocks", "INDENTED spaces, no text", "     "),
        ("extract_code_blocks", "INDENTED one huge run", "    x = 1\n"),
        ("extract_code_blocks", "INDENTED \\n    \\n", "\n    \n"),
        ("extract_file_path", "FILE_PATH 1 edit a/a/...", "edit a/"),
        ("extract_file_path", "FILE_PATH 1 to a.1", "to a.1 "),
        ("extract_file_path", "FILE_PATH 2 a.b x lines", "a.b x\n"),
        ("extract_file_path", "FILE_PATH 3 the file a_", "the file a_"),
        ("extract_file_path", "FILE_PATH 4 `a.b unclosed", "`a.b"),
        ("extract_shell_commands", "SHELL 1 ```bash\\n unclosed", "```bash\nx"),
        ("extract_shell_commands", "SHELL 2 run: 'x unclosed", "run: 'x"),
        ("extract_shell_commands", "SHELL 3 \\n$x (no space)", "\n$x"),
        ("extract_shell_commands", "SHELL 3 many commands", "$ make\n"),
    ]
    cases = [growth_case(function, workload, getattr(tn, function), repeated(piece))
             for function, workload, piece in rows]
    cases.append(growth_case("extract_tool_call", "BACKTICK `aaaa... unclosed (ls)",
                             lambda text: tn.extract_tool_call(text, "ls"),
                             lambda n: "`" + "a" * (n * MB)))
    return cases


def cases() -> list[harness.Case]:
    text = model_output(50_000)
    assert tn.extract_code_blocks(text) == peer.extract_code_blocks(text)
    assert tn.extract_shell_commands(text) == peer.extract_shell_commands(text)
    assert tn.extract_tool_call(text, "write") == peer.extract_tool_call(text, "write")
    indented = "\n".join("    " + line if line else "" for line in
                         model_output(50_000, seed=11).replace("```", "").splitlines())
    prose = [model_output(600, seed=i) for i in range(1000)]
    assert tn.batch_extract_file_paths(prose) == peer.batch_extract_file_paths(prose)
    return [
        harness.Case(function="extract_code_blocks", workload="50 KB model output",
                     ours=lambda: tn.extract_code_blocks(text), peer_name="python re",
                     peer=lambda: peer.extract_code_blocks(text), target=5.0),
        harness.Case(function="extract_code_blocks", workload="50 KB indented fallback",
                     ours=lambda: tn.extract_code_blocks(indented), peer_name="python re",
                     peer=lambda: peer.extract_code_blocks(indented)),
        harness.Case(function="extract_shell_commands", workload="50 KB model output",
                     ours=lambda: tn.extract_shell_commands(text), peer_name="python re",
                     peer=lambda: peer.extract_shell_commands(text)),
        harness.Case(function="extract_file_path", workload="50 KB model output",
                     ours=lambda: tn.extract_file_path(text), peer_name="python re",
                     peer=lambda: peer.extract_file_path(text)),
        harness.Case(function="extract_tool_call", workload="write, 50 KB model output",
                     ours=lambda: tn.extract_tool_call(text, "write"), peer_name="python re",
                     peer=lambda: peer.extract_tool_call(text, "write")),
        harness.Case(function="batch_extract_file_paths", workload="1000 texts of 600 chars",
                     ours=lambda: tn.batch_extract_file_paths(prose), peer_name="python re",
                     peer=lambda: peer.batch_extract_file_paths(prose)),
        *adversarial_cases(),
    ]
