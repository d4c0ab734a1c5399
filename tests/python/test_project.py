"""What a newcomer meets first: the README's sample runs as written on the
stand-in that scripts/setup installs in the cache folder, and a pytest run
keeps nothing of its passing tests."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import PACKAGE_ROOT, servers_all_exited

ROOT = Path(__file__).resolve().parents[2]
INSTALL = ROOT / "scripts" / "install-stand-in"
MARKER = "halvo's stand-in server, installed by scripts/install-stand-in"


def readme_sample():
    after = (ROOT / "README.md").read_text().split("A script uses halvo like this:", 1)[1]
    return re.search(r"```python\n(.*?)```", after, re.S).group(1)


def install(home, python=sys.executable):
    env = dict(os.environ)
    if home is None:
        env.pop("HALVO_HOME", None)
    else:
        env["HALVO_HOME"] = str(home)
    return subprocess.run([str(INSTALL), python], env=env, capture_output=True, text=True, timeout=60)


def test_the_readme_sample_runs_as_written(tmp_path):
    home = tmp_path / "cache"
    assert install(home).returncode == 0
    project = tmp_path / "project"
    project.mkdir()
    (project / "Makefile").write_text("all:\n")
    log = tmp_path / "uvm.log"
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT, HALVO_HOME=str(home), HALVO_UVM_LOG=str(log),
               TMPDIR=str(tmp_path))
    env.pop("HALVO_UVM_STATE", None)
    env.pop("HALVO_UVM_SCENARIO", None)
    run = subprocess.run([sys.executable, "-c", readme_sample()], cwd=project, env=env,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert servers_all_exited(log) == 2
    listing, code_and_output = run.stdout.split("\n", 1)
    assert re.fullmatch(r"sha256:[0-9a-f]{64} \[ImageEntry\(digest=\"sha256:[0-9a-f]{64}\", "
                        r"refs=\[\"demo\"\]\)\]", listing), listing
    # The images were kept where both servers find them.
    assert list((home / "stand-in-images" / "recipes").iterdir())
    if "bubblewrap cannot run" not in run.stderr:
        assert code_and_output == "0 Makefile\n\n"


def stand_in_from(python):
    return f"#!/bin/sh\n# {MARKER}\nexec {python} halvo-uvm\n"


# (HALVO_HOME, what bin/halvo-uvm holds before, exit status, what it says,
# whether the stand-in of this python is there afterwards)
CASES = {
    "nothing there": ("cache", None, 0, "installed the stand-in server (not the real halvo-uvm)", True),
    "an older stand-in": ("cache", stand_in_from("/old/python"), 0, "installed the stand-in", True),
    "another server": ("cache", "#!/bin/sh\necho the real one\n", 0, "is not the stand-in: left alone", False),
    "empty HALVO_HOME": ("", None, 1, "HALVO_HOME is set but empty", False),
}


@pytest.mark.parametrize("home, before, status, says, ours", CASES.values(), ids=CASES.keys())
def test_install_stand_in_replaces_nothing_but_itself(tmp_path, home, before, status, says, ours):
    home = tmp_path / home if home else ""
    server = tmp_path / "cache" / "bin" / "halvo-uvm"
    if before is not None:
        server.parent.mkdir(parents=True)
        server.write_text(before)
    run = install(home)
    assert run.returncode == status and says in run.stdout + run.stderr
    if ours:
        text = server.read_text()
        assert MARKER in text and sys.executable in text and os.access(server, os.X_OK)
    elif before is not None:
        assert server.read_text() == before
    else:
        assert not server.exists()


def test_pytest_keeps_nothing_of_passing_tests(tmp_path):
    (tmp_path / "test_one.py").write_text("def test_writes(tmp_path):\n"
                                          "    (tmp_path / 'data').write_bytes(bytes(1 << 20))\n")
    base = tmp_path / "tmp"
    base.mkdir()
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                          "-c", str(ROOT / "pyproject.toml"), "--rootdir", str(tmp_path),
                          str(tmp_path / "test_one.py")],
                         env=dict(os.environ, TMPDIR=str(base)), capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stdout
    assert [p for p in base.rglob("*") if not p.is_dir()] == []
