"""A forked child and its parent: what the child inherits does not hold up its exit.

Every script here forks in an interpreter of its own, so that its child may end
as a program does, through the interpreter's finalisation."""

import json
import os
import signal

import bson
import pytest
from bson.int64 import Int64

from conftest import UVM_CMD, run_python

PRELUDE = f"""
import asyncio, gc, json, os, sys, threading, time, warnings
import halvo
# 3.12 on warns of a fork while threads run: the runtime's are meant to stay behind.
warnings.filterwarnings("ignore", message=".*fork", category=DeprecationWarning)
UVM = {UVM_CMD!r}

def booted():
    async def build():
        return await halvo.ConsoleClient.builder().cmd(UVM).build()
    return asyncio.run(build())

def waited(pid, limit):
    '''The child's exit code, or None when it still ran after `limit` seconds (it is killed then).'''
    deadline = time.monotonic() + limit
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            return None
        time.sleep(0.01)
"""

def killed_servers(server):
    for e in server.events("start"):
        try:
            os.kill(e["pid"], signal.SIGKILL)
        except ProcessLookupError:
            pass


def test_children_forked_while_threads_relay_exit(server):
    frame = bson.encode({"jsonrpc": "2.0", "id": Int64(1), "method": "version", "params": {}})
    code = PRELUDE + f"""
console = booted()
frame = bytes.fromhex({frame.hex()!r})
going = True
def relay():
    while going:
        done = threading.Event()
        console._relay(frame, lambda answer, reason: done.set())
        done.wait(10)
threads = [threading.Thread(target=relay) for _ in range(3)]
for t in threads:
    t.start()
time.sleep(0.2)
codes = []
# A fork is likely to catch a reply waiting for the GIL on its way to a relaying thread.
for _ in range(30):
    pid = os.fork()
    if pid == 0:
        sys.exit(0)
    codes.append(waited(pid, 10))
    if codes[-1] != 0:
        break
going = False
for t in threads:
    t.join()
print(json.dumps(codes), flush=True)
"""
    try:
        run = run_python(code, timeout=120)
        assert run.returncode == 0, run.stderr
        assert json.loads(run.stdout) == [0] * 30, "a child hung at its exit (null) or failed"
    finally:
        killed_servers(server)
