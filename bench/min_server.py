#!/usr/bin/env python3
"""A minimal server for the benchmark: answers every request with a version
result and ends at the end of its input. Both clients pay for it alike."""

import struct
import sys

import bson


def main():
    inp, out = sys.stdin.buffer, sys.stdout.buffer
    while True:
        head = inp.read(4)
        if len(head) < 4:
            return
        msg = bson.decode(inp.read(struct.unpack(">I", head)[0]))
        if "id" not in msg:
            continue   # a notification: quit and friends
        body = bson.encode({"jsonrpc": "2.0", "id": msg["id"], "method": "version",
                            "result": {"version": "bench"}})
        out.write(struct.pack(">I", len(body)) + body)
        out.flush()


if __name__ == "__main__":
    main()
