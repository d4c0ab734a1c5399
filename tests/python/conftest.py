import asyncio
import functools
import glob
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import bson
import halvo
import pytest
import pytest_asyncio

# The folder holding the package `halvo` and the test-only `_halvo_test`.
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(halvo.__file__)))

# The stand-in server, run by this interpreter.
UVM = Path(__file__).resolve().parents[1] / "uvm" / "halvo-uvm"
UVM_CMD = [sys.executable, str(UVM)]

CAN_MOUNT = os.geteuid() == 0 and os.path.exists("/dev/fuse")
needs_fuse = pytest.mark.skipif(not CAN_MOUNT, reason="real mounts need root and /dev/fuse")


class FsPath:
    """A path-like that is not a str."""

    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


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


class Server:
    """The stand-in's environment for one test: its image store, log and scenario.
    A server takes the environment its command line was given in."""

    def __init__(self, tmp_path, monkeypatch):
        self.log = tmp_path / "uvm.log"
        self.monkeypatch = monkeypatch
        # The stand-in's "#!/usr/bin/env python3" must find the venv's python.
        monkeypatch.setenv("PATH", os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", ""))
        monkeypatch.setenv("HALVO_UVM_STATE", str(tmp_path / "state"))
        monkeypatch.setenv("HALVO_UVM_LOG", str(self.log))
        monkeypatch.delenv("HALVO_UVM_SCENARIO", raising=False)
        # The consoles' scratch folders too: a server killed leaves them.
        private_tmp(tmp_path, monkeypatch)

    def scenario(self, **scenario):
        self.monkeypatch.setenv("HALVO_UVM_SCENARIO", json.dumps(scenario))

    def events(self, name=None):
        try:
            lines = self.log.read_text().splitlines()
        except FileNotFoundError:
            return []
        events = [json.loads(line) for line in lines]
        return [e for e in events if name is None or e["event"] == name]

    async def wait_for(self, event, count=1, timeout=15):
        """Every event name logged so far, once `event` is among them `count` times."""
        deadline = time.monotonic() + timeout
        while True:
            names = [e["event"] for e in self.events()]
            if names.count(event) >= count:
                return names
            if time.monotonic() > deadline:
                raise AssertionError(f"the server never logged {event!r} {count} times: {names}")
            await asyncio.sleep(0.05)

    def methods(self):
        return [e["message"].get("method") for e in self.events("frame")]

    def received(self):
        """Each message received, decoded from its bytes: int32 and int64 stay apart."""
        return [bson.decode(bytes.fromhex(e["hex"])[4:]) for e in self.events("frame")]


def servers_all_exited(log, timeout=15):
    """How many stand-in servers logged their start in log, once each of them
    has also logged its exit."""
    deadline = time.monotonic() + timeout
    while True:
        events = [json.loads(line)["event"] for line in log.read_text().splitlines()]
        if events.count("start") == events.count("exit") or time.monotonic() > deadline:
            break
        time.sleep(0.05)
    assert events.count("start") == events.count("exit"), events
    return events.count("start")


def private_tmp(tmp_path, monkeypatch):
    """TMPDIR, set to a folder of the test's own."""
    tmp = tmp_path / "tmp"
    tmp.mkdir(exist_ok=True)
    monkeypatch.setenv("TMPDIR", str(tmp))
    return tmp


@pytest.fixture
def server(tmp_path, monkeypatch):
    return Server(tmp_path, monkeypatch)


def mounts_under(root):
    """Mount points at or below root, from this process's mount table."""
    root = os.fsencode(root)
    found = []
    with open("/proc/self/mountinfo", "rb") as f:
        for line in f:
            point = re.sub(rb"\\([0-7]{3})", lambda m: bytes([int(m.group(1), 8)]), line.split()[4])
            if point == root or point.startswith(root + b"/"):
                found.append(os.fsdecode(point))
    return found


@pytest.fixture
def mount_root(tmp_path, monkeypatch):
    """A private TMPDIR (so the mount registry is this test's own) and a
    folder for mount points; anything left mounted there is detached."""
    private_tmp(tmp_path, monkeypatch)
    mounts = tmp_path / "mnt"
    mounts.mkdir()
    try:
        yield mounts
    finally:
        import gc
        gc.collect()
        for point in reversed(mounts_under(mounts)):
            subprocess.run(["umount", "-l", point], check=False)


@pytest.fixture(params=["mem", "host"])
def place(request, tmp_path, mount_root):
    """A folder inside a live mount: in the in-memory tree, or in a host
    folder placed in it. Yields (folder, host folder or None)."""
    host = tmp_path / "host"
    host.mkdir()
    mp = mount_root / "m"
    mp.mkdir()
    m = halvo.HostMount(halvo.Directory().with_file("mem/.keep", b"").with_mount("host", host), mp)
    try:
        yield mp / request.param, (host if request.param == "host" else None)
    finally:
        del m
        leftovers = mounts_under(mp)
        for point in leftovers:
            subprocess.run(["umount", "-l", point], check=False)
        assert leftovers == []


def run(*args, cwd):
    r = subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, f"{args}: {r.stderr}"
    return r.stdout
