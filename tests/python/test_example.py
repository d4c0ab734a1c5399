"""The README's main job: the example runs against the stand-in server, and
leaves nothing running or mounted, also when it fails half-way."""
import json
import os
import subprocess
import sys

import pytest

import halvo
from conftest import PACKAGE_ROOT, mounts_under, servers_all_exited

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def run_example(tmp_path, scenario=None):
    log = tmp_path / "uvm.log"
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT, TMPDIR=str(tmp_path), HALVO_UVM_LOG=str(log))
    env.pop("HALVO_UVM_STATE", None)
    env.pop("HALVO_UVM_SCENARIO", None)
    if scenario:
        env["HALVO_UVM_SCENARIO"] = json.dumps(scenario)
    run = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "hello.py")],
                         env=env, capture_output=True, text=True, timeout=120)
    # Every server it started has exited, and nothing stays mounted.
    servers = servers_all_exited(log)
    assert mounts_under(tmp_path) == []
    return run, servers


def mounts_here():
    """What the example itself asks before it mounts."""
    try:
        halvo.mount_support()
        return True
    except OSError:
        return False


# Without bubblewrap the stand-in runs commands on this host, where the
# mount is not at /work: the example says so and goes on without it.
@pytest.mark.parametrize("sandboxed", [True, False], ids=["bubblewrap", "no bubblewrap"])
def test_example_runs(tmp_path, sandboxed):
    run, servers = run_example(tmp_path, None if sandboxed else {"bwrap": "/no/such/bwrap"})
    assert (run.returncode, servers) == (0, 3), run.stderr
    out = run.stdout
    assert "built example:latest as sha256:" in out
    assert "refused as expected:" in out and "(UNKNOWN_IMAGE)" in out
    assert "['hello from the console', 'Linux']" in out
    assert "ran past its limit: sleep ran longer than 200 ms (TIMED_OUT)" in out
    assert "wrote 22 bytes; read back ReadResult(data=<22 bytes>, size=22): 'written by the script'" in out
    assert "second console, from the snapshot: written by the script" in out
    if not mounts_here():
        assert "no host mounts here:" in out and "console booted; its mounts: []" in out
        return
    assert "console booted; its mounts: ['/work']" in out
    assert "unmounted; the mount point is empty again: True" in out
    if not sandboxed:
        assert "the console does not see the mount at /work, so the rest of its part is skipped:" in out
        assert "because bubblewrap cannot run: /no/such/bwrap is not installed" in run.stderr
        return
    assert "the console reads the mount: ['served from memory', 'a host file']" in out
    assert "the host folder got: written in the console" in out
    assert "this host sees the mount too; etc/motd: served from memory" in out


@pytest.mark.parametrize("method", ["snapshot", "read"])
def test_example_that_fails_half_way_leaves_nothing_behind(tmp_path, method):
    # The console's server dies on this call: the example fails with ConsoleBroken.
    run, servers = run_example(tmp_path, {"rules": [{"method": method, "actions": [{"exit": 3}]}]})
    assert (run.returncode, servers) == (1, 2)
    assert "halvo.ConsoleBroken: the server closed the channel before answering request" in run.stderr
