"""The chat-protocol wrapper classes."""
import json

import pytest

import thalren_native as tn

Role = tn.Role


def test_roles():
    assert [int(r) for r in (Role.System, Role.User, Role.Assistant, Role.Tool)] == [0, 1, 2, 3]
    assert [str(r) for r in (Role.System, Role.User, Role.Assistant, Role.Tool)] == ["system", "user", "assistant", "tool"]
    assert repr(Role.Tool) == "Role.Tool" and Role.Tool.as_str() == "tool"
    assert Role.Assistant == 2 and Role.Assistant == Role.Assistant and Role.Assistant != Role.User
    assert Role.User == 1 and 1 == Role.User and Role.User == True  # noqa: E712
    assert Role.User != "user"
    with pytest.raises(TypeError):
        Role.User < Role.Tool
    with pytest.raises(TypeError):
        hash(Role.User)
    assert Role.__doc__ == "Sender role for a chat message (mirrors ``thalren_protocol::Role``)."
    assert "system" in Role.as_str.__doc__ and "tool" in Role.as_str.__doc__


@pytest.mark.parametrize("given, stored", [
    (None, "{}"),
    ("[1, 2]", "[1,2]"),
    ('{"b": 1, "a": {"d": true, "c": null}}', '{"a":{"c":null,"d":true},"b":1}'),
    ('{"a": 1, "a": 2}', '{"a":2}'),
    ('"x\\u00e9\\n\\u0001"', '"xé\\n\\u0001"'),
    ('{"\\u00e9": 1, "z": 2, "B": 3}', '{"B":3,"z":2,"é":1}'),
    ("18446744073709551615", "18446744073709551615"),
    ("-9223372036854775808", "-9223372036854775808"),
    ("0.1", "0.1"),
    ("1.0", "1.0"),
    ("  [ ]  ", "[]"),
])
def test_tool_call_arguments_are_normalised(given, stored):
    call = tn.ToolCall("call_1", "read_file") if given is None else tn.ToolCall("call_1", "read_file", given)
    assert call.arguments == stored
    assert json.loads(call.arguments) == (json.loads(given) if given else {})


@pytest.mark.parametrize("bad", ["", "{", "[1,]", "{'a': 1}", "NaN", "[1] 2", "\x00", "[" * 10_000, "1e99999x"])
def test_invalid_arguments_are_value_errors(bad):
    with pytest.raises(ValueError) as info:
        tn.ToolCall("a", "b", bad)
    assert str(info.value).startswith("arguments is not valid JSON: ")
    assert "line" in str(info.value) and "column" in str(info.value)


def test_nesting_limit():
    assert tn.ToolCall("a", "b", "[" * 128 + "]" * 128).arguments == "[" * 128 + "]" * 128
    with pytest.raises(ValueError):
        tn.ToolCall("a", "b", "[" * 129 + "]" * 129)


def test_arguments_refuse_none_and_dict():
    for bad in (None, {"a": 1}):
        with pytest.raises(TypeError) as info:
            tn.ToolCall("a", "b", bad)
        assert info.value.__notes__ == ["while processing 'arguments'"]


@pytest.mark.parametrize("id_, name, expected", [
    ("call_1", "read_file", 'ToolCall(id="call_1", name="read_file")'),
    ('a"b\\c', "t\tr\rn\n0\x00", 'ToolCall(id="a\\"b\\\\c", name="t\\tr\\rn\\n0\\0")'),
    ("é日😀", "\x07\u200b\u0301", 'ToolCall(id="é日😀", name="\\u{7}\\u{200b}\\u{301}")'),
])
def test_tool_call_repr(id_, name, expected):
    assert repr(tn.ToolCall(id_, name)) == expected


def test_usage():
    assert (tn.Usage(10, 5).total_tokens, tn.Usage(total_tokens=15).prompt_tokens) == (0, 0)
    u = tn.Usage(2**64 - 1, 0, 3)
    assert (u.prompt_tokens, u.completion_tokens, u.total_tokens) == (2**64 - 1, 0, 3)
    assert repr(u).startswith("<builtins.Usage object at")


def test_message_reads_copies():
    tc = tn.ToolCall("c", "n", '{"x": 1}')
    m = tn.Message(Role.User, "hi", [tc], "tid")
    assert m.role is Role.User and m.role is m.role
    first, second = m.tool_calls, m.tool_calls
    assert first is not second and first[0] is not tc
    assert (first[0].id, first[0].name, first[0].arguments) == ("c", "n", '{"x":1}')
    assert m.tool_call_id == "tid" and m.content == "hi"
    assert tn.Message(Role.User, tool_calls=[]).tool_calls == []
    assert tn.Message(Role.User).tool_calls is None
    assert tn.Message(Role.User, tool_calls=(tc,)).tool_calls[0].id == "c"


@pytest.mark.parametrize("message, expected", [
    (tn.Message(Role.User, "hi"), 'Message(role=user, content=Some("hi"))'),
    (tn.Message(Role.System), "Message(role=system, content=None)"),
    (tn.Message(Role.Tool, 'say "x"\n', tool_call_id="t"), 'Message(role=tool, content=Some("say \\"x\\"\\n"))'),
])
def test_message_repr(message, expected):
    assert repr(message) == expected


@pytest.mark.parametrize("kwargs, param, message", [
    ({"role": "user"}, "role", "'str' object is not an instance of 'Role'"),
    ({"role": Role.User, "tool_calls": [{"id": 1}]}, "tool_calls", "'dict' object is not an instance of 'ToolCall'"),
    ({"role": Role.User, "tool_calls": "abc"}, "tool_calls", None),
    ({"role": Role.User, "content": 5}, "content", "'int' object is not an instance of 'str'"),
])
def test_message_type_errors(kwargs, param, message):
    with pytest.raises(TypeError) as info:
        tn.Message(**kwargs)
    if message:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{param}'"]


def test_stream_chunk():
    c = tn.StreamChunk("x", [tn.ToolCall("a", "b")], True, tn.Usage(1, 2, 3))
    assert (c.content, c.is_final, c.usage.total_tokens) == ("x", True, 3)
    assert c.usage is not c.usage
    d = tn.StreamChunk()
    assert (d.content, d.tool_calls, d.is_final, d.usage) == (None, None, False, None)
    with pytest.raises(TypeError) as info:
        tn.StreamChunk(usage=5)
    assert str(info.value) == "'int' object is not an instance of 'Usage'"
    assert info.value.__notes__ == ["while processing 'usage'"]
    with pytest.raises(TypeError):
        tn.StreamChunk(is_final=1)


def test_echo_returns_equal_copies():
    tc = tn.ToolCall("c", "n", "[1]")
    m = tn.Message(Role.Assistant, "text", [tc], "id")
    e = tn.echo_message(m)
    assert e is not m and e.role is m.role and e.content == m.content and e.tool_call_id == m.tool_call_id
    assert [(t.id, t.name, t.arguments) for t in e.tool_calls] == [("c", "n", "[1]")]
    c = tn.StreamChunk("x", None, True, tn.Usage(1, 2, 3))
    ec = tn.echo_stream_chunk(c)
    assert ec is not c and (ec.content, ec.is_final, ec.usage.prompt_tokens) == ("x", True, 1)
    with pytest.raises(TypeError) as info:
        tn.echo_stream_chunk(m)
    assert info.value.__notes__ == ["while processing 'chunk'"]


def test_lone_surrogates_are_refused():
    with pytest.raises(UnicodeEncodeError):
        tn.ToolCall("\udc80", "n")
    with pytest.raises(UnicodeEncodeError):
        tn.Message(Role.User, "\ud800")
