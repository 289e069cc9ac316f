"""A real nginx serving server/nginx.conf on loopback, and the release tool
that fills its web root, for the release tests.

The configuration is the one shipped for the update host, with only the
machine-specific lines (port, certificate, web root, pid and log files)
pointed into a temporary folder. nginx runs in the foreground as a child of
the test and is stopped by it.
"""
import os
import pathlib
import re
import shutil
import socket
import subprocess
import time

SERVER_DIR = pathlib.Path(os.environ.get("TOVRIN_SERVER_DIR", pathlib.Path(__file__).resolve().parents[2] / "server"))
NGINX = shutil.which("nginx") or "/usr/sbin/nginx"
PUBLISH = pathlib.Path(os.environ.get("TOVRIN_PUBLISH_EXE", "build/host/src/publish/tovrin-publish"))


def run_publish(*args, env=None):
    """Runs tovrin-publish with the given arguments (and variables added to its environment) and returns its
    result, output captured."""
    return subprocess.run([str(PUBLISH), *map(str, args)], capture_output=True, text=True, timeout=60,
                          env={**os.environ, **(env or {})})


def test_config(work, port, cert, key, root, rate=None):
    """server/nginx.conf with its machine-specific lines replaced; each must be found exactly once.
    rate (e.g. "400k") slows every answer, so a test can watch a download go by."""
    text = (SERVER_DIR / "nginx.conf").read_text()
    work = pathlib.Path(work)
    temp_paths = "".join(f"    {kind}_temp_path {work / 'temp' / kind};\n"
                         for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    replacements = [
        (r"^pid .*;$", f"pid {work / 'nginx.pid'};"),
        (r"^error_log .*;$", f"error_log {work / 'error.log'} info;"),
        (r"^http \{$", "http {\n" + temp_paths + (f"    limit_rate {rate};\n" if rate else "")),
        (r"^        access_log .*;$", f"        access_log {work / 'access.log'};"),
        (r"^        listen 443 ssl default_server;$", f"        listen 127.0.0.1:{port} ssl default_server;"),
        (r"^        listen \[::\]:443 ssl default_server;\n", ""),
        (r"^        ssl_certificate .*;$", f"        ssl_certificate {cert};"),
        (r"^        ssl_certificate_key .*;$", f"        ssl_certificate_key {key};"),
        (r"^        root .*;$", f"        root {root};"),
    ]
    if os.geteuid() != 0:
        # Only root can run the workers as another user; nginx warns about the line otherwise.
        replacements.append((r"^user .*;\n", ""))
    for pattern, replacement in replacements:
        text, count = re.subn(pattern, replacement.replace("\\", "\\\\"), text, flags=re.M)
        if count != 1:
            raise AssertionError(f"server/nginx.conf: expected one line matching {pattern!r}, found {count}")
    return text


class NginxHost:
    """Context manager: nginx on 127.0.0.1:port serving root with the given certificate."""

    def __init__(self, work, port, cert, key, root, rate=None):
        self.work = pathlib.Path(work)
        self.port = port
        self.config = self.work / "nginx.conf"
        self.config.write_text(test_config(self.work, port, cert, key, root, rate))
        (self.work / "temp").mkdir(exist_ok=True)
        # The workers run as www-data when nginx starts as root (as in production),
        # else as this user: either must reach the web root.
        os.chmod(self.work, 0o755)
        self.process = None

    def __enter__(self):
        # Another server on the port would answer in nginx's place.
        with socket.socket() as probe:
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                probe.bind(("127.0.0.1", self.port))
            except OSError as error:
                raise RuntimeError(f"port {self.port} is taken by another program: {error}") from None
        self.process = subprocess.Popen(
            [NGINX, "-c", str(self.config), "-p", str(self.work), "-e", str(self.work / "error.log"),
             "-g", "daemon off;"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("nginx exited: " + self.process.stderr.read().decode() + self.error_log())
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.5).close()
                return self
            except OSError:
                time.sleep(0.05)
        self.__exit__(None, None, None)
        raise RuntimeError("nginx did not listen on port %d: %s" % (self.port, self.error_log()))

    def __exit__(self, *exc):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process:
            self.process.stderr.close()
        return False

    def error_log(self):
        path = self.work / "error.log"
        return path.read_text() if path.exists() else ""
