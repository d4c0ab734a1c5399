#!/usr/bin/env python3
"""One measurement in a process of its own, through halvo or through the
asyncio baseline (baseline.py), against SERVER (bench/console_server.c).
Prints one line of JSON.

  version    ImageClient.version() round trips per second
  exec       exec(["true"]) round trips per second
  write      1 MiB writes per second
  read       1 MiB reads per second
  s1         100 consoles open at once, 20 execs each gathered: the wall time
  fairness   version() calls as fast as they go, beside a task awaiting
             asyncio.sleep(0) in a loop, an add_reader on a pipe a ticker
             process writes its clock to every millisecond: how late each saw
             its turn (p99 and worst, in microseconds); then the calls alone,
             flat out, beside a thread of this process that sleeps 1 ms in a
             loop: how late it woke

usage: worker.py halvo|asyncio MEASURE SECONDS SERVER"""

import asyncio
import json
import os
import statistics
import struct
import subprocess
import sys
import threading
import time

from baseline import Client

MIB = 1 << 20
CONSOLES, EXECS = 100, 20


WARM_UP = 0.5  # seconds: a fresh pair of processes runs slower at first


async def per_second(once, seconds):
    """Awaits once() again and again for `seconds`, after calls to warm up,
    and gives the calls per second."""
    start = time.perf_counter()
    while time.perf_counter() - start < WARM_UP:
        await once()
    calls, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        await once()
        calls += 1
    return calls / (time.perf_counter() - start)


# Each opener gives (the operation of a measure, a close).

async def open_halvo(measure, server):
    import halvo
    if measure in ("version", "fairness"):
        client = await halvo.ImageClient.try_from_cmd([server])
        return client.version, client.close
    console = await halvo.ConsoleClientBuilder().cmd([server]).build()
    payload = bytes(MIB)

    async def write():
        assert await console.write("/bench", payload) == MIB

    async def read():
        assert len((await console.read("/bench", len=MIB)).data) == MIB

    async def exec_():
        assert (await console.exec(["true"])).code == 0

    return {"write": write, "read": read, "exec": exec_}[measure], console.close


async def open_asyncio(measure, server):
    client = await Client.start([server])
    if measure in ("version", "fairness"):
        async def version():
            return (await client.call("version", {}))["version"]
        return version, client.close
    await client.call("init", {})
    payload = bytes(MIB)

    async def write():
        assert (await client.call("write", {"path": "/bench", "data": payload}))["size"] == MIB

    async def read():
        from bson.int64 import Int64
        assert len((await client.call("read", {"path": "/bench", "len": Int64(MIB)}))["data"]) == MIB

    async def exec_():
        assert (await client.call("exec", {"cmd": ["true"]}))["code"] == 0

    return {"write": write, "read": read, "exec": exec_}[measure], client.close


async def rate(kind, measure, seconds, server):
    once, close = await (open_halvo if kind == "halvo" else open_asyncio)(measure, server)
    r = await per_second(once, seconds)
    await close()
    return {"rate": r}


async def s1(kind, server):
    if kind == "halvo":
        import halvo
        consoles = [await halvo.ConsoleClientBuilder().cmd([server]).build() for _ in range(CONSOLES)]
        exec_ = lambda c: c.exec(["true"])  # noqa: E731

        async def close():
            await asyncio.gather(*(c.close() for c in consoles))
    else:
        consoles = []
        for _ in range(CONSOLES):
            c = await Client.start([server])
            await c.call("init", {})
            consoles.append(c)
        # One request at a time on a console, as halvo does it.
        locks = {id(c): asyncio.Lock() for c in consoles}

        async def exec_(c):
            async with locks[id(c)]:
                return await c.call("exec", {"cmd": ["true"]})

        async def close():
            await asyncio.gather(*(c.close() for c in consoles))
    await asyncio.sleep(0.2)
    start = time.perf_counter()
    done = await asyncio.gather(*(exec_(c) for c in consoles for _ in range(EXECS)))
    wall = time.perf_counter() - start
    threads = len(os.listdir("/proc/self/task"))
    await close()
    assert len(done) == CONSOLES * EXECS
    return {"seconds": wall, "threads": threads}


TICKER = """
import os, struct, time
while True:
    os.write(1, struct.pack("<q", time.monotonic_ns()))
    time.sleep(0.001)
"""


def p99(samples):
    return statistics.quantiles(samples, n=100)[98] if len(samples) > 1 else 0.0


async def fairness(kind, seconds, server):
    once, close = await (open_halvo if kind == "halvo" else open_asyncio)("fairness", server)
    loop = asyncio.get_running_loop()
    slept, woken = [], []
    going = True

    async def sleeper():
        while going:
            t = time.perf_counter_ns()
            await asyncio.sleep(0)
            slept.append(time.perf_counter_ns() - t)

    ticker = subprocess.Popen([sys.executable, "-c", TICKER], stdout=subprocess.PIPE)
    fd = ticker.stdout.fileno()
    os.set_blocking(fd, False)
    pending = b""

    def on_readable():
        nonlocal pending
        now = time.monotonic_ns()
        try:
            pending += os.read(fd, 65536)
        except BlockingIOError:
            return
        whole = len(pending) - len(pending) % 8
        for (sent,) in struct.iter_unpack("<q", pending[:whole]):
            woken.append(now - sent)
        pending = pending[whole:]

    loop.add_reader(fd, on_readable)
    task = asyncio.ensure_future(sleeper())
    try:
        r = await per_second(once, seconds)
    finally:
        going = False
        await task
        loop.remove_reader(fd)
        ticker.kill()
        ticker.wait()
    late = []  # how far past its 1 ms each of the thread's sleeps woke
    ticking = True

    def ticker_thread():
        while ticking:
            t = time.perf_counter_ns()
            time.sleep(0.001)
            late.append(time.perf_counter_ns() - t - 1_000_000)

    thread = threading.Thread(target=ticker_thread)
    thread.start()
    try:
        flat_out = await per_second(once, seconds)
    finally:
        ticking = False
        thread.join()
        await close()
    us = lambda ns: ns / 1000  # noqa: E731
    return {"rate": r, "flat_out_rate": flat_out,
            "sleep0_p99_us": us(p99(slept)), "sleep0_worst_us": us(max(slept)),
            "reader_p99_us": us(p99(woken)), "reader_worst_us": us(max(woken)),
            "thread_p99_us": us(p99(late)), "thread_worst_us": us(max(late)), "thread_ticks": len(late)}


async def main(kind, measure, seconds, server):
    if measure == "s1":
        return await s1(kind, server)
    if measure == "fairness":
        return await fairness(kind, seconds, server)
    return await rate(kind, measure, seconds, server)


if __name__ == "__main__":
    if len(sys.argv) != 5 or sys.argv[1] not in ("halvo", "asyncio"):
        sys.exit(__doc__)
    print(json.dumps(asyncio.run(main(sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4]))))
