"""A mount behaves as a plain folder for everyday tools: owners, links,
special files, locks shared with the host, and the host's own sizes."""
import fcntl
import os
import shutil
import socket
import stat
import subprocess
import sys
import textwrap
import time
import zipfile

import pytest

import halvo
from conftest import mounts_under, needs_fuse, run

pytestmark = needs_fuse

FOREIGN = 501


def foreign_tree(root):
    """A tree owned by uid and gid 501: files, a folder, a symlink and a hard link."""
    (root / "d" / "e").mkdir(parents=True)
    (root / "d" / "f.txt").write_text("f\n" * 100)
    (root / "x.sh").write_text("#!/bin/sh\n")
    (root / "x.sh").chmod(0o4755)
    (root / "d" / "e" / "g").write_bytes(os.urandom(5000))
    os.symlink("d/f.txt", root / "to_f")
    os.symlink("../x.sh", root / "d" / "up")
    os.link(root / "d" / "f.txt", root / "hard")
    for d, dirs, files in os.walk(root):
        for n in dirs + files:
            os.chown(os.path.join(d, n), FOREIGN, FOREIGN, follow_symlinks=False)
            os.utime(os.path.join(d, n), (1_000_000_000, 1_000_000_000 + len(n)), follow_symlinks=False)
    os.chown(root, FOREIGN, FOREIGN)


def owners(root):
    """relative path -> (kind, uid, gid, mode, mtime in seconds (tar keeps
    no more), link target or bytes)."""
    out = {}
    for d, dirs, files in os.walk(root):
        for n in dirs + files:
            p = os.path.join(d, n)
            st = os.lstat(p)
            if stat.S_ISLNK(st.st_mode):
                what = os.readlink(p)
            elif stat.S_ISREG(st.st_mode):
                what = open(p, "rb").read()
            else:
                what = None
            out[os.path.relpath(p, root)] = (stat.S_IFMT(st.st_mode), st.st_uid, st.st_gid,
                                             stat.S_IMODE(st.st_mode), int(st.st_mtime), what)
    return out


TOOLS = {
    "tar": lambda src, dst, tmp: (
        run("tar", "-C", str(src), "-cf", str(tmp / "a.tar"), ".", cwd=tmp),
        run("tar", "-C", str(dst), "-xpf", str(tmp / "a.tar"), cwd=tmp)),
    "cp": lambda src, dst, tmp: run("cp", "-a", f"{src}/.", str(dst), cwd=tmp),
    "rsync": lambda src, dst, tmp: run("rsync", "-a", f"{src}/", f"{dst}/", cwd=tmp),
}


@pytest.mark.parametrize("tool", TOOLS)
def test_root_copies_a_foreign_owned_tree_with_owners_and_links(place, tmp_path, tool):
    if shutil.which(tool) is None:
        pytest.skip(f"needs {tool}")
    folder, host = place
    src = tmp_path / "src"
    src.mkdir()
    foreign_tree(src)
    into = folder / "into"
    into.mkdir()
    TOOLS[tool](src, into, tmp_path)  # each asserts rc 0
    got = owners(into)
    assert got == owners(src)
    if tool != "rsync":  # rsync -a keeps no hard links
        assert os.lstat(into / "hard").st_ino == os.lstat(into / "d" / "f.txt").st_ino or host is None
        assert os.lstat(into / "hard").st_nlink == 2
    if host is not None:
        assert owners(host / "into") == got
    if tool == "rsync":
        # Nothing differs, so a second run sends nothing.
        again = run("rsync", "-a", "-i", f"{src}/", f"{into}/", cwd=tmp_path)
        assert again == ""


def test_links_are_made_read_and_removed_as_in_a_folder(place):
    folder, host = place
    (folder / "t.txt").write_text("target")
    os.symlink("t.txt", folder / "soft")
    os.symlink("/nowhere/at/all", folder / "dangling")
    os.link(folder / "t.txt", folder / "hard")
    assert os.readlink(folder / "soft") == "t.txt"
    assert (folder / "soft").read_text() == "target"
    assert stat.S_ISLNK(os.lstat(folder / "dangling").st_mode)
    assert not (folder / "dangling").exists()
    assert os.lstat(folder / "t.txt").st_nlink == 2
    (folder / "hard").write_text("changed")
    assert (folder / "t.txt").read_text() == "changed"
    listed = {e.name: (e.is_symlink(), e.is_file()) for e in os.scandir(folder)}
    assert listed["soft"] == (True, True) and listed["dangling"] == (True, False)
    with pytest.raises(FileExistsError):
        os.symlink("x", folder / "soft")
    with pytest.raises(PermissionError):
        os.link(folder, folder / "dirlink")
    os.unlink(folder / "t.txt")
    assert (folder / "hard").read_text() == "changed"
    assert os.lstat(folder / "hard").st_nlink == 1
    os.unlink(folder / "soft")
    if host is not None:
        assert os.readlink(host / "dangling") == "/nowhere/at/all"
        assert (host / "hard").read_text() == "changed"


def test_links_on_a_host_folder_never_lead_our_side_out(tmp_path, mount_root):
    """The kernel follows a link on the mount's side, where an absolute one
    means what it means to the caller; nothing of ours follows one out."""
    host = tmp_path / "host"
    (host / "sub").mkdir(parents=True)
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "secret").write_text("secret")
    os.symlink("../outside", host / "out")
    mp = mount_root / "m"
    mp.mkdir()
    m = halvo.HostMount(halvo.Directory().with_mount("h", host), mp)
    try:
        # Followed by the kernel from the mount: ../outside from mp/h is mp/outside.
        assert os.readlink(mp / "h" / "out") == "../outside"
        assert not (mp / "h" / "out" / "secret").exists()
        os.symlink(str(outside), mp / "h" / "abs")
        assert (mp / "h" / "abs" / "secret").read_text() == "secret"  # an absolute link is the caller's
        assert os.readlink(host / "abs") == str(outside)
    finally:
        del m
        assert mounts_under(mp) == []


@pytest.mark.skipif(shutil.which("git") is None, reason="needs git")
def test_git_checks_out_symlinks_as_links(place, tmp_path):
    folder, _ = place
    repo = tmp_path / "repo"
    repo.mkdir()
    git = ["git", "-c", "user.name=t", "-c", "user.email=t@example.com", "-c", "init.defaultBranch=main"]
    run(*git, "init", "-q", cwd=repo)
    (repo / "real.txt").write_text("real\n")
    os.symlink("real.txt", repo / "link.txt")
    (repo / "dir").mkdir()
    os.symlink("../real.txt", repo / "dir" / "up")
    run(*git, "add", "-A", cwd=repo)
    run(*git, "commit", "-qm", "links", cwd=repo)
    run(*git, "clone", "-q", str(repo), str(folder / "clone"), cwd=tmp_path)
    clone = folder / "clone"
    assert os.readlink(clone / "link.txt") == "real.txt"
    assert (clone / "dir" / "up").read_text() == "real\n"
    assert run(*git, "status", "--porcelain", cwd=clone) == ""


def tiny_wheel(where):
    """A wheel of one module, built by hand: nothing to fetch."""
    name = "halvotiny-1.0-py3-none-any.whl"
    files = {
        "halvotiny.py": "ANSWER = 42\n",
        "halvotiny-1.0.dist-info/METADATA": "Metadata-Version: 2.1\nName: halvotiny\nVersion: 1.0\n",
        "halvotiny-1.0.dist-info/WHEEL": "Wheel-Version: 1.0\nGenerator: hand\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
    }
    record = "".join(f"{p},,\n" for p in files) + "halvotiny-1.0.dist-info/RECORD,,\n"
    path = where / name
    with zipfile.ZipFile(path, "w") as z:
        for p, text in files.items():
            z.writestr(p, text)
        z.writestr("halvotiny-1.0.dist-info/RECORD", record)
    return path


def test_a_venv_on_a_mount_installs_a_local_wheel(place, tmp_path):
    folder, _ = place
    wheel = tiny_wheel(tmp_path)
    env_dir = folder / "venv"
    base = getattr(sys, "_base_executable", sys.executable)
    r = subprocess.run([base, "-m", "venv", str(env_dir)], capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    if (env_dir / "lib64").exists() or os.path.islink(env_dir / "lib64"):
        assert os.path.islink(env_dir / "lib64")
    py = env_dir / "bin" / "python"
    r = subprocess.run([str(py), "-m", "pip", "install", "-q", "--no-index", "--disable-pip-version-check", str(wheel)],
                       capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    assert run(str(py), "-c", "import halvotiny; print(halvotiny.ANSWER)", cwd=tmp_path) == "42\n"


def test_fifos_and_sockets_are_made_as_in_a_folder(place):
    folder, host = place
    os.mkfifo(folder / "fifo", 0o640)
    assert stat.S_ISFIFO(os.lstat(folder / "fifo").st_mode)
    # A FIFO made through the mount carries data as any FIFO does.
    reader = subprocess.Popen(["cat", str(folder / "fifo")], stdout=subprocess.PIPE)
    with open(folder / "fifo", "w") as w:
        w.write("through\n")
    assert reader.communicate(timeout=30)[0] == b"through\n"
    with socket.socket(socket.AF_UNIX) as s:
        s.bind(str(folder / "sock"))
        assert stat.S_ISSOCK(os.lstat(folder / "sock").st_mode)
    if host is not None:
        assert stat.S_ISFIFO(os.lstat(host / "fifo").st_mode)
        assert stat.S_IMODE(os.lstat(host / "fifo").st_mode) == 0o640 & ~current_umask()
        assert stat.S_ISSOCK(os.lstat(host / "sock").st_mode)


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


# A process that takes a lock on argv[1] and holds it until its input ends.
HOLD = """
import fcntl, sys
f = open(sys.argv[1], "r+")
if sys.argv[2] == "flock":
    fcntl.flock(f, fcntl.LOCK_EX)
else:
    fcntl.lockf(f, fcntl.LOCK_EX, 10, 0)
print("held", flush=True)
sys.stdin.read()
"""

# Whether argv[1] can be locked at once: prints free or busy.
PROBE = """
import fcntl, sys
f = open(sys.argv[1], "r+")
try:
    if sys.argv[2] == "flock":
        fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
    else:
        fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB, 1, 5)
    print("free")
except OSError:
    print("busy")
"""


class Holder:
    def __init__(self, path, kind):
        self.p = subprocess.Popen([sys.executable, "-c", HOLD, str(path), kind], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        assert self.p.stdout.readline() == "held\n"

    def release(self):
        self.p.stdin.close()
        assert self.p.wait(timeout=30) == 0


def probe(path, kind):
    return subprocess.run([sys.executable, "-c", PROBE, str(path), kind], capture_output=True, text=True,
                          timeout=30).stdout.strip()


@pytest.fixture
def two_mounts(tmp_path, mount_root):
    """One host folder through two mounts: (host, first, second)."""
    host = tmp_path / "shared"
    host.mkdir()
    (host / "db").write_bytes(b"\0" * 100)
    points = [mount_root / "one", mount_root / "two"]
    mounts = []
    for mp in points:
        mp.mkdir()
        mounts.append(halvo.HostMount(halvo.Directory().with_mount("h", host).with_file("mem/db", b"\0" * 100), mp))
    try:
        yield host, points[0], points[1]
    finally:
        del mounts[:]
        for mp in points:
            assert mounts_under(mp) == []


@pytest.mark.parametrize("kind", ["posix", "flock"])
def test_locks_through_a_mount_are_the_host_files_locks(two_mounts, kind):
    host, one, two = two_mounts
    sides = {"host folder": host / "db", "first mount": one / "h" / "db", "second mount": two / "h" / "db"}
    for holder_side, held in sides.items():
        holder = Holder(held, kind)
        try:
            for side, path in sides.items():
                assert probe(path, kind) == "busy", f"held on the {holder_side}, free on the {side}"
        finally:
            holder.release()
        for side, path in sides.items():
            assert probe(path, kind) == "free", f"released on the {holder_side}, still held on the {side}"
    # An in-memory file's locks hold between the callers of its mount.
    holder = Holder(one / "mem" / "db", kind)
    try:
        assert probe(one / "mem" / "db", kind) == "busy"
        assert probe(two / "mem" / "db", kind) == "free"  # another mount's tree
    finally:
        holder.release()
    assert probe(one / "mem" / "db", kind) == "free"


# Holds a byte-range lock through one descriptor, closes another descriptor
# of the same file, then reports whether the lock went, as POSIX says it must.
CLOSE_OTHER = """
import fcntl, sys
f1 = open(sys.argv[1], "r+")
f2 = open(sys.argv[1], "r+")
fcntl.lockf(f1, fcntl.LOCK_EX, 10, 0)
print("held", flush=True)
sys.stdin.readline()
f2.close()
print("closed", flush=True)
sys.stdin.read()
"""


@pytest.mark.parametrize("where", ["h", "mem"])
def test_closing_any_descriptor_releases_the_process_byte_range_locks(two_mounts, where):
    _, one, _ = two_mounts
    path = one / where / "db"
    p = subprocess.Popen([sys.executable, "-c", CLOSE_OTHER, str(path)], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, text=True)
    try:
        assert p.stdout.readline() == "held\n"
        assert probe(path, "posix") == "busy"
        p.stdin.write("\n")
        p.stdin.flush()
        assert p.stdout.readline() == "closed\n"
        assert probe(path, "posix") == "free"
    finally:
        p.stdin.close()
        p.wait(timeout=30)


# Waits for the lock, then prints got; an interrupting signal prints interrupted.
WAIT = """
import fcntl, signal, sys
class Stop(Exception):
    pass
def stop(*_):
    raise Stop()
signal.signal(signal.SIGUSR1, stop)
f = open(sys.argv[1], "r+")
print("waiting", flush=True)
try:
    if sys.argv[2] == "flock":
        fcntl.flock(f, fcntl.LOCK_EX)
    else:
        fcntl.lockf(f, fcntl.LOCK_EX, 10, 0)
    print("got", flush=True)
except Stop:
    print("interrupted", flush=True)
except OSError as e:
    print("error", e.errno, flush=True)
"""


@pytest.mark.parametrize("kind", ["posix", "flock"])
def test_waiting_for_a_lock_holds_up_no_serving_thread(two_mounts, kind):
    import signal
    host, one, _ = two_mounts
    holder = Holder(host / "db", kind)
    waiters = []
    try:
        # More waiters than the mount has serving threads.
        for _ in range(6):
            w = subprocess.Popen([sys.executable, "-c", WAIT, str(one / "h" / "db"), kind],
                                 stdout=subprocess.PIPE, text=True)
            assert w.stdout.readline() == "waiting\n"
            waiters.append(w)
        time.sleep(0.3)
        # The mount still answers everything else.
        r = subprocess.run(["cat", str(one / "h" / "db")], capture_output=True, timeout=10)
        assert r.returncode == 0 and len(r.stdout) == 100
        (one / "h" / "other").write_text("x")
        # A signal ends one wait, as it ends a wait on a plain folder.
        waiters[0].send_signal(signal.SIGUSR1)
        assert waiters[0].communicate(timeout=10)[0] == "interrupted\n"
        assert all(w.poll() is None for w in waiters[1:])
    finally:
        holder.release()
    # Each of the others gets the lock in turn once it is free.
    for w in waiters[1:]:
        assert w.communicate(timeout=30)[0] == "got\n"


def test_unmounting_ends_a_lock_wait(tmp_path, mount_root):
    host = tmp_path / "h"
    host.mkdir()
    (host / "db").write_bytes(b"\0" * 10)
    mp = mount_root / "m"
    mp.mkdir()
    m = halvo.HostMount(halvo.Directory().with_mount("h", host), mp)
    holder = Holder(host / "db", "posix")
    try:
        w = subprocess.Popen([sys.executable, "-c", WAIT, str(mp / "h" / "db"), "posix"], stdout=subprocess.PIPE,
                             text=True)
        assert w.stdout.readline() == "waiting\n"
        time.sleep(0.2)
        started = time.monotonic()
        del m
        assert mounts_under(mp) == []
        out = w.communicate(timeout=30)[0]
        assert out.startswith("error") or out == "interrupted\n", out
        assert time.monotonic() - started < 20
    finally:
        holder.release()


# Opens argv[1] without waiting for a writer and takes a read lock on it.
OPEN_AND_LOCK = """
import fcntl, os, sys
try:
    fd = os.open(sys.argv[1], os.O_RDONLY | os.O_NONBLOCK)
    fcntl.lockf(fd, fcntl.LOCK_SH | fcntl.LOCK_NB, 1, 0)
    print("opened")
except OSError as e:
    print("refused", e.errno)
"""


def test_a_fifo_swapped_in_behind_the_kernels_cache_holds_up_no_serving_thread(tmp_path, mount_root):
    host = tmp_path / "h"
    host.mkdir()
    (host / "f").write_bytes(b"regular")
    (host / "other").write_bytes(b"other")
    mp = mount_root / "m"
    mp.mkdir()
    m = halvo.HostMount(halvo.Directory().with_mount("h", host), mp)
    try:
        # The kernel now takes f for a regular file, for a while.
        assert (mp / "h" / "f").read_bytes() == b"regular"
        os.unlink(host / "f")
        os.mkfifo(host / "f")
        r = subprocess.run([sys.executable, "-c", OPEN_AND_LOCK, str(mp / "h" / "f")], capture_output=True,
                           text=True, timeout=10)
        # Refused when the open reached the mount; the kernel's own FIFO when
        # it looked again first.
        assert r.stdout in ("refused 6\n", "opened\n"), r.stdout + r.stderr
        # The mount still answers.
        r = subprocess.run(["cat", str(mp / "h" / "other")], capture_output=True, timeout=10)
        assert r.returncode == 0 and r.stdout == b"other"
    finally:
        # Whatever waits on the FIFO gets its writer.
        try:
            os.close(os.open(host / "f", os.O_WRONLY | os.O_NONBLOCK))
        except OSError:
            pass
        del m
        assert mounts_under(mp) == []


def test_host_files_report_the_hosts_blocks_and_copy_out_sparse(place, tmp_path):
    folder, host = place
    if host is None:
        pytest.skip("a host folder's own figures")
    with open(host / "sparse", "wb") as f:
        f.truncate(64 << 20)
        f.seek(1 << 20)
        f.write(b"x" * 4096)
    via = os.stat(folder / "sparse")
    real = os.stat(host / "sparse")
    assert (via.st_size, via.st_blocks, via.st_blksize) == (real.st_size, real.st_blocks, real.st_blksize)
    assert via.st_blocks * 512 < (1 << 20)
    run("cp", str(folder / "sparse"), str(tmp_path / "copy"), cwd=tmp_path)
    copy = os.stat(tmp_path / "copy")
    assert copy.st_size == 64 << 20
    assert copy.st_blocks * 512 < (8 << 20), "cp wrote the holes"


def test_a_handle_opened_after_a_host_change_reads_the_new_bytes(place):
    folder, host = place
    if host is None:
        pytest.skip("nothing changes an in-memory file behind the mount")
    (host / "f").write_bytes(b"a" * 8192)
    st = os.stat(host / "f")
    with open(folder / "f", "rb") as f:
        assert f.read() == b"a" * 8192
    # Changed beside the mount, same size and times: only the bytes differ.
    with open(host / "f", "r+b") as f:
        f.write(b"b" * 8192)
    os.utime(host / "f", ns=(st.st_atime_ns, st.st_mtime_ns))
    with open(folder / "f", "rb") as f:
        assert f.read() == b"b" * 8192
