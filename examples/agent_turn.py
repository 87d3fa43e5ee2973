"""One turn of an agent loop, with the native module doing the bookkeeping.

Run with `make demo`.
"""
import thalren_native as tn


def main() -> None:
    print(f"thalren_native {tn.__version__}: {len(tn.__all__)} names registered\n")

    # The conversation so far, as protocol records.
    system = tn.Message(tn.Role.System, "You are a careful coding agent. Use tools when needed.")
    user = tn.Message(tn.Role.User, "Open src/main.py and tell me what the entry point does.")
    call = tn.ToolCall("call_1", "read_file", '{ "path": "src/main.py", "encoding": "utf-8" }')
    assistant = tn.Message(tn.Role.Assistant, None, [call])
    tool = tn.Message(tn.Role.Tool, "def main():\n    run_server(port=8080)\n", tool_call_id="call_1")
    conversation = [system, user, assistant, tool]

    print("Conversation:")
    for message in conversation:
        print(f"  {message!r}")
        for tool_call in message.tool_calls or []:
            print(f"      -> {tool_call!r} arguments={tool_call.arguments}")

    # The records survive a round trip through native code unchanged.
    echoed = tn.echo_message(assistant)
    assert echoed is not assistant and echoed.tool_calls[0].arguments == call.arguments
    assert echoed.role is tn.Role.Assistant

    # The model streams its answer; the final chunk carries the usage.
    stream = [
        tn.StreamChunk("The entry point starts "),
        tn.StreamChunk("a server on port 8080."),
        tn.StreamChunk(None, is_final=True, usage=tn.Usage(412, 17, 429)),
    ]
    answer = "".join(tn.echo_stream_chunk(chunk).content or "" for chunk in stream)
    usage = stream[-1].usage
    conversation.append(tn.Message(tn.Role.Assistant, answer))

    # Token budget report: one estimate per message, the batch in one crossing.
    texts = [m.content or "" for m in conversation]
    counts = tn.count_tokens_fast_batch(texts)
    assert counts == [tn.count_tokens_fast(t) for t in texts]
    print("\nToken estimate per message:")
    for message, count in zip(conversation, counts):
        print(f"  {message.role.as_str():<10} {count:>4} tokens")
    print(f"  {'total':<10} {sum(counts):>4} tokens (estimate)")
    print(f"\nProvider usage for the answer: prompt={usage.prompt_tokens} "
          f"completion={usage.completion_tokens} total={usage.total_tokens}")


if __name__ == "__main__":
    main()
