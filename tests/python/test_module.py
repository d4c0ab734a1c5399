import glob
import os
import shutil
import subprocess

import halvo
import pytest

from conftest import PACKAGE_ROOT, interpreters, run_python


def test_one_extension_serves_every_interpreter():
    # Every CPython 3.10+ on this machine: several where pyenv or the
    # distribution offers them, only python3 on a stock one.
    found = interpreters()
    assert found, "no CPython 3.10+ interpreter found"
    code = """
import asyncio, halvo, _halvo_test
assert halvo.ERROR_CODES["INTERNAL_ERROR"] == -32603
async def main():
    assert await _halvo_test.sleep(1, "ok") == "ok"
    try:
        await _halvo_test.fail("refused", ["no"], 7)
    except halvo.ConsoleRefused as e:
        assert e.code == 7
asyncio.run(main())
print("ok")
"""
    for version, exe in sorted(found.items()):
        r = run_python(code, python=exe)
        assert (r.returncode, r.stdout.strip()) == (0, "ok"), f"{version}: {r.stderr}"


def test_error_codes_in_table_order():
    assert list(halvo.ERROR_CODES.items()) == [
        ("TIMED_OUT", -32000), ("NOT_EXECUTABLE", -32001), ("BOOT_FAILED", -32002),
        ("NOT_FOUND", -32005), ("IS_A_DIRECTORY", -32006), ("IO_FAILED", -32007),
        ("UNSUPPORTED_MOUNT", -32008), ("MOUNT_FAILED", -32009), ("UNSUPPORTED_NETWORK", -32010),
        ("UNSUPPORTED_IMAGE", -32011), ("UNKNOWN_IMAGE", -32012), ("UNSUPPORTED_MACHINE", -32013),
        ("INVALID_REQUEST", -32600), ("METHOD_NOT_FOUND", -32601), ("INVALID_PARAMS", -32602),
        ("INTERNAL_ERROR", -32603),
    ]
    assert -32003 not in halvo.ERROR_CODES.values()
    assert -32004 not in halvo.ERROR_CODES.values()


def test_exception_hierarchy_and_names():
    assert halvo.HalvoError.__bases__ == (Exception,)
    assert halvo.ConsoleRefused.__bases__ == (halvo.HalvoError,)
    assert halvo.ConsoleBroken.__bases__ == (halvo.HalvoError,)
    for cls in (halvo.HalvoError, halvo.ConsoleRefused, halvo.ConsoleBroken):
        assert cls.__module__ == "halvo"
        assert f"{cls.__module__}.{cls.__qualname__}" == "halvo." + cls.__name__
        assert cls.__doc__
        assert str(cls("the message")) == "the message"


def test_registration_order_and_docstring():
    from halvo import _halvo

    assert _halvo.__doc__ == "Every class, exception and constant, added to the module."
    public = [n for n in vars(_halvo) if not n.startswith("_")]
    assert public == [
        "HalvoError", "ConsoleRefused", "ConsoleBroken", "ERROR_CODES",
        "Step", "Recipe", "ImageSource", "BuildImageResult", "ImageEntry", "ImageClient",
        "Directory", "HostMount", "mount_support",
        "ConsoleClientBuilder", "ConsoleClient", "ExecResult", "ReadResult", "ensure_halvo",
    ]


def test_a_second_module_object_shares_the_exception_types():
    r = run_python("""
import importlib.util, sys, halvo
from halvo import _halvo
spec = importlib.util.find_spec("halvo._halvo")
again = importlib.util.module_from_spec(spec)
spec.loader.exec_module(again)
assert again is not _halvo
assert again.HalvoError is _halvo.HalvoError and again.ConsoleBroken is _halvo.ConsoleBroken
assert again.ERROR_CODES == _halvo.ERROR_CODES and again.ERROR_CODES is not _halvo.ERROR_CODES
print("ok")
""")
    assert r.stdout.strip() == "ok", r.stderr


def test_import_starts_no_thread_and_no_child():
    r = run_python("""
import glob, os
def tasks(): return len(os.listdir("/proc/self/task"))
def children():
    kids = []
    for f in glob.glob("/proc/self/task/*/children"):
        kids += open(f).read().split()
    return kids
before = tasks()
import halvo, _halvo_test
print(before, tasks(), children())
""")
    assert r.returncode == 0, r.stderr
    before, after, kids = r.stdout.split(" ", 2)
    assert after == before
    assert kids.strip() == "[]"


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_extension_exports_only_its_initialiser():
    so = glob.glob(os.path.join(PACKAGE_ROOT, "halvo", "_halvo*.so"))
    assert len(so) == 1 and so[0].endswith(".abi3.so")
    defined = subprocess.run(["nm", "-D", "--defined-only", so[0]], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in defined.stdout.splitlines()] == ["PyInit__halvo"]
    # Private interpreter symbols that the stable ABI itself relies on.
    allowed = {
        "_Py_Dealloc", "_Py_NoneStruct", "_Py_TrueStruct", "_Py_FalseStruct",
        "_Py_NotImplementedStruct", "_Py_EllipsisObject", "_Py_IncRef", "_Py_DecRef",
    }
    undefined = subprocess.run(["nm", "-D", "--undefined-only", so[0]], capture_output=True, text=True, check=True)
    private = {s.split()[-1] for s in undefined.stdout.splitlines() if s.split()[-1].startswith("_Py")}
    assert private <= allowed, private - allowed


def test_a_subinterpreter_is_refused():
    exe = interpreters().get((3, 12))
    if exe is None:
        pytest.skip("needs CPython 3.12 for a shared-GIL subinterpreter")
    r = run_python("""
import _xxsubinterpreters as sub
interp = sub.create(isolated=False)
try:
    sub.run_string(interp, "import halvo")
except Exception as e:
    print(e)
""", python=exe)
    assert "ImportError" in r.stdout and "main interpreter" in r.stdout, r.stderr
