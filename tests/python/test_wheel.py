"""The installed wheel is one abi3 build for CPython 3.10 and later, typed."""
import importlib.metadata

import pytest


def test_installed_wheel_is_cp310_abi3():
    try:
        dist = importlib.metadata.distribution("halvo")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("halvo is not installed in this environment (scripts/setup installs it)")
    tags = [line.split(":", 1)[1].strip() for line in dist.read_text("WHEEL").splitlines() if line.startswith("Tag:")]
    assert tags and all(t.startswith("cp310-abi3-") for t in tags), tags
    files = {str(f) for f in dist.files}
    assert "halvo/_halvo.abi3.so" in files
    assert "halvo/__init__.py" in files
    # Type checkers read the stubs of the package marked typed.
    assert {"halvo/py.typed", "halvo/_halvo.pyi"} <= files
