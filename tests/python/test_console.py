"""ConsoleClientBuilder, ConsoleClient, ExecResult and ReadResult against the stand-in server."""

import asyncio
import errno
import fcntl
import gc
import inspect
import os
import re
import struct
import termios
import time

import bson
import pytest
from bson.int64 import Int64

import halvo
from conftest import UVM, UVM_CMD, FsPath, interpreters, mounts_under, needs_fuse, run_python
from halvo import ConsoleClient, ConsoleClientBuilder, ExecResult, ReadResult

CLOSED = "this console has been closed"
BUILT = "this ConsoleClientBuilder has already been built"
STR_TO_VEC = "Can't extract `str` to `Vec`"
CODES = halvo.ERROR_CODES


def builder():
    return ConsoleClient.builder().cmd(UVM_CMD)


def canned_init(server, **scenario):
    """init answered without a boot, so settings the stand-in would act on only reach it."""
    server.scenario(rules=[{"method": "init", "actions": [{"reply": "as", "method": "init"}]}], **scenario)


def init_params(server):
    return next(m["params"] for m in server.received() if m.get("method") == "init")


# --- surface -------------------------------------------------------------------

PORTS_DOC = ("Ports on the server's machine that lead into the session, written the way docker's `-p`\n"
             "writes them, host port first: 8080:80.")
BUILD_DOC = "Announce the session to the server; the awaitable resolves to the resulting\n`ConsoleClient`."


class Begins(str):
    """A docstring that opens with these lines, then goes on in our own words."""


WRITE_DOC = Begins("Put `data` in a file, answering with the file's size afterwards.")
CLOSE_DOC = Begins("End the session and resolve once the server is gone and its mounts are let go of.\n"
                   "Closing twice is the same as closing once.\n"
                   "\n"
                   "A garbage-collected console ends on a task nothing waits for, so a program exiting right\n"
                   "after may leave its mounts up; close it, or use `async with`, when they must be down.")
RELAY_DOC = ("Answer one protocol frame on this console's channel, for an extension that drives this\n"
             "session as a console of its own (see `halvo::console::Relay`); not for Python callers.\n"
             "\n"
             "Runs on this module's runtime, then calls `reply(answer, None)` with the answer frame,\n"
             "or `reply(None, reason)` when the channel is broken or this console closed. A callback\n"
             "rather than an awaitable, so the caller needs no event loop: it may be a thread of\n"
             "another extension's runtime.")

# A docstring in our own words: present (test_docs checks what it says), its
# text not fixed here.
OWN = "our own words"

# (class, member, text signature, docstring proper), in each class's order
MEMBERS = [
    (ConsoleClientBuilder, "cmd", "($self, cmd)", OWN),
    (ConsoleClientBuilder, "mount", "($self, mount, at)", OWN),
    (ConsoleClientBuilder, "mount_readonly", "($self, mount, at)", OWN),
    (ConsoleClientBuilder, "image", "($self, image)", OWN),
    (ConsoleClientBuilder, "snapshot", "($self, snapshot)", OWN),
    (ConsoleClientBuilder, "network", "($self, network)", OWN),
    (ConsoleClientBuilder, "ports", "($self, ports)", PORTS_DOC),
    (ConsoleClientBuilder, "vcpus", "($self, vcpus)", OWN),
    (ConsoleClientBuilder, "memory_mib", "($self, memory_mib)", OWN),
    (ConsoleClientBuilder, "gpu", "($self, gpu)", OWN),
    (ConsoleClientBuilder, "gpu_memory_mib", "($self, gpu_memory_mib)", OWN),
    (ConsoleClientBuilder, "disk_gib", "($self, disk_gib)", OWN),
    (ConsoleClientBuilder, "build", "($self)", BUILD_DOC),
    (ConsoleClient, "builder", "()", OWN),
    (ConsoleClient, "start", "($self)", OWN),
    (ConsoleClient, "stop", "($self)", OWN),
    (ConsoleClient, "exec", "($self, cmd, timeout_ms=None)", OWN),
    (ConsoleClient, "read", "($self, path, offset=None, len=None)", OWN),
    (ConsoleClient, "write", "($self, path, data, offset=None)", WRITE_DOC),
    (ConsoleClient, "snapshot", "($self)", OWN),
    (ConsoleClient, "_relay", "($self, frame, reply)", RELAY_DOC),
    (ConsoleClient, "close", "($self)", CLOSE_DOC),
    (ConsoleClient, "__aenter__", "($self)", OWN),
    (ConsoleClient, "__aexit__", "($self, _exc_type, _exc, _tb)", OWN),
]


@pytest.mark.parametrize("cls, name, signature, doc", MEMBERS, ids=[f"{c.__name__}.{n}" for c, n, _, _ in MEMBERS])
def test_signatures_and_docs(cls, name, signature, doc):
    member = getattr(cls, name)
    assert member.__text_signature__ == signature
    if doc is OWN:
        assert member.__doc__
    elif isinstance(doc, Begins):
        assert member.__doc__.startswith(doc + "\n\n"), member.__doc__
    else:
        assert member.__doc__ == doc


def test_class_shapes():
    for cls in (ConsoleClientBuilder, ConsoleClient):
        names = [n for c, n, _, _ in MEMBERS if c is cls]
        assert [n for n in vars(cls) if n in names] == names
    assert isinstance(ConsoleClient.__dict__["builder"], staticmethod)
    assert inspect.isdatadescriptor(ConsoleClient.mounts)

    assert ConsoleClientBuilder.__text_signature__ == "()"
    doc = ConsoleClientBuilder.__doc__.splitlines()
    assert len(doc) == 2 and "build()" in doc[1] and "same object" in doc[1]
    for cls in (ConsoleClient, ExecResult, ReadResult):
        assert cls.__doc__ and cls.__text_signature__ is None
        with pytest.raises(TypeError):
            cls()
    for cls in (ConsoleClientBuilder, ConsoleClient, ExecResult, ReadResult):
        assert cls.__module__ == "halvo"
    assert type(ConsoleClient.builder()) is ConsoleClientBuilder


@pytest.mark.asyncio
async def test_results_are_values_compared_by_identity(server):
    async with await builder().build() as c:
        ran = await c.exec(["printf", "abc"])
        assert repr(ran) == str(ran) == "ExecResult(code=0, stdout=<3 bytes>, stderr=<0 bytes>, truncated=False)"
        await c.write("/f", b"12345")
        one, two = await c.read("/f", 1, 2), await c.read("/f", 1, 2)
    assert repr(one) == str(one) == "ReadResult(data=<2 bytes>, size=5)"
    assert (one.data, one.size) == (two.data, two.size) == (b"23", 5)
    assert one != two and one == one and hash(one) != hash(two)
    assert ran.stdout == ran.stdout and ran.stdout is not ran.stdout
    for obj, attr in ((ran, "code"), (ran, "stdout"), (one, "size")):
        with pytest.raises(AttributeError):
            setattr(obj, attr, 1)


# --- the builder ---------------------------------------------------------------

SETTERS = [
    ("cmd", (UVM_CMD,)), ("mount", ("/srv", "/srv")), ("mount_readonly", (FsPath("/srv"), "/ro")),
    ("image", (halvo.Recipe("alpine"),)), ("image", (halvo.ImageSource.reference("app"),)),
    ("snapshot", (b"\x01",)), ("snapshot", (bytearray(b"\x02"),)), ("snapshot", ([0, 255],)),
    ("network", (False,)), ("ports", (["80:80"],)), ("ports", (("1:2", "3:4"),)),
    ("vcpus", (255,)), ("vcpus", (0,)), ("memory_mib", (2**32 - 1,)), ("gpu", (True,)),
    ("gpu_memory_mib", (0,)), ("disk_gib", (2**32 - 1,)),
]


def test_every_setter_returns_the_same_builder_and_build_empties_it(server):
    b = ConsoleClientBuilder()
    for name, args in SETTERS:
        assert getattr(b, name)(*args) is b, name
    # Emptied before the loop is asked for: with none running it is gone all the same.
    with pytest.raises(RuntimeError):
        b.build()
    for name, args in SETTERS + [("build", ())]:
        with pytest.raises(ValueError, match=f"^{BUILT}$"):
            getattr(b, name)(*args)
    assert server.events() == []   # nothing was started


@pytest.mark.parametrize(
    "name, value, cls, message",
    [
        ("vcpus", 256, OverflowError, "argument 'vcpus'"),
        ("vcpus", -1, OverflowError, "argument 'vcpus'"),
        ("memory_mib", 2**32, OverflowError, "argument 'memory_mib'"),
        ("gpu_memory_mib", -1, OverflowError, "argument 'gpu_memory_mib'"),
        ("disk_gib", 2**32, OverflowError, "argument 'disk_gib'"),
        ("cmd", "halvo-uvm", TypeError, re.escape(f"argument 'cmd': {STR_TO_VEC}")),
        ("cmd", [b"halvo-uvm"], TypeError, "argument 'cmd'"),
        ("ports", "80:80", TypeError, re.escape(f"argument 'ports': {STR_TO_VEC}")),
        ("snapshot", "blob", TypeError, re.escape(f"argument 'snapshot': {STR_TO_VEC}")),
        ("network", 1, TypeError, "argument 'network'"),
        ("gpu", None, TypeError, "argument 'gpu'"),
        ("image", "alpine", TypeError, "argument 'image'"),
        ("ports", ["80:80", "80"], ValueError, re.escape('not <host>:<console>: "80"')),
        ("ports", ["0:80"], ValueError, re.escape('port 0 is no port: "0:80"')),
        ("ports", ["80:x"], ValueError, re.escape('not a port number: "80:x"')),
    ],
)
@pytest.mark.asyncio
async def test_a_refused_setting_leaves_the_builder_as_it_was(server, name, value, cls, message):
    canned_init(server)
    b = builder().ports(["1:2"]).vcpus(2)
    with pytest.raises(cls, match=message):
        getattr(b, name)(value)
    await (await b.build()).close()
    assert init_params(server) == {"ports": ["1:2"], "vcpus": 2}


@pytest.mark.asyncio
async def test_mount_paths_are_made_absolute_when_given(server, tmp_path, monkeypatch):
    canned_init(server)
    monkeypatch.chdir(tmp_path)
    b = builder()
    for path, at in [("a/./b//c/", "/rel"), (FsPath("x"), "/fspath"), ("//srv/./y", "/two"),
                     ("/p/../q", "/dots"), (str(tmp_path / "with blank"), "/blank")]:
        b.mount(path, at)
    with pytest.raises(OSError) as info:
        b.mount("", "/empty")
    assert type(info.value) is OSError and info.value.args == ("cannot make an empty path absolute",)
    monkeypatch.chdir("/")   # made absolute at the call, not at the build
    c = await b.build()
    assert c.mounts == ["/rel", "/fspath", "/two", "/dots", "/blank"]
    await c.close()
    assert init_params(server)["mounts"] == [
        f"file://{tmp_path}/a/b/c/:/rel", f"file://{tmp_path}/x:/fspath", "file:////srv/y:/two",
        "file:///p/../q:/dots", f"file://{tmp_path}/with blank:/blank"]


# --- the init call -------------------------------------------------------------

@pytest.mark.asyncio
async def test_init_carries_every_setting_with_its_bson_type(server, tmp_path):
    canned_init(server)
    c = await (builder().image(halvo.ImageSource.reference("app:1")).snapshot([0, 1, 255]).network(False)
               .ports(["9:9"]).ports(["8080:80", "2222:22"]).vcpus(4).memory_mib(2**32 - 1).gpu(True)
               .gpu_memory_mib(512).disk_gib(20).mount_readonly(tmp_path, "/data").build())
    assert c.mounts == ["/data"]
    await c.close()
    params = init_params(server)
    assert params == {
        "image": {"type": "ref", "ref": "app:1"}, "snapshot": [0, 1, 255], "network": False,
        "ports": ["8080:80", "2222:22"], "vcpus": 4, "memory_mib": 2**32 - 1, "gpu": True,
        "gpu_memory_mib": 512, "disk_gib": 20, "mounts": [f"file://{tmp_path}:/data:ro"]}
    assert list(params) == ["image", "snapshot", "network", "ports", "vcpus", "memory_mib", "gpu",
                            "gpu_memory_mib", "disk_gib", "mounts"]
    assert type(params["vcpus"]) is int
    assert all(type(params[k]) is Int64 for k in ("memory_mib", "gpu_memory_mib", "disk_gib"))
    assert all(type(b) is int for b in params["snapshot"])


@pytest.mark.asyncio
async def test_init_at_the_defaults_is_an_empty_document_and_network_on_is_left_out(server):
    c = await builder().network(True).build()
    await c.close()
    assert init_params(server) == {}
    assert server.methods() == ["init", "quit"]


# --- the operations ------------------------------------------------------------

@pytest.mark.asyncio
async def test_exec_read_write_and_a_second_console_from_a_snapshot(server):
    async with await builder().build() as c:
        assert await c.start() is None and await c.stop() is None
        ran = await c.exec(["sh", "-c", "printf out; printf err >&2; exit 3"], timeout_ms=10_000)
        assert (ran.code, ran.stdout, ran.stderr, ran.truncated) == (3, b"out", b"err", False)
        assert await c.write("/notes/a.txt", "é") == 2   # a str goes as its UTF-8 bytes
        assert await c.write(path="/notes/a.txt", data=b"xyz", offset=4) == 7
        whole = await c.read("/notes/a.txt")
        assert (whole.data, whole.size) == (b"\xc3\xa9\0\0xyz", 7)
        part = await c.read(path="/notes/a.txt", offset=4, len=2)
        assert (part.data, part.size) == (b"xy", 7)
        # commands see what write wrote, and read sees what commands wrote
        assert (await c.exec(["cat", "/notes/a.txt"])).stdout == b"\xc3\xa9\0\0xyz"
        await c.exec(["sh", "-c", "echo from a command > /notes/b.txt"])
        assert (await c.read("/notes/b.txt")).data == b"from a command\n"
        big = await c.exec(["head", "-c", str(17 << 20), "/dev/zero"])
        assert (big.code, len(big.stdout), big.truncated) == (0, 16 << 20, True)
        blob = await c.snapshot()
    assert type(blob) is bytes and blob
    async with await builder().snapshot(bytearray(blob)).build() as again:
        assert (await again.exec(["cat", "/notes/a.txt", "/notes/b.txt"])).stdout == \
            b"\xc3\xa9\0\0xyz" + b"from a command\n"
    assert server.methods().count("start") == server.methods().count("stop") == 1


@pytest.mark.asyncio
async def test_refusals_and_breakage_reach_the_script_and_the_console_goes_on(server):
    # (rule for the answer, the operation, exception, code, message); request 0 is init
    cases = [
        ({"reply": "error", "code": -32012, "message": "unknown image"}, lambda c: c.exec(["true"]),
         halvo.ConsoleRefused, -32012, "unknown image"),
        ({"reply": "error", "code": 7, "message": "seven"}, lambda c: c.snapshot(),
         halvo.ConsoleRefused, 7, "seven"),
        ({"reply": "as", "method": "read"}, lambda c: c.exec(["true"]),
         halvo.ConsoleRefused, -32603, "asked exec and was answered a read result"),
        ({"reply": "as", "method": "exec"}, lambda c: c.write("/f", b"x"),
         halvo.ConsoleRefused, -32603, "asked write and was answered a exec result"),
        (None, lambda c: c.exec(["sleep", "5"], timeout_ms=100),
         halvo.ConsoleRefused, CODES["TIMED_OUT"], "sleep ran longer than 100 ms"),
        (None, lambda c: c.exec(["no-such-program"]),
         halvo.ConsoleRefused, CODES["NOT_EXECUTABLE"], None),
        (None, lambda c: c.read("/missing"), halvo.ConsoleRefused, CODES["NOT_FOUND"], "/missing: no such file"),
        (None, lambda c: c.read("/tmp"), halvo.ConsoleRefused, CODES["IS_A_DIRECTORY"], "/tmp is a directory"),
        ({"notify": "stop"}, lambda c: c.exec(["true"]), halvo.ConsoleBroken, None,
         "the server sent Notification(Stop), which a client cannot answer"),
    ]
    server.scenario(rules=[{"index": i + 1, "actions": [rule]} for i, (rule, *_) in enumerate(cases) if rule])
    async with await builder().build() as c:
        for rule, op, cls, code, message in cases:
            with pytest.raises(cls) as info:
                await op(c)
            assert type(info.value) is cls, rule
            assert getattr(info.value, "code", None) == code
            if message is not None:
                assert info.value.args == (message,)
        assert (await c.exec(["echo", "still here"])).stdout == b"still here\n"


@pytest.mark.asyncio
async def test_a_snapshot_larger_than_a_frame_is_console_broken(server):
    # Only the answer's length: a whole one would keep the server writing until it is killed.
    server.scenario(rules=[{"method": "snapshot", "actions": [{"raw": "04000001"}, {"reply": "none"}]}])
    c = await builder().build()
    with pytest.raises(halvo.ConsoleBroken) as info:
        await c.snapshot()
    assert info.value.args == ("reading a message: a frame of 67108865 bytes is more than the 67108864 this "
                               "protocol agrees to accept",)
    assert await asyncio.wait_for(c.close(), 5) is None


@pytest.mark.asyncio
async def test_a_closed_console(server, tmp_path):
    c = await builder().mount(tmp_path, "/data").mount_readonly(tmp_path, "/ro").build()
    assert c.mounts == ["/data", "/ro"] and c.mounts is not c.mounts
    assert await c.close() is None
    ops = [c.start, c.stop, lambda: c.exec(["true"]), lambda: c.read("/f"), lambda: c.write("/f", b"x"),
           c.snapshot]
    for op in ops:
        with pytest.raises(halvo.HalvoError) as info:
            await op()
        assert type(info.value) is halvo.HalvoError and info.value.args == (CLOSED,)
    assert await c.close() is None
    assert await c.__aexit__(None, None, None) is None
    assert c.mounts == ["/data", "/ro"]
    assert server.methods() == ["init", "quit"]


@pytest.mark.asyncio
async def test_async_with_closes_and_never_suppresses(server):
    async with await builder().build() as c:
        assert isinstance(c, ConsoleClient)
        assert await c.__aenter__() is c
    with pytest.raises(halvo.HalvoError, match=CLOSED):
        await c.exec(["true"])

    opened = await builder().build()
    with pytest.raises(ZeroDivisionError):
        async with opened:
            1 / 0
    with pytest.raises(halvo.HalvoError, match=CLOSED):
        await opened.exec(["true"])
    await server.wait_for("quit", count=2)


def test_operations_need_a_running_loop_and_convert_their_arguments_first(server):
    async def opened():
        return await builder().build()

    c = asyncio.run(opened())
    with pytest.raises(TypeError, match=re.escape(f"argument 'cmd': {STR_TO_VEC}")):
        c.exec("true")
    with pytest.raises(OverflowError, match="argument 'timeout_ms'"):
        c.exec(["true"], timeout_ms=-1)
    with pytest.raises(TypeError, match="argument 'data'"):
        c.write("/f", 3)
    for op in (c.start, c.snapshot, lambda: c.exec(["true"]), lambda: c.read("/f")):
        with pytest.raises(RuntimeError):
            op()

    async def closed():
        await c.close()

    asyncio.run(closed())


# --- build errors --------------------------------------------------------------

ENOENT = f"{os.strerror(errno.ENOENT)} (os error {errno.ENOENT})"


@pytest.mark.asyncio
@pytest.mark.parametrize(
    "make, cls, code, message, started",
    [
        (lambda t: ConsoleClient.builder().cmd([]), halvo.HalvoError, None,
         "a console server needs a program to run", False),
        (lambda t: ConsoleClient.builder().cmd(["/nonexistent/halvo-uvm"]), halvo.HalvoError, None,
         f"starting the console server: /nonexistent/halvo-uvm: {ENOENT}", False),
        (lambda t: ConsoleClient.builder().cmd(["halvo-uvm-nowhere-on-the-path"]), halvo.HalvoError, None,
         f"starting the console server: halvo-uvm-nowhere-on-the-path: {ENOENT}", False),
        (lambda t: builder().mount(t, "rel"), halvo.HalvoError, None,
         'a guest path is absolute: "file://{t}:rel"', True),
        (lambda t: builder().mount(t, "/a:b"), halvo.HalvoError, None,
         'a guest path cannot carry a colon: "file://{t}:/a:b"', True),
        (lambda t: builder().mount(t, "/g\udcff"), halvo.HalvoError, None,
         'a tree can only be mounted at a UTF-8 path: "/g\ufffd"', True),
        (lambda t: builder().mount(t, "/ok").mount(f"{t}/caf\udcff", "/b"), halvo.HalvoError, None,
         'a mount point that is not an absolute UTF-8 path cannot be named: "{t}/caf\ufffd"', True),
        (lambda t: builder().vcpus(0), halvo.ConsoleRefused, CODES["UNSUPPORTED_MACHINE"],
         "a console needs at least one virtual CPU", True),
        (lambda t: builder().image(halvo.ImageSource.reference("nowhere")), halvo.ConsoleRefused,
         CODES["UNKNOWN_IMAGE"], "unknown image: ref 'nowhere'", True),
        (lambda t: builder().snapshot(b"not a snapshot"), halvo.ConsoleRefused, CODES["BOOT_FAILED"], None, True),
        # a byte of the init call's snapshot takes 7 to 13 bytes of the message
        (lambda t: builder().snapshot(bytes(5_300_000)), halvo.ConsoleBroken, None,
         "sending a message: a frame of 67788969 bytes is more than the 67108864 this protocol agrees to send",
         True),
    ],
    ids=["empty cmd", "missing program", "not on the path", "relative guest path", "colon in the guest path",
         "guest path not utf-8", "mount point not utf-8", "init refused", "unknown image", "bad snapshot",
         "snapshot over the frame limit"],
)
async def test_a_failed_build_lets_the_server_go_without_quit(server, tmp_path, make, cls, code, message, started):
    with pytest.raises(cls) as info:
        await make(tmp_path).build()
    assert type(info.value) is cls
    assert getattr(info.value, "code", None) == code
    if message is not None:
        assert info.value.args == (message.format(t=tmp_path),)
    if started:
        names = await server.wait_for("eof")
        assert "quit" not in names
    else:
        assert server.events() == []


@pytest.mark.asyncio
async def test_an_init_on_a_broken_channel_is_console_broken(server):
    server.scenario(rules=[{"method": "init", "actions": [{"close_stdout": True}]}])
    with pytest.raises(halvo.ConsoleBroken) as info:
        await builder().build()
    assert info.value.args == ("the server closed the channel before answering request 0",)
    assert "quit" not in await server.wait_for("eof")


@pytest.mark.asyncio
async def test_a_build_that_failed_cannot_be_retried(server):
    b = ConsoleClient.builder().cmd([])
    with pytest.raises(halvo.HalvoError):
        await b.build()
    with pytest.raises(ValueError, match=BUILT):
        b.build()


# --- the default server --------------------------------------------------------

def shim(folder, log):
    """bin/halvo-uvm in folder: logs how it was started, then runs the stand-in."""
    (folder / "bin").mkdir(parents=True)
    program = folder / "bin" / "halvo-uvm"
    program.write_text(f'#!/bin/sh\nprintf "%s|%s|%s\\n" "$0" "$#" "$(pwd)" >> "{log}"\n'
                       f'exec "{UVM_CMD[0]}" "{UVM}" "$@"\n')
    program.chmod(0o755)


@pytest.mark.asyncio
@pytest.mark.parametrize("home", ["folder", "empty"])
async def test_the_default_server_is_bin_halvo_uvm_of_the_cache_folder(server, tmp_path, monkeypatch, home):
    log = tmp_path / "shim.log"
    work = tmp_path / "work"
    shim(tmp_path / "home", log)
    shim(work, log)
    monkeypatch.setenv("HOME", str(tmp_path / "nowhere"))
    monkeypatch.setenv("HALVO_HOME", str(tmp_path / "home") if home == "folder" else "")
    b = ConsoleClientBuilder() if home == "folder" else ConsoleClient.builder()
    # Read when the builder is made; a relative program is found from the
    # working folder when the server starts.
    monkeypatch.setenv("HALVO_HOME", str(tmp_path / "elsewhere"))
    monkeypatch.chdir(work)
    async with await b.build() as c:
        assert (await c.exec(["echo", "hi"])).stdout == b"hi\n"
    program = f"{tmp_path}/home/bin/halvo-uvm" if home == "folder" else "bin/halvo-uvm"
    assert log.read_text() == f"{program}|0|{work}\n"


@pytest.mark.asyncio
@pytest.mark.parametrize("made", ["default builder", "cmd"])
async def test_the_server_gets_the_environment_as_build_finds_it(server, tmp_path, monkeypatch, made):
    # Both the program's folder on PATH and a variable come after the builder
    # and its command line, and before build().
    later = tmp_path / "later"
    later.mkdir()
    program = later / "halvo-uvm-later"
    program.write_text(f'#!/bin/sh\nexec "{UVM_CMD[0]}" "{UVM}" "$@"\n')
    program.chmod(0o755)
    if made == "default builder":
        monkeypatch.setenv("HALVO_HOME", str(tmp_path / "home"))
        (tmp_path / "home" / "bin").mkdir(parents=True)
        (tmp_path / "home" / "bin" / "halvo-uvm").symlink_to(program)
        b = ConsoleClient.builder()
    else:
        b = ConsoleClient.builder().cmd(["halvo-uvm-later"])
    monkeypatch.setenv("PATH", f"{later}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.setenv("HALVO_PROBE", "set before build")
    moved = tmp_path / "moved.log"
    monkeypatch.setenv("HALVO_UVM_LOG", str(moved))
    async with await b.build() as c:
        ran = await c.exec(["sh", "-c", 'printf %s "$HALVO_PROBE"'])
    assert ran.stdout == b"set before build"
    assert "init" in moved.read_text() and server.events() == []


@pytest.mark.asyncio
async def test_without_a_cache_folder_the_build_says_why(monkeypatch):
    monkeypatch.delenv("HALVO_HOME", raising=False)
    monkeypatch.delenv("HOME", raising=False)
    with pytest.raises(halvo.HalvoError) as info:
        await ConsoleClient.builder().build()
    assert info.value.args == ("no cache folder: neither HALVO_HOME nor HOME is set",)


# --- one operation at a time per console ---------------------------------------

@pytest.mark.asyncio
async def test_gathered_execs_never_overlap_and_answer_in_call_order(server):
    server.scenario(serial=True)
    async with await builder().build() as c:
        ran = await asyncio.gather(*(c.exec(["echo", str(i)]) for i in range(20)))
    assert [r.stdout for r in ran] == [f"{i}\n".encode() for i in range(20)]
    assert server.events("violation") == []


@pytest.mark.asyncio
async def test_two_consoles_run_at_once(server, tmp_path):
    meet = tmp_path / "meet"
    meet.mkdir()

    def meets(me, other):  # returns only once the other console's command has started
        return ["sh", "-c", f"touch /meet/{me}; while [ ! -e /meet/{other} ]; do sleep 0.01; done"]

    a, b = await asyncio.gather(builder().mount(meet, "/meet").build(), builder().mount(meet, "/meet").build())
    ran = await asyncio.gather(a.exec(meets("a", "b"), 10_000), b.exec(meets("b", "a"), 10_000))
    assert [r.code for r in ran] == [0, 0]
    await asyncio.gather(a.close(), b.close())


# --- cancellation --------------------------------------------------------------

@pytest.mark.asyncio
async def test_a_cancelled_exec_frees_the_console_and_its_answer_is_skipped(server, capfd):
    server.scenario(rules=[{"method": "exec", "index": 1, "actions": [{"delay_ms": 600}]}])
    async with await builder().build() as c:
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(c.exec(["echo", "late"]), 0.2)
        assert (await c.exec(["echo", "next"])).stdout == b"next\n"
    assert "console: a response arrived for request 1, which nobody made\n" in capfd.readouterr().err


def unread_input(pid):
    """Bytes written to a process's standard input that it has not read yet."""
    with open(f"/proc/{pid}/fd/0", "rb", buffering=0) as pipe:
        return struct.unpack("i", fcntl.ioctl(pipe, termios.FIONREAD, b"\0" * 4))[0]


async def stuck_write(server, c):
    """A 30 MB write cancelled while it is stuck on a server that is not reading:
    the server sleeps on request 1, which is cancelled to let the write start."""
    busy = asyncio.ensure_future(c.exec(["true"]))
    await server.wait_for("frame", count=2)
    write = asyncio.ensure_future(c.write("/big", bytes(30 << 20)))
    await asyncio.sleep(0.1)
    busy.cancel()
    pid = server.events("start")[-1]["pid"]
    deadline = time.monotonic() + 15
    while unread_input(pid) == 0:   # the write has begun, and cannot end while the server sleeps
        assert time.monotonic() < deadline, "the write never started"
        await asyncio.sleep(0.02)
    write.cancel()
    with pytest.raises(asyncio.CancelledError):
        await write


@pytest.mark.asyncio
async def test_a_cancelled_large_write_still_goes_whole_and_the_console_goes_on(server):
    server.scenario(rules=[{"method": "exec", "index": 1, "actions": [{"delay_ms": 1500}]}])
    async with await builder().build() as c:
        await stuck_write(server, c)
        ran = await c.exec(["stat", "-c", "%s", "/big"])
        assert ran.stdout == f"{30 << 20}\n".encode()
    assert server.methods() == ["init", "exec", "write", "exec", "quit"]


# --- how a console ends --------------------------------------------------------

@pytest.mark.asyncio
@pytest.mark.parametrize("deaf", ["ignores quit", "stopped reading"])
async def test_close_kills_a_server_still_there_10_s_after_quit(server, deaf):
    if deaf == "ignores quit":
        server.scenario(on_quit="ignore", on_eof="ignore")
    else:
        server.scenario(rules=[{"method": "exec", "index": 1, "actions": [{"delay_ms": 60_000}]}])
    c = await builder().build()
    pid = server.events("start")[0]["pid"]
    if deaf == "stopped reading":
        await stuck_write(server, c)   # close must cut it, or it waits for the write for ever
    started = time.monotonic()
    closing = asyncio.ensure_future(c.close())
    await asyncio.sleep(0.5)
    # Close took the console at once: later operations and a second close do not wait for it.
    with pytest.raises(halvo.HalvoError, match=CLOSED):
        await c.exec(["true"])
    assert await asyncio.wait_for(c.close(), 2) is None
    assert not closing.done()
    assert await asyncio.wait_for(closing, 20) is None
    assert time.monotonic() - started > 9
    with pytest.raises(ProcessLookupError):
        os.kill(pid, 0)
    assert "exit" not in [e["event"] for e in server.events()]


@pytest.mark.asyncio
async def test_close_after_the_server_died(server):
    server.scenario(rules=[{"method": "exec", "actions": [{"exit": 0}]}])
    c = await builder().build()
    with pytest.raises(halvo.ConsoleBroken, match="closed the channel before answering request 1"):
        await c.exec(["true"])
    assert await asyncio.wait_for(c.close(), 5) is None


@pytest.mark.asyncio
async def test_a_collected_console_asks_its_server_to_quit(server):
    c = await builder().build()
    await c.exec(["true"])
    del c
    gc.collect()
    names = await server.wait_for("exit")
    assert names[-2:] == ["quit", "exit"]


def test_exit_with_execs_and_relays_pending_is_clean(server):
    # The server never answers an exec: the exec and the relay behind it stay pending.
    server.scenario(rules=[{"method": "exec", "actions": [{"reply": "none"}]}])
    frame = bson.encode({"jsonrpc": "2.0", "id": Int64(5), "method": "exec", "params": {"cmd": ["true"]}})
    code = f"""
import asyncio, halvo
async def main():
    global console, pending
    console = await halvo.ConsoleClient.builder().cmd({UVM_CMD!r}).build()
    pending = [console.exec(["true"]), console.exec(["true"])]
    console._relay(bytes.fromhex({frame.hex()!r}), lambda answer, reason: print("replied"))
    await asyncio.sleep(0.2)
asyncio.run(main())
print("leaving", flush=True)
"""
    for (major, minor), python in sorted(interpreters().items()):
        started = len(server.events("start"))
        run = run_python(code, python, timeout=30)
        assert (run.returncode, run.stdout) == (0, "leaving\n"), (major, minor, run.stderr)
        assert "Fatal Python error" not in run.stderr, (major, minor)
        # the server saw its input end with the process
        asyncio.run(server.wait_for("exit", count=started + 1))


# --- mounts --------------------------------------------------------------------

@needs_fuse
@pytest.mark.asyncio
async def test_mounts_appear_at_their_guest_paths(server, tmp_path, mount_root):
    host, shared, mp = tmp_path / "host", tmp_path / "shared", mount_root / "m"
    for folder in (host, shared, mp):
        folder.mkdir()
    (host / "from-host.txt").write_text("a host file\n")
    (shared / "f").write_text("shared\n")
    tree = halvo.Directory().with_file("motd", "served from memory\n").with_mount("host", host)
    mount = halvo.HostMount(tree, mp)
    c = await (builder().mount(mount, "/work").mount(shared, "/data").mount_readonly(shared, "/ro").build())
    assert c.mounts == ["/work", "/data", "/ro"]

    async def sh(script):
        ran = await c.exec(["sh", "-c", script], 10_000)
        return ran.code, ran.stdout.decode(), ran.stderr.decode()

    assert await sh("cat /work/motd /work/host/from-host.txt /data/f") == (
        0, "served from memory\na host file\nshared\n", "")
    assert (await sh("echo made > /work/made.txt; echo out > /work/host/out.txt; echo w > /data/w"))[0] == 0
    assert (mp / "made.txt").read_text() == "made\n"            # in the in-memory tree
    assert (host / "out.txt").read_text() == "out\n"            # through it, in the host folder
    assert (shared / "w").read_text() == "w\n"
    code, _, err = await sh("echo no > /ro/no")
    assert code != 0 and "Read-only file system" in err and not (shared / "no").exists()
    # the server's own read and write go through the same mounts
    assert (await c.read("/work/motd")).data == b"served from memory\n"
    assert await c.write("/work/host/put.txt", b"put") == 3
    assert (host / "put.txt").read_bytes() == b"put"
    await c.close()
    await mount.unmount()
    assert mounts_under(mount_root) == []


@needs_fuse
@pytest.mark.asyncio
@pytest.mark.parametrize(
    "holder, first",
    [("console", "mount"), ("console", "holder"), ("collected console", "mount"), ("builder", "mount"),
     ("builder", "holder")],
)
async def test_a_host_mount_stays_up_until_it_and_every_console_holding_it_let_go(server, mount_root, holder, first):
    mp = mount_root / "m"
    mp.mkdir()
    held = {"mount": halvo.HostMount(halvo.Directory().with_file("f", "x"), mp)}
    b = builder().mount(held["mount"], "/m")
    held["holder"] = b if holder == "builder" else await b.build()
    del b

    async def release(name):
        obj = held.pop(name)
        if name == "holder" and holder == "console":
            await obj.close()
        del obj
        gc.collect()

    await release(first)
    assert mounts_under(mp) == [str(mp)]
    if holder != "builder" and first == "mount":
        assert (await held["holder"].exec(["cat", "/m/f"])).stdout == b"x"
    await release("holder" if first == "mount" else "mount")
    # a collected console lets go of it on a task of its own
    deadline = time.monotonic() + 15
    while mounts_under(mp) and time.monotonic() < deadline:
        await asyncio.sleep(0.05)
    assert mounts_under(mp) == []


@needs_fuse
@pytest.mark.asyncio
async def test_a_failed_build_lets_go_of_its_mounts_before_the_server(server, mount_root):
    mp = mount_root / "m"
    mp.mkdir()
    server.scenario(on_eof=[{"mounted": str(mp)}, {"exit": 0}])
    mount = halvo.HostMount(halvo.Directory(), mp)
    b = builder().mount(mount, "/first").mount(f"{mount_root}/caf\udcff", "/second")
    del mount   # the builder holds the last share
    with pytest.raises(halvo.HalvoError, match="cannot be named"):
        await b.build()
    assert "quit" not in await server.wait_for("exit")
    assert [e["mounted"] for e in server.events("mounted")] == [False]
    assert mounts_under(mount_root) == []
