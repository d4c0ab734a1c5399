"""Servers we started do not outlive the script, however they are held at its end."""

import os
import signal
import time

import pytest

from conftest import UVM_CMD, run_python

# How each kind of client is made, kept busy and given a frame too large for
# its server's input pipe.
KINDS = {
    "console": {
        "make": f"await halvo.ConsoleClient.builder().cmd({UVM_CMD!r}).build()",
        "call": 'c.exec(["true"])',
        "command": 'c.exec(["sleep", "600"])',
        "large": 'c.write("/big", bytes(30 << 20))',
        "method": "exec",
    },
    "image": {
        "make": f"await halvo.ImageClient.try_from_cmd({UVM_CMD!r})",
        "call": "c.version()",
        "command": "c.version()",
        "large": 'c.build(halvo.Recipe("alpine", ["echo " + "x" * (30 << 20)]))',
        "method": "version",
    },
}

# What the script does with its client before it ends, and the scenario the
# server runs.
CASES = {
    # Held and idle: it sees its input end and leaves on its own.
    "idle": ({}, "pass"),
    # Busy in a command (the console runs sleep 600; the image server sleeps
    # in its answer), with the call still pending.
    "busy": ({"rules": [{"method": "version", "index": 1, "actions": [{"delay_ms": 600_000}]}]},
             "pending = asyncio.ensure_future({command}); await asyncio.sleep(0.5)"),
    # Deaf to the end of its input.
    "deaf": ({"on_eof": "ignore", "on_quit": "ignore"}, "pass"),
    # Stopped reading, with a large frame stuck half written.
    "stopped reading": (
        {"rules": [{"method": "{method}", "index": 1, "actions": [{"delay_ms": 600_000}]}]},
        "busy = asyncio.ensure_future({call}); await asyncio.sleep(0.3)\n"
        "    stuck = asyncio.ensure_future({large}); await asyncio.sleep(0.2)\n"
        "    busy.cancel(); await asyncio.sleep(0.5)",
    ),
    # Let go and deaf: its quit task still waits for it as the script ends.
    "let go": ({"on_eof": "ignore", "on_quit": "ignore"},
               "del c; gc.collect(); await asyncio.sleep(0.3)"),
}


def filled(value, kind):
    if isinstance(value, str):
        return value.format(**kind)
    if isinstance(value, dict):
        return {k: filled(v, kind) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return type(value)(filled(v, kind) for v in value)
    return value


def ended(pid):
    """Gone, or a zombie: nothing runs any more."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
    except FileNotFoundError:
        return True
    return stat[stat.rindex(")") + 2] == "Z"


@pytest.mark.parametrize("case", list(CASES))
@pytest.mark.parametrize("kind", list(KINDS))
def test_nothing_we_started_outlives_the_script_by_3_s(server, kind, case):
    scenario, step = filled(CASES[case], KINDS[kind])
    server.scenario(**scenario)
    code = f"""
import asyncio, gc, halvo
async def main():
    global c, pending, busy, stuck
    c = {KINDS[kind]["make"]}
    {step}
asyncio.run(main())
print("leaving", flush=True)
"""
    pids = []
    try:
        run = run_python(code, timeout=60)
        exited = time.monotonic()
        pids = [e["pid"] for e in server.events("start")]
        assert (run.returncode, run.stdout) == (0, "leaving\n"), run.stderr
        assert len(pids) == 1
        while not ended(pids[0]) and time.monotonic() - exited < 3:
            time.sleep(0.02)
        assert ended(pids[0]), f"the server outlived the script by 3 s ({case})"
        if case == "idle":
            # Its input was closed before any kill: it left by itself.
            assert "exit" in [e["event"] for e in server.events()]
    finally:
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
