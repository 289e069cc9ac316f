#!/usr/bin/env python3
"""Runs http_client_test.exe under Wine against the loopback update host.

The host is started once; the test program switches scenarios itself through
the host's control file. The closed-port case runs last, after the host stops.
Usage: run_http_client_test.py <wine-run> <http_client_test.exe> [gtest args]
"""

import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_pki  # noqa: E402
from update_server import UpdateServer  # noqa: E402

CLOSED_PORT_TEST = "HttpClient.ClosedPortFailsWithoutCreatingFile"


def windows_path(path):
    """The prefix's Z: drive is the Linux root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main():
    wine_run, test_exe, extra = sys.argv[1], sys.argv[2], sys.argv[3:]
    base = os.environ.get("TOVRIN_TEST_WORK") or os.path.dirname(os.path.abspath(test_exe))
    work = tempfile.mkdtemp(prefix="http_client_test.", dir=base)
    env = dict(os.environ,
               TOVRIN_SERVER_CONTROL=windows_path(os.path.join(work, "scenario.json")),
               TOVRIN_SERVER_LOG=windows_path(os.path.join(work, "requests.jsonl")),
               TOVRIN_TRANSFER_WORK=windows_path(work))

    server = UpdateServer(test_pki.pki_dir(), int(os.environ.get("TOVRIN_UPDATE_PORT", "443")), work)
    server.start()
    try:
        served = subprocess.run([wine_run, test_exe, f"--gtest_filter=-{CLOSED_PORT_TEST}", *extra], env=env)
    finally:
        server.stop()
    closed = subprocess.run([wine_run, test_exe, f"--gtest_filter={CLOSED_PORT_TEST}", *extra], env=env)
    if served.returncode != 0 or closed.returncode != 0:
        print(f"scenario file, request log and downloads kept in {work}")
        return 1
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
