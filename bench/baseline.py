"""The baseline: a pure-Python asyncio client speaking the same framing over
the same kind of pipes, with pymongo's bson, one request at a time."""

import asyncio
import struct

import bson
from bson.int64 import Int64


class Client:
    """One server started as a child, its requests answered in turn."""

    def __init__(self, proc):
        self.proc = proc
        self.next_id = 0

    @classmethod
    async def start(cls, argv):
        proc = await asyncio.create_subprocess_exec(*argv, stdin=asyncio.subprocess.PIPE,
                                                    stdout=asyncio.subprocess.PIPE)
        return cls(proc)

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

    async def close(self):
        self.proc.stdin.close()
        await self.proc.wait()
