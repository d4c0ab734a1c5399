"""File contents through ConsoleClient against the stand-in server: large
payloads go to the pipe without being copied, so the object a script passes
must stay intact and alive for as long as the write needs it."""

import asyncio
import gc

import pytest

from conftest import UVM_CMD
from halvo import ConsoleClientBuilder

MIB = 1 << 20


def pattern(n, seed):
    return bytes((i * 31 + seed) % 251 for i in range(256)) * (n // 256) + bytes(n % 256)


# Each kind of content, made fresh for the call, so that the console holds
# the only reference once the call returns. Sizes straddle the 64 KiB from
# which bytes are held rather than copied.
CONTENTS = [
    ("bytes", lambda n, seed: pattern(n, seed)),
    ("str", lambda n, seed: pattern(n, seed).decode("latin-1")),
    ("bytearray", lambda n, seed: bytearray(pattern(n, seed))),
]
SIZES = [0, 65535, 65536, 3 * MIB + 5]


def encoded(content):
    return content.encode() if isinstance(content, str) else bytes(content)


@pytest.mark.asyncio
@pytest.mark.parametrize("kind,make", CONTENTS, ids=[c[0] for c in CONTENTS])
async def test_written_content_reads_back_after_the_caller_let_go(server, kind, make):
    async with await ConsoleClientBuilder().cmd(UVM_CMD).build() as console:
        for seed, n in enumerate(SIZES):
            want = encoded(make(n, seed))
            # Nothing here keeps the content: the awaitable alone does.
            pending = console.write(f"/data/{kind}-{n}", make(n, seed))
            gc.collect()
            assert await pending == len(want)
            got = await console.read(f"/data/{kind}-{n}")
            assert got.size == len(want)
            assert got.data == want
            # Made once: every access gives the same object, not a new copy.
            assert got.data is got.data


@pytest.mark.asyncio
async def test_gathered_writes_back_to_back_keep_their_order(server):
    # Several large writes queued at once on one console, each its own frame
    # of held pieces, and a small one between them.
    async with await ConsoleClientBuilder().cmd(UVM_CMD).build() as console:
        payloads = [pattern(MIB + i, i) for i in range(4)]
        pending = [console.write("/same", p) for p in payloads[:2]]
        pending.append(console.write("/same", b"small", 1))
        pending += [console.write("/same", p) for p in payloads[2:]]
        del payloads[:3]
        sizes = [await p for p in pending]
        assert sizes == [MIB, MIB + 1, MIB + 1, MIB + 2, MIB + 3]
        assert (await console.read("/same")).data == payloads[0]


@pytest.mark.asyncio
async def test_large_reads_gathered_outlive_their_results_and_console(server):
    # Large answers are read straight into the bytes a script gets, by the
    # loop's thread or the runtime, whichever reads them: ranges across the
    # 64 KiB mark, gathered so that both read, kept after the console ends.
    want = pattern(2 * MIB + 7, 3)
    ranges = [(0, None), (1, 65536), (65535, MIB), (MIB, None), (2 * MIB, 7)] * 3
    async with await ConsoleClientBuilder().cmd(UVM_CMD).build() as console:
        await console.write("/big", want)
        results = await asyncio.gather(*[console.read("/big", offset=o, len=n) for o, n in ranges])
        results.append(await console.read("/big"))
    datas = [r.data for r in results]
    del results
    gc.collect()
    for (o, n), got in zip(ranges + [(0, None)], datas):
        assert type(got) is bytes
        assert got == want[o:None if n is None else o + n]
