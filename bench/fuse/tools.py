"""Everyday programs on a halvo mount, against a plain ext4 folder and the C peer.

Not a test. Each round runs the same steps in four places, taken in turn so
that the machine's other load falls on all alike: a plain folder on the disk
this runs on (ext4), a halvo mount of an in-memory tree, a halvo mount whose
files live in a host folder on that disk, and the minimal C file system
bench/fuse/peer.c (in memory). It prints each step's median time and the
minimum, median and maximum of the round-by-round ratios.

    PYTHONPATH=build/dev/python .venv/bin/python bench/fuse/tools.py build/dev/fuse_peer [--rounds N]

Run as root (the peer mounts through libfuse, halvo directly). The checkout is
~6,900 files in a local git repository made here; the many-entries steps use
50,000 empty files in one folder.
"""

import argparse
import asyncio
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import halvo

CHECKOUT_FILES = 6900
MANY = 50_000
GIT_ENV = dict(os.environ, GIT_AUTHOR_NAME="b", GIT_AUTHOR_EMAIL="b@b", GIT_COMMITTER_NAME="b",
               GIT_COMMITTER_EMAIL="b@b", GIT_CONFIG_NOSYSTEM="1", HOME="/nonexistent")
STEPS = ["tar x", "git status 1", "git status 2", "tar c", "rsync 1", "rsync 2", "cp -a", "find", "du",
         "create 50k", "ls -la 50k", "rm -rf 50k"]


def run(*cmd, cwd=None, stdout=subprocess.DEVNULL):
    subprocess.run(cmd, cwd=cwd, env=GIT_ENV, check=True, stdout=stdout)


def make_source(root):
    """A source tree of CHECKOUT_FILES files committed to git, and its tar."""
    src = os.path.join(root, "src")
    n = 0
    while n < CHECKOUT_FILES - 1:  # .gitignore-free; the last file is README
        d = os.path.join(src, f"pkg{n // 600}", f"mod{(n // 60) % 10}")
        os.makedirs(d, exist_ok=True)
        for i in range(60):
            if n >= CHECKOUT_FILES - 1:
                break
            with open(os.path.join(d, f"f{i}.c"), "w") as f:
                f.write(f"/* {n} */\n" + "int x;\n" * (20 + n % 300))
            n += 1
    with open(os.path.join(src, "README"), "w") as f:
        f.write("bench\n")
    run("git", "init", "-q", cwd=src)
    run("git", "config", "gc.auto", "0", cwd=src)
    run("git", "add", "-A", cwd=src)
    run("git", "commit", "-q", "-m", "tree", cwd=src)
    # Packed now, rather than by an automatic gc in the background meanwhile.
    run("git", "gc", "-q", cwd=src)
    archive = os.path.join(root, "tree.tar")
    run("tar", "-C", src, "-cf", archive, ".")
    return src, archive


def create_many(folder, count):
    os.mkdir(folder)
    for i in range(count):
        os.close(os.open(os.path.join(folder, f"e{i:05d}"), os.O_WRONLY | os.O_CREAT, 0o644))


def steps(target, src, archive, scratch):
    """The timed steps in the folder `target`; seconds by step."""
    t = {}

    def timed(name, fn):
        start = time.perf_counter()
        fn()
        t[name] = time.perf_counter() - start

    work = os.path.join(target, "w")
    os.mkdir(work)
    timed("tar x", lambda: run("tar", "-C", work, "-xf", archive))
    timed("git status 1", lambda: run("git", "-C", work, "status", "--porcelain"))
    timed("git status 2", lambda: run("git", "-C", work, "status", "--porcelain"))
    # Into a file on the disk, so tar reads every byte (it skips them for /dev/null).
    out = os.path.join(scratch, "out.tar")
    timed("tar c", lambda: run("tar", "-C", work, "-cf", out, "."))
    os.unlink(out)
    copy = os.path.join(target, "r")
    timed("rsync 1", lambda: run("rsync", "-a", src + "/", copy + "/"))
    timed("rsync 2", lambda: run("rsync", "-a", src + "/", copy + "/"))
    timed("cp -a", lambda: run("cp", "-a", work, os.path.join(target, "c")))
    timed("find", lambda: run("find", work))
    timed("du", lambda: run("du", "-s", work))
    many = os.path.join(target, "many")
    timed("create 50k", lambda: create_many(many, MANY))
    timed("ls -la 50k", lambda: run("ls", "-la", many))
    timed("rm -rf 50k", lambda: run("rm", "-rf", many))
    return t


def mounted(path):
    try:
        return os.stat(path).st_dev != os.stat(os.path.dirname(path)).st_dev
    except OSError:
        return False


class Peer:
    def __init__(self, program, mountpoint):
        self.mountpoint = mountpoint
        self.child = subprocess.Popen([program, mountpoint])
        for _ in range(500):
            if mounted(mountpoint):
                return
            time.sleep(0.01)
        raise RuntimeError("the peer did not mount")

    def close(self):
        subprocess.run(["umount", self.mountpoint], check=False)
        self.child.wait(10)


def one_round(root, peer_program, src, archive):
    out = {}
    scratch = os.path.join(root, "scratch")

    ext4 = os.path.join(root, "ext4")
    os.mkdir(ext4)
    out["ext4"] = steps(ext4, src, archive, scratch)
    shutil.rmtree(ext4)

    mp = os.path.join(root, "mnt")
    os.mkdir(mp)
    mount = halvo.HostMount(halvo.Directory(), mp)
    try:
        out["halvo mem"] = steps(mp, src, archive, scratch)
    finally:
        _unmount(mount)

    host = os.path.join(root, "host")
    os.mkdir(host)
    mount = halvo.HostMount(halvo.Directory().with_mount("h", host), mp)
    try:
        out["halvo host"] = steps(os.path.join(mp, "h"), src, archive, scratch)
    finally:
        _unmount(mount)
    shutil.rmtree(host)

    peer = Peer(peer_program, mp)
    try:
        out["peer"] = steps(mp, src, archive, scratch)
    finally:
        peer.close()
    os.rmdir(mp)
    return out


def _unmount(mount):
    async def down():
        await mount.unmount()

    asyncio.run(down())


def spread(values):
    return f"{min(values):6.2f} {statistics.median(values):6.2f} {max(values):6.2f}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("peer")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--dir", default=None, help="where to work (default: a new folder in /var/tmp)")
    args = ap.parse_args()
    root = tempfile.mkdtemp(prefix="halvo-tools-", dir=args.dir or "/var/tmp")
    try:
        os.mkdir(os.path.join(root, "scratch"))
        src, archive = make_source(root)
        rounds = []
        for r in range(args.rounds):
            rounds.append(one_round(root, os.path.abspath(args.peer), src, archive))
            print(f"round {r + 1} done", file=sys.stderr, flush=True)
        places = ["ext4", "halvo mem", "halvo host", "peer"]
        print(f"{time.strftime('%Y-%m-%d')}, medians of {args.rounds} rounds, seconds:")
        print(f"{'step':14}" + "".join(f"{p:>12}" for p in places))
        for s in STEPS:
            print(f"{s:14}" + "".join(f"{statistics.median(r[p][s] for r in rounds):12.3f}" for p in places))
        print("ratios, min median max per round:")
        print(f"{'step':14}{'mem/ext4':>21}{'host/ext4':>21}{'mem/peer':>21}{'host/peer':>21}")
        for s in STEPS:
            cols = []
            for ours, base in (("halvo mem", "ext4"), ("halvo host", "ext4"), ("halvo mem", "peer"),
                               ("halvo host", "peer")):
                cols.append(spread([r[ours][s] / r[base][s] for r in rounds]))
            print(f"{s:14}" + "".join(f"{c:>21}" for c in cols))
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
