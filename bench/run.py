#!/usr/bin/env python3
"""Version round trips per second: halvo's ImageClient.version() awaited from
Python, and its core client alone, against a pure-Python asyncio client, all
talking to bench/min_server.py over pipes.

usage: run.py [--seconds S] [--rounds N] [PATH_TO_halvo_bench_version]
Build the program first (cmake --build build/dev --target halvo_bench_version)
and run this with a python that has pymongo (the server and baseline need it)
and can import halvo.
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
                   default=os.path.join(HERE, "..", "build", "dev", "bench", "halvo_bench_version"))
    args = p.parse_args()
    server = [sys.executable, os.path.join(HERE, "min_server.py")]
    script, core, theirs = [], [], []
    for _ in range(args.rounds):
        script.append(rate([sys.executable, os.path.join(HERE, "py_halvo.py"), str(args.seconds), *server]))
        core.append(rate([args.program, str(args.seconds), *server]))
        theirs.append(rate([sys.executable, os.path.join(HERE, "py_client.py"), str(args.seconds), *server]))
    best_theirs = max(theirs)

    def show(name, rounds):
        print(f"{name:<34} {max(rounds):.0f} calls/s (rounds: {', '.join(f'{r:.0f}' for r in rounds)})")

    show("halvo ImageClient.version() (py)", script)
    show("halvo core client (C++)", core)
    show("pure-Python asyncio", theirs)
    print(f"ratio, script: {max(script) / best_theirs:.2f}")
    print(f"ratio, core:   {max(core) / best_theirs:.2f}")


if __name__ == "__main__":
    main()
