"""Programs nobody here wrote, run through real mounts over both parts of a
Directory: its in-memory tree and a host folder placed in it."""
import os
import shutil
import subprocess

import pytest

import halvo
from conftest import needs_fuse, run

pytestmark = needs_fuse


def hidden_below(folder):
    return [os.path.join(d, n) for d, _, names in os.walk(folder) for n in names if n.startswith(".halvo-unlinked-")]


@pytest.mark.skipif(shutil.which("git") is None, reason="needs git")
def test_git_init_add_commit_clean_repack_and_remove(place):
    folder, host = place
    repo = folder / "repo"
    repo.mkdir()
    git = ["git", "-c", "user.name=t", "-c", "user.email=t@example.com", "-c", "gc.auto=0"]
    run(*git, "init", "-q", cwd=repo)
    (repo / "src").mkdir()
    for i in range(50):
        (repo / "src" / f"f{i}.txt").write_text(f"line {i}\n" * 100)
    script = repo / "run.sh"
    script.write_text("#!/bin/sh\necho ran\n")
    script.chmod(0o755)
    (repo / ".gitignore").write_text("build/\n")
    run(*git, "add", "-A", cwd=repo)
    run(*git, "commit", "-qm", "first", cwd=repo)
    assert run(*git, "status", "--porcelain", cwd=repo) == ""
    assert "100755 " in run(*git, "ls-files", "-s", "run.sh", cwd=repo)
    assert run("./run.sh", cwd=repo) == "ran\n"

    (repo / "build" / "deep").mkdir(parents=True)
    for i in range(200):
        (repo / "build" / "deep" / f"o{i}").write_bytes(b"x")
    (repo / "untracked.txt").write_text("u")
    run(*git, "clean", "-fdxq", cwd=repo)
    assert sorted(os.listdir(repo)) == [".git", ".gitignore", "run.sh", "src"]

    (repo / "src" / "f0.txt").write_text("changed\n")
    run(*git, "commit", "-qam", "second", cwd=repo)
    run(*git, "repack", "-adq", cwd=repo)
    run(*git, "fsck", "--no-progress", cwd=repo)
    run("rm", "-rf", "repo", cwd=folder)
    assert not repo.exists()
    if host is not None:
        assert hidden_below(host) == []


def tree_of(root):
    """Every entry below root: relative path -> (kind, mode, mtime, bytes)."""
    out = {}
    for d, dirs, files in os.walk(root):
        for n in dirs + files:
            p = os.path.join(d, n)
            st = os.lstat(p)
            rel = os.path.relpath(p, root)
            data = open(p, "rb").read() if n in files else None
            out[rel] = (n in dirs, st.st_mode & 0o7777, int(st.st_mtime), data)
    return out


@pytest.mark.skipif(shutil.which("tar") is None, reason="needs tar")
def test_a_tar_round_trip_keeps_contents_modes_and_times(place, tmp_path):
    folder, _ = place
    src = tmp_path / "src"
    (src / "bin").mkdir(parents=True)
    (src / "data" / "deep").mkdir(parents=True)
    (src / "bin" / "tool").write_text("#!/bin/sh\necho tool\n")
    (src / "bin" / "tool").chmod(0o755)
    (src / "data" / "big.bin").write_bytes(os.urandom(3 << 20))
    for i in range(100):
        (src / "data" / "deep" / f"n{i}").write_text(str(i))
    (src / "data" / "private").write_text("p")
    (src / "data" / "private").chmod(0o600)
    for d, dirs, files in os.walk(src, topdown=False):
        for n in files + dirs:
            os.utime(os.path.join(d, n), (1_000_000_000, 1_000_000_000 + len(n)))
    want = tree_of(src)

    archive = tmp_path / "in.tar"
    run("tar", "-C", str(src), "-cf", str(archive), ".", cwd=tmp_path)
    into = folder / "x"
    into.mkdir()
    run("tar", "-C", str(into), "-xf", str(archive), cwd=tmp_path)
    assert tree_of(into) == want

    back = tmp_path / "back"
    back.mkdir()
    run("tar", "-C", str(into), "-cf", str(tmp_path / "out.tar"), ".", cwd=tmp_path)
    run("tar", "-C", str(back), "-xf", str(tmp_path / "out.tar"), cwd=tmp_path)
    assert tree_of(back) == want
    assert run(str(into / "bin" / "tool"), cwd=tmp_path) == "tool\n"
