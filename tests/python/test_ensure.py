"""ensure_halvo against real loopback servers: a release server built on
http.server (plain and TLS), archives written by Python's tarfile, and a
small forward proxy."""
import asyncio
import gzip
import http.server
import io
import os
import platform
import resource
import select
import shutil
import socket
import socketserver
import ssl
import stat
import subprocess
import sys
import tarfile
import threading
import urllib.parse

import pytest

import halvo
from conftest import PACKAGE_ROOT

PLATFORM = "{}-{}".format(
    {"linux": "linux", "darwin": "macos"}[sys.platform],
    {"arm64": "aarch64", "AMD64": "x86_64"}.get(platform.machine(), platform.machine()),
)
SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"
PROXY_VARS = [
    "HTTP_PROXY", "http_proxy", "HTTPS_PROXY", "https_proxy", "ALL_PROXY", "all_proxy",
    "NO_PROXY", "no_proxy", "REQUEST_METHOD",
]


def archive_path(release="v0.1.2"):
    return f"/halvo-uvm/{release}/halvo-uvm-{PLATFORM}.tar.gz"


def published(release, url):
    return f"no halvo-uvm release is published for {PLATFORM} as `{release}`: {url}"


# ---- archives ----

def entry(name, data=b"", type=tarfile.REGTYPE, mode=0o644, mtime=1_000_000_000, linkname=""):
    info = tarfile.TarInfo(name)
    info.type, info.mode, info.mtime, info.linkname = type, mode, mtime, linkname
    info.size = len(data) if type == tarfile.REGTYPE else 0
    return info, data


def server_entry(data=b"#!/bin/sh\necho halvo-uvm\n"):
    return entry("halvo-uvm", data, mode=0o755)


def make_tar(*entries, compress=True):
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.PAX_FORMAT) as tar:
        for info, data in entries:
            tar.addfile(info, io.BytesIO(data) if info.type == tarfile.REGTYPE else None)
    return gzip.compress(raw.getvalue(), mtime=0) if compress else raw.getvalue()


def bad_crc(archive):
    damaged = bytearray(archive)
    damaged[-8] ^= 0xFF
    return bytes(damaged)


# ---- servers ----

class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        srv = self.server.owner
        with srv.lock:
            srv.requests.append((self.path, dict(self.headers)))
            route = srv.routes.get(self.path)
        if callable(route):
            route(self)
        elif route is None:
            self.answer(404, b"missing")
        else:
            self.answer(*route)

    def answer(self, status, body=b"", headers=()):
        self.send_response(status)
        for k, v in headers:
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class Release:
    """A release server on loopback; routes map a path to (status, body,
    headers) or to a function of the handler."""

    def __init__(self, tls=None):
        self.routes, self.requests = {}, []
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.connected = threading.Event()
        self.closed_by_peer = threading.Event()
        owner = self

        class Server(http.server.ThreadingHTTPServer):
            daemon_threads = False
            block_on_close = True

            def get_request(self):
                sock, addr = super().get_request()
                owner.connected.set()
                if tls:
                    # The handshake happens in the handler's thread, on first read.
                    sock = tls.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
                return sock, addr

            def handle_error(self, request, client_address):
                pass  # refused handshakes and dropped clients are expected here

        self.server = Server(("127.0.0.1", 0), Handler)
        self.server.owner = self
        self.thread = threading.Thread(target=self.server.serve_forever, args=(0.05,), daemon=True)
        self.thread.start()
        scheme = "https" if tls else "http"
        self.url = f"{scheme}://127.0.0.1:{self.server.server_address[1]}"

    def publish(self, body, release="v0.1.2"):
        self.routes[archive_path(release)] = (200, body)

    def paths(self):
        with self.lock:
            return [p for p, _ in self.requests]

    def stall(self, handler):
        """Sends a head and part of the body, then waits for the client to go."""
        try:
            handler.send_response(200)
            handler.send_header("Content-Length", "1000000")
            handler.end_headers()
            handler.wfile.write(b"\x1f\x8b")
            handler.wfile.flush()
        except OSError:  # a client stopped at once went before the head was out
            self.closed_by_peer.set()
            return
        self.wait_for_close(handler.connection)

    def wait_for_close(self, conn):
        conn.settimeout(0.1)
        while not self.stopping.is_set():
            try:
                if not conn.recv(1024):
                    self.closed_by_peer.set()
                    return
            except (socket.timeout, ssl.SSLWantReadError):
                continue
            except OSError:
                self.closed_by_peer.set()
                return

    def close(self):
        self.stopping.set()
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()


class ForwardProxy:
    """CONNECT tunnels and absolute-form GETs, each request line logged."""

    def __init__(self, host="127.0.0.1", port=0):
        self.seen = []
        self.stopping = threading.Event()
        owner = self

        class ProxyHandler(socketserver.StreamRequestHandler):
            def handle(self):
                head = b""
                while b"\r\n\r\n" not in head:
                    chunk = self.request.recv(4096)
                    if not chunk:
                        return
                    head += chunk
                head, _, rest = head.partition(b"\r\n\r\n")
                lines = head.decode("latin-1").split("\r\n")
                owner.seen.append(lines[0])
                method, target, _ = lines[0].split(" ", 2)
                if method == "CONNECT":
                    host, port = target.rsplit(":", 1)
                    upstream = socket.create_connection((host, int(port)))
                    self.request.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
                else:
                    url = urllib.parse.urlsplit(target)
                    upstream = socket.create_connection((url.hostname, url.port or 80))
                    fields = [ln for ln in lines[1:] if not ln.lower().startswith(("connection:", "proxy-"))]
                    request = [f"{method} {url.path or '/'} HTTP/1.1", *fields, "Connection: close", "", ""]
                    upstream.sendall("\r\n".join(request).encode("latin-1"))
                with upstream:
                    if rest:
                        upstream.sendall(rest)
                    owner.pipe(self.request, upstream)

        class Server(socketserver.ThreadingTCPServer):
            daemon_threads = False
            block_on_close = True
            allow_reuse_address = True

            def handle_error(self, request, client_address):
                pass

        self.server = Server((host, port), ProxyHandler)
        self.thread = threading.Thread(target=self.server.serve_forever, args=(0.05,), daemon=True)
        self.thread.start()
        self.host = host
        self.url = f"http://{host}:{self.server.server_address[1]}"

    def pipe(self, a, b):
        while not self.stopping.is_set():
            ready, _, _ = select.select([a, b], [], [], 0.1)
            for src in ready:
                data = src.recv(65536)
                if not data:
                    return
                (b if src is a else a).sendall(data)

    def close(self):
        self.stopping.set()
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()


class Silent:
    """Accepts connections and reads them, never answering a byte."""

    def __init__(self):
        self.stopping = threading.Event()
        self.connected = threading.Event()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.1)
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()
        self.url = f"https://127.0.0.1:{self.listener.getsockname()[1]}"

    def run(self):
        conns = []
        try:
            while not self.stopping.is_set():
                try:
                    conn, _ = self.listener.accept()
                    conns.append(conn)
                    self.connected.set()
                except socket.timeout:
                    pass
        finally:
            for c in conns:
                c.close()

    def close(self):
        self.stopping.set()
        self.thread.join()
        self.listener.close()


# ---- fixtures ----

@pytest.fixture(autouse=True)
def home(tmp_path, monkeypatch):
    """A private cache root; no proxy or release variable of the caller."""
    for name in PROXY_VARS + ["HALVO_DIST_URL", "HALVO_UVM_VERSION"]:
        monkeypatch.delenv(name, raising=False)
    root = tmp_path / "home"
    root.mkdir()
    monkeypatch.setenv("HALVO_HOME", str(root))
    return root


@pytest.fixture
def release(monkeypatch):
    srv = Release()
    monkeypatch.setenv("HALVO_DIST_URL", srv.url)
    try:
        yield srv
    finally:
        srv.close()


@pytest.fixture
def proxies():
    made = [ForwardProxy(), ForwardProxy()]
    try:
        yield made
    finally:
        for p in made:
            p.close()


@pytest.fixture(scope="module")
def test_ca(tmp_path_factory):
    """A CA and a server certificate for IP 127.0.0.1, made with openssl."""
    if not shutil.which("openssl"):
        pytest.skip("openssl is not installed")
    d = tmp_path_factory.mktemp("ca")

    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=d, check=True, capture_output=True)

    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=halvo test CA",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1")
    (d / "ext.cnf").write_text("subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-out", "server.pem", "-days", "2", "-extfile", "ext.cnf")
    return d


@pytest.fixture
def tls_release(test_ca):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(test_ca / "server.pem", test_ca / "server.key")
    srv = Release(tls=ctx)
    try:
        yield srv
    finally:
        srv.close()


def leftovers(home):
    return [p.name for p in home.iterdir() if p.name.startswith(".bin.")]


# ---- the install ----

@pytest.mark.asyncio
async def test_an_existing_program_is_left_alone_without_a_request(home, release, monkeypatch):
    (home / "bin").mkdir()
    (home / "bin" / "halvo-uvm").write_text("by hand")
    assert await halvo.ensure_halvo() == str(home / "bin")
    monkeypatch.setenv("HALVO_DIST_URL", "http://256.0.0.1:1")
    monkeypatch.setenv("HALVO_UVM_VERSION", "\udcff")
    assert await halvo.ensure_halvo() == str(home / "bin")
    assert release.paths() == []
    assert (home / "bin" / "halvo-uvm").read_text() == "by hand"


@pytest.mark.asyncio
@pytest.mark.parametrize("version, dist_suffix", [("", ""), ("", "///"), (None, "/")])
async def test_default_release_and_trailing_slashes(home, release, monkeypatch, version, dist_suffix):
    if version is not None:
        monkeypatch.setenv("HALVO_UVM_VERSION", version)
    monkeypatch.setenv("HALVO_DIST_URL", release.url + dist_suffix)
    release.publish(make_tar(server_entry()))
    bin_dir = await halvo.ensure_halvo()
    assert bin_dir == str(home / "bin")
    assert release.paths() == [archive_path("v0.1.2")]
    assert (home / "bin" / "halvo-uvm").read_bytes() == server_entry()[1]
    assert leftovers(home) == []


@pytest.mark.asyncio
async def test_a_named_release_and_a_redirect(home, release, monkeypatch):
    monkeypatch.setenv("HALVO_UVM_VERSION", "v2.0.0")
    release.routes[archive_path("v2.0.0")] = (302, b"", [("Location", "/elsewhere/archive")])
    release.routes["/elsewhere/archive"] = (200, make_tar(server_entry()))
    assert await halvo.ensure_halvo() == str(home / "bin")
    assert release.paths() == [archive_path("v2.0.0"), "/elsewhere/archive"]
    headers = release.requests[0][1]
    assert "Accept-Encoding" not in headers and "Authorization" not in headers


def download_failures():
    loop = [(302, b"", [("Location", archive_path())])]
    return {
        "not published": ({}, "v9", "fetching {url}: 404 Not Found"),
        "server error": ({archive_path(): (500, b"oops")}, None, "fetching {url}: 500 Internal Server Error"),
        "redirect loop": ({archive_path(): loop[0]}, None, "fetching {url}: more than 10 redirects"),
        "truncated body": ({archive_path(): lambda h: truncated(h)}, None,
                           "reading {url}: transfer closed with 990 bytes remaining to read"),
        # Refused on its length alone: the server never sends the rest.
        "longer than the cap": ({archive_path(): lambda h: truncated(h, 2**31)}, None,
                                "reading {url}: the archive is larger than 1 GiB, the most an install takes"),
        "a redirect to another scheme": ({archive_path(): (302, b"", [("Location", "ftp://127.0.0.1/x")])}, None,
                                         "fetching {url}: the address does not begin with http:// or https://"),
    }


def truncated(handler, length=1000):
    handler.send_response(200)
    handler.send_header("Content-Length", str(length))
    handler.end_headers()
    handler.wfile.write(b"\x1f\x8b" + b"x" * 8)
    handler.wfile.flush()
    if length > 1000:
        handler.server.owner.wait_for_close(handler.connection)


@pytest.mark.asyncio
@pytest.mark.parametrize("case", list(download_failures()))
async def test_download_failures(home, release, monkeypatch, case):
    routes, version, tail = download_failures()[case]
    release.routes.update(routes)
    if version:
        monkeypatch.setenv("HALVO_UVM_VERSION", version)
    url = release.url + archive_path(version or "v0.1.2")
    with pytest.raises(halvo.HalvoError) as e:
        await asyncio.wait_for(halvo.ensure_halvo(), 60)
    assert type(e.value) is halvo.HalvoError
    assert str(e.value) == published(version or "v0.1.2", tail.format(url=url))
    assert list(home.iterdir()) == []


@pytest.mark.asyncio
async def test_nothing_listening(home, monkeypatch):
    probe = socket.create_server(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    url = f"http://127.0.0.1:{port}" + archive_path()
    monkeypatch.setenv("HALVO_DIST_URL", f"http://127.0.0.1:{port}")
    with pytest.raises(halvo.HalvoError) as e:
        await halvo.ensure_halvo()
    assert str(e.value).startswith(published("v0.1.2", f"fetching {url}: "))
    assert "Couldn't connect to server" in str(e.value)
    assert list(home.iterdir()) == []


@pytest.mark.asyncio
@pytest.mark.parametrize("base", [
    "127.0.0.1:{port}", "localhost:{port}", "//127.0.0.1:{port}", "127.0.0.1:{port}/x?u=http://y",
    "ftp://127.0.0.1:{port}", "{file}",
])
async def test_only_http_and_https_addresses_are_fetched(home, tmp_path, release, monkeypatch, base):
    """Nothing guesses a scheme: such a base is refused before any connection."""
    release.publish(make_tar(server_entry()))
    (tmp_path / "halvo-uvm" / "v0.1.2").mkdir(parents=True)
    (tmp_path / archive_path().lstrip("/")).write_bytes(make_tar(server_entry()))
    base = base.format(port=release.url.rsplit(":", 1)[1], file=tmp_path.as_uri())
    monkeypatch.setenv("HALVO_DIST_URL", base)
    with pytest.raises(halvo.HalvoError) as e:
        await halvo.ensure_halvo()
    assert str(e.value) == published("v0.1.2", f"fetching {base + archive_path()}: "
                                                "the address does not begin with http:// or https://")
    assert not release.connected.is_set()
    assert list(home.iterdir()) == []


@pytest.mark.asyncio
@pytest.mark.parametrize("release_name, in_path", [
    ("v 1", "v%201"), ("r/1", "r/1"), ("\u00fc?#%", "%C3%BC%3F%23%25"), ("v1.0+b:2@x", "v1.0+b:2@x"),
])
async def test_release_names_are_percent_encoded(home, release, monkeypatch, release_name, in_path):
    monkeypatch.setenv("HALVO_UVM_VERSION", release_name)
    release.routes[f"/halvo-uvm/{in_path}/halvo-uvm-{PLATFORM}.tar.gz"] = (200, make_tar(server_entry()))
    assert await halvo.ensure_halvo() == str(home / "bin")
    assert release.paths() == [f"/halvo-uvm/{in_path}/halvo-uvm-{PLATFORM}.tar.gz"]


def unpack_cases():
    outside_link = entry("out", type=tarfile.SYMTYPE, linkname="{outside}")
    return {
        "no server program": (
            [entry("README", b"hi")], "the halvo-uvm archive has no halvo-uvm"),
        "server program is a folder": (
            [entry("halvo-uvm/", type=tarfile.DIRTYPE, mode=0o755)], "the halvo-uvm archive has no halvo-uvm"),
        "absolute entry": (
            [server_entry(), entry("/abs", b"x")],
            "unpacking the halvo-uvm archive: entry \"/abs\" would be written outside the staging folder"),
        "written through a symlink": (
            [server_entry(), outside_link, entry("out/evil", b"x")],
            "unpacking the halvo-uvm archive: entry \"out/evil\" would be written outside the staging folder"),
        "hard link out": (
            [server_entry(), entry("h", type=tarfile.LNKTYPE, linkname="../../outside/secret")],
            "unpacking the halvo-uvm archive: entry \"h\" links to \"../../outside/secret\" outside the staging folder"),
    }


@pytest.mark.asyncio
@pytest.mark.parametrize("case", list(unpack_cases()))
async def test_unpack_failures_leave_bin_untouched(home, tmp_path, release, case):
    entries, message = unpack_cases()[case]
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "secret").write_text("s")
    for info, _ in entries:
        info.linkname = info.linkname.format(outside=outside)
    (home / "bin").mkdir()
    (home / "bin" / "extra").write_text("mine")
    release.publish(make_tar(*entries))
    with pytest.raises(halvo.HalvoError) as e:
        await halvo.ensure_halvo()
    assert str(e.value) == message
    assert sorted(os.listdir(home / "bin")) == ["extra"]
    assert os.listdir(outside) == ["secret"]
    assert leftovers(home) == []


@pytest.mark.asyncio
@pytest.mark.parametrize("archive, reason", [
    (lambda: bad_crc(make_tar(server_entry())), "invalid gzip data: incorrect data check"),
    (lambda: b"this is not gzip at all", "invalid gzip data: incorrect header check"),
    (lambda: make_tar(server_entry(), compress=False), "invalid gzip data: incorrect header check"),
    (lambda: make_tar(server_entry())[:-12], "the gzip data ends early"),
    (lambda: gzip.compress(b"\x01" * 1024), "Unrecognized archive format"),
])
async def test_archives_that_are_refused(home, release, archive, reason):
    release.publish(archive())
    with pytest.raises(halvo.HalvoError) as e:
        await halvo.ensure_halvo()
    assert str(e.value).startswith("unpacking the halvo-uvm archive: " + reason)
    assert not (home / "bin").exists()
    assert leftovers(home) == []


@pytest.mark.asyncio
async def test_hostile_entries_that_are_skipped(home, tmp_path, release):
    release.publish(make_tar(
        entry("../escape", b"x"),
        entry("a/../../../escape", b"x"),
        entry("dev", type=tarfile.CHRTYPE),
        entry("fifo", type=tarfile.FIFOTYPE),
        server_entry(),
    ))
    assert await halvo.ensure_halvo() == str(home / "bin")
    assert sorted(os.listdir(home / "bin")) == ["halvo-uvm"]
    assert sorted(os.listdir(home)) == ["bin"]
    assert sorted(os.listdir(tmp_path)) == ["home"]


@pytest.mark.asyncio
async def test_folders_replaced_whole_modes_and_times(home, release):
    (home / "bin" / "share" / "old").mkdir(parents=True)
    (home / "bin" / "extra").write_text("mine")
    release.publish(make_tar(
        entry("share/", type=tarfile.DIRTYPE, mode=0o750, mtime=1_100_000_000),
        entry("share/new", b"n", mode=0o640, mtime=1_200_000_000),
        entry("tool", b"t", mode=0o6755, mtime=1_300_000_000),
        entry("lib.so", type=tarfile.SYMTYPE, linkname="share/new"),
        server_entry(),
    ))
    assert await halvo.ensure_halvo() == str(home / "bin")
    b = home / "bin"
    assert sorted(os.listdir(b)) == ["extra", "halvo-uvm", "lib.so", "share", "tool"]
    assert os.listdir(b / "share") == ["new"]
    assert (b / "extra").read_text() == "mine"
    assert stat.S_IMODE(os.stat(b / "halvo-uvm").st_mode) == 0o755
    assert os.access(b / "halvo-uvm", os.X_OK)
    assert stat.S_IMODE(os.stat(b / "tool").st_mode) == 0o755  # setuid and setgid dropped
    assert os.stat(b / "tool").st_mtime == 1_300_000_000
    assert stat.S_IMODE(os.stat(b / "share").st_mode) == 0o750
    assert os.stat(b / "share").st_mtime == 1_100_000_000
    assert os.stat(b / "share" / "new").st_mtime == 1_200_000_000
    assert os.readlink(b / "lib.so") == "share/new"
    assert leftovers(home) == []


@pytest.mark.asyncio
async def test_concurrent_installs_share_one_download(home, release):
    release.publish(make_tar(server_entry(), entry("share/a", b"a")))
    results = await asyncio.gather(*(halvo.ensure_halvo() for _ in range(3)))
    assert results == [str(home / "bin")] * 3
    assert release.paths() == [archive_path()]
    assert sorted(os.listdir(home / "bin")) == ["halvo-uvm", "share"]
    assert leftovers(home) == []


@pytest.mark.asyncio
async def test_installs_into_other_folders_go_on_meanwhile(home, tmp_path, release, monkeypatch):
    """A stalled download holds up only installs into the same bin, links resolved."""
    stalled = Release()
    try:
        stalled.routes[archive_path()] = stalled.stall
        monkeypatch.setenv("HALVO_DIST_URL", stalled.url)
        first = halvo.ensure_halvo()
        loop = asyncio.get_running_loop()
        assert await loop.run_in_executor(None, stalled.connected.wait, 30)

        release.publish(make_tar(server_entry()))
        monkeypatch.setenv("HALVO_DIST_URL", release.url)
        (tmp_path / "same").symlink_to(home)
        monkeypatch.setenv("HALVO_HOME", str(tmp_path / "same"))
        same_bin = halvo.ensure_halvo()
        other = tmp_path / "other"
        monkeypatch.setenv("HALVO_HOME", str(other))
        assert await asyncio.wait_for(halvo.ensure_halvo(), 30) == str(other / "bin")
        assert os.access(other / "bin" / "halvo-uvm", os.X_OK)

        assert not same_bin.done()
        first.cancel()
        assert await asyncio.wait_for(same_bin, 30) == str(tmp_path / "same" / "bin")
        assert release.paths() == [archive_path()] * 2
    finally:
        stalled.close()


def staging_table(home):
    """Staging folders left by others: a dead process's, a live one's, and names
    that are no staging folder's."""
    dead = subprocess.Popen(["true"])
    dead.wait()
    live = subprocess.Popen(["sleep", "60"])
    folders = {
        f".bin.{dead.pid}.part": False,
        f".bin.{live.pid}.part": True,
        ".bin.x.part": True,
        ".bin.12": True,
    }
    for name in folders:
        (home / name / "deeper").mkdir(parents=True)
        (home / name / "deeper" / "file").write_text("x")
    (home / f".bin.{dead.pid}.part" / "deeper").chmod(0o500)
    return live, folders


@pytest.mark.asyncio
async def test_staging_of_dead_processes_is_removed(home, release):
    live, folders = staging_table(home)
    try:
        release.publish(make_tar(server_entry()))
        assert await halvo.ensure_halvo() == str(home / "bin")
        assert {name: (home / name).exists() for name in folders} == folders
    finally:
        live.kill()
        live.wait()


@pytest.mark.asyncio
async def test_no_cache_root(monkeypatch):
    monkeypatch.delenv("HALVO_HOME")
    monkeypatch.delenv("HOME", raising=False)
    with pytest.raises(halvo.HalvoError, match="^no cache folder: neither HALVO_HOME nor HOME is set$"):
        await halvo.ensure_halvo()


@pytest.mark.asyncio
async def test_a_path_that_is_not_utf8_resolves_lossily(tmp_path, monkeypatch):
    root = os.path.join(os.fsencode(tmp_path), b"h\xff")
    os.makedirs(os.path.join(root, b"bin"))
    open(os.path.join(root, b"bin", b"halvo-uvm"), "wb").close()
    monkeypatch.setitem(os.environb, b"HALVO_HOME", root)
    assert await halvo.ensure_halvo() == str(tmp_path) + "/h\ufffd/bin"


def test_called_outside_a_running_loop():
    with pytest.raises(RuntimeError):
        halvo.ensure_halvo()


@pytest.mark.asyncio
async def test_cancelling_drops_the_download(home, release):
    release.routes[archive_path()] = release.stall
    fut = halvo.ensure_halvo()
    loop = asyncio.get_running_loop()
    assert await loop.run_in_executor(None, release.connected.wait, 30)
    fut.cancel()
    assert await loop.run_in_executor(None, release.closed_by_peer.wait, 30)
    assert not (home / "bin").exists()
    # The lock of installs is free again.
    release.publish(make_tar(server_entry()))
    assert await halvo.ensure_halvo() == str(home / "bin")


# An install told to exit as soon as its staging folder shows, then run again.
STAGED_EXIT_SCRIPT = """
import asyncio, glob, os, halvo
async def main():
    pending = halvo.ensure_halvo()
    while not glob.glob(os.path.join(os.environ["HALVO_HOME"], ".bin.*.part", "*")):
        if pending.done():
            return "finished first"
        await asyncio.sleep(0.001)
    return "left during the unpack"
print(asyncio.run(main()), flush=True)
"""


def many_files(count=20000):
    return make_tar(*(entry(f"share/{i // 1000}/{i}", b"x") for i in range(count)), server_entry())


def test_exit_during_the_unpack_removes_the_staging(home, release):
    release.publish(many_files())
    r = subprocess.run([sys.executable, "-c", STAGED_EXIT_SCRIPT], env=subprocess_env(home, release.url),
                       capture_output=True, text=True, timeout=120)
    assert (r.returncode, r.stdout.strip()) == (0, "left during the unpack"), r.stderr
    assert leftovers(home) == []


def test_a_deep_tree_installs_again_with_few_descriptors(home, release):
    release.publish(make_tar(entry("d/" * 1100 + "leaf", b"x"), server_entry()))
    script = ENSURE_SCRIPT + "import os; os.remove(os.path.join(os.environ['HALVO_HOME'], 'bin', 'halvo-uvm'))\n"
    few = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (1024, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    try:
        for attempt in range(2):
            r = subprocess.run([sys.executable, "-c", script], env=subprocess_env(home, release.url),
                               preexec_fn=few, capture_output=True, text=True, timeout=120)
            assert (r.returncode, r.stdout.strip()) == (0, str(home / "bin")), (attempt, r.stderr)
            assert leftovers(home) == []
        assert (home / "bin" / ("d/" * 1100) / "leaf").read_bytes() == b"x"
    finally:
        # Deeper than shutil.rmtree, and so pytest's clean-up, can go.
        subprocess.run(["rm", "-rf", str(home)], check=True)


def test_signature_and_docstring():
    assert halvo.ensure_halvo.__text_signature__ == "()"
    assert halvo.ensure_halvo.__doc__ == (
        "Fetch the console server into halvo's cache if missing; the awaitable resolves to its\n"
        "directory.\n\n"
        "Console builders and `ImageClient` start `halvo-uvm` from that cache, which a host that\n"
        "installed only this package lacks, so such a host calls this first. An existing server,\n"
        "fetched or installed by hand, is left alone."
    )
    with pytest.raises(TypeError):
        halvo.ensure_halvo(1)


# ---- proxies ----

@pytest.mark.asyncio
@pytest.mark.parametrize("env, via", [
    ({"HTTP_PROXY": "{0}", "http_proxy": "{1}"}, 0),
    ({"http_proxy": "{1}"}, 1),
    ({"all_proxy": "{0}"}, 0),
    ({"ALL_PROXY": "{0}", "all_proxy": "{1}"}, 0),
    ({"HTTP_PROXY": "", "http_proxy": "{1}"}, 1),
    ({"HTTP_PROXY": "{0}", "NO_PROXY": "127.0.0.1"}, None),
    ({"HTTP_PROXY": "{0}", "NO_PROXY": "*"}, None),
    ({"HTTP_PROXY": "{0}", "NO_PROXY": "example.org,127.0.0.0/8"}, None),
    ({"HTTP_PROXY": "{0}", "NO_PROXY": "example.org,127.0.0.2"}, 0),
    ({"HTTP_PROXY": "{0}", "no_proxy": "127.0.0.1"}, None),
    ({"REQUEST_METHOD": "GET", "HTTP_PROXY": "{0}", "ALL_PROXY": "{1}"}, None),
    ({"HTTPS_PROXY": "{0}"}, None),
])
async def test_proxy_table_for_http(home, release, proxies, monkeypatch, env, via):
    for name, value in env.items():
        monkeypatch.setenv(name, value.format(*(p.url for p in proxies)))
    release.publish(make_tar(server_entry()))
    assert await halvo.ensure_halvo() == str(home / "bin")
    url = release.url + archive_path()
    for i, p in enumerate(proxies):
        assert p.seen == ([f"GET {url} HTTP/1.1"] if i == via else []), i
    assert release.paths() == [archive_path()]


@pytest.mark.asyncio
@pytest.mark.parametrize("env, tunnelled", [
    ({"HTTPS_PROXY": "{0}", "HTTP_PROXY": "{1}"}, True),
    ({"https_proxy": "{0}"}, True),
    ({"REQUEST_METHOD": "GET", "HTTPS_PROXY": "{0}"}, False),
    ({"HTTPS_PROXY": "{0}", "NO_PROXY": "127.0.0.1"}, False),
])
async def test_proxy_table_for_https(home, tls_release, proxies, monkeypatch, env, tunnelled):
    for name, value in env.items():
        monkeypatch.setenv(name, value.format(*(p.url for p in proxies)))
    monkeypatch.setenv("HALVO_DIST_URL", tls_release.url)
    # The test CA is not trusted here, so the handshake fails after the route
    # was taken.
    with pytest.raises(halvo.HalvoError, match="certificate"):
        await halvo.ensure_halvo()
    port = tls_release.url.rsplit(":", 1)[1]
    assert proxies[0].seen == ([f"CONNECT 127.0.0.1:{port} HTTP/1.1"] if tunnelled else [])
    assert proxies[1].seen == []
    assert tls_release.connected.is_set()


def free_loopback_port_80():
    """A ForwardProxy on port 80 of a loopback address nothing else uses."""
    for last in range(2, 250):
        try:
            return ForwardProxy(f"127.{os.getpid() % 200 + 20}.{last}.9", 80)
        except OSError:
            continue
    pytest.skip("cannot listen on port 80 of any loopback address (not root?)")


@pytest.mark.asyncio
@pytest.mark.parametrize("form", ["http://{host}", "http://{host}/", "{host}", "http://{host}:"])
async def test_a_proxy_without_a_port_is_on_port_80(home, release, monkeypatch, form):
    proxy = free_loopback_port_80()
    try:
        monkeypatch.setenv("HTTP_PROXY", form.format(host=proxy.host))
        release.publish(make_tar(server_entry()))
        assert await halvo.ensure_halvo() == str(home / "bin")
        assert proxy.seen == [f"GET {release.url + archive_path()} HTTP/1.1"]
    finally:
        proxy.close()


@pytest.mark.asyncio
async def test_each_redirect_hop_chooses_its_proxy(home, release, tls_release, proxies, monkeypatch):
    monkeypatch.setenv("HTTPS_PROXY", proxies[0].url)
    release.routes[archive_path()] = (302, b"", [("Location", tls_release.url + archive_path())])
    with pytest.raises(halvo.HalvoError) as e:
        await halvo.ensure_halvo()
    assert str(e.value).startswith(published("v0.1.2", f"fetching {release.url + archive_path()}: "))
    port = tls_release.url.rsplit(":", 1)[1]
    assert release.paths() == [archive_path()]  # the http hop went direct
    assert proxies[0].seen == [f"CONNECT 127.0.0.1:{port} HTTP/1.1"]


# ---- HTTPS ----

ENSURE_SCRIPT = """
import asyncio, halvo
async def main():
    return await halvo.ensure_halvo()
print(asyncio.run(main()))
"""


def subprocess_env(home, url):
    return dict(os.environ, PYTHONPATH=PACKAGE_ROOT, HALVO_HOME=str(home), HALVO_DIST_URL=url,
                PYTHONFAULTHANDLER="1")


@pytest.mark.asyncio
async def test_https_verifies_against_the_system_trust_store(home, tmp_path, tls_release, test_ca, monkeypatch):
    monkeypatch.setenv("HALVO_DIST_URL", tls_release.url)
    tls_release.publish(make_tar(server_entry()))
    url = tls_release.url + archive_path()

    # Not trusted here: the system store lacks the test CA.
    with pytest.raises(halvo.HalvoError) as e:
        await halvo.ensure_halvo()
    assert str(e.value).startswith(published("v0.1.2", f"fetching {url}: SSL certificate problem: "))
    assert not (home / "bin").exists()

    # Trusted in a private mount namespace whose system bundle holds it.
    if not shutil.which("unshare") or not os.path.exists(SYSTEM_BUNDLE):
        pytest.skip("needs unshare and the system bundle " + SYSTEM_BUNDLE)
    probe = subprocess.run(["unshare", "-m", "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip("unshare -m is not allowed here: " + probe.stderr.strip())
    bundle = tmp_path / "bundle.pem"
    bundle.write_bytes(open(SYSTEM_BUNDLE, "rb").read() + (test_ca / "ca.pem").read_bytes())
    cmd = ["unshare", "-m", "sh", "-c", 'mount --bind "$1" "$2" && exec "$3" -c "$4"', "sh",
           str(bundle), SYSTEM_BUNDLE, sys.executable, ENSURE_SCRIPT]
    r = await asyncio.to_thread(subprocess.run, cmd, env=subprocess_env(home, tls_release.url),
                                capture_output=True, text=True, timeout=120)
    assert (r.returncode, r.stdout.strip()) == (0, str(home / "bin")), r.stderr
    assert os.access(home / "bin" / "halvo-uvm", os.X_OK)
    assert tls_release.paths() == [archive_path()]
    assert leftovers(home) == []


# ---- exit with a download in flight ----

EXIT_SCRIPT = """
import asyncio, sys, halvo
async def main():
    pending = halvo.ensure_halvo()
    await asyncio.get_running_loop().run_in_executor(None, sys.stdin.readline)
asyncio.run(main())
print("leaving", flush=True)
"""


@pytest.mark.parametrize("kind", ["tls handshake", "http body"])
def test_exit_without_awaiting_a_download_in_flight(home, kind):
    if kind == "tls handshake":
        srv = Silent()
    else:
        srv = Release()
        srv.routes[archive_path()] = srv.stall
    child = None
    try:
        child = subprocess.Popen([sys.executable, "-c", EXIT_SCRIPT], env=subprocess_env(home, srv.url),
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        assert srv.connected.wait(30)
        out, err = child.communicate("\n", timeout=60)
        assert (child.returncode, out.strip()) == (0, "leaving"), err
        assert "Fatal" not in err and "Segmentation" not in err, err
    finally:
        if child and child.poll() is None:
            child.kill()
            child.wait()
        srv.close()
