"""The stand-in halvo-uvm, spoken to over real pipes by a tiny framing client."""

import hashlib
import json
import os
import select
import signal
import struct
import subprocess
import sys
import time
from pathlib import Path

import bson
import pytest
from bson.int64 import Int64

UVM = Path(__file__).resolve().parents[2] / "uvm" / "halvo-uvm"
VIOLATION = 70
WAIT = 15  # seconds before a test gives up on the server


def recipe(base="alpine", *steps, v=1):
    return {"v": Int64(v), "base": base, "steps": list(steps)}


class Uvm:
    """One server child and a blocking framing client around its pipes."""

    def __init__(self, tmp_path, scenario=None, state=None):
        self.log_path = tmp_path / f"uvm-{time.monotonic_ns()}.log"
        env = dict(os.environ,
                   PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", ""),
                   HALVO_UVM_LOG=str(self.log_path),
                   HALVO_UVM_STATE=str(state or tmp_path / "state"))
        env.pop("HALVO_UVM_SCENARIO", None)
        if scenario is not None:
            env["HALVO_UVM_SCENARIO"] = json.dumps(scenario)
        self.proc = subprocess.Popen([str(UVM)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env)
        self.next_id = 0

    def send_raw(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def send_body(self, body):
        self.send_raw(struct.pack(">I", len(body)) + body)

    def request(self, method, params=None):
        self.send_body(bson.encode({"jsonrpc": "2.0", "id": Int64(self.next_id),
                                    "method": method, "params": params or {}}))
        self.next_id += 1

    def notify(self, method):
        self.send_body(bson.encode({"jsonrpc": "2.0", "method": method}))

    def read_exact(self, n):
        """n bytes from stdout, or fewer if it ends."""
        fd, data = self.proc.stdout.fileno(), b""
        while len(data) < n:
            ready, _, _ = select.select([fd], [], [], WAIT)
            assert ready, f"the server sent {len(data)} of {n} bytes and then nothing"
            chunk = os.read(fd, n - len(data))
            if not chunk:
                break
            data += chunk
        return data

    def recv_body(self):
        head = self.read_exact(4)
        if not head:
            return None
        body = self.read_exact(struct.unpack(">I", head)[0])
        # The server's own frames must be well-formed and canonical too.
        assert struct.unpack_from("<i", body)[0] == len(body)
        return body

    def recv(self):
        body = self.recv_body()
        return None if body is None else bson.decode(body)

    def call(self, method, params=None):
        rid = self.next_id
        self.request(method, params)
        resp = self.recv()
        assert resp["id"] == rid and type(resp["id"]) is Int64
        return resp

    def result(self, method, params=None):
        resp = self.call(method, params)
        assert "error" not in resp, resp
        assert resp["method"] == method
        return resp["result"]

    def error(self, method, params=None):
        resp = self.call(method, params)
        assert list(resp) == ["jsonrpc", "id", "error"], resp
        return resp["error"]["code"], resp["error"]["message"]

    def finish(self):
        """Close stdin; the exit status and all of stderr."""
        self.proc.stdin.close()
        status = self.proc.wait(WAIT)
        return status, self.proc.stderr.read()

    def log(self):
        return [json.loads(line) for line in self.log_path.read_text().splitlines()]


@pytest.fixture
def uvm(tmp_path):
    started = []

    def start(scenario=None, **kw):
        server = Uvm(tmp_path, scenario, **kw)
        started.append(server)
        return server

    yield start
    for server in started:
        if server.proc.poll() is None:
            server.proc.kill()
        server.proc.wait()
        for pipe in (server.proc.stdin, server.proc.stdout, server.proc.stderr):
            try:
                pipe.close()
            except BrokenPipeError:
                pass


def assert_clean_exit(server):
    status, err = server.finish()
    assert (status, err) == (0, b"")
    log = server.log()
    assert log[0]["event"] == "start" and log[0]["pid"] == server.proc.pid
    frames = [e for e in log if e["event"] == "frame"]
    assert frames and all(e["violations"] == [] for e in frames)


# --- happy paths ------------------------------------------------------------

def test_images_build_list_remove(uvm, tmp_path):
    s = uvm()
    assert s.result("version") == {"version": "0.1.2+stand-in"}

    first = recipe("alpine", {"run": "echo hi"}, {"copy": {"src": "a", "dst": "/b"}})
    second = recipe("debian", {"env": {"key": "K", "value": "v"}})
    digest = "sha256:" + hashlib.sha256(bson.encode(first)).hexdigest()
    assert s.result("build_image", {"recipe": first, "ref": "demo"}) == {"ref": "demo", "digest": digest}
    # Without a reference the digest names the image; the same recipe is the same image.
    assert s.result("build_image", {"recipe": first}) == {"ref": digest, "digest": digest}
    # A reference names one image: building another under it moves it.
    moved = s.result("build_image", {"recipe": second, "ref": "demo"})
    assert s.result("list_images") == {"images": [{"digest": digest},
                                                  {"digest": moved["digest"], "refs": ["demo"]}]}

    # The store outlives the process: another server on the same folder sees it.
    other = uvm()
    assert len(other.result("list_images")["images"]) == 2
    assert_clean_exit(other)

    assert s.result("remove_image", {"image": {"type": "ref", "ref": "demo"}}) == {}
    assert s.result("remove_image", {"image": {"type": "recipe", "recipe": first}}) == {}
    assert s.result("list_images") == {"images": []}
    assert s.error("remove_image", {"image": {"type": "digest", "digest": digest}})[0] == -32012
    code, message = s.error("build_image", {"recipe": recipe(v=2)})
    assert (code, message) == (-32011, "this image is written in format 2, and this server reads 1")
    assert_clean_exit(s)


def test_console_exec_read_write(uvm):
    s = uvm()
    assert s.error("exec", {"cmd": ["true"]})[0] == -32600   # nothing booted yet
    s.result("build_image", {"recipe": recipe("alpine", {"workdir": "/app"},
                                              {"env": {"key": "GREETING", "value": "hi"}}),
                             "ref": "app"})
    assert s.error("init", {"image": {"type": "ref", "ref": "nope"}})[0] == -32012
    assert s.result("init", {"image": {"type": "ref", "ref": "app"}}) == {"cwd": "/app"}

    res = s.result("exec", {"cmd": ["sh", "-c", 'pwd; printf "$GREETING"; echo oops >&2; exit 3']})
    assert res["code"] == 3 and res["stderr"] == b"oops\n" and res["truncated"] is False
    assert res["stdout"].endswith(b"/app\nhi")
    assert s.result("exec", {"cmd": ["sh", "-c", "kill -9 $$"]})["code"] == 128 + 9
    big = s.result("exec", {"cmd": ["head", "-c", str(17 << 20), "/dev/zero"]})
    assert big["truncated"] is True and len(big["stdout"]) == 16 << 20

    code, message = s.error("exec", {"cmd": ["sleep", "30"], "timeout_ms": Int64(100)})
    assert (code, message) == (-32000, "sleep ran longer than 100 ms")
    assert s.error("exec", {"cmd": ["/no/such/program"]})[0] == -32001
    assert s.error("exec", {"cmd": []})[0] == -32001

    # Relative paths are taken from the console's working folder.
    assert s.result("write", {"path": "notes/a.txt", "data": b"hello"}) == {"size": 5}
    assert s.result("write", {"path": "/app/notes/a.txt", "data": b"!!", "offset": Int64(7)}) == {"size": 9}
    assert s.result("read", {"path": "notes/a.txt"}) == {"data": b"hello\0\0!!", "size": 9}
    assert s.result("read", {"path": "/app/notes/a.txt", "offset": Int64(1), "len": Int64(3)}) \
        == {"data": b"ell", "size": 9}
    assert s.result("read", {"path": "notes/a.txt", "offset": Int64(50)}) == {"data": b"", "size": 9}
    assert s.result("write", {"path": "notes/a.txt"}) == {"size": 0}   # no data, no offset: emptied
    assert s.result("exec", {"cmd": ["cat", "notes/a.txt"]})["stdout"] == b""
    assert s.error("read", {"path": "/missing"})[0] == -32005
    assert s.error("read", {"path": "/app/notes"})[0] == -32006
    assert s.error("init", {})[0] == -32600   # booted once only
    assert_clean_exit(s)


@pytest.mark.parametrize("scenario", [None, {"bwrap": False}], ids=["sandbox", "links"])
def test_snapshot_restores_and_mounts_map_host_folders(uvm, tmp_path, scenario):
    shared, frozen = tmp_path / "shared", tmp_path / "frozen"
    shared.mkdir()
    frozen.mkdir()
    (frozen / "keep").write_bytes(b"k")

    s = uvm(scenario)
    s.result("init", {"mounts": [f"file://{shared}:/data", f"file://{frozen}:/ro:ro"]})
    s.result("write", {"path": "/data/x", "data": b"through"})
    assert (shared / "x").read_bytes() == b"through"
    assert s.result("exec", {"cmd": ["cat", "data/x", "ro/keep"]})["stdout"] == b"throughk"
    assert s.error("write", {"path": "/ro/keep", "data": b"no"})[0] == -32007
    s.result("write", {"path": "/srv/motd", "data": b"saved"})
    blob = s.result("snapshot")["blob"]
    assert_clean_exit(s)

    # The blob boots another console, without the mounts' content.
    t = uvm()
    t.result("init", {"snapshot": list(blob)})
    assert t.result("read", {"path": "/srv/motd"})["data"] == b"saved"
    assert t.error("read", {"path": "/data/x"})[0] == -32005
    assert_clean_exit(t)

    u = uvm()
    assert u.error("init", {"snapshot": [1, 2, 3]})[0] == -32002
    assert u.error("init", {"mounts": ["http://x:/data"]})[0] == -32008
    assert u.error("init", {"mounts": [f"file://{tmp_path}/none:/data"]})[0] == -32009
    assert_clean_exit(u)


def sh(server, script, *args):
    return server.result("exec", {"cmd": ["sh", "-c", script, "sh", *map(str, args)]})


def test_sandboxed_commands_see_mounts_at_their_guest_paths(uvm, tmp_path):
    shared, frozen = tmp_path / "shared", tmp_path / "frozen"
    shared.mkdir()
    frozen.mkdir()
    (shared / "in").write_bytes(b"from the host")
    (frozen / "keep").write_bytes(b"k")
    s = uvm()
    s.result("init", {"image": {"type": "recipe", "recipe": recipe("alpine", {"workdir": "/app"})},
                      "mounts": [f"file://{shared}:/mnt/shared", f"file://{frozen}:/ro:ro"]})

    assert sh(s, "pwd; cat /mnt/shared/in")["stdout"] == b"/app\nfrom the host"
    assert sh(s, "echo made > /mnt/shared/out")["code"] == 0
    assert (shared / "out").read_bytes() == b"made\n"
    # The console's own files: what write puts there a command sees, and back.
    s.result("write", {"path": "/tmp/w", "data": b"written"})
    assert sh(s, "cat /tmp/w; echo mine > note")["stdout"] == b"written"
    assert s.result("read", {"path": "/app/note"})["data"] == b"mine\n"

    # Read-only mounts and the host's system folders refuse a command's writes.
    for guest, host in [("/ro/keep", frozen / "keep"), ("/ro/new", frozen / "new"),
                        ("/etc/halvo-probe", Path("/etc/halvo-probe"))]:
        before = host.read_bytes() if host.exists() else None
        res = sh(s, 'echo no > "$1"', guest)
        assert res["code"] != 0 and b"Read-only file system" in res["stderr"], (guest, res)
        assert (host.read_bytes() if host.exists() else None) == before
    # Nothing of the host is there but what was bound.
    assert sh(s, 'for p; do test -e "$p" && echo "$p"; done; true', "/home", tmp_path,
              shared)["stdout"] == b""
    assert_clean_exit(s)


def running(marker):
    """Processes whose command line holds marker."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if marker.encode() in Path(f"/proc/{pid}/cmdline").read_bytes():
                found.append(pid)
        except OSError:
            pass
    return found


def test_time_limit_ends_all_a_sandboxed_command_started(uvm):
    s = uvm()
    s.result("init", {})
    marker = f"{time.monotonic_ns() % 10**6 + 1000}.5"   # a sleep no one else runs
    # The first sleep leaves the group; only the sandbox's end takes it down.
    code, _ = s.error("exec", {"cmd": ["sh", "-c", f"setsid sleep {marker} & sleep {marker}"],
                               "timeout_ms": Int64(300)})
    assert code == -32000
    deadline = time.monotonic() + WAIT
    try:
        while running(marker) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert running(marker) == []
    finally:
        for pid in running(marker):   # only when the assertion failed
            os.kill(int(pid), signal.SIGKILL)
    assert_clean_exit(s)


@pytest.mark.parametrize("program, why", [("/no/such/bwrap", b"/no/such/bwrap is not installed"),
                                          ("false", b"false exited with status 1")])
def test_without_bubblewrap_commands_run_on_the_host(uvm, tmp_path, program, why):
    (tmp_path / "in").write_bytes(b"linked")
    s = uvm({"bwrap": program})
    s.result("init", {"mounts": [f"file://{tmp_path}:/data"]})
    assert s.result("exec", {"cmd": ["cat", "data/in"]})["stdout"] == b"linked"
    status, err = s.finish()
    assert status == 0 and err.count(b"\n") == 1 and err.startswith(b"halvo-uvm: ") and why in err


# --- strict checks ------------------------------------------------------------

def doc(*elements):
    body = b"".join(elements)
    return struct.pack("<i", len(body) + 5) + body + b"\0"


def el_str(key, text):
    raw = text.encode()
    return b"\x02" + key.encode() + b"\0" + struct.pack("<i", len(raw) + 1) + raw + b"\0"


def el_i64(key, n):
    return b"\x12" + key.encode() + b"\0" + struct.pack("<q", n)


def el_doc(key, body):
    return b"\x03" + key.encode() + b"\0" + body


def env(method, params, **over):
    msg = {"jsonrpc": "2.0", "id": Int64(0), "method": method, "params": params}
    msg.update(over)
    return bson.encode(msg)


def frame(body):
    return struct.pack(">I", len(body)) + body


DUPLICATE_PATH = doc(el_str("jsonrpc", "2.0"), el_i64("id", 0), el_str("method", "read"),
                     el_doc("params", doc(el_str("path", "/a"), el_str("path", "/b"))))
VERSION_BODY = env("version", {})

BAD_FRAMES = {
    "id as int32": (frame(env("version", {}, id=0)), "request.id"),
    "ids start at 1": (frame(env("version", {}, id=Int64(1))), "request id 1 where 0 was next"),
    "keys out of order": (frame(bson.encode({"jsonrpc": "2.0", "method": "version", "id": Int64(0),
                                             "params": {}})), "request: keys"),
    "unknown params key": (frame(env("version", {"x": 1})), "unexpected key 'x'"),
    "network true": (frame(env("init", {"network": True})), "init params.network"),
    "empty ports": (frame(env("init", {"ports": []})), "init params.ports"),
    "port text": (frame(env("init", {"ports": ["080:22"]})), "init params.ports[0]"),
    "snapshot as binary": (frame(env("init", {"snapshot": b"\1"})), "init params.snapshot"),
    "vcpus as int64": (frame(env("init", {"vcpus": Int64(2)})), "init params.vcpus"),
    "timeout as int32": (frame(env("exec", {"cmd": ["x"], "timeout_ms": 5})), "exec params.timeout_ms"),
    "params out of order": (frame(env("read", {"offset": Int64(1), "path": "/a"})), "expected the order"),
    "empty write data": (frame(env("write", {"path": "/a", "data": b""})), "write params.data"),
    "recipe version int32": (frame(env("build_image", {"recipe": {"v": 1, "base": "a", "steps": []}})),
                             "build_image params.recipe.v"),
    "repeated key": (frame(DUPLICATE_PATH), "repeated keys: ['params.path']"),
    "inner length": (frame(VERSION_BODY[:-1] + b"\0\0"), "its document says"),
    "zero length": (b"\0\0\0\0", "a frame length of 0"),
    "too long": (b"\x04\0\0\x01", "a frame length of 67108865"),
    "ends mid-frame": (frame(VERSION_BODY)[:20], "stdin ended after 16 of"),
    "a response": (frame(bson.encode({"jsonrpc": "2.0", "id": Int64(0), "method": "version",
                                      "result": {"version": "x"}})), "is a response"),
    "notification with params": (frame(bson.encode({"jsonrpc": "2.0", "method": "stop",
                                                    "params": {}})), "neither a request nor"),
}


@pytest.mark.parametrize("data, says", BAD_FRAMES.values(), ids=BAD_FRAMES.keys())
def test_violation_exits_with_its_status(uvm, data, says):
    s = uvm()
    s.send_raw(data)
    status, err = s.finish()
    assert status == VIOLATION
    assert b"halvo-uvm: protocol violation: " in err and says.encode() in err, err
    assert s.recv_body() is None   # and nothing was answered
    assert any(e["event"] == "violation" and says in e["text"] for e in s.log())


def test_increasing_ids_allow_gaps_only(uvm):
    s = uvm({"ids": "increasing"})
    for rid in (0, 2):
        s.send_raw(frame(env("version", {}, id=Int64(rid))))
        assert s.recv()["id"] == rid
    s.send_raw(frame(env("version", {}, id=Int64(2))))
    status, err = s.finish()
    assert status == VIOLATION and b"request id 2 where 3 was next" in err


def test_serial_refuses_a_request_sent_before_the_answer(uvm):
    s = uvm({"serial": True})
    for _ in range(3):   # one at a time, and notifications between: fine
        assert s.result("version")
        s.notify("start")
    s.request("version")
    s.request("version")
    status, err = s.finish()
    assert status == VIOLATION and b"a message arrived before the answer to request 3" in err


def test_serial_takes_the_end_of_input_for_no_message(uvm):
    s = uvm({"serial": True, "rules": [{"index": 0, "actions": [{"delay_ms": 100}]}]})
    s.request("version")
    s.proc.stdin.close()
    assert s.proc.wait(WAIT) == 0
    assert "result" in s.recv()


def test_logged_violations_keep_serving(uvm):
    s = uvm({"violations": "log"})
    s.send_raw(frame(env("version", {}, id=0)))
    assert s.recv()["result"] == {"version": "0.1.2+stand-in"}
    status, err = s.finish()
    assert status == 0 and b"request.id" in err
    frames = [e for e in s.log() if e["event"] == "frame"]
    assert frames[0]["hex"] == frame(env("version", {}, id=0)).hex()
    assert frames[0]["message"]["method"] == "version" and frames[0]["violations"]


# --- scripted misbehaviour ------------------------------------------------------

def first_bytes(server, n):
    return server.read_exact(n)


def paused_after(server, n):
    """The first n bytes come, then nothing for a while, then the rest of the frame."""
    head = server.read_exact(n)
    quiet = not select.select([server.proc.stdout], [], [], 0.2)[0]
    rest = server.read_exact(struct.unpack(">I", head[:4])[0] + 4 - n)
    return quiet and bson.decode((head + rest)[4:])["result"]["version"]


ANSWERS = {
    "strays first": ({"stray": [5, 6]}, lambda s: [s.recv()["id"] for _ in range(3)] == [5, 6, 0]),
    "stray errors": ({"stray": [9], "error": True},
                     lambda s: "error" in s.recv() and s.recv()["method"] == "version"),
    "result of another method": ({"reply": "as", "method": "exec"},
                                 lambda s: (r := s.recv())["method"] == "exec" and r["result"]["code"] == 0),
    "error with any code": ({"reply": "error", "code": 7, "message": "x"},
                            lambda s: s.recv()["error"] == {"code": 7, "message": "x"}),
    "error data with repeats": (
        {"reply": "error", "code": -32007, "message": "m",
         "data": {"$doc": [["a", 1], ["a", {"$i64": 2}], ["d", {"$date": 0}], ["k", {"$minkey": 1}]]}},
        lambda s: s.recv_body().count(b"\x10a\0\1\0\0\0\x12a\0\2") == 1),
    "result and error": ({"reply": "both"}, lambda s: {"result", "error"} <= set(s.recv())),
    "params beside the result": ({"reply": "with_params"},
                                 lambda s: list(s.recv()) == ["jsonrpc", "id", "method", "params", "result"]),
    "id as int32": ({"reply": "id_int32"}, lambda s: type(s.recv()["id"]) is int),
    "notification to the client": ({"notify": "stop"},
                                   lambda s: s.recv() == {"jsonrpc": "2.0", "method": "stop"}
                                   and "result" in s.recv()),
    "request to the client": ({"request": "exec", "id": 4},
                              lambda s: s.recv() == {"jsonrpc": "2.0", "id": 4, "method": "exec", "params": {}}),
    "raw zero length": ({"raw": "00000000"}, lambda s: first_bytes(s, 4) == b"\0\0\0\0"),
    "frame with another inner length": (
        {"send": {"jsonrpc": "2.0", "id": {"$id": "i64"}}, "inner_length": 99},
        lambda s: struct.unpack_from("<i", first_bytes(s, 8), 4)[0] == 99),
    "truncated body": (
        {"send": {"jsonrpc": "2.0"}, "truncate": 3},
        lambda s: first_bytes(s, 7) == struct.pack(">I", len(bson.encode({"jsonrpc": "2.0"})))
        + bson.encode({"jsonrpc": "2.0"})[:3]),
    "stdout closed": ({"close_stdout": True}, lambda s: s.recv_body() is None),
    "half a frame, then the rest": ({"reply": "normal", "split_ms": 1000, "split_at": 6},
                                    lambda s: paused_after(s, 6)),
}


@pytest.mark.parametrize("action, check", ANSWERS.values(), ids=ANSWERS.keys())
def test_scripted_answers(uvm, action, check):
    s = uvm({"rules": [{"method": "version", "actions": [action]}]})
    s.request("version")
    assert check(s)
    status, _ = s.finish()
    assert status == 0


def test_rules_by_index_and_times(uvm):
    s = uvm({"rules": [{"index": 1, "actions": [{"reply": "error", "code": 1}]},
                       {"method": "version", "times": 1, "actions": [{"delay_ms": 10},
                                                                     {"reply": "error", "code": 2}]}]})
    assert s.error("version")[0] == 2      # index 0: the method rule, once
    assert s.error("version")[0] == 1      # index 1
    assert "result" in s.call("version")   # the method rule is used up
    assert s.finish()[0] == 0


LIFECYCLE = {
    "quit exits 0": ({}, True, 0, b""),
    "quit exits with a status": ({"on_quit": [{"exit": 3}]}, True, 3, b""),
    "quit raises a signal": ({"on_quit": [{"signal": "SIGTERM"}]}, True, -signal.SIGTERM, b""),
    "quit ignored, then eof": ({"on_quit": "ignore", "on_eof": [{"exit": 4}]}, True, 4, b""),
    "eof without quit": ({"on_eof": [{"exit": 6}]}, False, 6, b""),
    "stderr bytes": ({"at_start": [{"stderr": "ff00"}], "on_quit": [{"stderr": "fe"}, {"exit": 0}]},
                     True, 0, b"\xff\x00\xfe"),
    "grandchild writes after the exit": (
        {"on_quit": [{"grandchild": {"delay_ms": 300, "stderr": "6c617465"}}, {"exit": 0}]},
        True, 0, b"late"),
}


@pytest.mark.parametrize("scenario, quit, status, err", LIFECYCLE.values(), ids=LIFECYCLE.keys())
def test_lifecycle(uvm, scenario, quit, status, err):
    s = uvm(scenario)
    assert s.result("version")
    if quit:
        s.notify("quit")
    assert s.finish() == (status, err)
    events = [e["event"] for e in s.log()]
    assert events[0] == "start" and ("quit" in events) == quit


def test_mounted_logs_whether_a_path_is_a_mount_point(uvm, tmp_path):
    s = uvm({"on_eof": [{"mounted": "/proc"}, {"mounted": str(tmp_path)}, {"exit": 0}]})
    assert s.finish()[0] == 0
    assert [(e["path"], e["mounted"]) for e in s.log() if e["event"] == "mounted"] == [
        ("/proc", True), (str(tmp_path), False)]


def test_exit_after_a_request_and_ignored_eof(uvm):
    s = uvm({"rules": [{"index": 0, "actions": [{"reply": "normal"}, {"exit": 5}]}]})
    assert s.result("version")
    assert s.proc.wait(WAIT) == 5

    t = uvm({"on_quit": "ignore", "on_eof": "ignore"})
    t.notify("quit")
    t.proc.stdin.close()
    with pytest.raises(subprocess.TimeoutExpired):
        t.proc.wait(0.5)


def test_bad_scenario_is_refused(uvm, tmp_path):
    s = uvm({"rules": [{"method": "version", "actions": [{"dance": 1}]}]})
    s.request("version")
    status, err = s.finish()
    assert status == 2 and b"bad scenario action" in err


# --- snapshot extraction ------------------------------------------------------

def stand_in_module():
    """The stand-in's own code, for its extraction rules."""
    import importlib.machinery
    import importlib.util
    loader = importlib.machinery.SourceFileLoader("halvo_uvm_stand_in", str(UVM))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


def tar_of(*members):
    """A tar of (name, kind, payload): kind "file" (payload: bytes, mode),
    "dir", "sym" and "hard" (payload: link target), "chr", "fifo"."""
    import io
    import tarfile
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w") as tar:
        for name, kind, payload in members:
            info = tarfile.TarInfo(name)
            data = None
            if kind == "file":
                data, info.mode = payload
                info.size = len(data)
            elif kind == "dir":
                info.type, info.mode = tarfile.DIRTYPE, payload
            elif kind in ("sym", "hard"):
                info.type = tarfile.SYMTYPE if kind == "sym" else tarfile.LNKTYPE
                info.linkname = payload
            else:
                info.type = tarfile.CHRTYPE if kind == "chr" else tarfile.FIFOTYPE
                info.devmajor, info.devminor = 1, 3
            info.uid = info.gid = 4321
            tar.addfile(info, io.BytesIO(data) if data is not None else None)
    return out.getvalue()


def extract_into(extractor, blob, root):
    import io
    import tarfile
    with tarfile.open(fileobj=io.BytesIO(blob)) as tar:
        extractor(tar, str(root))


# Each would put something outside the root, or something that is not a
# file, folder or link, and is refused.
UNSAFE = {
    "absolute name": [("/abs", "file", (b"x", 0o644))],
    "dot-dot name": [("../up", "file", (b"x", 0o644))],
    "dot-dot inside a name": [("a/../../up", "file", (b"x", 0o644))],
    "absolute symlink": [("l", "sym", "/etc")],
    "symlink out": [("l", "sym", "../..")],
    "symlink out through another": [("d", "sym", "."), ("l", "sym", "d/../..")],
    "hard link to an absolute path": [("h", "hard", "/etc/passwd")],
    "hard link out": [("h", "hard", "../outside")],
    "file through a link already there": [("out/x", "file", (b"x", 0o644))],
    "file over a link already there": [("out", "file", (b"x", 0o644))],
    "character device": [("null", "chr", None)],
    "fifo": [("pipe", "fifo", None)],
}


@pytest.mark.parametrize("members", UNSAFE.values(), ids=UNSAFE.keys())
def test_checked_extraction_refuses_what_leaves_the_root(tmp_path, members):
    import tarfile
    root, outside = tmp_path / "root", tmp_path / "outside"
    root.mkdir()
    outside.mkdir()
    (root / "out").symlink_to(outside)   # as if an earlier member had made it
    with pytest.raises(tarfile.TarError):
        extract_into(stand_in_module().extract_checked, tar_of(*members), root)
    assert list(outside.iterdir()) == []


@pytest.mark.parametrize("extractor", ["extract", "extract_checked"])
def test_extraction_keeps_files_folders_and_inner_links_without_special_bits(tmp_path, extractor):
    root = tmp_path / "root"
    root.mkdir()
    blob = tar_of(("d", "dir", 0o777),
                  ("d/run", "file", (b"#!/bin/sh\n", 0o6777)),
                  ("d/secret", "file", (b"s", 0o000)),
                  ("d/plain", "file", (b"p", 0o666)),
                  ("d/here", "sym", "run"),
                  ("up", "sym", "d/plain"),
                  ("again", "hard", "d/plain"))
    extract_into(getattr(stand_in_module(), extractor), blob, root)
    modes = {p: (root / p).stat().st_mode & 0o7777 for p in ("d/run", "d/secret", "d/plain")}
    assert modes == {"d/run": 0o755, "d/secret": 0o600, "d/plain": 0o644}
    assert os.readlink(root / "d" / "here") == "run" and (root / "up").read_bytes() == b"p"
    assert (root / "again").stat().st_ino == (root / "d" / "plain").stat().st_ino
    if os.geteuid() == 0:   # no owner is taken from the archive
        assert (root / "d" / "run").stat().st_uid == 0


def test_a_snapshot_that_would_leave_the_root_does_not_boot(uvm, tmp_path, monkeypatch):
    target, tmp = tmp_path / "target", tmp_path / "tmp"
    target.mkdir()
    tmp.mkdir()
    monkeypatch.setenv("TMPDIR", str(tmp))
    s = uvm()
    blob = tar_of(("l", "sym", str(target)), ("l/x", "file", (b"x", 0o644)))
    code, message = s.error("init", {"snapshot": list(blob)})
    assert code == -32002 and message.startswith("the snapshot cannot be restored: ")
    assert list(target.iterdir()) == []
    # The failed console's scratch folder is gone already: a client may well
    # kill a server whose boot failed, leaving it no time to clean up.
    assert list(tmp.iterdir()) == []
    assert_clean_exit(s)
