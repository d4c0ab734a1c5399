#!/usr/bin/env python3
"""Version round trips per second: halvo's image client against a pure-Python
asyncio client, both talking to bench/min_server.py over pipes.

usage: run.py [--seconds S] [--rounds N] [PATH_TO_halvo_bench_version]
Build the program first (cmake --build build --target halvo_bench_version)
and run this with a python that has pymongo (the server and baseline need it).
The goal: the ratio never falls below 1."""

import argparse
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def rate(argv):
    return float(subprocess.run(argv, check=True, capture_output=True, text=True).stdout)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--seconds", type=float, default=3.0)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("program", nargs="?",
                   default=os.path.join(HERE, "..", "build", "bench", "halvo_bench_version"))
    args = p.parse_args()
    server = [sys.executable, os.path.join(HERE, "min_server.py")]
    ours, theirs = [], []
    for _ in range(args.rounds):
        ours.append(rate([args.program, str(args.seconds), *server]))
        theirs.append(rate([sys.executable, os.path.join(HERE, "py_client.py"), str(args.seconds), *server]))
    best_ours, best_theirs = max(ours), max(theirs)
    print(f"halvo ImageClient.version: {best_ours:.0f} calls/s (rounds: {', '.join(f'{r:.0f}' for r in ours)})")
    print(f"pure-Python asyncio:       {best_theirs:.0f} calls/s (rounds: {', '.join(f'{r:.0f}' for r in theirs)})")
    print(f"ratio: {best_ours / best_theirs:.2f}")


if __name__ == "__main__":
    main()
