"""HostMount and mount_support on real FUSE mounts."""
import asyncio
import gc
import inspect
import os
import pathlib
import subprocess
import textwrap
import threading
import time

import pytest

import halvo
from conftest import PACKAGE_ROOT, FsPath, interpreters, mounts_under, needs_fuse, run_python

pytestmark = needs_fuse

TAKEN = "^this Directory has been mounted, and the mount owns it now$"


@pytest.fixture
def mp(mount_root):
    point = mount_root / "m"
    point.mkdir()
    return point


@pytest.mark.asyncio
async def test_files_and_a_host_folder_are_served_through_the_mount(tmp_path, mp):
    host = tmp_path / "host"
    host.mkdir()
    (host / "h.txt").write_bytes(b"from the host")
    d = halvo.Directory().with_file("docs/readme.txt", "héllo").with_mount("data", host)
    m = halvo.HostMount(d, mp)
    assert mounts_under(mp) == [str(mp)]

    assert sorted(os.listdir(mp)) == ["data", "docs"]
    assert (mp / "docs/readme.txt").read_text() == "héllo"
    assert (mp / "data/h.txt").read_bytes() == b"from the host"

    # ordinary writes land in the tree and in the host folder
    (mp / "docs/readme.txt").write_bytes(b"changed")
    (mp / "docs/new.bin").write_bytes(bytes(range(256)) * 1000)
    (mp / "data/out.txt").write_text("through the mount")
    with open(mp / "data/h.txt", "a") as f:
        f.write("!")
    assert (mp / "docs/readme.txt").read_bytes() == b"changed"
    assert (mp / "docs/new.bin").read_bytes() == bytes(range(256)) * 1000
    assert (host / "out.txt").read_text() == "through the mount"
    assert (host / "h.txt").read_bytes() == b"from the host!"

    assert await m.unmount() is None
    assert mounts_under(mp) == []
    assert os.listdir(mp) == []
    assert (host / "out.txt").exists()


@pytest.mark.asyncio
async def test_content_conversions_give_these_bytes(mp):
    cases = {
        "bytes": (b"\x00\xff", b"\x00\xff"),
        "bytearray": (bytearray(b"ab"), b"ab"),
        "list": ([0, 65, 255], b"\x00A\xff"),
        "tuple": ((104, 105), b"hi"),
        "memoryview": (memoryview(b"mv"), b"mv"),
        "str": ("é✓\0", "é✓\0".encode()),
        "empty": ("", b""),
    }
    d = halvo.Directory()
    for name, (content, _) in cases.items():
        d.add_file(name, content)
    m = halvo.HostMount(d, mp)
    for name, (_, expected) in cases.items():
        assert (mp / name).read_bytes() == expected, name
    await m.unmount()


@pytest.mark.asyncio
@pytest.mark.parametrize("as_given", [str, pathlib.Path, FsPath])
async def test_mountpoint_and_repr(mount_root, as_given):
    point = mount_root / 'q"t'
    point.mkdir()
    m = halvo.HostMount(halvo.Directory(), as_given(str(point)))
    assert isinstance(m.mountpoint, pathlib.Path)
    assert m.mountpoint == point
    assert m.mountpoint is not m.mountpoint
    assert repr(m) == 'HostMount("' + str(point).replace('"', '\\"') + '")'
    await m.unmount()
    # still named after the unmount
    assert m.mountpoint == point


@pytest.mark.asyncio
async def test_a_mountpoint_that_is_not_utf8_round_trips(mount_root):
    point = os.fsdecode(os.fsencode(str(mount_root)) + b"/caf\xe9")
    os.mkdir(point)
    m = halvo.HostMount(halvo.Directory().with_file("f", b"x"), point)
    assert str(m.mountpoint) == point
    assert repr(m).endswith('caf\ufffd")')
    assert mounts_under(mount_root) == [point]
    assert open(os.path.join(point, "f"), "rb").read() == b"x"
    await m.unmount()
    assert mounts_under(mount_root) == []


@pytest.mark.asyncio
async def test_a_relative_mountpoint_is_reported_as_given(mount_root, monkeypatch):
    monkeypatch.chdir(mount_root)
    (mount_root / "rel").mkdir()
    m = halvo.HostMount(halvo.Directory().with_file("f", b"rel"), "rel")
    assert m.mountpoint == pathlib.Path("rel")
    assert repr(m) == 'HostMount("rel")'
    assert mounts_under(mount_root) == [str(mount_root / "rel")]
    assert (mount_root / "rel/f").read_bytes() == b"rel"
    await m.unmount()
    assert mounts_under(mount_root) == []


@pytest.mark.asyncio
async def test_unmount_twice_resolves_at_once_the_second_time(mp):
    m = halvo.HostMount(halvo.Directory().with_file("f", b""), mp)
    assert await m.unmount() is None
    assert mounts_under(mp) == []
    assert await m.unmount() is None


@pytest.mark.asyncio
async def test_concurrent_unmounts_take_the_mount_down_once(mp):
    m = halvo.HostMount(halvo.Directory(), mp)
    assert await asyncio.gather(m.unmount(), m.unmount(), m.unmount()) == [None] * 3
    assert mounts_under(mp) == []


@pytest.mark.asyncio
async def test_a_cancelled_unmount_still_finishes_its_tear_down(tmp_path, mp):
    registry = tmp_path / "tmp" / "halvo-mounts"
    m = halvo.HostMount(halvo.Directory(), mp)
    assert len(os.listdir(registry)) == 1
    fut = m.unmount()
    # Once the mount has left the table the tear-down is under way; its
    # last step, deleting the record, must still come after the cancel.
    while mounts_under(mp):
        await asyncio.sleep(0.001)
    if fut.cancel():
        with pytest.raises(asyncio.CancelledError):
            await fut
    else:
        assert fut.result() is None
    deadline = time.monotonic() + 30
    while os.listdir(registry) and time.monotonic() < deadline:
        await asyncio.sleep(0.01)
    assert os.listdir(registry) == []
    assert await m.unmount() is None


def test_unmount_needs_a_running_loop(mp):
    m = halvo.HostMount(halvo.Directory(), mp)
    with pytest.raises(RuntimeError):
        m.unmount()
    # nothing started: the mount is still up until the object goes
    assert mounts_under(mp) == [str(mp)]
    del m
    gc.collect()
    assert mounts_under(mp) == []


def test_the_last_release_takes_the_mount_down(mp):
    m = halvo.HostMount(halvo.Directory().with_file("f", b"x"), mp)
    assert (mp / "f").read_bytes() == b"x"
    del m
    gc.collect()
    assert mounts_under(mp) == []
    assert os.listdir(mp) == []


def taken_calls(tmp_path):
    return [
        lambda d: d.add_file("f", b""),
        lambda d: d.with_file("f", b""),
        lambda d: d.remove_file("f"),
        lambda d: d.mount("m", str(tmp_path)),
        lambda d: d.with_mount("m", str(tmp_path)),
        lambda d: d.unmount("m"),
        lambda d: halvo.HostMount(d, str(tmp_path)),
    ]


@pytest.mark.asyncio
async def test_a_mounted_directory_refuses_further_use(tmp_path, mp):
    d = halvo.Directory().with_file("f", b"")
    m = halvo.HostMount(d, mp)
    for call in taken_calls(tmp_path):
        with pytest.raises(ValueError, match=TAKEN):
            call(d)
    await m.unmount()


@pytest.mark.parametrize("kind", ["missing", "not empty"])
def test_a_failed_mount_raises_oserror_and_leaves_the_directory_taken(tmp_path, mount_root, kind):
    point = mount_root / "m"
    if kind == "not empty":
        point.mkdir()
        (point / "x").write_bytes(b"")
    d = halvo.Directory().with_file("f", b"")
    with pytest.raises(OSError) as info:
        halvo.HostMount(d, point)
    assert type(info.value) is OSError
    assert "could not mount" in str(info.value) and str(point) in str(info.value)
    assert mounts_under(mount_root) == []
    for call in taken_calls(tmp_path):
        with pytest.raises(ValueError, match=TAKEN):
            call(d)
    # conversion still comes first
    with pytest.raises(TypeError):
        d.add_file("f", 3.5)


def test_mounting_releases_the_gil_while_it_waits(mount_root):
    # A regular file as mount point never shows up as mounted, so the
    # constructor waits its full time limit and then times out.
    point = mount_root / "file"
    point.write_bytes(b"")
    ticks = 0
    stop = threading.Event()

    def spin():
        nonlocal ticks
        while not stop.is_set():
            ticks += 1
            time.sleep(0.001)

    t = threading.Thread(target=spin)
    t.start()
    try:
        before = ticks
        with pytest.raises(TimeoutError, match="within 10s"):
            halvo.HostMount(halvo.Directory(), point)
        during = ticks - before
    finally:
        stop.set()
        t.join()
    # with the GIL held for those seconds the thread could not have run at all
    assert during > 100
    assert mounts_under(mount_root) == []


@pytest.mark.parametrize(
    "args, name",
    [
        (("not a directory", "/x"), "fs"),
        ((None, "/x"), "fs"),
        ((halvo.Directory(), b"/x"), "mountpoint"),
        ((halvo.Directory(), 3), "mountpoint"),
    ],
)
def test_wrong_arguments_raise_typeerror_and_take_nothing(args, name):
    with pytest.raises(TypeError, match=f"argument '{name}'"):
        halvo.HostMount(*args)
    if isinstance(args[0], halvo.Directory):
        assert args[0].with_file("f", b"") is args[0]


def test_class_surface():
    assert halvo.HostMount.__module__ == "halvo"
    assert str(inspect.signature(halvo.HostMount)) == "(fs, mountpoint)"
    assert halvo.HostMount.__doc__.startswith("A tree mounted on this host")
    assert halvo.HostMount.unmount.__text_signature__ == "($self)"
    assert str(inspect.signature(halvo.mount_support)) == "()"
    assert halvo.mount_support.__module__ == "halvo"
    with pytest.raises(TypeError):
        halvo.HostMount(fs=halvo.Directory())


def test_mount_support_is_quiet_on_a_usable_host():
    assert halvo.mount_support() is None


def test_mount_support_and_mounting_report_an_unusable_library(tmp_path, monkeypatch):
    # A library that speaks libfuse API 30, found first on the library path.
    lib = tmp_path / "lib"
    lib.mkdir()
    src = tmp_path / "fake.c"
    src.write_text("int fuse_version(void) { return 30; }\n")
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(lib / "libfuse.so.2"), str(src)], check=True)
    monkeypatch.setenv("LD_LIBRARY_PATH", str(lib))
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    r = run_python(textwrap.dedent(f"""
        import halvo
        for attempt in (halvo.mount_support, lambda: halvo.HostMount(d, {str(tmp_path)!r})):
            d = halvo.Directory()
            try:
                attempt()
            except OSError as e:
                print(type(e).__name__, e)
        try:
            d.add_file("f", b"")
        except ValueError:
            print("taken")
    """))
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert len(lines) == 3, r.stdout
    assert lines[0].startswith("OSError ") and "API 30" in lines[0]
    assert lines[1] == lines[0]
    assert lines[2] == "taken"


@pytest.mark.parametrize("how", ["global", "reference cycle"])
def test_a_script_that_exits_without_unmount_leaves_nothing_mounted(tmp_path, mount_root, how):
    point = mount_root / "m"
    point.mkdir()
    hold = "keep = m" if how == "global" else "cycle = [m]; cycle.append(cycle)"
    # The watchdog is killed first, so only the script's own release can
    # take the mount down.
    r = run_python(textwrap.dedent(f"""
        import glob, os, signal
        import halvo
        m = halvo.HostMount(halvo.Directory().with_file("f", b"x"), {str(point)!r})
        print(open({str(point / "f")!r}).read(), flush=True)
        for children in glob.glob(f"/proc/{{os.getpid()}}/task/*/children"):
            for pid in open(children).read().split():
                if b"halvo-mount-watchdog" in open(f"/proc/{{pid}}/cmdline", "rb").read():
                    os.kill(int(pid), signal.SIGKILL)
                    os.waitpid(int(pid), 0)
                    print("watchdog gone", flush=True)
        {hold}
        del m
    """))
    assert r.returncode == 0, r.stderr
    assert r.stdout == "x\nwatchdog gone\n"
    assert r.stderr == ""
    assert mounts_under(mount_root) == []
    registry = tmp_path / "tmp" / "halvo-mounts"
    assert not registry.exists() or os.listdir(registry) == []


def test_an_interpreter_exiting_while_a_daemon_thread_reads_its_own_mount_ends(mount_root, tmp_path):
    # The file is held on a descriptor below the mount's own, so the
    # process's last close of it comes before the mount's: nothing would be
    # left to answer it. With a daemon thread alive the HostMount is never
    # collected, and the interpreter's exit must take the mount down itself.
    code = textwrap.dedent("""
        import os, sys, threading, time
        import halvo
        point = sys.argv[1]
        low = os.open("/dev/null", os.O_RDONLY)
        m = halvo.HostMount(halvo.Directory().with_file("f", b"x" * 100000), point)
        fd = os.open(os.path.join(point, "f"), os.O_RDONLY)
        os.dup2(fd, low)
        os.close(fd)
        def read_forever():
            while True:
                try:
                    os.pread(low, 4096, 0)
                except OSError:
                    time.sleep(0.01)
        threading.Thread(target=read_forever, daemon=True).start()
        time.sleep(0.2)
        print("exiting", flush=True)
    """)
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    registry = tmp_path / "tmp" / "halvo-mounts"
    for version, exe in sorted(interpreters().items()):
        point = mount_root / f"py{version[0]}.{version[1]}"
        point.mkdir()
        p = subprocess.Popen([exe, "-c", code, str(point)], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
        try:
            assert p.stdout.readline() == "exiting\n", p.stderr.read()
            p.wait(timeout=3)
        except subprocess.TimeoutExpired:
            # Free it, so the test fails instead of hanging with it.
            subprocess.run(["umount", "-f", "-c", str(point)], check=False)
            p.wait(timeout=30)
            pytest.fail(f"{version}: the interpreter did not end")
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
            p.stdout.close()
            stderr = p.stderr.read()
            p.stderr.close()
        assert p.returncode == 0, f"{version}: {stderr}"
        assert mounts_under(point) == [], version
        assert os.listdir(registry) == [], version
