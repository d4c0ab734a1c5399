"""Builds an image from a Dockerfile, lists the stored images and removes it,
then serves an in-memory tree with a host folder in it as a FUSE mount.

    python examples/hello.py [server command ...]

The server is the stand-in `halvo-uvm` of this repository unless a command
line is given (for example the real one: ~/Library/Caches/halvo/bin/halvo-uvm).
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
            name = next(n for n, c in halvo.ERROR_CODES.items() if c == e.code)
            print(f"refused as expected: {e} ({name})")


async def host_mount(work: str) -> None:
    try:
        halvo.mount_support()
    except OSError as e:
        print("no host mounts here:", e)
        return
    host = os.path.join(work, "host")
    os.mkdir(host)
    with open(os.path.join(host, "from-host.txt"), "w") as f:
        f.write("a host file\n")
    mountpoint = os.path.join(work, "mnt")
    os.mkdir(mountpoint)

    tree = halvo.Directory().with_file("etc/motd", "served from memory\n").with_mount("host", host)
    mount = halvo.HostMount(tree, mountpoint)
    print("mounted:", mount)
    with open(os.path.join(mountpoint, "etc", "motd")) as f:
        print("etc/motd:", f.read().strip())
    with open(os.path.join(mountpoint, "host", "new.txt"), "w") as f:
        f.write("written through the mount\n")
    print("host folder now holds:", sorted(os.listdir(host)))
    await mount.unmount()
    print("unmounted; the mount point is empty again:", os.listdir(mountpoint) == [])


async def main() -> None:
    with tempfile.TemporaryDirectory(prefix="halvo-example-") as work:
        await images(os.path.join(work, "state"))
        await host_mount(work)


if __name__ == "__main__":
    asyncio.run(main())
