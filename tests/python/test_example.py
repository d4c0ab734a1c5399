"""The README's main job: the example runs against the stand-in server."""
import os
import subprocess
import sys

from conftest import PACKAGE_ROOT

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_example_runs():
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    env.pop("HALVO_UVM_STATE", None)
    run = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "hello.py")],
                         env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert "built example:latest as sha256:" in run.stdout
    assert "refused as expected:" in run.stdout and "(UNKNOWN_IMAGE)" in run.stdout
    assert "etc/motd: served from memory" in run.stdout
    assert "unmounted; the mount point is empty again: True" in run.stdout
