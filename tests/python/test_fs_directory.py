"""The script Directory without mounting it: building, chaining, errors."""
import inspect
import pathlib

import pytest

import halvo
from conftest import FsPath


def test_with_methods_return_the_same_object_and_plain_ones_none(tmp_path):
    d = halvo.Directory()
    assert d.with_file("a/b.txt", b"x") is d
    assert d.with_mount("m", str(tmp_path)) is d
    assert d.with_file("c", "y").with_mount(path="n/o", host_dir=tmp_path) is d
    assert d.add_file("d", b"") is None
    assert d.mount(pathlib.PurePosixPath("p"), FsPath(str(tmp_path))) is None
    assert d.remove_file("d") is None
    assert d.unmount("p") is None


def test_class_surface():
    assert halvo.Directory.__module__ == "halvo"
    assert str(inspect.signature(halvo.Directory)) == "()"
    assert halvo.Directory.__doc__.startswith("A tree assembled in place.")
    d = halvo.Directory()
    assert str(inspect.signature(d.with_file)) == "(path, content)"
    assert str(inspect.signature(d.with_mount)) == "(path, host_dir)"
    with pytest.raises(AttributeError):
        d.anything = 1


@pytest.mark.parametrize(
    "setup, call, exc",
    [
        # a host folder's key is not in-memory ground
        (lambda d: d.mount("m", "/h"), lambda d: d.add_file("m/x", b""), OSError),
        (lambda d: d.mount("m", "/h"), lambda d: d.remove_file("m/x"), OSError),
        # a key lies below: the path is a directory
        (lambda d: d.mount("a/m", "/h"), lambda d: d.add_file("a", b""), IsADirectoryError),
        (lambda d: d.add_file("f", b""), lambda d: d.add_file("f/x", b""), NotADirectoryError),
        (lambda d: d.add_file("a/f", b""), lambda d: d.remove_file("a"), IsADirectoryError),
        (lambda d: None, lambda d: d.remove_file("missing"), FileNotFoundError),
        (lambda d: None, lambda d: d.unmount("nomount"), FileNotFoundError),
        (lambda d: d.add_file("f", b""), lambda d: d.mount("f", "/h"), FileExistsError),
        (lambda d: d.add_file("dir/f", b""), lambda d: d.mount("dir", "/h"), FileExistsError),
        (lambda d: None, lambda d: d.mount("/", "/h"), OSError),
        (lambda d: d.mount("a/b", "/h"), lambda d: d.mount("a", "/h"), OSError),
        (lambda d: None, lambda d: d.mount("../x", "/h"), OSError),
        (lambda d: None, lambda d: d.add_file("", b""), OSError),
    ],
)
def test_operation_errors_raise_the_oserror_of_their_kind(setup, call, exc):
    d = halvo.Directory()
    setup(d)
    with pytest.raises(OSError) as info:
        call(d)
    assert type(info.value) is exc
    # made from the text alone
    assert info.value.errno is None and info.value.strerror is None
    assert len(info.value.args) == 1


def test_a_failed_with_call_raises_and_keeps_the_tree_usable():
    d = halvo.Directory().with_file("f", b"")
    with pytest.raises(NotADirectoryError):
        d.with_file("f/g", b"")
    # nothing changed: the file is still a file, and the object still works
    with pytest.raises(FileExistsError):
        d.mount("f", "/h")
    assert d.with_file("g", b"") is d


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda d: d.add_file(b"f", b""), "path"),
        (lambda d: d.add_file(FsPath(b"f"), b""), "path"),
        (lambda d: d.add_file(1, b""), "path"),
        (lambda d: d.add_file("f", 1), "content"),
        (lambda d: d.add_file("f", {1: 2}), "content"),
        (lambda d: d.add_file("f", None), "content"),
        (lambda d: d.add_file("f", [1, 256]), "content"),
        (lambda d: d.add_file("f", [-1]), "content"),
        (lambda d: d.add_file("f", ["a"]), "content"),
        (lambda d: d.mount("m", b"/h"), "host_dir"),
        (lambda d: d.remove_file(None), "path"),
    ],
)
def test_wrong_argument_types_raise_typeerror_naming_the_argument(call, name):
    d = halvo.Directory()
    with pytest.raises(TypeError, match=f"argument '{name}'"):
        call(d)

