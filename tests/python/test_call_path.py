"""The road of one call: answered on the loop's own thread when nothing else
wants the client, handed to the runtime the moment something does, and ended
by close whatever the server does."""

import asyncio
import os
import random
import struct
import threading
import time

import bson
import pytest
from bson.int64 import Int64

import halvo
from conftest import UVM_CMD
from halvo import ConsoleClient, ImageClient


def frame(doc):
    body = bson.encode(doc)
    return struct.pack(">I", len(body)) + body


def version_answer(rid, version):
    return frame({"jsonrpc": "2.0", "id": Int64(rid), "method": "version", "result": {"version": version}})


async def booted():
    return await ConsoleClient.builder().cmd(UVM_CMD).build()


def gone(pid):
    """Whether the process has ended (a zombie has ended)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


# --- frames that share one read --------------------------------------------------

EARLY = version_answer(2, "early")
# What the server writes in one go as its answer to request 1, the answer to
# request 2 included or begun; what request 1 then gives; what the server
# writes when request 2 arrives.
SHARED_READS = {
    "an answer and the next": (version_answer(1, "first") + EARLY, "first", b""),
    "an answer, a stray and the next": (version_answer(1, "first") + version_answer(7, "stray") + EARLY,
                                        "first", b""),
    "a length of zero and the next": (b"\0\0\0\0" + EARLY, "a frame of no bytes cannot be a message", b""),
    "a length over the limit and the next": (b"\x04\0\0\x01" + EARLY, "is more than the 67108864", b""),
    "a body that is no message and the next": (frame({"jsonrpc": "2.0"}) + EARLY, "reading a message", b""),
    "an answer and half the next": (version_answer(1, "first") + EARLY[:9], "first", EARLY[9:]),
    "an answer and the next's length only": (version_answer(1, "first") + EARLY[:4], "first", EARLY[4:]),
}


@pytest.mark.asyncio
@pytest.mark.parametrize("first, said, rest", SHARED_READS.values(), ids=SHARED_READS.keys())
async def test_an_answer_already_read_with_the_frame_before_is_found(server, first, said, rest):
    second = [{"raw": rest.hex()}] if rest else []
    server.scenario(violations="log", rules=[
        {"method": "version", "index": 1, "actions": [{"raw": first.hex()}, {"reply": "none"}]},
        {"method": "version", "index": 2, "actions": second + [{"reply": "none"}]},
    ])
    client = await ImageClient.try_from_cmd(UVM_CMD)
    try:
        try:
            assert await asyncio.wait_for(client.version(), 5) == said
        except halvo.ConsoleBroken as e:
            assert said in str(e)
        assert await asyncio.wait_for(client.version(), 5) == "early"
    finally:
        await client.close()


# --- a call on the loop's thread and whatever comes behind it -------------------

def relay_start(c):
    """A start notification relayed from another thread; set once it is answered."""
    answered = threading.Event()
    start = bson.encode({"jsonrpc": "2.0", "method": "start"})
    threading.Thread(target=c._relay, args=(start, lambda *_: answered.set())).start()
    return answered


def call_from_another_loop(c):
    """An exec on a loop of another thread; set once it is answered."""
    answered = threading.Event()

    async def call():
        await c.exec(["true"])

    def run():
        asyncio.run(call())
        answered.set()

    threading.Thread(target=run).start()
    return answered


def close_from_another_loop(c):
    closed = threading.Event()

    async def close():
        await c.close()

    def run():
        asyncio.run(close())
        closed.set()

    threading.Thread(target=run).start()
    return closed


BEHIND = {"a relay": relay_start, "another loop's call": call_from_another_loop,
          "close from another loop": close_from_another_loop}


@pytest.mark.asyncio
@pytest.mark.parametrize("behind", BEHIND.values(), ids=BEHIND.keys())
async def test_what_queues_behind_a_loop_call_is_served_while_that_loop_waits(server, behind):
    c = await booted()
    try:
        pending = c.exec(["sleep", "0.1"])
        done = behind(c)
        # The loop's thread itself waits: nothing may need it meanwhile.
        assert done.wait(5), "what came behind the call was never served"
        assert (await pending).code == 0
    finally:
        await c.close()


def test_a_call_left_on_a_stopped_loop_holds_no_other_loop_up(server):
    first = asyncio.new_event_loop()
    try:
        c = first.run_until_complete(booted())

        async def begin():
            return c.exec(["sleep", "0.1"])

        pending = first.run_until_complete(begin())  # the loop stops with the call in flight

        async def elsewhere():
            return await asyncio.wait_for(c.exec(["echo", "here"]), 5)

        assert asyncio.run(elsewhere()).stdout == b"here\n"
        assert first.run_until_complete(pending).code == 0
        async def close():
            await c.close()

        first.run_until_complete(close())
    finally:
        first.close()


# --- close while a call is in flight ----------------------------------------------

async def never_answered(server, kind, deaf):
    """A client whose server got a call it never answers, and that call."""
    scenario = {"on_quit": "ignore", "on_eof": "ignore"} if deaf else {}
    if kind == "console":
        server.scenario(rules=[{"method": "exec", "index": 1, "actions": [{"reply": "none"}]}], **scenario)
        client = await booted()
        call = asyncio.ensure_future(client.exec(["true"]))
    else:
        server.scenario(rules=[{"method": "version", "index": 1, "actions": [{"reply": "none"}]}], **scenario)
        client = await ImageClient.try_from_cmd(UVM_CMD)
        call = asyncio.ensure_future(client.version())
    await server.wait_for("frame", count=2)
    return client, call


@pytest.mark.asyncio
@pytest.mark.parametrize("kind, deaf", [("console", False), ("image client", False), ("console", True)])
async def test_close_ends_a_call_the_server_never_answers(server, kind, deaf):
    client, call = await never_answered(server, kind, deaf)
    pid = server.events("start")[0]["pid"]
    started = time.monotonic()
    # Within the quit wait and a second, whatever the server does.
    assert await asyncio.wait_for(client.close(), 11 if deaf else 5) is None
    with pytest.raises(halvo.ConsoleBroken, match=f"this {kind} was closed"):
        await asyncio.wait_for(call, 1)
    assert time.monotonic() - started < 11
    if kind == "console":
        assert gone(pid)
    await server.wait_for("quit")


# --- close while a large write moves -----------------------------------------------

@pytest.mark.asyncio
async def test_close_lets_a_moving_large_write_finish(server):
    c = await booted()
    pid = server.events("start")[0]["pid"]
    size = 16 << 20
    written, closed = await asyncio.gather(c.write("/f", bytes(size)), c.close(), return_exceptions=True)
    assert closed is None
    # The frame went whole; its answer counts as long as it comes while the
    # channel moves, which a loaded server may not manage.
    if isinstance(written, Exception):
        assert isinstance(written, halvo.ConsoleBroken) and "was closed before the call" in str(written), written
    else:
        assert written == size
    assert server.methods() == ["init", "write", "quit"]
    assert server.events("violation") == []
    assert gone(pid)


# --- a call completed before it returns, and when it may not be ----------------------

def busy(seconds):
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass


# What happens between a call completed at once and the next, whose answer
# is waiting in the reader's buffer too; whether that next one may complete
# before it returns.
BETWEEN = {
    "nothing": (lambda loop: None, True),
    "the loop's turn budget passes": (lambda loop: busy(0.002), False),
    "another callback gets ready": (lambda loop: loop.call_soon(lambda: None), False),
}


@pytest.mark.asyncio
@pytest.mark.parametrize("between, at_once", BETWEEN.values(), ids=BETWEEN.keys())
async def test_a_call_completes_before_it_returns_only_while_the_loop_can_wait(server, between, at_once):
    answers = version_answer(1, "first") + version_answer(2, "second") + version_answer(3, "third")
    server.scenario(rules=[
        {"method": "version", "index": 1, "actions": [{"raw": answers.hex()}, {"reply": "none"}]},
        {"method": "version", "index": 2, "actions": [{"reply": "none"}]},
        {"method": "version", "index": 3, "actions": [{"reply": "none"}]},
    ])
    client = await ImageClient.try_from_cmd(UVM_CMD)
    try:
        assert await client.version() == "first"
        await asyncio.sleep(0)  # a turn of its own: the next call starts the budget
        started = time.perf_counter()
        second = client.version()
        assert second.done() and not second.cancel() and second.result() == "second"
        between(asyncio.get_running_loop())
        third = client.version()
        # A thread preempted past the budget meanwhile is told to wait too.
        if not at_once or time.perf_counter() - started < 100e-6:
            assert third.done() is at_once
        assert await third == "third"
    finally:
        await client.close()


@pytest.mark.asyncio
async def test_a_late_answer_completes_through_the_loop(server):
    # Later than any wait on the script's thread: the loop watches for it.
    server.scenario(rules=[{"method": "version", "actions": [{"delay_ms": 30}]}])
    client = await ImageClient.try_from_cmd(UVM_CMD)
    try:
        for _ in range(4):
            pending = client.version()
            assert not pending.done()
            assert await pending == "0.1.2+stand-in"
    finally:
        await client.close()


@pytest.mark.asyncio
async def test_a_large_write_partly_written_then_cancelled_still_goes_whole(server):
    # The server sleeps on start, so only part of the write fits its pipe.
    server.scenario(rules=[{"method": "start", "actions": [{"delay_ms": 800}]}])
    c = await booted()
    try:
        await c.start()
        size = 6 << 20
        write = c.write("/f", bytes(size))
        write.cancel()
        with pytest.raises(asyncio.CancelledError):
            await write
        ran = await asyncio.wait_for(c.exec(["stat", "-c", "%s", "/f"]), 10)
        assert ran.stdout == f"{size}\n".encode()
        assert server.methods() == ["init", "start", "write", "exec"]
        assert server.events("violation") == []
    finally:
        await c.close()


# --- descriptors reused across close and rebuild -------------------------------------

def gather_two_then_close(c):
    return asyncio.gather(c.exec(["true"]), c.exec(["true"]), c.close())


def call_then_close(c):
    return asyncio.gather(c.exec(["true"]), c.close())


def relay_call_then_close(c):
    """A call served on the loop's thread, handed to the runtime by a relay
    from another thread, then closed."""
    call = c.exec(["true"])
    answered = relay_start(c)
    return asyncio.gather(call, asyncio.to_thread(answered.wait, 5), c.close())


# A call served on the loop's thread and handed to the runtime, then the
# console closed: its answer pipe's number is free for the next console's.
HANDED_OVER = {"a call then close": call_then_close, "two calls then close": gather_two_then_close,
               "a relay behind a call, then close": relay_call_then_close}


@pytest.mark.asyncio
@pytest.mark.parametrize("close", HANDED_OVER.values(), ids=HANDED_OVER.keys())
async def test_a_new_console_answers_on_a_descriptor_its_closed_predecessor_had(server, close):
    server.scenario(rules=[{"method": "exec", "times": 1000, "actions": [{"delay_ms": 3}]}])
    for _ in range(25):
        c = await booted()
        await asyncio.wait_for(close(c), 15)
        d = await booted()
        try:
            assert (await asyncio.wait_for(d.exec(["true"]), 10)).code == 0
        finally:
            await d.close()


# --- close cancelled at each step it passes through --------------------------------

async def client_of(kind):
    """A client and a call of its kind."""
    if kind == "console":
        c = await booted()
        return c, lambda: c.exec(["true"])
    c = await ImageClient.try_from_cmd(UVM_CMD)
    return c, c.version


async def close_cancelled(c, kind, call, inflight, after):
    """Closes c and cancels that close `after` seconds on; then a call, which
    finds c either closed for good or open and working."""
    closing = asyncio.ensure_future(c.close())
    await asyncio.sleep(after)
    closing.cancel()
    # Each settles: answered, ended by close, or cancelled with it.
    await asyncio.wait_for(asyncio.gather(inflight, closing, return_exceptions=True), 15)
    try:
        await asyncio.wait_for(call(), 15)
    except halvo.HalvoError as e:
        assert f"this {kind} has been closed" in str(e)


# When close is cancelled, counted from the call in flight: right away,
# while it waits for a call the server is slow to answer, and once it has
# ended that call and waits for the server to quit.
CLOSE_CANCELLED = {"before the grace": 0.0, "during the grace": 0.2, "during the quit wait": 1.0}


@pytest.mark.asyncio
@pytest.mark.parametrize("kind", ["console", "image client"])
@pytest.mark.parametrize("after", CLOSE_CANCELLED.values(), ids=CLOSE_CANCELLED.keys())
async def test_a_cancelled_close_leaves_no_call_waiting(server, kind, after):
    # The first call's answer comes late enough for close to end it; the
    # server then takes its time to quit. Later calls are answered at once.
    method = "exec" if kind == "console" else "version"
    server.scenario(rules=[{"method": method, "index": 1, "actions": [{"delay_ms": 2000}]}],
                    on_quit=[{"delay_ms": 3000}, {"exit": 0}])
    c, call = await client_of(kind)
    try:
        inflight = asyncio.ensure_future(call())
        await server.wait_for("frame", count=2)
        await close_cancelled(c, kind, call, inflight, after)
        other, other_call = await client_of(kind)
        try:
            await asyncio.wait_for(other_call(), 15)
        finally:
            await other.close()
    finally:
        await asyncio.wait_for(c.close(), 15)


@pytest.mark.asyncio
@pytest.mark.parametrize("kind", ["console", "image client"])
async def test_calls_after_a_close_cancelled_within_a_few_milliseconds_settle(server, kind):
    method = "exec" if kind == "console" else "version"
    server.scenario(rules=[{"method": method, "times": 1000, "actions": [{"delay_ms": 2}]}])
    rounds = random.Random(7)
    for _ in range(20):
        c, call = await client_of(kind)
        try:
            inflight = asyncio.ensure_future(call())
            await asyncio.sleep(rounds.uniform(0, 0.004))
            await close_cancelled(c, kind, call, inflight, rounds.uniform(0, 0.003))
        finally:
            await asyncio.wait_for(c.close(), 15)


# --- Ctrl-C while an answer is delivered ------------------------------------------

class InterruptingLoop(asyncio.SelectorEventLoop):
    """Raises KeyboardInterrupt, as Python's SIGINT handler would, from the
    call_soon that schedules a done-callback of the future `target`: before
    the callback is in the ready queue, or after."""

    target = None
    when = None

    def call_soon(self, callback, *args, context=None):
        if self.target is not None and args and args[0] is self.target:
            self.target = None
            if self.when == "after":
                super().call_soon(callback, *args, context=context)
            raise KeyboardInterrupt
        return super().call_soon(callback, *args, context=context)


@pytest.mark.parametrize("when", ["before", "after"])
@pytest.mark.parametrize("awaiting", [1, 3])
def test_ctrl_c_while_an_answer_is_delivered_reaches_the_script_and_strands_no_task(server, when, awaiting):
    # Late enough that the answer comes through the loop's watch.
    server.scenario(rules=[{"method": "version", "actions": [{"delay_ms": 30}]}])
    loop = InterruptingLoop()
    try:
        async def start():
            return await ImageClient.try_from_cmd(UVM_CMD)

        client = loop.run_until_complete(start())

        async def begin():
            return client.version()

        fut = loop.run_until_complete(begin())

        async def wait():
            return await fut

        tasks = [loop.create_task(wait()) for _ in range(awaiting)]
        loop.run_until_complete(asyncio.sleep(0))  # each awaits fut now
        loop.target, loop.when = fut, when
        with pytest.raises(KeyboardInterrupt):
            loop.run_until_complete(asyncio.wait(tasks, timeout=5))
        # Every task awaiting the answer is woken, once.
        done, pending = loop.run_until_complete(asyncio.wait(tasks, timeout=5))
        assert not pending
        assert [t.result() for t in tasks] == ["0.1.2+stand-in"] * awaiting

        async def close():
            await client.close()

        loop.run_until_complete(close())
    finally:
        loop.close()
