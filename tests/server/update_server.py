#!/usr/bin/env python3
"""A real HTTPS update host on loopback for tests, the benchmark and the demo.

It serves the two request paths of the launcher, each answered as the current
scenario says (a body, a status, stalls, a dropped connection, a slow trickle),
and records every request as one JSON line (path, method, user agent, headers)
and, in memory, how much of each body it sent before the transfer ended.

The scenario lives in a JSON control file that is read again for every
connection and request, so it can be changed by a Python test
(UpdateServer.set_scenario, write_scenario) and by a Windows test program alike
(write the file elsewhere and rename it over the control file).

Scenario:
    {"certificate": "trusted" | "untrusted" | "user-root",  # which server certificate TLS shows
     "meta": <answer>, "exe": <answer>,           # a missing answer is a 404
     "next": <scenario>}                          # replaces this one once a request is
                                                  # answered (a release staged meanwhile)
Answer (every key optional):
    status               HTTP status, 200
    body                 text body (UTF-8)           } at most one of these;
    body_file            path of a file to serve     } none of them is an
    body_size            n bytes of 'a'..'z' repeated} empty body
    content_length       false: no Content-Length, the body ends when the
                         connection is closed (with a TLS close)
    stall_before_headers seconds to wait before the status line (release_stalls
                         ends it too)
    stall_at, stall_seconds  pause after stall_at body bytes (release_stalls
                         ends every pause at once)
    drop_at, drop        after drop_at body bytes end the connection with
                         "reset" (TCP RST) or "close" (TCP FIN, no TLS close)
    rate                 bytes per second for a slow trickle (0 = full speed)
    chunk                bytes per write, 65536
    etag                 the ETag of a body_file (default: a strong one made
                         from its digest; null: none; "W/..." a weak one)
    last_modified        a Last-Modified text to send
    ranges               false: Range is ignored (default: a body_file honours
                         one "bytes=first-[last]" range, and If-Range with a
                         strong ETag or the Last-Modified text, as RFC 9110 says)
    if_range             false: If-Range is ignored (a host that sends the range
                         of whatever file it has now)

Module use:
    server = UpdateServer(pki_dir, port=443, work_dir=some_dir)
    server.start()
    server.set_scenario(release_scenario(exe_path, "1.6.5.0"))
    ... server.requests() ...
    server.stop()

Command line: update_server.py --pki DIR [--port N] [--exe FILE --version V]
                                [--control FILE] [--log FILE]
"""

import argparse
import hashlib
import http.server
import json
import os
import shutil
import signal
import socket
import socketserver
import ssl
import struct
import sys
import tempfile
import threading
import time
import weakref

META_PATH = "/tovrin-tools-api/v1/bootstrap_meta"
EXE_PATH = "/tovrin-tools-api/v1/bootstrap_exe"
LAUNCHER_PATH = "/tovrin-tools-api/v1/bootstrap_launcher"
ANSWER_KEYS = {META_PATH: "meta", EXE_PATH: "exe", LAUNCHER_PATH: "launcher"}

_ALPHABET = b"abcdefghijklmnopqrstuvwxyz"
_PATTERN_BLOCK = _ALPHABET * 2600  # 67,600 bytes: every 64 KiB slice fits in it


def pattern_bytes(offset, count):
    """Bytes offset..offset+count of the 'a'..'z' body used by body_size."""
    out = bytearray()
    while count > 0:
        start = offset % 26
        take = min(count, len(_PATTERN_BLOCK) - start)
        out += _PATTERN_BLOCK[start:start + take]
        offset += take
        count -= take
    return bytes(out)


def sha256_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


_etags = {}


def default_etag(path):
    """A strong ETag for a served file, from its digest (kept while the file is unchanged)."""
    state = os.stat(path)
    key = (os.path.abspath(path), state.st_mtime_ns, state.st_size)
    if key not in _etags:
        _etags[key] = f'"{sha256_file(path)[:16]}-{state.st_size}"'
    return _etags[key]


def release_meta(exe_path, version, sha256=None, size=None, launcher=None):
    """The metadata document for a published core build, as bytes; launcher (path, version, sha256 or None)
    adds the launcher's members before the core's."""
    document = {} if launcher is None else {"launcher_version": launcher[1], "launcher_size": os.path.getsize(
        launcher[0]), "launcher_sha256": launcher[2] or sha256_file(launcher[0])}
    document.update({
        "version": version,
        "sha256": sha256 if sha256 is not None else sha256_file(exe_path),
        "size": size if size is not None else os.path.getsize(exe_path),
    })
    return json.dumps(document, indent=2).encode()


def release_scenario(exe_path, version, sha256=None, size=None, exe=None, launcher=None):
    """A scenario that publishes exe_path as version, and launcher (as release_meta takes it) too; exe
    adds answer keys (stalls, drops, ...) to the executable's answer."""
    answer = {"body_file": os.path.abspath(exe_path)}
    answer.update(exe or {})
    return {
        "meta": {"body": release_meta(exe_path, version, sha256, size, launcher).decode()},
        "exe": answer,
        **({"launcher": {"body_file": os.path.abspath(launcher[0])}} if launcher else {}),
    }


def write_scenario(control_path, scenario):
    """Replaces the control file atomically, so a request never reads half of it."""
    directory = os.path.dirname(os.path.abspath(control_path))
    fd, temporary = tempfile.mkstemp(dir=directory, prefix=".scenario.")
    with os.fdopen(fd, "w") as f:
        json.dump(scenario, f)
    os.replace(temporary, control_path)


class _DropConnection(Exception):
    pass


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TovrinUpdateHost/1.0"
    sys_version = ""

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    def parse_request(self):
        # Wine sends "GET https://host:port/path" through a proxy's tunnel: the path counts.
        ok = super().parse_request()
        self.target = self.path
        if ok and "://" in self.path:
            self.path = "/" + self.path.split("://", 1)[1].partition("/")[2]
        return ok

    def do_GET(self):
        owner = self.server.owner
        owner.record(self)
        scenario = owner.scenario()
        answer = scenario.get(ANSWER_KEYS.get(self.path.split("?")[0], ""), None)
        if "next" in scenario:
            write_scenario(owner.control_path, scenario["next"])
        if answer is None:
            answer = {"status": 404, "body": "not found"}
        self._answer(answer, owner)

    def do_HEAD(self):
        self.server.owner.record(self)
        self.send_error(405)

    def _range(self, answer, length, validators):
        """The (first, last) of a Range the answer honours, "unsatisfiable", or None."""
        wanted = self.headers.get("Range")
        if not wanted or answer.get("ranges", True) is False or int(answer.get("status", 200)) != 200:
            return None
        condition = self.headers.get("If-Range")
        if condition is not None and answer.get("if_range", True) is not False:
            etag = validators.get("ETag")
            if condition.startswith('"') or condition.startswith("W/"):
                # Only a strong comparison counts (RFC 9110, 13.1.5).
                if condition.startswith("W/") or etag is None or etag.startswith("W/") or condition != etag:
                    return None
            elif condition != validators.get("Last-Modified"):
                return None
        unit, _, wanted_range = wanted.partition("=")
        first, dash, last = wanted_range.strip().partition("-")
        if unit.strip() != "bytes" or not dash or "," in wanted_range or not first.isdigit() or (last and not last.isdigit()):
            return None
        first = int(first)
        last = min(int(last), length - 1) if last else length - 1
        if first >= length:
            return "unsatisfiable"
        return (first, last) if first <= last else None

    def _answer(self, answer, owner):
        if answer.get("stall_before_headers"):
            owner.stall(answer["stall_before_headers"])
        text = None
        source = None
        validators = {}
        status = int(answer.get("status", 200))
        content_range = None
        if "body_file" in answer:
            length = os.path.getsize(answer["body_file"])
            source = open(answer["body_file"], "rb")
            etag = answer.get("etag", default_etag(answer["body_file"]))
            if etag is not None:
                validators["ETag"] = etag
            if answer.get("last_modified"):
                validators["Last-Modified"] = answer["last_modified"]
            chosen = self._range(answer, length, validators)
            if chosen == "unsatisfiable":
                status, content_range, length = 416, f"bytes */{length}", 0
            elif chosen is not None:
                status, content_range = 206, f"bytes {chosen[0]}-{chosen[1]}/{length}"
                source.seek(chosen[0])
                length = chosen[1] - chosen[0] + 1
        elif "body_size" in answer:
            length = int(answer["body_size"])
        else:
            text = answer.get("body", "").encode()
            length = len(text)
        self.body_sent = 0
        try:
            self.send_response(status)
            self.send_header("Content-Type", "application/octet-stream")
            if source is not None and answer.get("ranges", True) is not False:
                self.send_header("Accept-Ranges", "bytes")
            for name, value in validators.items():
                self.send_header(name, value)
            if content_range:
                self.send_header("Content-Range", content_range)
            with_length = answer.get("content_length", True)
            if with_length:
                self.send_header("Content-Length", str(length))
            else:
                self.send_header("Connection", "close")
                self.close_connection = True
            self.end_headers()
            self.wfile.flush()
            self._send_body(answer, owner, length, source, text)
            if not with_length:
                self._tls_close()
        finally:
            owner.record_transfer(self.path, self.body_sent, length, status)
            if source is not None:
                source.close()

    def _send_body(self, answer, owner, length, source, text):
        chunk = int(answer.get("chunk", 65536))
        rate = float(answer.get("rate", 0))
        stall_at = answer.get("stall_at")
        drop_at = answer.get("drop_at")
        started = time.monotonic()
        sent = 0
        while sent < length:
            if stall_at is not None and sent >= stall_at:
                owner.stall(float(answer.get("stall_seconds", 60)))
                stall_at = None
            if drop_at is not None and sent >= drop_at:
                self._drop(answer.get("drop", "reset"))
            count = min(chunk, length - sent)
            for limit in (stall_at, drop_at):
                if limit is not None and limit > sent:
                    count = min(count, limit - sent)
            if source is not None:
                data = source.read(count)
            elif text is not None:
                data = text[sent:sent + count]
            else:
                data = pattern_bytes(sent, count)
            self.wfile.write(data)
            sent += len(data)
            self.body_sent = sent
            if rate > 0:
                ahead = sent / rate - (time.monotonic() - started)
                if ahead > 0:
                    owner.wait(ahead)
        if drop_at is not None and sent >= drop_at:
            self._drop(answer.get("drop", "reset"))

    def _drop(self, how):
        # Detached from TLS, so no close_notify is sent either way.
        raw = socket.socket(fileno=self.connection.detach())
        if how == "reset":
            # An RST makes the peer discard data it has not read yet: give it time
            # to read what was sent, so the cut is where the scenario says.
            self.server.owner.wait(0.5)
            # Linger 0 turns the close into an RST.
            raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        else:
            # A plain FIN, like a crashed server or a proxy that gave up.
            raw.shutdown(socket.SHUT_RDWR)
        raw.close()
        raise _DropConnection()

    def _tls_close(self):
        # Sends close_notify, then closes at once: waiting for the client's own
        # close_notify (which WinHTTP never sends) would hold the body open.
        try:
            self.connection.settimeout(0)
            self.connection.unwrap()
        except (OSError, ValueError):
            pass
        raw = socket.socket(fileno=self.connection.detach())
        raw.shutdown(socket.SHUT_RDWR)
        raw.close()
        raise _DropConnection()

    def handle(self):
        try:
            super().handle()
        except (_DropConnection, ConnectionError, ssl.SSLError, OSError, ValueError):
            self.close_connection = True

    def finish(self):
        try:
            super().finish()
        except (OSError, ValueError):
            pass


class _Listener(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, family, owner):
        self.address_family = family
        self.owner = owner
        super().__init__(address, _Handler)

    def finish_request(self, request, client_address):
        # TLS is set up here, in the connection's own thread, with the certificate
        # the scenario asks for at the moment the connection arrives.
        try:
            request.settimeout(120)
            tls = self.owner.tls_context().wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        try:
            self.RequestHandlerClass(tls, client_address, self)
        finally:
            try:
                tls.close()
            except OSError:
                pass

    def shutdown_request(self, request):
        try:
            request.close()
        except OSError:
            pass

    def handle_error(self, request, client_address):
        pass


def pki_files(pki_dir):
    """Certificate and key files of the test PKI (made by test_pki.py)."""
    return {
        "ca": os.path.join(pki_dir, "ca.pem"),
        "trusted": (os.path.join(pki_dir, "server.pem"), os.path.join(pki_dir, "server.key")),
        "untrusted": (os.path.join(pki_dir, "untrusted-server.pem"), os.path.join(pki_dir, "untrusted-server.key")),
        "user-root": (os.path.join(pki_dir, "user-server.pem"), os.path.join(pki_dir, "user-server.key")),
    }


class UpdateServer:
    """The update host on 127.0.0.1 (and ::1 when it exists) at port."""

    def __init__(self, pki_dir, port=443, work_dir=None, control_path=None, log_path=None):
        self.port = int(port)
        if work_dir is None:
            work_dir = tempfile.mkdtemp(prefix="tovrin-server.")
            # A folder of its own goes with the server, at the latest when Python exits.
            weakref.finalize(self, shutil.rmtree, work_dir, True)
        os.makedirs(work_dir, exist_ok=True)
        self.control_path = control_path or os.path.join(work_dir, "scenario.json")
        self.log_path = log_path or os.path.join(work_dir, "requests.jsonl")
        self._contexts = {}
        for name, (cert, key) in ((k, v) for k, v in pki_files(pki_dir).items() if k != "ca"):
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(cert, key)
            self._contexts[name] = context
        self._listeners = []
        self._threads = []
        self._stopping = threading.Event()
        self._released = threading.Event()
        self._log_lock = threading.Lock()
        self._transfers = []
        if not os.path.exists(self.control_path):
            write_scenario(self.control_path, {})

    # --- scenario and log -------------------------------------------------
    def set_scenario(self, scenario):
        self._released.clear()
        write_scenario(self.control_path, scenario)

    def scenario(self):
        try:
            with open(self.control_path) as f:
                return json.load(f)
        except (OSError, ValueError):
            return {}

    def tls_context(self):
        return self._contexts.get(self.scenario().get("certificate", "trusted"), self._contexts["trusted"])

    def record(self, handler):
        entry = {
            "time": time.time(),
            "monotonic": time.monotonic(),
            "method": handler.command,
            "target": handler.target,
            "path": handler.path,
            "user_agent": handler.headers.get("User-Agent"),
            "headers": dict(handler.headers.items()),
        }
        with self._log_lock, open(self.log_path, "a") as f:
            f.write(json.dumps(entry) + "\n")

    def record_transfer(self, path, sent, length, status):
        with self._log_lock:
            self._transfers.append({"path": path, "sent": sent, "length": length, "status": status,
                                    "ended": time.monotonic()})

    def transfers(self):
        """Each answer's body as sent: path, bytes written to the connection, the
        body's length, the status and when sending ended (time.monotonic), oldest first."""
        with self._log_lock:
            return list(self._transfers)

    def requests(self):
        """Every request recorded so far, oldest first."""
        try:
            with open(self.log_path) as f:
                return [json.loads(line) for line in f if line.strip()]
        except OSError:
            return []

    def clear_requests(self):
        with self._log_lock:
            open(self.log_path, "w").close()
            self._transfers = []

    def wait(self, seconds):
        """Sleeps, but ends at once when the server stops."""
        self._stopping.wait(float(seconds))

    def stall(self, seconds):
        """A pause inside a body: ends after seconds, when the server stops, or
        when release_stalls is called."""
        deadline = time.monotonic() + float(seconds)
        while not self._stopping.is_set() and not self._released.is_set():
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                break
            self._released.wait(min(remaining, 0.05))

    def release_stalls(self):
        """Ends every pause of the current scenario, now and later."""
        self._released.set()

    # --- life cycle -------------------------------------------------------
    def start(self, bind_wait_seconds=120):
        """Binds the port (waiting while another test run holds it) and serves."""
        deadline = time.monotonic() + bind_wait_seconds
        while True:
            try:
                self._listeners.append(_Listener(("127.0.0.1", self.port), socket.AF_INET, self))
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.5)
        if socket.has_ipv6:
            try:
                self._listeners.append(_Listener(("::1", self.port), socket.AF_INET6, self))
            except OSError:
                pass
        for listener in self._listeners:
            thread = threading.Thread(target=listener.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True)
            thread.start()
            self._threads.append(thread)
        return self

    def stop(self):
        self._stopping.set()
        for listener in self._listeners:
            listener.shutdown()
            listener.server_close()
        for thread in self._threads:
            thread.join()
        self._listeners = []
        self._threads = []
        self._stopping = threading.Event()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def _loopback_sockets(port):
    """A socket bound to 127.0.0.1:port and, where the host has IPv6, one bound
    to [::1]:port, each with its address."""
    bound = []
    for family, address in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
        sock = socket.socket(family, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            sock.bind((address, port))
        except OSError:
            sock.close()
            if family == socket.AF_INET:
                raise
            continue
        bound.append((sock, address))
    return bound


def _reset(connection):
    # Linger 0 turns the close into an RST.
    connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    connection.close()


class HeldConnections:
    """A listener on the update port (127.0.0.1 and ::1) that accepts every
    connection and holds it, silent, until release(); then resets each (TCP RST)
    and every later one at once, so a launcher waits inside its request for as
    long as the test wants and then takes its "host unreachable" path.

        with HeldConnections(port) as held:
            ... the launcher shows its checking text for as long as needed ...
            held.release()
    """

    def __init__(self, port=443):
        self.port = int(port)
        self._listeners = []
        self._threads = []
        self._held = []
        self._lock = threading.Lock()
        self._released = False

    def start(self):
        for listener, _ in _loopback_sockets(self.port):
            listener.listen(8)
            listener.settimeout(0.1)
            self._listeners.append(listener)
            thread = threading.Thread(target=self._accept, args=(listener,), daemon=True)
            thread.start()
            self._threads.append(thread)
        return self

    def _accept(self, listener):
        while self._listeners:
            try:
                connection, _ = listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self._lock:
                if self._released:
                    _reset(connection)
                else:
                    self._held.append(connection)

    def release(self):
        """Resets every held connection, and from now on each new one."""
        with self._lock:
            self._released = True
            for connection in self._held:
                _reset(connection)
            self._held = []

    def stop(self):
        self.release()
        listeners, self._listeners = self._listeners, []
        for thread in self._threads:
            thread.join()
        for listener in listeners:
            listener.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class SilentHost:
    """The update port (127.0.0.1 and ::1) of a host that never answers: a
    listener whose accept queue is full, so the kernel drops every further
    connection attempt (SYN) unanswered, as a network that drops them does."""

    def __init__(self, port=443):
        self.port = int(port)
        self._sockets = []

    def __enter__(self):
        for listener, address in _loopback_sockets(self.port):
            listener.listen(0)
            self._sockets.append(listener)
            for _ in range(2):  # never accepted: they fill the queue
                filler = socket.socket(listener.family, socket.SOCK_STREAM)
                filler.setblocking(False)
                filler.connect_ex((address, self.port))
                self._sockets.append(filler)
        return self

    def __exit__(self, *exc):
        for held in self._sockets:
            held.close()


def main(argv=None):
    parser = argparse.ArgumentParser(description="HTTPS update host on loopback for tests and demos.")
    parser.add_argument("--pki", required=True, help="folder made by test_pki.py")
    parser.add_argument("--port", type=int, default=int(os.environ.get("TOVRIN_UPDATE_PORT", 443)))
    parser.add_argument("--exe", help="core executable to publish")
    parser.add_argument("--version", help="version text published with --exe")
    parser.add_argument("--control", help="scenario control file (kept when it exists)")
    parser.add_argument("--log", help="request log (JSON lines)")
    parser.add_argument("--work", help="folder for the control file and the log")
    args = parser.parse_args(argv)

    server = UpdateServer(args.pki, args.port, args.work, args.control, args.log)
    if args.exe:
        server.set_scenario(release_scenario(args.exe, args.version or "0.0.0.0"))
    server.start()
    print(f"serving https://localhost:{args.port}{META_PATH} and {EXE_PATH}", flush=True)
    print(f"control file {server.control_path}, request log {server.log_path}", flush=True)
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    done.wait()
    server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
