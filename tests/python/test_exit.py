"""Servers we started do not outlive the script, however they are held at its end."""

import os
import signal
import subprocess
import sys
import time

import pytest

from conftest import PACKAGE_ROOT, UVM_CMD, interpreters, run_python

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
        kill_all(pids)


def kill_all(pids):
    """SIGKILL to each of pids still there."""
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def descendants(pid):
    """Every live process below pid, nearest first."""
    below = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    stat = f.read()
            except FileNotFoundError:
                continue
            below.setdefault(int(stat[stat.rindex(")") + 2:].split()[1]), []).append(int(entry))
    found, queue = [], [pid]
    while queue:
        for child in below.get(queue.pop(0), []):
            found.append(child)
            queue.append(child)
    return found


def cmdline(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().split(b"\0")[:-1]
    except FileNotFoundError:
        return []


def ctrl_c_twice(server, python):
    """Runs the script below in python, interrupts it twice and returns what
    it wrote to stderr once the server and its command are checked."""
    code = f"""
import asyncio, signal, halvo
# As at a terminal, also when the test runs in the background.
signal.signal(signal.SIGINT, signal.default_int_handler)
async def main():
    async with await halvo.ConsoleClient.builder().cmd({UVM_CMD!r}).build() as console:
        await console.exec(["sleep", "60"])
asyncio.run(main())
"""
    script = subprocess.Popen([python, "-c", code], env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    started = []
    try:
        deadline = time.monotonic() + 30
        while not started or not any(cmdline(p) == [b"sleep", b"60"] for p in started[1:]):
            assert script.poll() is None, script.communicate()[1]
            assert time.monotonic() < deadline, "the command never started"
            time.sleep(0.05)
            pids = [e["pid"] for e in server.events("start")]
            started = pids[:1] + descendants(pids[0]) if pids else []
        script.send_signal(signal.SIGINT)
        time.sleep(1)
        assert script.poll() is None and not ended(started[0]), "the first Ctrl-C did not wait on the server"
        script.send_signal(signal.SIGINT)
        interrupted = time.monotonic()
        _, err = script.communicate(timeout=30)
        assert time.monotonic() - interrupted < 5, "the second Ctrl-C waited on the server"
        assert script.returncode == -signal.SIGINT and "KeyboardInterrupt" in err, err
        deadline = time.monotonic() + 3
        while not all(map(ended, started)) and time.monotonic() < deadline:
            time.sleep(0.02)
        assert ended(started[0]), "the server outlived the script"
        # The sandbox goes with the server, as a VM would. (Without bubblewrap
        # the stand-in runs the command on this host, in a session of its
        # own, where it outlives the server.)
        if "bubblewrap cannot run" not in err:
            assert [cmdline(p) for p in started[1:] if not ended(p)] == []
    finally:
        if script.poll() is None:
            script.kill()
            script.communicate()
        kill_all(started)


def test_a_second_ctrl_c_ends_the_quit_wait_on_a_busy_server_at_once(server):
    # The first Ctrl-C cancels the exec (asyncio.run does so from 3.11;
    # before, the interrupt leaves the loop and asyncio.run cancels what is
    # left); leaving the with-block closes the console, and a server busy in
    # a command reads no quit: close waits for it. The second Ctrl-C ends the script there, and
    # the exit ends the server and, with it, the command.
    for version, python in sorted(interpreters().items()):
        server.log.unlink(missing_ok=True)
        try:
            ctrl_c_twice(server, python)
        except AssertionError as e:
            raise AssertionError(f"{version}: {e}") from e
