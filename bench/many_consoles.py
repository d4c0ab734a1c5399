#!/usr/bin/env python3
"""Many consoles at once: COUNT consoles open together, EXECS execs gathered
on each, through halvo or through the pure-Python asyncio client of
py_console_client.py. Prints one line of JSON: the wall time of the execs,
how many completed, the process's threads with every console open and idle,
and its resident memory per idle console.

usage: many_consoles.py halvo|asyncio COUNT EXECS SERVER_ARGV..."""

import asyncio
import json
import os
import sys
import time

from py_console_client import Console


def threads():
    return len(os.listdir("/proc/self/task"))


def resident_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


async def halvo_consoles(count, argv):
    import halvo
    consoles = [await halvo.ConsoleClientBuilder().cmd(argv).build() for _ in range(count)]

    async def close():
        await asyncio.gather(*(c.close() for c in consoles))

    return consoles, (lambda c: c.exec(["true"])), close


async def asyncio_consoles(count, argv):
    consoles = []
    for _ in range(count):
        proc = await asyncio.create_subprocess_exec(*argv, stdin=asyncio.subprocess.PIPE,
                                                    stdout=asyncio.subprocess.PIPE)
        console = Console(proc)
        await console.call("init", {})
        consoles.append(console)
    # One request at a time on a console, as halvo does it.
    locks = {id(c): asyncio.Lock() for c in consoles}

    async def exec_(c):
        async with locks[id(c)]:
            return await c.call("exec", {"cmd": ["true"]})

    async def close():
        for c in consoles:
            c.proc.stdin.close()
        await asyncio.gather(*(c.proc.wait() for c in consoles))

    return consoles, exec_, close


async def main(kind, count, execs, argv):
    # Settled before counting: the runtime starts with the first console.
    base_kib = resident_kib()
    open_ = halvo_consoles if kind == "halvo" else asyncio_consoles
    consoles, exec_, close = await open_(count, argv)
    await asyncio.sleep(0.5)
    idle_threads, idle_kib = threads(), resident_kib()
    start = time.perf_counter()
    results = await asyncio.gather(*(exec_(c) for c in consoles for _ in range(execs)))
    wall = time.perf_counter() - start
    peak_threads = threads()
    await close()
    print(json.dumps({
        "completed": len(results), "seconds": round(wall, 3),
        "threads_idle": idle_threads, "threads_after": peak_threads,
        "kib_per_console": round((idle_kib - base_kib) / count, 1),
    }))


if __name__ == "__main__":
    if len(sys.argv) < 5 or sys.argv[1] not in ("halvo", "asyncio"):
        sys.exit(__doc__)
    asyncio.run(main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4:]))
