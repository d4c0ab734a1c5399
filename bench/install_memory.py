#!/usr/bin/env python3
"""Peak memory of ensure_halvo() fetching a large release archive.

A loopback server serves a gzip-compressed tar of SIZE MiB (random bytes, so
it does not shrink), once with a Content-Length and once without one (the
body ends when the connection closes). Each install runs in a fresh
interpreter that reports its peak resident set (VmHWM) above what it held
before the install; the ratio to the archive's size is what the download
costs. Rounds alternate between the two modes.

usage: install_memory.py [--size MIB] [--rounds N]
Run it with a python that can import halvo (PYTHONPATH=build/dev/python)."""

import argparse
import gzip
import http.server
import os
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
import threading

PLATFORM = "{}-{}".format({"linux": "linux", "darwin": "macos"}[sys.platform],
                          {"arm64": "aarch64", "AMD64": "x86_64"}.get(os.uname().machine, os.uname().machine))
ARCHIVE_PATH = f"/halvo-uvm/v0.1.2/halvo-uvm-{PLATFORM}.tar.gz"

CHILD = """
import asyncio, halvo
def hwm():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
before = hwm()
async def main():
    await halvo.ensure_halvo()
asyncio.run(main())
print(before, hwm())
"""


class RandomReader:
    """A file-like of `size` random bytes, read in pieces."""

    def __init__(self, size):
        self.left = size

    def read(self, n=-1):
        n = self.left if n < 0 else min(n, self.left)
        self.left -= n
        return os.urandom(n)


def make_archive(path, size):
    with gzip.open(path, "wb", compresslevel=1) as gz, tarfile.open(fileobj=gz, mode="w") as tar:
        program = b"#!/bin/sh\n"
        info = tarfile.TarInfo("halvo-uvm")
        info.size, info.mode = len(program), 0o755
        tar.addfile(info, __import__("io").BytesIO(program))
        info = tarfile.TarInfo("payload")
        info.size = size
        tar.addfile(info, RandomReader(size))


def serve(archive):
    size = os.path.getsize(archive)

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            with_length = self.path.startswith("/length")
            if self.path.removeprefix("/length").removeprefix("/close") != ARCHIVE_PATH:
                self.send_error(404)
                return
            self.send_response(200)
            if with_length:
                self.send_header("Content-Length", str(size))
            self.end_headers()
            with open(archive, "rb") as f:
                shutil.copyfileobj(f, self.wfile, 1 << 20)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def install(url, work):
    home = tempfile.mkdtemp(dir=work)
    try:
        env = dict(os.environ, HALVO_HOME=home, HALVO_DIST_URL=url)
        for name in ("HTTP_PROXY", "http_proxy", "ALL_PROXY", "all_proxy"):
            env.pop(name, None)
        out = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, text=True)
        if out.returncode != 0:
            sys.exit(out.stderr)
        before, peak = map(int, out.stdout.split())
        return peak - before
    finally:
        shutil.rmtree(home)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--size", type=int, default=256, help="archive size in MiB")
    p.add_argument("--rounds", type=int, default=3)
    args = p.parse_args()
    with tempfile.TemporaryDirectory() as work:
        archive = os.path.join(work, "archive.tar.gz")
        make_archive(archive, args.size << 20)
        size = os.path.getsize(archive)
        server = serve(archive)
        base = f"http://127.0.0.1:{server.server_address[1]}"
        grown = {"length": [], "close": []}
        try:
            for _ in range(args.rounds):
                for mode in grown:
                    grown[mode].append(install(f"{base}/{mode}", work))
        finally:
            server.shutdown()
            server.server_close()
    print(f"archive {size / 2**20:.0f} MiB")
    for mode, values in grown.items():
        ratios = [v / size for v in values]
        print(f"{'Content-Length' if mode == 'length' else 'no length':<15} peak growth "
              f"{statistics.median(values) / 2**20:6.0f} MiB  ratio to the archive "
              f"min {min(ratios):.2f} median {statistics.median(ratios):.2f} max {max(ratios):.2f}")


if __name__ == "__main__":
    main()
