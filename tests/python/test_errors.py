import errno
import os

import halvo
import pytest
from halvo import ConsoleClient, ImageClient

import _halvo_test as t

ENOENT_TEXT = f"{os.strerror(errno.ENOENT)} (os error {errno.ENOENT})"


def code(n):
    # The test extension takes the code as an unsigned 64-bit number.
    return n % 2**64


@pytest.mark.asyncio
@pytest.mark.parametrize("n", [-32012, 7, -1])
async def test_refused_becomes_console_refused_with_its_code(n):
    with pytest.raises(halvo.ConsoleRefused) as info:
        await t.fail("refused", ["image not known"], code(n))
    assert info.value.args == ("image not known",)
    assert info.value.code == n
    assert type(info.value.code) is int


@pytest.mark.parametrize("args", [("no",), ()])
def test_a_console_refused_a_script_raises_has_a_code_too(args):
    # The class's INTERNAL_ERROR, until the module sets the server's.
    err = halvo.ConsoleRefused(*args)
    assert err.code == halvo.ERROR_CODES["INTERNAL_ERROR"]
    err.code = 5
    assert err.code == 5 and halvo.ConsoleRefused().code == halvo.ERROR_CODES["INTERNAL_ERROR"]


@pytest.mark.asyncio
async def test_broken_becomes_console_broken_with_the_chain_alone():
    with pytest.raises(halvo.ConsoleBroken) as info:
        await t.fail("broken", ["starting the image server", ENOENT_TEXT])
    assert info.value.args == ("starting the image server: " + ENOENT_TEXT,)
    assert "the console channel broke" not in str(info.value)


@pytest.mark.asyncio
@pytest.mark.parametrize(
    "kind, links, n, cls, args, expected_code",
    [
        # A plain chain is HalvoError with every link joined.
        ("chain", ["fetching x", "connection refused"], None, halvo.HalvoError, ("fetching x: connection refused",), None),
        ("chain", ["alone"], None, halvo.HalvoError, ("alone",), None),
        # A Failure inside a chain wins: its own exception, the other links dropped.
        ("chain_refused", ["booting the console", "bad image"], -32011, halvo.ConsoleRefused, ("bad image",), -32011),
    ],
)
async def test_chain_mapping(kind, links, n, cls, args, expected_code):
    with pytest.raises(halvo.HalvoError) as info:
        await t.fail(kind, links, None if n is None else code(n))
    assert type(info.value) is cls
    assert info.value.args == args
    assert getattr(info.value, "code", None) == expected_code


@pytest.mark.parametrize(
    "err, cls",
    [
        (errno.ENOENT, FileNotFoundError),
        (errno.EACCES, PermissionError),
        (errno.EEXIST, FileExistsError),
        (errno.EISDIR, IsADirectoryError),
        (errno.ENOTDIR, NotADirectoryError),
        (errno.EINTR, InterruptedError),
        (errno.EAGAIN, BlockingIOError),
        (errno.ETIMEDOUT, TimeoutError),
        (errno.EPIPE, BrokenPipeError),
        (errno.ECONNREFUSED, ConnectionRefusedError),
        (errno.ECONNABORTED, ConnectionAbortedError),
        (errno.ECONNRESET, ConnectionResetError),
        (errno.ENOMEM, MemoryError),
        (errno.EXDEV, OSError),
        (errno.ENOTEMPTY, OSError),
    ],
)
def test_io_error_kind_picks_the_class_and_leaves_errno_unset(err, cls):
    with pytest.raises(BaseException) as info:
        t.raise_io(err)
    assert type(info.value) is cls
    assert info.value.args == (f"{os.strerror(err)} (os error {err})",)
    if isinstance(info.value, OSError):
        assert info.value.errno is None and info.value.strerror is None


def test_io_error_with_a_message_carries_only_the_message():
    with pytest.raises(FileExistsError) as info:
        t.raise_io(errno.EEXIST, "already mounted there")
    assert info.value.args == ("already mounted there",)
    assert info.value.errno is None


@pytest.mark.asyncio
async def test_io_error_from_an_awaitable():
    with pytest.raises(FileNotFoundError) as info:
        await t.fail("io", ["unused"], errno.ENOENT)
    assert str(info.value) == ENOENT_TEXT and info.value.errno is None


# --- a server that will not start ---------------------------------------------

# How each maker starts its server (None: the cache folder's bin/halvo-uvm)
# and what it raises when that fails.
STARTERS = {
    "console": (lambda cmd: (ConsoleClient.builder() if cmd is None else ConsoleClient.builder().cmd(cmd)).build(),
                halvo.HalvoError),
    "image": (lambda cmd: ImageClient.try_new() if cmd is None else ImageClient.try_from_cmd(cmd),
              halvo.ConsoleBroken),
}
HINT = " (`await halvo.ensure_halvo()` installs it)"


@pytest.mark.asyncio
@pytest.mark.parametrize("kind", STARTERS)
@pytest.mark.parametrize(
    "program, given, err, hinted",
    [
        # Only a program that no command named, and that is not there, is one
        # ensure_halvo would install.
        ("missing", False, errno.ENOENT, True),
        ("missing", True, errno.ENOENT, False),
        ("not executable", False, errno.EACCES, False),
        # exec's ENOENT for the interpreter: the program is there all the same.
        ("without its interpreter", False, errno.ENOENT, False),
    ],
)
async def test_a_server_that_will_not_start_is_named(tmp_path, monkeypatch, kind, program, given, err, hinted):
    monkeypatch.setenv("HALVO_HOME", str(tmp_path))
    path = tmp_path / "bin" / "halvo-uvm"
    if program != "missing":
        path.parent.mkdir()
        path.write_text("#!/nonexistent/interpreter\n")
        path.chmod(0o644 if program == "not executable" else 0o755)
    start, cls = STARTERS[kind]
    with pytest.raises(halvo.HalvoError) as info:
        await start([str(path)] if given else None)
    assert type(info.value) is cls
    assert info.value.args == (f"starting the {kind} server: {path}{HINT if hinted else ''}: "
                               f"{os.strerror(err)} (os error {err})",)
