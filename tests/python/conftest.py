import asyncio
import functools
import glob
import os
import subprocess
import sys

import halvo
import pytest
import pytest_asyncio

# The folder holding the package `halvo` and the test-only `_halvo_test`.
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(halvo.__file__)))


def run_python(code, python=sys.executable, timeout=60):
    """Runs code in a fresh interpreter that imports from the built tree."""
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT, PYTHONFAULTHANDLER="1")
    return subprocess.run(
        [python, "-c", code], env=env, capture_output=True, text=True, timeout=timeout
    )


@functools.cache
def interpreters():
    """Every CPython 3.10+ on the machine, one per minor version."""
    found = {}
    candidates = [sys.executable] + sorted(glob.glob("/root/.pyenv/versions/3.*/bin/python3"))
    for exe in candidates:
        try:
            out = subprocess.run(
                [exe, "-c", "import sys; print(sys.version_info[0], sys.version_info[1])"],
                capture_output=True, text=True, timeout=30,
            ).stdout.split()
        except OSError:
            continue
        if len(out) == 2 and (int(out[0]), int(out[1])) >= (3, 10):
            found.setdefault((int(out[0]), int(out[1])), exe)
    return found


@pytest_asyncio.fixture
async def loop_errors():
    """Everything the running loop reports to its exception handler."""
    errors = []
    asyncio.get_running_loop().set_exception_handler(lambda loop, ctx: errors.append(ctx))
    return errors
