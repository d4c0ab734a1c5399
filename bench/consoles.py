#!/usr/bin/env python3
"""Console round trips through ConsoleClient against the pure-Python asyncio
client, side by side in one run, against bench/console_server.c: 1 MiB
writes, 1 MiB reads, execs, then 100 consoles with 20 execs each gathered.

usage: consoles.py [--seconds S] [--rounds N] [PATH_TO_halvo_bench_console_server]
Build the server first (cmake --build build/dev --target halvo_bench_console_server)
and run this with a python that has pymongo and can import halvo."""

import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def run(script, *args):
    """What one of the scripts here printed."""
    return subprocess.run([sys.executable, os.path.join(HERE, script), *map(str, args)],
                          check=True, capture_output=True, text=True, cwd=HERE).stdout.strip()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--seconds", type=float, default=3.0)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("server", nargs="?",
                   default=os.path.join(HERE, "..", "build", "dev", "bench", "halvo_bench_console_server"))
    args = p.parse_args()
    server = os.path.abspath(args.server)
    for mode in ("write", "read", "exec"):
        ours, theirs = [], []
        for _ in range(args.rounds):
            ours.append(float(run("py_halvo_console.py", args.seconds, mode, server)))
            theirs.append(float(run("py_console_client.py", args.seconds, mode, server)))
        print(f"{mode:<6} halvo {max(ours):8.0f}/s  asyncio {max(theirs):8.0f}/s  "
              f"ratio {max(ours) / max(theirs):.2f}  (rounds: {', '.join(f'{r:.0f}' for r in ours)} | "
              f"{', '.join(f'{r:.0f}' for r in theirs)})")
    for kind in ("halvo", "asyncio"):
        print(f"100 consoles x 20 execs, {kind:<7} {json.loads(run('many_consoles.py', kind, 100, 20, server))}")


if __name__ == "__main__":
    main()
