#!/usr/bin/env python3
"""A throw-away RFC 3161 time-stamp authority on loopback: answers each
time-stamp query posted to it with `openssl ts -reply`, signed by the test
PKI's time-stamp key. Prints its URL, then serves until it is stopped.

usage: timestamp_server.py PKI_DIR [PORT]   (PORT 0: any free one)
"""
import http.server
import os
import shutil
import signal
import subprocess
import sys
import tempfile

pki = os.path.abspath(sys.argv[1])
work = tempfile.mkdtemp(prefix="tovrin-tsa.")
config = os.path.join(work, "tsa.cnf")
with open(config, "w") as f:
    f.write(f"""[tsa]
default_tsa = authority
[authority]
serial = {work}/serial
signer_cert = {pki}/tsa.pem
certs = {pki}/tsa-chain.pem
signer_key = {pki}/tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
""")
with open(os.path.join(work, "serial"), "w") as f:
    f.write("01\n")


class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile", "/dev/stdin",
                                "-out", "/dev/stdout"], input=query, capture_output=True)
        self.send_response(200 if reply.returncode == 0 else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply.stdout)))
        self.end_headers()
        self.wfile.write(reply.stdout)

    def log_message(self, *args):
        pass


# Stopped by a signal, it still removes its folder.
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
server = http.server.HTTPServer(("127.0.0.1", int(sys.argv[2]) if len(sys.argv) > 2 else 0), Authority)
print(f"http://127.0.0.1:{server.server_port}/", flush=True)
try:
    server.serve_forever()
finally:
    shutil.rmtree(work)
