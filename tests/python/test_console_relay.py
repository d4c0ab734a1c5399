"""ConsoleClient._relay: one protocol frame answered on a console's channel, through a callback."""

import asyncio
import sys
import threading

import bson
import pytest
from bson.int64 import Int64

from conftest import UVM_CMD
from halvo import ConsoleClient

CLOSED = "this console has been closed"
OWNED = "the session was announced by the console that owns it"


def message(**fields):
    return bson.encode({"jsonrpc": "2.0", **fields})


def request(rid, method, **params):
    return message(id=Int64(rid), method=method, params=params)


class Reply:
    """A reply callback that records its arguments and the thread it ran on."""

    def __init__(self, then=None):
        self.calls = []
        self.done = threading.Event()
        self.then = then

    def __call__(self, *args):
        self.calls.append((args, threading.current_thread()))
        if self.then:
            self.then()
        self.done.set()

    async def wait(self):
        assert await asyncio.to_thread(self.done.wait, 15), "reply was never called"
        (args, thread), = self.calls
        assert thread is not threading.main_thread()
        return args


async def relayed(console, frame, reply=None):
    """reply's arguments once it has been called, the answer decoded."""
    reply = reply or Reply()
    assert console._relay(frame, reply) is None
    answer, reason = await reply.wait()
    return (bson.decode(answer) if answer else answer), reason


async def booted():
    return await ConsoleClient.builder().cmd(UVM_CMD).build()


EXEC_RESULT = {"code": 0, "stdout": b"relayed\n", "stderr": b"", "truncated": False}

# (frame, what reply gets: the answer decoded or the reason, the method the server receives)
RELAYS = {
    "quit is swallowed": (message(method="quit"), b"", None),
    "start is forwarded": (message(method="start"), b"", "start"),
    "stop is forwarded": (message(method="stop"), b"", "stop"),
    "init is refused here": (request(7, "init"),
                             {"jsonrpc": "2.0", "id": 7, "error": {"code": -32600, "message": OWNED}}, None),
    "exec under the relayed id": (request(42, "exec", cmd=["echo", "relayed"]),
                                  {"jsonrpc": "2.0", "id": 42, "method": "exec", "result": EXEC_RESULT}, "exec"),
    "a refusal is an answer": (request(11, "read", path="/missing"),
                               {"jsonrpc": "2.0", "id": 11, "error": {"code": -32005,
                                                                      "message": "/missing: no such file"}}, "read"),
    "any other call": (request(0, "version"),
                       {"jsonrpc": "2.0", "id": 0, "method": "version", "result": {"version": "0.1.2+stand-in"}},
                       "version"),
    "a response": (message(id=Int64(9), method="exec", result=EXEC_RESULT),
                   "a relayed frame answered request 9; only the owning console answers", None),
    "not a document": (b"\x05\x00", "reading a relayed message: BSON error. Kind: A deserialization-related "
                                    "error occurred. Message: the input ends inside a document's length.", None),
}


@pytest.mark.asyncio
async def test_relayed_frames(server):
    c = await booted()
    for i in range(2):   # the console's own request ids: init 0, then 1 and 2
        await c.exec(["true"])
    forwarded = []
    for name, (frame, expected, method) in RELAYS.items():
        answer, reason = await relayed(c, frame)
        if isinstance(expected, str):
            assert (answer, reason) == (None, expected), name
        else:
            assert (answer, reason) == (expected, None), name
            if answer:
                assert type(answer["id"]) is Int64
        if method:
            forwarded.append(method)
    assert (await c.exec(["echo", "after"])).stdout == b"after\n"
    await c.close()

    received = [(m.get("id"), m["method"]) for m in server.received()]
    # On the server's pipe a forwarded request carries the console's own next id.
    assert received == [(0, "init"), (1, "exec"), (2, "exec"), (None, "start"), (None, "stop"), (3, "exec"),
                        (4, "read"), (5, "version"), (6, "exec"), (None, "quit")]
    assert [m for _, m in received[3:-2]] == forwarded


@pytest.mark.asyncio
async def test_concurrent_relays_each_get_their_own_answer(server):
    c = await booted()
    replies = [Reply() for _ in range(10)]
    for i, reply in enumerate(replies):
        c._relay(request(100 + i, "exec", cmd=["echo", str(i)]), reply)
    for i, reply in enumerate(replies):
        answer, reason = await reply.wait()
        assert reason is None
        assert (bson.decode(answer)["id"], bson.decode(answer)["result"]["stdout"]) == (100 + i, f"{i}\n".encode())
    await c.close()


@pytest.mark.asyncio
async def test_a_broken_channel_is_the_reason(server):
    server.scenario(rules=[{"index": 1, "actions": [{"close_stdout": True}]}])
    c = await booted()
    assert await relayed(c, request(5, "exec", cmd=["true"])) == (
        None, "the server closed the channel before answering request 1")
    await c.close()


@pytest.mark.asyncio
async def test_a_closed_console_answers_every_frame_with_the_reason(server):
    c = await booted()
    await c.close()
    for frame in (b"not bson at all", message(method="quit"), request(1, "exec", cmd=["true"])):
        assert await relayed(c, frame) == (None, CLOSED)
    assert server.methods() == ["init", "quit"]


@pytest.mark.asyncio
async def test_only_bytes_are_a_frame(server):
    c = await booted()
    never = Reply()
    for frame in (bytearray(message(method="quit")), memoryview(message(method="quit")), "quit"):
        with pytest.raises(TypeError, match="argument 'frame'"):
            c._relay(frame, never)
    with pytest.raises(TypeError):
        c._relay(message(method="quit"))
    assert await relayed(c, message(method="start")) == (b"", None)
    await c.close()
    assert never.calls == []


@pytest.mark.asyncio
async def test_a_reply_that_raises_goes_to_the_unraisable_hook(server, monkeypatch):
    reported = []
    hooked = threading.Event()
    monkeypatch.setattr(sys, "unraisablehook", lambda u: (reported.append(u), hooked.set()))

    def reply(answer, reason):
        raise ZeroDivisionError("from reply")

    c = await booted()
    c._relay(message(method="quit"), reply)
    assert await asyncio.to_thread(hooked.wait, 15)
    (report,) = reported
    assert type(report.exc_value) is ZeroDivisionError and report.object is reply
    # the runtime and the console go on
    assert await relayed(c, request(3, "exec", cmd=["echo", "relayed"])) == (
        {"jsonrpc": "2.0", "id": 3, "method": "exec", "result": EXEC_RESULT}, None)
    assert (await c.exec(["echo", "hi"])).stdout == b"hi\n"
    await c.close()


@pytest.mark.asyncio
async def test_a_reply_may_use_the_same_console(server):
    c = await booted()
    inner = []

    async def exec_and_relay():
        ran = await c.exec(["echo", "inner"])
        relay = Reply()
        c._relay(message(method="stop"), relay)
        return ran.stdout, await relay.wait()

    # reply runs on a thread of the runtime with no event loop: it makes one
    reply = Reply(then=lambda: inner.append(asyncio.run(asyncio.wait_for(exec_and_relay(), 10))))
    assert await relayed(c, message(method="start"), reply) == (b"", None)
    assert inner == [(b"inner\n", (b"", None))]
    await c.close()
