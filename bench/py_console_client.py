#!/usr/bin/env python3
"""The baseline for the console benchmarks: a pure-Python asyncio client doing
the same framing over the same kind of pipes. It boots the console with init,
then prints the round trips per second of one kind:

  write  1 MiB written to a file
  read   1 MiB read back (the server answers every read with 1 MiB)
  exec   a small command

usage: py_console_client.py SECONDS MODE SERVER_ARGV..."""

import asyncio
import struct
import sys

import bson
from bson.int64 import Int64

from py_client import per_second

MIB = 1 << 20


class Console:
    def __init__(self, proc):
        self.proc = proc
        self.next_id = 0

    async def call(self, method, params):
        rid, self.next_id = self.next_id, self.next_id + 1
        body = bson.encode({"jsonrpc": "2.0", "id": Int64(rid), "method": method, "params": params})
        self.proc.stdin.write(struct.pack(">I", len(body)))
        self.proc.stdin.write(body)
        await self.proc.stdin.drain()
        while True:
            n = struct.unpack(">I", await self.proc.stdout.readexactly(4))[0]
            msg = bson.decode(await self.proc.stdout.readexactly(n))
            if msg.get("id") != rid:
                continue
            if "error" in msg:
                raise RuntimeError(f"{method}: {msg['error']}")
            return msg["result"]


def operation(console, mode):
    """One round trip of the mode, checked as a client would use its answer."""
    payload = bytes(MIB)

    async def write():
        result = await console.call("write", {"path": "/bench", "data": payload})
        assert result["size"] == MIB

    async def read():
        result = await console.call("read", {"path": "/bench", "len": Int64(MIB)})
        assert len(result["data"]) == MIB

    async def exec_():
        result = await console.call("exec", {"cmd": ["true"]})
        assert result["code"] == 0

    return {"write": write, "read": read, "exec": exec_}[mode]


async def main(seconds, mode, argv):
    proc = await asyncio.create_subprocess_exec(*argv, stdin=asyncio.subprocess.PIPE,
                                                stdout=asyncio.subprocess.PIPE)
    console = Console(proc)
    await console.call("init", {})
    rate = await per_second(operation(console, mode), seconds)
    proc.stdin.close()
    await proc.wait()
    print(f"{rate:.0f}")


if __name__ == "__main__":
    if len(sys.argv) < 4 or sys.argv[2] not in ("write", "read", "exec"):
        sys.exit(__doc__)
    asyncio.run(main(float(sys.argv[1]), sys.argv[2], sys.argv[3:]))
