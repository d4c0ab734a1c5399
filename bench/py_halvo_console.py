#!/usr/bin/env python3
"""halvo's ConsoleClient awaited from an asyncio script, the way a user calls
it, against the same server as py_console_client.py. Prints the round trips
per second of one kind (write, read or exec; see py_console_client.py).

usage: py_halvo_console.py SECONDS MODE SERVER_ARGV..."""

import asyncio
import sys

import halvo

from py_client import per_second

MIB = 1 << 20


def operation(console, mode):
    payload = bytes(MIB)

    async def write():
        assert await console.write("/bench", payload) == MIB

    async def read():
        assert len((await console.read("/bench", len=MIB)).data) == MIB

    async def exec_():
        assert (await console.exec(["true"])).code == 0

    return {"write": write, "read": read, "exec": exec_}[mode]


async def main(seconds, mode, argv):
    async with await halvo.ConsoleClientBuilder().cmd(argv).build() as console:
        rate = await per_second(operation(console, mode), seconds)
    print(f"{rate:.0f}")


if __name__ == "__main__":
    if len(sys.argv) < 4 or sys.argv[2] not in ("write", "read", "exec"):
        sys.exit(__doc__)
    asyncio.run(main(float(sys.argv[1]), sys.argv[2], sys.argv[3:]))
