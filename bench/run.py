#!/usr/bin/env python3
"""halvo against a pure-Python asyncio client (baseline.py, pymongo's bson,
the same framing), both talking to the C server bench/console_server.c, which
is fast enough not to hide either client's own cost. Each measure runs in
rounds; in every round halvo and the baseline run back to back, each in a
fresh process, their order alternating, and the ratio of that round is taken.
Printed: the median figures of each side and the min/median/max of the ratio,
against the goal where there is one.

  version    ImageClient.version() calls/s          goal >= 2
  exec       exec(["true"]) round trips/s           goal >= 2
  write      1 MiB writes/s                         goal >= 4
  read       1 MiB reads/s                          goal >= 2.5
  s1         100 consoles x 20 execs gathered: the baseline's time over halvo's
  fairness   the delays a sleep(0) task and an add_reader see beside version()
             calls, then those a sleeping thread sees beside calls flat out,
             halvo's against the baseline's (lower is better); goal: the
             thread's p99 at most 1.5 times the baseline's

usage: run.py [--seconds S] [--rounds N] [--only M,M] [--server PATH] [--core PATH]
scripts/bench builds what this needs and runs it."""

import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.join(HERE, "..", "build", "dev", "bench")

# name: (what is measured, the figure, whether more is better, goal of the ratio)
MEASURES = {
    "version": ("ImageClient.version() (P1)", "rate", True, 2.0),
    "exec": ('exec(["true"])', "rate", True, 2.0),
    "write": ("1 MiB writes", "rate", True, 4.0),
    "read": ("1 MiB reads", "rate", True, 2.5),
    "s1": ("100 consoles x 20 execs (S1)", "seconds", False, None),
    "fairness": ("version() with a sleep(0) task and an add_reader; then with a ticker thread", "rate", True, None),
}
DELAYS = ("sleep0_p99_us", "sleep0_worst_us", "reader_p99_us", "reader_worst_us", "thread_p99_us", "thread_worst_us")
# The most a ticker thread's p99 lateness beside halvo may be, in times the baseline's.
THREAD_GOAL = 1.5


def worker(kind, measure, seconds, server):
    out = subprocess.run([sys.executable, os.path.join(HERE, "worker.py"), kind, measure, str(seconds), server],
                         check=True, capture_output=True, text=True, cwd=HERE).stdout
    return json.loads(out)


def spread(values):
    return f"min {min(values):.2f}  median {statistics.median(values):.2f}  max {max(values):.2f}"


def figure(value, unit):
    return f"{value:,.0f}/s" if unit == "rate" else f"{value:.3f} s"


def measure(name, rounds, seconds, server, core):
    title, unit, more_is_better, goal = MEASURES[name]
    runs = {"halvo": [], "asyncio": []}
    core_rates = []
    for i in range(rounds):
        for kind in ("halvo", "asyncio") if i % 2 == 0 else ("asyncio", "halvo"):
            runs[kind].append(worker(kind, name, seconds, server))
        if name == "version" and core:
            core_rates.append(float(subprocess.run([core, str(seconds), server], check=True,
                                                   capture_output=True, text=True).stdout))
    ours = [r[unit] for r in runs["halvo"]]
    theirs = [r[unit] for r in runs["asyncio"]]
    ratios = [(o / t) if more_is_better else (t / o) for o, t in zip(ours, theirs)]
    verdict = ""
    if goal:
        verdict = f"  goal >= {goal}: {'met' if statistics.median(ratios) >= goal else 'NOT met'}"
    print(f"{title}\n  halvo {figure(statistics.median(ours), unit)}  asyncio {figure(statistics.median(theirs), unit)}"
          f"  (medians of {rounds} rounds)\n  ratio {spread(ratios)}{verdict}")
    if core_rates:
        print(f"  the core C++ client, without Python: {statistics.median(core_rates):,.0f}/s")
    if name == "s1":
        print(f"  threads with every console open: halvo {runs['halvo'][0]['threads']}, "
              f"asyncio {runs['asyncio'][0]['threads']}")
    if name == "fairness":
        for key in DELAYS:
            worst = max if key.endswith("worst_us") else statistics.median
            print(f"  {key:<16} halvo {worst(r[key] for r in runs['halvo']):8.0f} µs"
                  f"   asyncio {worst(r[key] for r in runs['asyncio']):8.0f} µs"
                  f"   ({'worst' if worst is max else 'median'} over rounds)")
        late = [h["thread_p99_us"] / max(a["thread_p99_us"], 1e-3) for h, a in zip(runs["halvo"], runs["asyncio"])]
        met = "met" if statistics.median(late) <= THREAD_GOAL else "NOT met"
        print(f"  thread p99 lateness, halvo's over the baseline's: {spread(late)}  goal <= {THREAD_GOAL}: {met}")
        print(f"  calls/s flat out beside the thread: halvo {statistics.median(r['flat_out_rate'] for r in runs['halvo']):,.0f}"
              f"   asyncio {statistics.median(r['flat_out_rate'] for r in runs['asyncio']):,.0f}   (medians)")
        print(f"  thread ticks: halvo {statistics.median(r['thread_ticks'] for r in runs['halvo']):.0f}"
              f"   asyncio {statistics.median(r['thread_ticks'] for r in runs['asyncio']):.0f}   (medians)")
    sys.stdout.flush()


def main(names=tuple(MEASURES)):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--seconds", type=float, default=2.0)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--only", default=",".join(names))
    p.add_argument("--server", default=os.path.join(BUILD, "halvo_bench_console_server"))
    p.add_argument("--core", default=os.path.join(BUILD, "halvo_bench_version"),
                   help="the core client's program, measured beside version() when it exists")
    args = p.parse_args()
    server = os.path.abspath(args.server)
    if not os.access(server, os.X_OK):
        sys.exit(f"no server at {server}: build it (scripts/bench does)")
    core = os.path.abspath(args.core) if os.access(args.core, os.X_OK) else None
    print(f"{len(os.sched_getaffinity(0))} cores, {args.rounds} rounds of {args.seconds} s")
    for name in args.only.split(","):
        measure(name, args.rounds, args.seconds, server, core)


if __name__ == "__main__":
    main()
