#!/usr/bin/env python3
"""halvo's ImageClient.version() awaited from an asyncio script, the way a
user calls it. Prints the version round trips per second.

usage: py_halvo.py SECONDS SERVER_ARGV..."""

import asyncio
import sys
import time

import halvo


async def main(seconds, argv):
    client = await halvo.ImageClient.try_from_cmd(argv)
    calls, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        await client.version()
        calls += 1
    rate = calls / (time.perf_counter() - start)
    await client.close()
    print(f"{rate:.0f}")


if __name__ == "__main__":
    asyncio.run(main(float(sys.argv[1]), sys.argv[2:]))
