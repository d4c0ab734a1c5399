import errno
import os

import halvo
import pytest

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
