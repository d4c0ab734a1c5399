import array
import inspect
import pathlib

import pytest

import _halvo_test as t
from conftest import FsPath

STR_TO_VEC = "Can't extract `str` to `Vec`"


class Index:
    def __index__(self):
        return 200


def test_signature_comes_from_the_docstring():
    assert str(inspect.signature(t.params)) == "(a, b, c=None, d=None)"
    assert t.params.__doc__ == "Echo the arguments as a list."
    assert t.params.__module__ == "halvo"
    assert str(inspect.signature(t.Value)) == "(text)"
    assert t.Value.with_text.__text_signature__ == "($self, text)"
    assert str(inspect.signature(t.Value("a").with_text)) == "(text)"


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((1, 2), {}, [1, 2, None, None]),
        ((), {"b": 2, "a": 1}, [1, 2, None, None]),
        ((1,), {"b": 2, "d": 4}, [1, 2, None, 4]),
        ((1, 2, 3, 4), {}, [1, 2, 3, 4]),
        ((1, 2), {"c": None}, [1, 2, None, None]),
    ],
)
def test_arguments_by_position_or_keyword(args, kwargs, expected):
    assert t.params(*args, **kwargs) == expected


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "missing required argument 'b'"),
        ((), {"b": 1}, "missing required argument 'a'"),
        ((1, 2), {"a": 3}, "multiple values for argument 'a'"),
        ((1, 2), {"e": 3}, "unexpected keyword argument 'e'"),
        ((1, 2, 3, 4, 5), {}, "takes 4 positional arguments but 5 were given"),
    ],
)
def test_argument_binding_errors_name_the_argument(args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        t.params(*args, **kwargs)


def test_constructor_and_methods_take_keywords_too():
    assert t.Value(text="a") == t.Value("a")
    assert t.Value("a").with_text(text="b") == t.Value("ab")
    with pytest.raises(TypeError, match="unexpected keyword argument 'txt'"):
        t.Value(txt="a")
    with pytest.raises(TypeError, match="missing required argument 'text'"):
        t.Value()


@pytest.mark.parametrize(
    "fn, value, expected",
    [
        (t.echo_text, "héllo\0", "héllo\0"),
        (t.echo_path, "a/b", b"a/b"),
        (t.echo_path, pathlib.PurePosixPath("/x/y"), b"/x/y"),
        (t.echo_path, FsPath("rel"), b"rel"),
        # surrogateescape reaches a name that is not UTF-8
        (t.echo_path, "caf\udce9", b"caf\xe9"),
        (t.echo_list, ["a", "b"], ["a", "b"]),
        (t.echo_list, ("a", "b"), ["a", "b"]),
        (t.echo_list, [], []),
        (t.echo_paths, [FsPath("p"), "q"], ["p", "q"]),
        (t.echo_u8, 0, 0),
        (t.echo_u8, 255, 255),
        (t.echo_u8, Index(), 200),
        (t.echo_u32, 4_294_967_295, 4_294_967_295),
        (t.echo_u64, 2**64 - 1, 2**64 - 1),
        (t.echo_opt_u64, None, None),
        (t.echo_opt_u64, 5, 5),
        (t.echo_bool, True, True),
        (t.echo_bool, False, False),
        (t.echo_bytes, b"\x00\xff", b"\x00\xff"),
        (t.echo_bytes, bytearray(b"ab"), b"ab"),
        (t.echo_bytes, [0, 1, 255], b"\x00\x01\xff"),
        (t.echo_bytes, (7,), b"\x07"),
        (t.echo_bytes, memoryview(b"mv"), b"mv"),
        (t.echo_bytes, array.array("B", [1, 2]), b"\x01\x02"),
        (t.echo_bytes, [], b""),
    ],
)
def test_conversions_accept(fn, value, expected):
    assert fn(value) == expected


@pytest.mark.parametrize(
    "fn, value, cls, message",
    [
        (t.echo_text, b"bytes", TypeError, "argument 'value': expected str, got bytes"),
        (t.echo_text, 1, TypeError, "expected str, got int"),
        (t.echo_path, b"/x", TypeError, "got bytes"),
        (t.echo_path, FsPath(b"/x"), TypeError, "got bytes"),
        (t.echo_path, 3, TypeError, "argument 'value'"),
        (t.echo_list, "ab", TypeError, "argument 'value': " + STR_TO_VEC),
        (t.echo_list, {"a"}, TypeError, "expected a list or tuple, got set"),
        (t.echo_list, iter(["a"]), TypeError, "expected a list or tuple"),
        (t.echo_list, ["a", 1], TypeError, "expected str, got int"),
        (t.echo_u8, 256, OverflowError, "argument 'value': 256 is out of range"),
        (t.echo_u8, -1, OverflowError, "-1 is out of range"),
        (t.echo_u8, 1.0, TypeError, "argument 'value'"),
        (t.echo_u8, "1", TypeError, "argument 'value'"),
        (t.echo_u32, 4_294_967_296, OverflowError, "out of range for an unsigned 32-bit integer"),
        (t.echo_u64, 2**64, OverflowError, "out of range for an unsigned 64-bit integer"),
        (t.echo_u64, -(2**70), OverflowError, "out of range"),
        (t.echo_opt_u64, -1, OverflowError, "out of range"),
        (t.echo_bool, 1, TypeError, "expected bool, got int"),
        (t.echo_bool, None, TypeError, "expected bool, got NoneType"),
        (t.echo_bytes, "abc", TypeError, STR_TO_VEC),
        (t.echo_bytes, [1, 256], OverflowError, "256 is out of range"),
        (t.echo_bytes, [-1], OverflowError, "out of range"),
        (t.echo_bytes, [1.0], TypeError, "argument 'value'"),
        (t.echo_bytes, 5, TypeError, "expected bytes, bytearray or a sequence of ints, got int"),
        (t.echo_bytes, {1: 2}, TypeError, "got dict"),
    ],
)
def test_conversions_refuse(fn, value, cls, message):
    with pytest.raises(cls) as info:
        fn(value)
    assert type(info.value) is cls
    assert message in str(info.value)


@pytest.mark.parametrize("fn", [t.echo_text, lambda s: t.echo_list([s]), lambda s: t.Value(s)])
def test_lone_surrogate_cannot_become_utf8(fn):
    with pytest.raises(UnicodeEncodeError):
        fn("bad \udc80")


def test_value_class_compares_by_value_only():
    a, b = t.Value("a"), t.Value("a")
    assert a == b and not (a != b)
    assert a != t.Value("b")
    assert a != "a" and not (a == "a")  # another class is never equal
    with pytest.raises(TypeError):
        a < b
    with pytest.raises(TypeError, match="unhashable"):
        hash(a)
    assert repr(a) == "Value(a)" and str(a) == "Value(a)"


def test_classes_are_closed():
    v = t.Value("a")
    with pytest.raises(AttributeError):
        v.text = "b"
    with pytest.raises(AttributeError):
        v.other = 1
    with pytest.raises(TypeError):
        t.Value.extra = 1
    with pytest.raises(TypeError):

        class Sub(t.Value):
            pass


def test_class_without_constructor_cannot_be_called():
    with pytest.raises(TypeError):
        t.Opaque()
    o = t.make_opaque()
    assert o.n == 7
    assert t.Opaque.__doc__ is None
    assert hash(o) == hash(o) and o == o and o != t.make_opaque()  # identity


def test_methods_receive_the_object_or_its_value():
    v = t.Value("a")
    assert v.itself() is v
    assert t.Value.shout(v) == t.Value("a!")
    assert t.take_value(v) == "a"
    with pytest.raises(TypeError, match="argument 'value': expected Value, got Opaque"):
        t.take_value(t.make_opaque())
    # A value argument is copied, not shared.
    assert t.Value.shout(v) is not v and v.text == "a"
