"""Every public name of the module says what it is, in text a reader of
help() sees as written, with a signature that inspect can read."""
import inspect
import types

import pytest

from halvo import _halvo

# Callables whose own call is the protocol of a with-block or a constructor.
DUNDERS = ("__init__", "__aenter__", "__aexit__")


def members():
    """(qualified name, object) of every public class, exception, function,
    method and property."""
    for name, obj in vars(_halvo).items():
        if name.startswith("_") or name == "ERROR_CODES":
            continue
        yield name, obj
        if not isinstance(obj, type) or issubclass(obj, BaseException):
            continue
        for member, raw in vars(obj).items():
            if member.startswith("_") and member not in DUNDERS:
                continue
            # A property as itself; a method or static method as it is called.
            yield f"{name}.{member}", raw if isinstance(raw, types.GetSetDescriptorType) else getattr(obj, member)


ALL = dict(members())


@pytest.mark.parametrize("name", ALL)
def test_every_public_name_has_a_docstring(name):
    doc = inspect.getdoc(ALL[name])
    assert doc and doc.strip(), name
    # Plain text: no link markup of another language's documentation, and
    # nothing of another platform's FUSE.
    for foreign in ("](Self::", "FUSE-T", "Dokany"):
        assert foreign not in doc, (name, doc)


@pytest.mark.parametrize("name", [n for n, o in ALL.items() if getattr(o, "__text_signature__", None)])
def test_every_signature_reads_with_its_real_defaults(name):
    signature = inspect.signature(ALL[name])
    assert all(p.default is not Ellipsis for p in signature.parameters.values()), str(signature)
