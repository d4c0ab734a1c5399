"""ImageClient against the stand-in server, over real pipes."""

import asyncio
import errno
import gc
import hashlib
import inspect
import os
import re
import signal
import time

import bson
import pytest
from bson.int64 import Int64

import halvo
from conftest import UVM, UVM_CMD as CMD, interpreters, run_python
from halvo import ImageClient, ImageSource, Recipe, Step

CLOSED = "this image client has been closed"


async def slow_version(server, delay_ms):
    """A new client and its version call, which the server has received and answers after delay_ms."""
    server.scenario(rules=[{"method": "version", "index": 1, "actions": [{"delay_ms": delay_ms}]}])
    client = await ImageClient.try_from_cmd(CMD)
    version = asyncio.ensure_future(client.version())
    await server.wait_for("frame", count=2)
    return client, version


def digest_of(recipe_doc):
    """The stand-in names an image by the SHA-256 of its recipe's BSON bytes."""
    return "sha256:" + hashlib.sha256(bson.encode(recipe_doc)).hexdigest()


# --- surface -----------------------------------------------------------------

# A docstring in our own words: present (test_docs checks what it says), its
# text not fixed here.
OWN = "our own words"

@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("try_new", "()", "Start `halvo-uvm` from halvo's cache `bin`; the awaitable resolves to the client."),
        ("try_from_cmd", "(cmd)", OWN),
        ("version", "($self)", OWN),
        ("build", "($self, recipe, reference=None)", OWN),
        ("list", "($self)", OWN),
        ("remove", "($self, image)", OWN),
        ("close", "($self)", "End the channel now. Closing twice is the same as closing once."),
        ("__aenter__", "($self)", OWN),
        ("__aexit__", "($self, _exc_type, _exc, _tb)", OWN),
    ],
)
def test_client_signatures_and_docs(name, signature, doc):
    member = getattr(ImageClient, name)
    assert member.__text_signature__ == signature
    assert member.__doc__ if doc is OWN else member.__doc__ == doc
    if "$self" not in signature:
        assert str(inspect.signature(member)) == signature


def test_client_class_shape():
    assert ImageClient.__doc__ and ImageClient.__text_signature__ is None
    assert ImageClient.__module__ == "halvo"
    with pytest.raises(TypeError):
        ImageClient()


def test_arguments_are_converted_before_the_loop_is_asked_for():
    # No running loop here: a conversion error still comes first.
    with pytest.raises(TypeError, match=re.escape("argument 'cmd': Can't extract `str` to `Vec`")):
        ImageClient.try_from_cmd("halvo-uvm")
    with pytest.raises(TypeError, match="argument 'cmd'"):
        ImageClient.try_from_cmd([b"halvo-uvm"])
    with pytest.raises(RuntimeError):
        ImageClient.try_from_cmd(CMD)
    with pytest.raises(RuntimeError):
        ImageClient.try_new()


# --- the main road -----------------------------------------------------------

@pytest.mark.asyncio
async def test_build_list_remove(server):
    client = await ImageClient.try_from_cmd(cmd=tuple(CMD))
    assert isinstance(client, ImageClient)
    assert await client.version() == "0.1.2+stand-in"

    alpine = Recipe("alpine", ["echo hi", Step.env("A", "b c")])
    alpine_digest = digest_of({"v": Int64(1), "base": "alpine",
                               "steps": [{"run": "echo hi"}, {"env": {"key": "A", "value": "b c"}}]})
    built = await client.build(alpine, "app:1")
    assert isinstance(built, halvo.BuildImageResult)
    assert (built.reference, built.digest) == ("app:1", alpine_digest)
    assert repr(built) == f'BuildImageResult(reference="app:1", digest="{alpine_digest}")'

    debian = Recipe("debian").step(Step.copy("src", "/dst")).step(Step.workdir("/w"))
    debian_digest = digest_of({"v": Int64(1), "base": "debian",
                               "steps": [{"copy": {"src": "src", "dst": "/dst"}}, {"workdir": "/w"}]})
    # without a reference the stand-in names the image by its digest
    built = await client.build(recipe=debian)
    assert (built.reference, built.digest) == (debian_digest, debian_digest)
    await client.build(alpine, reference="app:latest")

    entries = await client.list()
    assert [type(e) for e in entries] == [halvo.ImageEntry, halvo.ImageEntry]
    first, second = entries
    assert (first.digest, first.refs) == (alpine_digest, ["app:1", "app:latest"])
    assert (second.digest, second.refs) == (debian_digest, [])
    assert repr(first) == f'ImageEntry(digest="{alpine_digest}", refs=["app:1", "app:latest"])'
    assert repr(second) == f'ImageEntry(digest="{debian_digest}", refs=[])'
    refs = first.refs
    refs.append("mine")
    assert first.refs == ["app:1", "app:latest"] and first.refs is not first.refs

    # remove takes a Recipe itself, or any image source, and resolves to None
    assert await client.remove(debian) is None
    assert await client.remove(image=ImageSource.reference("app:1")) is None
    assert await client.list() == []
    with pytest.raises(TypeError, match="argument 'image': expected ImageSource or Recipe, got str"):
        client.remove("app:1")
    with pytest.raises(TypeError, match="argument 'recipe': expected Recipe, got ImageSource"):
        client.build(ImageSource.recipe(alpine))
    with pytest.raises(TypeError, match="argument 'reference': expected str"):
        client.build(alpine, 1)
    await client.close()

    await server.wait_for("quit")
    assert server.methods() == ["version", "version", "build_image", "build_image", "build_image", "list_images",
                                "remove_image", "remove_image", "list_images", "quit"]
    builds = [e["message"] for e in server.events() if e["event"] == "frame"
              and e["message"].get("method") == "build_image"]
    assert "ref" not in builds[1]["params"]


@pytest.mark.asyncio
async def test_operations_queue_one_at_a_time(server):
    server.scenario(rules=[{"method": "version", "index": 1, "actions": [{"delay_ms": 300}]}])
    client = await ImageClient.try_from_cmd(CMD)
    results = await asyncio.gather(client.version(), client.list(), client.version())
    assert results == ["0.1.2+stand-in", [], "0.1.2+stand-in"]
    await client.close()


@pytest.mark.asyncio
async def test_calls_made_back_to_back_run_in_call_order(server):
    client = await ImageClient.try_from_cmd(CMD)
    for _ in range(20):
        listed, version = client.list(), client.version()
        assert (await listed, await version) == ([], "0.1.2+stand-in")
    # Started before close, so it finds the client open.
    version, closed = client.version(), client.close()
    assert (await version, await closed) == ("0.1.2+stand-in", None)
    await server.wait_for("quit")
    methods = server.methods()
    assert methods == ["version"] + ["list_images", "version"] * 20 + ["version", "quit"]


@pytest.mark.asyncio
async def test_try_new_starts_the_program_in_the_cache_bin(server, tmp_path, monkeypatch):
    home = tmp_path / "home"
    (home / "bin").mkdir(parents=True)
    (home / "bin" / "halvo-uvm").symlink_to(UVM)
    monkeypatch.setenv("HALVO_HOME", str(home))
    monkeypatch.setenv("HOME", str(tmp_path / "elsewhere"))
    client = await ImageClient.try_new()
    assert await client.version() == "0.1.2+stand-in"
    await client.close()
    start = next(e for e in server.events() if e["event"] == "start")
    assert start["argv"] == [str(home / "bin" / "halvo-uvm")]
    assert start["ppid"] == os.getpid()


@pytest.mark.asyncio
@pytest.mark.parametrize("start", ["try_new", "try_from_cmd"])
async def test_the_server_gets_the_environment_as_the_start_finds_it(server, tmp_path, monkeypatch, start):
    later = tmp_path / "later"
    (later / "bin").mkdir(parents=True)
    (later / "bin" / "halvo-uvm").symlink_to(UVM)
    monkeypatch.setenv("HALVO_HOME", str(later))
    monkeypatch.setenv("PATH", f"{later / 'bin'}{os.pathsep}{os.environ['PATH']}")
    moved = tmp_path / "moved.log"
    monkeypatch.setenv("HALVO_UVM_LOG", str(moved))
    client = await (ImageClient.try_new() if start == "try_new" else ImageClient.try_from_cmd(["halvo-uvm"]))
    await client.close()
    assert '"version"' in moved.read_text() and server.events() == []


@pytest.mark.asyncio
async def test_try_new_with_an_empty_home_uses_bin_of_the_working_folder(server, tmp_path, monkeypatch):
    (tmp_path / "bin").mkdir()
    (tmp_path / "bin" / "halvo-uvm").symlink_to(UVM)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("HALVO_HOME", "")
    client = await ImageClient.try_new()
    await client.close()
    assert next(e for e in server.events() if e["event"] == "start")["argv"] == ["bin/halvo-uvm"]


# --- errors ------------------------------------------------------------------

@pytest.mark.asyncio
@pytest.mark.parametrize(
    "cmd, message",
    [
        ([], "an image server needs a program to run"),
        (["/nonexistent/halvo-uvm"],
         f"starting the image server: /nonexistent/halvo-uvm: {os.strerror(errno.ENOENT)} (os error {errno.ENOENT})"),
        (["halvo-uvm-nowhere-on-the-path"],
         "starting the image server: halvo-uvm-nowhere-on-the-path: "
         f"{os.strerror(errno.ENOENT)} (os error {errno.ENOENT})"),
    ],
)
async def test_unstartable_command_is_broken(cmd, message):
    with pytest.raises(halvo.ConsoleBroken) as info:
        await ImageClient.try_from_cmd(cmd)
    assert info.value.args == (message,)


@pytest.mark.asyncio
@pytest.mark.parametrize(
    "cmd, shown",
    [
        (CMD + ["a\0b"], '"a\\0b"'),
        ([CMD[0] + "\0junk"] + CMD[1:], '"' + CMD[0] + '\\0junk"'),
    ],
)
async def test_a_nul_in_the_command_line_is_refused_before_anything_starts(server, cmd, shown):
    # C strings end at the NUL: the program before it, or a cut argument, would run.
    with pytest.raises(halvo.ConsoleBroken) as info:
        await ImageClient.try_from_cmd(cmd)
    assert info.value.args == ("starting the image server: a command line cannot hold a NUL byte: " + shown,)
    assert server.events() == []


@pytest.mark.asyncio
async def test_try_new_without_any_cache_folder_is_broken(monkeypatch):
    monkeypatch.delenv("HALVO_HOME", raising=False)
    monkeypatch.delenv("HOME", raising=False)
    with pytest.raises(halvo.ConsoleBroken) as info:
        await ImageClient.try_new()
    assert info.value.args == ("no cache folder: neither HALVO_HOME nor HOME is set",)


@pytest.mark.asyncio
@pytest.mark.parametrize(
    "reply, code, message",
    [
        ({"reply": "error", "code": -32002, "message": "no machine"}, -32002, "no machine"),
        # a code outside the table still arrives unchanged
        ({"reply": "error", "code": 7, "message": "seven"}, 7, "seven"),
        ({"reply": "as", "method": "list_images", "result": {"images": []}}, -32603,
         "asked version and was answered a list_images result"),
    ],
)
async def test_refused_probe_releases_the_server_without_quit(server, reply, code, message):
    server.scenario(rules=[{"method": "version", "index": 0, "actions": [reply]}])
    with pytest.raises(halvo.ConsoleRefused) as info:
        await ImageClient.try_from_cmd(CMD)
    assert type(info.value) is halvo.ConsoleRefused
    assert (info.value.args, info.value.code) == ((message,), code)
    names = await server.wait_for("eof")
    assert "quit" not in names


@pytest.mark.asyncio
async def test_refusals_and_breakage_leave_the_client_usable(server):
    server.scenario(rules=[
        {"method": "version", "index": 1, "actions": [{"reply": "error", "code": 7, "message": "x"}]},
        {"method": "version", "index": 2, "actions": [{"notify": "stop"}]},
    ])
    client = await ImageClient.try_from_cmd(CMD)
    with pytest.raises(halvo.ConsoleRefused) as info:
        await client.version()
    assert (info.value.args, info.value.code) == (("x",), 7)

    # the chain alone, without "the console channel broke: " in front
    with pytest.raises(halvo.ConsoleBroken) as info:
        await client.version()
    assert type(info.value) is halvo.ConsoleBroken
    assert info.value.args == ("the server sent Notification(Stop), which a client cannot answer",)

    # a refusal from the store carries the server's code and text
    with pytest.raises(halvo.ConsoleRefused) as info:
        await client.remove(ImageSource.digest("sha256:none"))
    assert info.value.code == halvo.ERROR_CODES["UNKNOWN_IMAGE"]
    with pytest.raises(halvo.ConsoleRefused) as info:
        await client.build(Recipe(""))
    assert (info.value.args, info.value.code) == (
        ("this image names no base, and there is no build without one",), halvo.ERROR_CODES["UNSUPPORTED_IMAGE"])

    assert await client.version() == "0.1.2+stand-in"
    await client.close()


@pytest.mark.asyncio
async def test_a_copy_from_a_path_that_is_not_utf8_is_never_sent(server):
    # The failed send still uses up its request id.
    server.scenario(ids="increasing")
    client = await ImageClient.try_from_cmd(CMD)
    with pytest.raises(halvo.ConsoleBroken) as info:
        await client.build(Recipe("alpine", [Step.copy("caf\udce9", "/d")]))
    assert info.value.args == ("sending a message: serializing a message: BSON error. Kind: A serialization-related "
                               "error occurred. Message: path contains invalid UTF-8 characters.",)
    assert await client.version() == "0.1.2+stand-in"
    await client.close()
    await server.wait_for("quit")
    assert server.methods() == ["version", "version", "quit"]


@pytest.mark.asyncio
async def test_server_gone_is_broken_with_the_chain_text(server):
    server.scenario(rules=[{"method": "list_images", "actions": [{"close_stdout": True}]}])
    client = await ImageClient.try_from_cmd(CMD)
    with pytest.raises(halvo.ConsoleBroken) as info:
        await client.list()
    assert info.value.args == ("the server closed the channel before answering request 1",)
    await client.close()


# --- close ---------------------------------------------------------------------

@pytest.mark.asyncio
async def test_close_waits_for_the_operation_in_flight_and_goes_before_later_ones(server):
    client, version = await slow_version(server, 400)
    close = asyncio.ensure_future(client.close())
    await asyncio.sleep(0.1)  # close is queued by now
    with pytest.raises(halvo.HalvoError, match=CLOSED):
        await client.list()
    # the call in flight was answered: close took the client only after it
    assert (await version, await close) == ("0.1.2+stand-in", None)
    await server.wait_for("quit")
    assert server.methods() == ["version", "version", "quit"]


@pytest.mark.asyncio
async def test_close_cancelled_while_it_waits_leaves_the_client_open(server):
    client, version = await slow_version(server, 400)
    close = asyncio.ensure_future(client.close())
    await asyncio.sleep(0.1)
    close.cancel()
    assert await version == "0.1.2+stand-in"
    assert await client.list() == []
    await client.close()
    await server.wait_for("quit")
    assert server.methods() == ["version", "version", "list_images", "quit"]


@pytest.mark.asyncio
async def test_close_does_not_wait_for_the_server_to_exit(server):
    # A server deaf to quit and EOF would hold a waiting close for 10 s.
    server.scenario(on_quit="ignore", on_eof="ignore")
    client = await ImageClient.try_from_cmd(CMD)
    await asyncio.wait_for(client.close(), 5)
    await server.wait_for("quit")
    # Not left to the quit task's kill, which a test run ending sooner never sees.
    os.kill(server.events("start")[0]["pid"], signal.SIGKILL)


def running(pid):
    """Whether the process exists and has not ended (a zombie has ended)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


@pytest.mark.parametrize("how", ["close", "drop"])
def test_a_server_deaf_to_quit_does_not_outlive_the_script(server, how):
    # The script ends while its client's quit still waits for the server.
    server.scenario(on_quit="ignore", on_eof="ignore")
    let_go = "await client.close()" if how == "close" else "del client"
    code = f"""
import asyncio, gc, halvo
async def main():
    client = await halvo.ImageClient.try_from_cmd({CMD!r})
    {let_go}
    gc.collect()
asyncio.run(main())
"""
    for version, exe in sorted(interpreters().items()):
        r = run_python(code, python=exe)
        assert r.returncode == 0, f"{version}: {r.stderr}"
        pids = [e["pid"] for e in server.events("start")]
        server.log.unlink()
        assert len(pids) == 1, version
        try:
            deadline = time.monotonic() + 5
            while running(pids[0]) and time.monotonic() < deadline:
                time.sleep(0.05)
            assert not running(pids[0]), f"{version}: the server outlived the script"
        finally:
            if running(pids[0]):
                os.kill(pids[0], 9)


@pytest.mark.asyncio
async def test_use_after_close(server):
    client = await ImageClient.try_from_cmd(CMD)
    await client.close()
    for op in (client.version, client.list, lambda: client.build(Recipe("a")),
               lambda: client.remove(Recipe("a"))):
        with pytest.raises(halvo.HalvoError) as info:
            await op()
        assert type(info.value) is halvo.HalvoError
        assert info.value.args == (CLOSED,)
    assert await client.close() is None
    assert await client.__aexit__(None, None, None) is None
    await server.wait_for("quit")
    assert server.methods() == ["version", "quit"]


@pytest.mark.asyncio
async def test_async_with_closes_and_never_suppresses(server):
    async with await ImageClient.try_from_cmd(CMD) as client:
        assert isinstance(client, ImageClient)
        assert await client.version() == "0.1.2+stand-in"
    with pytest.raises(halvo.HalvoError, match=CLOSED):
        await client.version()

    opened = await ImageClient.try_from_cmd(CMD)
    with pytest.raises(ZeroDivisionError):
        async with opened as inside:
            assert inside is opened
            1 / 0
    with pytest.raises(halvo.HalvoError, match=CLOSED):
        await opened.list()


@pytest.mark.asyncio
async def test_cancelled_operation_frees_the_client(server):
    client, slow = await slow_version(server, 400)
    slow.cancel()
    with pytest.raises(asyncio.CancelledError):
        await slow
    # the next call skips the late answer and gets its own
    assert await client.list() == []
    await client.close()


@pytest.mark.asyncio
async def test_a_collected_client_asks_its_server_to_quit(server):
    client = await ImageClient.try_from_cmd(CMD)
    assert await client.version() == "0.1.2+stand-in"
    del client
    gc.collect()
    await server.wait_for("quit")


# --- calls answered on the event loop's own thread ------------------------------

@pytest.mark.asyncio
async def test_a_cancelled_call_frees_the_client_at_once_and_its_answer_is_skipped(server, capfd):
    client, slow = await slow_version(server, 400)
    slow.cancel()
    with pytest.raises(asyncio.CancelledError):
        await slow
    # Sent at once, read after the late answer, which is reported and skipped.
    assert await client.version() == "0.1.2+stand-in"
    assert "console: a response arrived for request 1, which nobody made\n" in capfd.readouterr().err
    await client.close()


@pytest.mark.asyncio
async def test_a_call_never_overtakes_one_started_before_it(server):
    client = await ImageClient.try_from_cmd(CMD)
    # Too large to be sent without waiting: it goes through the runtime.
    large = Recipe("base", [Step.run("x" * 100_000)])
    built, version = client.build(large), client.version()
    assert (await built).digest.startswith("sha256:")
    assert await version == "0.1.2+stand-in"
    assert server.methods() == ["version", "build_image", "version"]
    await client.close()


@pytest.mark.asyncio
async def test_large_answers_are_read_whole(server):
    client = await ImageClient.try_from_cmd(CMD)
    refs = [f"r{i}-" + "x" * 200 for i in range(400)]  # a listing of about 100 KB
    for ref in refs:
        await client.build(Recipe("base", [Step.run(ref)]), reference=ref)
    listed = await client.list()
    assert sorted(r for e in listed for r in e.refs) == sorted(refs)
    assert await client.version() == "0.1.2+stand-in"
    await client.close()


def test_one_client_serves_loops_in_several_threads(server):
    async def opened():
        return await ImageClient.try_from_cmd(CMD)

    client = asyncio.run(opened())
    results, errors = [], []

    def worker():
        async def calls():
            return [await client.version() for _ in range(50)] + [await client.list()]

        try:
            results.append(asyncio.run(calls()))
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    import threading
    threads = [threading.Thread(target=worker) for _ in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(60)
    assert errors == []
    assert results == [["0.1.2+stand-in"] * 50 + [[]]] * 4
    async def closed():
        await client.close()

    asyncio.run(closed())


# How a call's loop goes away, and what the interpreter then says on stderr.
LOOP_GONE = [
    # In flight when the loop closes: its outcome goes the old way.
    ("in flight", """
async def start():
    global client, pending
    client = await halvo.ImageClient.try_from_cmd(CMD)
    pending = client.version()
    await asyncio.sleep(0.05)
asyncio.run(start())
""", "Event loop is closed"),
    # Cancelled, and the loop closed before the turn that would pass the
    # cancel on: the call ends quietly.
    ("cancelled", """
loop = asyncio.new_event_loop()
async def start():
    global client
    client = await halvo.ImageClient.try_from_cmd(CMD)
loop.run_until_complete(start())
async def begin():
    pending = client.version()
    pending.cancel()
    loop.stop()
loop.create_task(begin())
loop.run_forever()
loop.close()
""", None),
]


@pytest.mark.parametrize("how, start, said", LOOP_GONE, ids=[c[0] for c in LOOP_GONE])
def test_a_call_whose_loop_goes_away_leaves_the_client_in_step(server, how, start, said):
    server.scenario(rules=[{"method": "version", "index": 1, "actions": [{"delay_ms": 300}]}])
    r = run_python(f"import asyncio, halvo\nCMD = {CMD!r}\n" + start + """
async def later():
    print(await client.version(), await client.list())
    await client.close()
asyncio.run(later())
# The closed loop's outcome is reported from a pool thread, which needs the
# interpreter lock; an exit before it gets it drops the line.
import time; time.sleep(0.3)
""")
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n")[0] == "0.1.2+stand-in []"
    if said:
        assert said in r.stderr
    else:
        assert "Traceback" not in r.stderr and "Exception ignored" not in r.stderr, r.stderr


@pytest.mark.asyncio
async def test_close_cuts_a_write_stuck_on_a_server_that_stopped_reading(server):
    # The server sleeps on a call, so a large request behind it fills the pipe.
    server.scenario(rules=[{"method": "version", "index": 1, "actions": [{"delay_ms": 5000}]}])
    client = await ImageClient.try_from_cmd(CMD)
    version = asyncio.ensure_future(client.version())
    await server.wait_for("frame", count=2)
    build = asyncio.ensure_future(client.build(Recipe("base", [Step.run("x" * 2_000_000)])))
    await asyncio.sleep(0.2)
    version.cancel()  # frees the client: the build's write starts and stalls
    await asyncio.sleep(0.3)
    build.cancel()  # its write goes on, shielded, and holds the client
    started = time.monotonic()
    await asyncio.wait_for(client.close(), 3)
    assert time.monotonic() - started < 3


def test_exit_with_calls_pending_on_the_loop_and_the_runtime_is_clean(server):

    server.scenario(rules=[{"method": "version", "index": 1, "actions": [{"delay_ms": 2000}]}])
    code = f"""
import asyncio, halvo
async def main():
    global client, pending
    client = await halvo.ImageClient.try_from_cmd({CMD!r})
    pending = [client.version(), client.list(), client.version()]  # the first on the loop's thread
    await asyncio.sleep(0.05)
asyncio.run(main())
print("exiting")
"""
    for version, exe in sorted(interpreters().items()):
        r = run_python(code, python=exe)
        assert (r.returncode, r.stdout.strip()) == (0, "exiting"), f"{version}: {r.stderr[-2000:]}"
        assert "Fatal" not in r.stderr and "Segmentation" not in r.stderr, f"{version}: {r.stderr[-2000:]}"
