"""What the kernel caches of a mount never hides a change.

An in-memory tree changes only through its mount, so the kernel may keep its
entries, attributes and missing names for long; a host folder changes beside
the mount and keeps a short time-out. Every change below is made by one
process and looked at at once by this one and by another, after both looked
at the old state, so a stale cache would show."""
import asyncio
import os
import stat
import subprocess
import sys
import time

import pytest

import halvo
from conftest import needs_fuse

pytestmark = needs_fuse


def unmount(m):
    async def down():
        await m.unmount()

    asyncio.run(down())


@pytest.fixture(params=["mem", "host"])
def place(request, tmp_path, mount_root):
    """A mounted folder `d` holding `f` ("hello"), `g` ("other") and the empty
    folders `e` and `empty`, in memory or in a host folder."""
    mp = mount_root / "m"
    mp.mkdir()
    if request.param == "mem":
        d = halvo.Directory()
        for name, content in (("f", "hello"), ("g", "other"), ("e/.keep", ""), ("empty/.keep", "")):
            d.add_file(f"d/{name}", content)
        m = halvo.HostMount(d, mp)
        for keep in ("e/.keep", "empty/.keep"):
            os.unlink(mp / "d" / keep)
    else:
        host = tmp_path / "host"
        (host / "d" / "e").mkdir(parents=True)
        (host / "d" / "empty").mkdir()
        (host / "d" / "f").write_text("hello")
        (host / "d" / "g").write_text("other")
        m = halvo.HostMount(halvo.Directory().with_mount("h", host), mp)
        mp = mp / "h"
    yield mp / "d"
    unmount(m)


LOOK_SRC = '''
import os, stat
def look(d):
    """What a program sees of d: names, and size, mode and mtime of each entry."""
    out = {}
    for name in sorted(os.listdir(d)):
        st = os.lstat(os.path.join(d, name))
        out[name] = (st.st_size, stat.S_IMODE(st.st_mode), stat.S_ISDIR(st.st_mode), st.st_mtime_ns)
        if stat.S_ISDIR(st.st_mode):
            for sub in sorted(os.listdir(os.path.join(d, name))):
                s = os.lstat(os.path.join(d, name, sub))
                out[name + "/" + sub] = (s.st_size, stat.S_IMODE(s.st_mode), False, s.st_mtime_ns)
    dst = os.stat(d)
    out["."] = (None, stat.S_IMODE(dst.st_mode), True, dst.st_mtime_ns)
    return out
'''
exec(LOOK_SRC)


def look_elsewhere(d):
    """look(d) from another process."""
    code = LOOK_SRC + "import sys; print(repr(look(sys.argv[1])))"
    return eval(subprocess.run([sys.executable, "-c", code, str(d)], check=True, capture_output=True,
                               text=True).stdout)


def missing(d, names):
    """Every name looked up and found missing, in this process and another."""
    for n in names:
        assert not os.path.lexists(d / n)
    subprocess.run(["sh", "-c", 'for n; do [ ! -e "$n" ] || exit 1; done', "sh", *[str(d / n) for n in names]],
                   check=True)


# (shell command run in d, by another process; what then holds)
CHANGES = {
    "create": ("touch new", lambda d: (d / "new").stat().st_size == 0),
    "write through the shell": ("printf 'world!' >> f", lambda d: (d / "f").read_text() == "helloworld!"),
    "truncate": ("truncate -s 2 f", lambda d: (d / "f").read_text() == "he"),
    "chmod": ("chmod 600 f", lambda d: stat.S_IMODE((d / "f").stat().st_mode) == 0o600),
    "times": ("touch -d @1000000000 f", lambda d: (d / "f").stat().st_mtime == 1000000000),
    "unlink": ("rm f", lambda d: not (d / "f").exists()),
    "rename": ("mv f moved", lambda d: not (d / "f").exists() and (d / "moved").read_text() == "hello"),
    "rename over": ("mv f g", lambda d: not (d / "f").exists() and (d / "g").read_text() == "hello"),
    "rename into a folder": ("mv f e/f", lambda d: (d / "e/f").read_text() == "hello"),
    "rename a folder": ("mv e e2", lambda d: not (d / "e").exists() and (d / "e2").is_dir()),
    "rename in from a folder": ("mkdir e/x && mv e/x x", lambda d: (d / "x").is_dir() and not os.listdir(d / "e")),
    "mkdir": ("mkdir sub", lambda d: (d / "sub").is_dir()),
    "rmdir": ("rmdir empty", lambda d: not (d / "empty").exists()),
    "link": ("ln f hard", lambda d: (d / "hard").stat().st_nlink == 2),
    "symlink": ("ln -s f soft", lambda d: os.readlink(d / "soft") == "f"),
    "unlink while open": ("exec 3<f; rm f; cat <&3 >/dev/null", lambda d: not (d / "f").exists()),
}


@pytest.mark.parametrize("change", list(CHANGES))
def test_a_change_is_seen_at_once_by_every_process(place, change):
    command, holds = CHANGES[change]
    # Twice, so that whatever the first look asked of the mount is cached.
    before = look(place)
    assert look_elsewhere(place) == before == look(place)
    missing(place, ["new", "moved", "sub", "e2", "e/f", "x", "hard", "soft"])

    subprocess.run(["sh", "-c", command], cwd=place, check=True)

    assert holds(place)
    here, there = look(place), look_elsewhere(place)
    assert here == there
    assert here != before
    if change not in ("times", "chmod", "write through the shell", "truncate"):
        # A name came or went: the folder's own times moved with it.
        assert here["."][3] != before["."][3]


def test_writes_of_this_process_show_in_size_and_content_elsewhere(place):
    look_elsewhere(place)
    with open(place / "f", "r+b") as f:
        for i in range(1, 4):
            f.seek(0, os.SEEK_END)
            f.write(b"x" * 5000)
            f.flush()
            assert look_elsewhere(place)["f"][0] == 5 + 5000 * i
            assert os.stat(place / "f").st_size == 5 + 5000 * i
        os.ftruncate(f.fileno(), 1)
        assert look_elsewhere(place)["f"][0] == 1
    assert (place / "f").read_bytes() == b"h"


# Ways another process brings a name into being.
CREATIONS = {
    "open O_CREAT": "echo made > name",
    "mkdir": "mkdir name",
    "rename onto it": "mv f name",
    "cp": "cp g name",
    "copy, then rename": "cp f tmp && mv tmp name",
}


@pytest.mark.parametrize("how", list(CREATIONS))
def test_a_name_found_missing_is_seen_once_it_is_made(place, how):
    for _ in range(3):
        missing(place, ["name", "name/x"])
    subprocess.run(["sh", "-c", CREATIONS[how]], cwd=place, check=True)
    assert os.path.lexists(place / "name")
    assert "name" in os.listdir(place)
    subprocess.run(["test", "-e", str(place / "name")], check=True)
    # And gone again: missing once more, and made once more.
    subprocess.run(["rm", "-r", str(place / "name")], check=True)
    missing(place, ["name"])
    (place / "name").write_text("again")
    assert subprocess.run(["cat", str(place / "name")], capture_output=True, check=True).stdout == b"again"


def test_a_name_unlinked_while_open_and_made_again_is_the_new_file(place):
    with open(place / "f", "rb") as old:
        os.unlink(place / "f")
        missing(place, ["f"])
        subprocess.run(["sh", "-c", "echo new > f"], cwd=place, check=True)
        assert (place / "f").read_text() == "new\n"
        assert old.read() == b"hello"
        assert sorted(os.listdir(place)) == ["e", "empty", "f", "g"]


def wait_for(check, limit=5.0):
    deadline = time.monotonic() + limit
    while not check():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def test_folders_changed_by_the_hidden_files_show_their_new_times(place):
    """A file unlinked while open is hidden, moved to the root when its folder
    goes, and deleted at its last close: each of these changes the times of a
    folder, which the kernel did not see happen."""
    root = place.parent
    (place / "e" / "f").write_text("x")
    held = open(place / "e" / "f")
    os.unlink(place / "e" / "f")
    root_before = os.stat(root).st_mtime_ns
    os.rmdir(place / "e")
    assert os.stat(root).st_mtime_ns != root_before
    root_before = os.stat(root).st_mtime_ns
    time.sleep(0.05)  # past a tick of the host's clock, for the host folder
    held.close()  # the kernel sends the release after close returns
    assert wait_for(lambda: os.stat(root).st_mtime_ns != root_before)

    with open(place / "g") as held:
        os.unlink(place / "g")
        folder_before = os.stat(place).st_mtime_ns
        time.sleep(0.05)
    assert wait_for(lambda: os.stat(place).st_mtime_ns != folder_before)


def test_a_host_folder_changed_beside_the_mount_is_seen_within_seconds(tmp_path, mount_root):
    """Only the host folder's short time-out lets these through: nothing tells
    the kernel of them."""
    host = tmp_path / "host"
    host.mkdir()
    (host / "f").write_text("hello")
    mp = mount_root / "m"
    mp.mkdir()
    m = halvo.HostMount(halvo.Directory().with_mount("h", host), mp)
    try:
        seen = mp / "h"
        assert (seen / "f").stat().st_size == 5
        missing(seen, ["new"])
        (host / "new").write_text("n")
        (host / "f").write_text("longer now")
        assert wait_for(lambda: (seen / "new").exists())
        assert wait_for(lambda: (seen / "f").stat().st_size == 10)
        os.unlink(host / "new")
        assert wait_for(lambda: not (seen / "new").exists())
    finally:
        unmount(m)


def test_a_host_folder_listing_shows_changes_beside_the_mount(tmp_path, mount_root):
    """The kernel keeps a host folder's listing across opens only while the
    folder's times stay, so a listing shows a change beside the mount at
    once, also among changes in quick turn that share a tick of the host's
    clock."""
    host = tmp_path / "host"
    host.mkdir()
    mp = mount_root / "m"
    mp.mkdir()
    m = halvo.HostMount(halvo.Directory().with_mount("h", host), mp)
    try:
        seen = mp / "h"
        time.sleep(0.1)  # the folder's times settle
        names = set()
        for i in range(6):
            # Twice: the second listing may come from the kernel's cache.
            assert set(os.listdir(seen)) == set(os.listdir(seen)) == names
            if i % 3 == 2:
                time.sleep(0.1)
            (host / f"n{i}").write_text("")
            names.add(f"n{i}")
            assert set(os.listdir(seen)) == names
        for name in sorted(names):
            os.unlink(host / name)
            names.discard(name)
            assert set(os.listdir(seen)) == names
        # Through the mount, seen at once.
        (seen / "through").write_text("")
        assert os.listdir(seen) == ["through"]
    finally:
        unmount(m)
