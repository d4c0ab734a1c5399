#!/usr/bin/env python3
"""The baseline: a pure-Python asyncio client doing the same framing over the
same kind of pipes. Prints the version round trips per second.

usage: py_client.py SECONDS SERVER_ARGV..."""

import asyncio
import struct
import sys
import time

import bson
from bson.int64 import Int64


async def per_second(once, seconds):
    """Awaits once() again and again for `seconds`, after one call to warm up,
    and gives the calls per second."""
    await once()
    calls, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        await once()
        calls += 1
    return calls / (time.perf_counter() - start)


async def main(seconds, argv):
    proc = await asyncio.create_subprocess_exec(*argv, stdin=asyncio.subprocess.PIPE,
                                                stdout=asyncio.subprocess.PIPE)
    next_id = 0

    async def version():
        nonlocal next_id
        rid, next_id = next_id, next_id + 1
        body = bson.encode({"jsonrpc": "2.0", "id": Int64(rid), "method": "version", "params": {}})
        proc.stdin.write(struct.pack(">I", len(body)))
        proc.stdin.write(body)
        await proc.stdin.drain()
        while True:
            n = struct.unpack(">I", await proc.stdout.readexactly(4))[0]
            msg = bson.decode(await proc.stdout.readexactly(n))
            if msg.get("id") == rid:
                return msg["result"]["version"]

    # The warm-up call stands for the C++ client's probe.
    rate = await per_second(version, seconds)
    proc.stdin.close()
    await proc.wait()
    print(f"{rate:.0f}")


if __name__ == "__main__":
    asyncio.run(main(float(sys.argv[1]), sys.argv[2:]))
