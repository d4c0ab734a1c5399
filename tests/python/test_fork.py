"""A forked child and its parent: at its exit each ends only what it started itself.

Every script here forks in an interpreter of its own, so that its child may end
as a program does, through the interpreter's finalisation."""

import json
import os
import signal

import bson
import pytest
from bson.int64 import Int64

from conftest import CAN_MOUNT, UVM_CMD, mounts_under, needs_fuse, run_python

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

# How the child ends, holding copies of what its parent holds in `held`.
ENDINGS = {
    "through finalisation": "pass",
    "by sys.exit": "sys.exit(0)",
    "dropping its copies, then by os._exit": "del held; gc.collect(); os._exit(0)",
    "by os._exit": "os._exit(0)",
}

# Forks; the child ends as `ending` says, and the parent, once it has, tries
# everything it holds and prints the child's exit code and what it got.
FORK_AND_CHECK = """
pid = os.fork()
if pid == 0:
    {ending}
else:
    code = waited(pid, 20)
    async def check():
        out = await held["console"].exec(["echo", "still here"])
        version = await held["images"].version()
        # Larger than the server's pipe: the write waits for room on the runtime.
        size = await held["console"].write("/big", bytes(8 << 20))
        return [out.stdout.decode(), version, size]
    try:
        got = asyncio.run(asyncio.wait_for(check(), 30))
    except Exception as e:
        got = repr(e)
    print(json.dumps([code, got, *checks()]), flush=True)
"""

ANSWERED = ["still here\n", "0.1.2+stand-in", 8 << 20]


def killed_servers(server):
    for e in server.events("start"):
        try:
            os.kill(e["pid"], signal.SIGKILL)
        except ProcessLookupError:
            pass


@pytest.mark.parametrize("ending", list(ENDINGS))
def test_a_childs_exit_leaves_its_parents_servers_alone(server, ending):
    code = PRELUDE + """
async def make():
    return {"console": await halvo.ConsoleClient.builder().cmd(UVM).build(),
            "images": await halvo.ImageClient.try_from_cmd(UVM)}
held = asyncio.run(make())
def checks():
    return []
""" + FORK_AND_CHECK.format(ending=ENDINGS[ending])
    try:
        run = run_python(code)
        assert run.returncode == 0, run.stderr
        assert json.loads(run.stdout) == [0, ANSWERED], run.stderr
    finally:
        killed_servers(server)


@needs_fuse
@pytest.mark.parametrize("ending", list(ENDINGS))
def test_a_childs_exit_leaves_its_parents_mounts_up(server, mount_root, ending):
    mp = mount_root / "m"
    mp.mkdir()
    code = PRELUDE + f"MP = {str(mp)!r}\n" + """
async def make():
    mount = halvo.HostMount(halvo.Directory().with_file("f", b"served"), MP)
    return {"console": await halvo.ConsoleClient.builder().cmd(UVM).mount(mount, "/m").build(),
            "images": await halvo.ImageClient.try_from_cmd(UVM), "mount": mount}
held = asyncio.run(make())
def checks():
    with open(os.path.join(MP, "f"), "rb") as f:
        return [f.read().decode()]
""" + FORK_AND_CHECK.format(ending=ENDINGS[ending])
    try:
        run = run_python(code)
        assert run.returncode == 0, run.stderr
        assert json.loads(run.stdout) == [0, ANSWERED, "served"], run.stderr
    finally:
        killed_servers(server)
    # The parent's exit took it down.
    assert mounts_under(mp) == []


@pytest.mark.parametrize("scenario", [{}, {"on_eof": "ignore", "on_quit": "ignore"}], ids=["reads", "deaf"])
def test_a_childs_exit_ends_what_it_started(server, mount_root, scenario):
    server.scenario(**scenario)
    mp = mount_root / "m"
    mp.mkdir()
    code = PRELUDE + f"MP = {str(mp) if CAN_MOUNT else None!r}\n" + """
def ended(pid):
    # Gone, or a zombie: nothing runs any more.
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
    except FileNotFoundError:
        return True
    return stat[stat.rindex(")") + 2] == "Z"

console = booted()
pid = os.fork()
if pid == 0:
    async def own():
        return (await halvo.ConsoleClient.builder().cmd(UVM).build(), await halvo.ImageClient.try_from_cmd(UVM),
                MP and halvo.HostMount(halvo.Directory(), MP))
    mine = asyncio.run(own())
else:
    code = waited(pid, 20)
    mounted = bool(MP) and os.path.ismount(MP)
    with open(os.environ["HALVO_UVM_LOG"]) as f:
        ours, *childs = [e["pid"] for e in map(json.loads, f) if e["event"] == "start"]
    deadline = time.monotonic() + 5
    while not all(map(ended, childs)) and time.monotonic() < deadline:
        time.sleep(0.02)
    async def still():
        return (await console.exec(["echo", "still here"])).stdout.decode()
    print(json.dumps([code, mounted, [ended(p) for p in childs], ended(ours), asyncio.run(still())]), flush=True)
"""
    try:
        run = run_python(code)
        assert run.returncode == 0, run.stderr
        assert json.loads(run.stdout) == [0, False, [True, True], False, "still here\n"], run.stderr
    finally:
        killed_servers(server)


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
