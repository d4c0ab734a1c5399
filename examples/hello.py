"""Builds an image from a Dockerfile, lists the stored images and removes it;
then boots a console, runs commands in it with time limits, writes and reads
a file, serves an in-memory tree with a host folder in it to the console as a
FUSE mount, snapshots the console and boots a second one from the snapshot.

    python examples/hello.py [server command ...]

The server is the stand-in `halvo-uvm` of this repository unless a command
line is given (for example the real one: ~/Library/Caches/halvo/bin/halvo-uvm).
Every console is closed and the mount taken down however the example ends.
"""
import asyncio
import os
import sys
import tempfile

import halvo

DOCKERFILE = """\
FROM alpine:3.20
# a comment, then a continued line
RUN apk add --no-cache \\
    curl
ENV GREETING="hello from halvo" LANG=C.UTF-8
WORKDIR /srv
COPY app.py /srv/app.py
"""


def server_command() -> list[str]:
    if len(sys.argv) > 1:
        return sys.argv[1:]
    stand_in = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "uvm", "halvo-uvm")
    return [sys.executable, os.path.normpath(stand_in)]


def code_name(code: int) -> str:
    return next((n for n, c in halvo.ERROR_CODES.items() if c == code), str(code))


async def images(state: str) -> None:
    # The stand-in keeps its images in this folder.
    os.environ.setdefault("HALVO_UVM_STATE", state)

    recipe = halvo.Recipe.from_dockerfile(DOCKERFILE)
    print("recipe:", recipe)

    async with await halvo.ImageClient.try_from_cmd(server_command()) as images:
        print("server version:", await images.version())

        built = await images.build(recipe, reference="example:latest")
        print(f"built {built.reference} as {built.digest}")

        for entry in await images.list():
            print("stored:", entry.digest, entry.refs)

        await images.remove(halvo.ImageSource.reference("example:latest"))
        print("removed; images left:", len(await images.list()))

        try:
            await images.remove(halvo.ImageSource.reference("no-such-image"))
        except halvo.ConsoleRefused as e:
            print(f"refused as expected: {e} ({code_name(e.code)})")


def host_mount(work: str) -> halvo.HostMount | None:
    """An in-memory file and a host folder, served on this host for the console."""
    try:
        halvo.mount_support()
    except OSError as e:
        print("no host mounts here:", e)
        return None
    host = os.path.join(work, "host")
    os.mkdir(host)
    with open(os.path.join(host, "from-host.txt"), "w") as f:
        f.write("a host file\n")
    mountpoint = os.path.join(work, "mnt")
    os.mkdir(mountpoint)
    tree = halvo.Directory().with_file("etc/motd", "served from memory\n").with_mount("host", host)
    mount = halvo.HostMount(tree, mountpoint)
    print("mounted:", mount)
    return mount


async def use_mount(console: halvo.ConsoleClient, mount: halvo.HostMount, work: str) -> None:
    """Commands in the console read and write the mount at /work."""
    ran = await console.exec(["cat", "/work/etc/motd", "/work/host/from-host.txt"], timeout_ms=5_000)
    if ran.code != 0:
        # The stand-in server without bubblewrap runs commands on this host
        # itself, where /work is not the mount.
        print("the console does not see the mount at /work, so the rest of its part is skipped:",
              ran.stderr.decode().strip())
        return
    print("the console reads the mount:", ran.stdout.decode().splitlines())
    await console.exec(["sh", "-c", "echo written in the console > /work/host/from-console.txt"],
                       timeout_ms=5_000)
    with open(os.path.join(work, "host", "from-console.txt")) as f:
        print("the host folder got:", f.read().strip())
    with open(os.path.join(mount.mountpoint, "etc", "motd")) as f:
        print("this host sees the mount too; etc/motd:", f.read().strip())


async def consoles(work: str) -> None:
    mount = host_mount(work)
    try:
        builder = halvo.ConsoleClient.builder().cmd(server_command())
        if mount is not None:
            builder.mount(mount, "/work")
        async with await builder.build() as console:
            print("console booted; its mounts:", console.mounts)

            ran = await console.exec(["sh", "-c", "echo hello from the console; uname -s"], timeout_ms=5_000)
            print("exec:", ran, ran.stdout.decode().splitlines())
            try:
                await console.exec(["sleep", "10"], timeout_ms=200)
            except halvo.ConsoleRefused as e:
                print(f"ran past its limit: {e} ({code_name(e.code)})")

            size = await console.write("/home/notes.txt", "written by the script\n")
            got = await console.read("/home/notes.txt")
            print(f"wrote {size} bytes; read back {got}: {got.data.decode().strip()!r}")

            if mount is not None:
                await use_mount(console, mount, work)

            snapshot = await console.snapshot()
            print(f"snapshot of {len(snapshot)} bytes")
        print("first console closed")

        resumed = halvo.ConsoleClient.builder().cmd(server_command()).snapshot(snapshot)
        async with await resumed.build() as again:
            notes = await again.read("/home/notes.txt")
            print("second console, from the snapshot:", notes.data.decode().strip())
        print("second console closed")
    finally:
        if mount is not None:
            await mount.unmount()
            print("unmounted; the mount point is empty again:", os.listdir(mount.mountpoint) == [])


async def main() -> None:
    with tempfile.TemporaryDirectory(prefix="halvo-example-") as work:
        await images(os.path.join(work, "state"))
        await consoles(work)


if __name__ == "__main__":
    asyncio.run(main())
