"""tools/release and tools/rehearse: what tools/release refuses before it
builds, and one whole rehearsal (kept for the checks here): its signed release
and its unsigned rebuild from a second checkout give the same bytes, the
signature covers exactly those, Windows accepts it (Wine's WinVerifyTrust
through the verify_trust helper of the windows preset), and no secret reaches
any program but the one that needs it. Time stamps and hardware keys are then
tried on the rehearsal's own build, with cmake stood in for by a copy of it.
"""
import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

SOURCE = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE / "tests" / "server"))
import test_pki  # noqa: E402

HELPERS = pathlib.Path(os.environ.get("TOVRIN_HELPERS_DIR", SOURCE / "build" / "windows" / "helpers"))
PORT = os.environ.get("TOVRIN_UPDATE_PORT", "8443")
PIN = "0123456789abcdef" * 4


def release(repo, *args, env=None):
    base = {name: value for name, value in os.environ.items() if name != "TOVRIN_PFX_PASSWORD"}
    return subprocess.run([str(repo / "tools" / "release"), *map(str, args)], capture_output=True, text=True,
                          env={**base, **(env or {})}, timeout=900)


def record(out):
    return dict(line.split(": ", 1) for line in (out / "release.txt").read_text().splitlines() if ": " in line)


class RefusedRequests(unittest.TestCase):
    def test_refused_before_anything_is_built(self):
        work = pathlib.Path(tempfile.mkdtemp(prefix="tovrin-release-refused."))
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        full = work / "full"
        full.mkdir()
        (full / "old.txt").write_text("another build")
        pfx = work / "key.p12"
        pfx.write_bytes(b"")
        out = work / "out"
        cases = [
            ("no host", ["--out", out], {}, "--host"),
            ("localhost", ["--host", "localhost", "--out", out], {}, "is this machine"),
            ("loopback address", ["--host", "127.0.0.1", "--out", out], {}, "is this machine"),
            ("IPv6 loopback", ["--host", "::1", "--out", out], {}, "is this machine"),
            ("name under localhost", ["--host", "Updates.LOCALHOST.", "--out", out], {}, "is this machine"),
            *((f"loopback spelled {host}", ["--host", host, "--unpinned", "--out", out], {}, "is this machine")
              for host in ("127.1", "2130706433", "0x7f000001", "0.0.0.0", "::ffff:127.0.0.1", "::")),
            ("no signer", ["--host", "updates.example.test", "--out", out], {}, "an unpinned launcher starts,\nelevated"),
            ("pin too short", ["--host", "updates.example.test", "--signer", PIN[:-1], "--out", out], {}, "64 hex"),
            ("pin not hex", ["--host", "updates.example.test", "--signer", PIN[:-1] + "g", "--out", out], {},
             "64 hex"),
            ("port out of range", ["--host", "updates.example.test", "--port", "65536", "--out", out], {}, "--port"),
            ("no password", ["--host", "updates.example.test", "--pfx", pfx, "--out", out], {}, "TOVRIN_PFX_PASSWORD"),
            ("two keys", ["--host", "updates.example.test", "--pfx", pfx, "--pkcs11-key", "pkcs11:id=1", "--out", out],
             {"TOVRIN_PFX_PASSWORD": "x"}, "not both"),
            ("output folder in use", ["--host", "updates.example.test", "--out", full], {}, "not an empty folder"),
            ("output folder in the checkout", ["--host", "updates.example.test", "--out", SOURCE / "release-1.0"], {},
             "is inside this checkout"),
            ("no time stamp", ["--host", "updates.example.test", "--pfx", pfx, "--out", out],
             {"TOVRIN_PFX_PASSWORD": "x"}, "give a time-stamp server with --timestamp-url URL"),
            ("time-stamp roots unsigned", ["--host", "updates.example.test", "--tsa-ca-file", pfx, "--out", out], {},
             "--tsa-ca-file applies only when signing"),
        ]
        for name, args, env, message in cases:
            with self.subTest(name):
                if name != "no signer":
                    args = [*args, "--signer", PIN] if "--unpinned" not in args else args
                result = release(SOURCE, *args, env=env)
                self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
                self.assertIn(message, result.stderr)
                self.assertFalse(out.exists())
                self.assertEqual(os.listdir(full), ["old.txt"])


class Rehearsal(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.trace = pathlib.Path(tempfile.mkstemp(prefix="tovrin-rehearse-execve.")[1])
        strace = ["strace", "-f", "--seccomp-bpf", "-qq", "-e", "trace=execve", "-e", "signal=none", "-v", "-o"]
        rehearse = [str(SOURCE / "tools" / "rehearse"), "--port", PORT, "--keep"]
        cls.rehearsed = subprocess.run([*strace, str(cls.trace), *rehearse], capture_output=True, text=True,
                                       timeout=1500, env={**os.environ, "DISPLAY": ""})
        kept = re.search(r"tools/rehearse: kept (\S+)", cls.rehearsed.stdout)
        cls.work = pathlib.Path(kept.group(1)) if kept else None

    @classmethod
    def tearDownClass(cls):
        cls.trace.unlink()
        if cls.work:
            shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        self.assertEqual(self.rehearsed.returncode, 0, self.rehearsed.stdout + self.rehearsed.stderr)
        self.out_a, self.out_b = self.work / "release-1.0", self.work / "rebuild" / "release-1.0-rebuilt"

    def test_the_rehearsal_shows_every_step_and_the_launcher_at_work(self):
        steps = re.findall(r"^== (?:Making a release, )?[Ss]tep (\d)", self.rehearsed.stdout, re.M)
        self.assertEqual(steps, [str(n) for n in range(1, 9)])
        for line in ("$ export TOVRIN_PFX_PASSWORD=...", "signature of the download: signed by a pinned publisher",
                     "core started", "Rehearsal passed in"):
            self.assertIn(line, self.rehearsed.stdout)

    def test_records_and_the_rebuild(self):
        a, b = record(self.out_a), record(self.out_b)
        pin = test_pki.pin(str(self.work / "keys" / "pki" / "publisher.pem"))
        for fields in (a, b):
            self.assertEqual((fields["update host"], fields["port"], fields["core signer pins"],
                              fields["core version floor"], fields["launcher version"]),
                             ("localhost", PORT, pin, "1.7.0.0", "1.0.0.0"))
            self.assertTrue(fields["work tree"].startswith("clean"))
            for package in ("gcc-mingw-w64-x86-64-posix", "binutils-mingw-w64-x86-64", "mingw-w64-x86-64-dev", "cmake",
                            "osslsigncode"):
                self.assertRegex(fields["tool chain"], rf"(^|, ){re.escape(package)} [0-9]")
        self.assertEqual(a["commit"], b["commit"])
        self.assertEqual(a["authenticode sha256"], b["authenticode sha256"])
        self.assertTrue(a["signed"].startswith("yes, by /CN=Tovrin Tools Test Publisher"), a["signed"])
        self.assertRegex(a["time stamp"], r"^by /CN=Tovrin Tools Test Time Stamps \(from http://127\.0\.0\.1:\d+/\), "
                                          r"verified against this machine's roots and /.*/keys/tsa-root\.pem$")
        self.assertTrue(b["signed"].startswith("no:"))
        for out in (self.out_a, self.out_b):
            checked = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=out, capture_output=True, text=True)
            self.assertEqual(checked.stdout, "TovrinTools.exe: OK\n", checked.stderr)
        built = (self.work / "tovrin" / "build" / "release" / "TovrinTools.exe").read_bytes()
        self.assertEqual(built, (self.out_b / "TovrinTools.exe").read_bytes())
        for folder in ("tovrin", "tovrin-again"):
            self.assertNotIn(folder.encode(), built)

    def test_signature_covers_exactly_the_reproducible_bytes_and_windows_accepts_it(self):
        signed = (self.out_a / "TovrinTools.exe").read_bytes()
        unsigned = (self.out_b / "TovrinTools.exe").read_bytes()
        # The signed file is the unsigned one with only the header checksum and
        # the certificate table entry changed, and the table (after padding to 8
        # bytes) appended.
        pe = struct.unpack_from("<I", unsigned, 0x3C)[0]
        checksum, entry = pe + 24 + 64, pe + 24 + 112 + 4 * 8
        table, size = struct.unpack_from("<II", signed, entry)
        self.assertEqual(table, (len(unsigned) + 7) // 8 * 8)
        self.assertEqual(table + size, len(signed))
        self.assertEqual(signed[table:table + len(unsigned) - table], bytes(len(unsigned) - table))
        mask = lambda data: data[:checksum] + data[checksum + 4:entry] + data[entry + 8:len(unsigned)]  # noqa: E731
        self.assertEqual(mask(signed), mask(unsigned))
        for exe, expected in ((self.out_a, "result 0x00000000"), (self.out_b, "result 0x800b0100")):
            result = subprocess.run([str(SOURCE / "tools" / "wine-run"), str(HELPERS / "verify_trust.exe"),
                                     "Z:" + str(exe / "TovrinTools.exe").replace("/", "\\")],
                                    capture_output=True, text=True, timeout=300)
            self.assertEqual(result.stdout.strip(), expected, result.stderr)

    def test_no_secret_reaches_a_child(self):
        started = [line for line in self.trace.read_text().splitlines() if "execve(" in line]
        self.assertTrue(any('"cmake"' in line for line in started) and any("osslsigncode" in line for line in started))
        # Only tools/release (its interpreter too) and tovrin-publish pin had the password.
        needing = {line.split()[0] for line in started if re.search(r'execve\("[^"]*/(release|tovrin-publish)"', line)}
        holders = {line.split()[0] for line in started if "TOVRIN_PFX_PASSWORD=" in line}
        self.assertTrue(holders and holders <= needing, (holders, needing))
        self.assertFalse([line for line in started if "TOVRIN_PKCS11_PIN=" in line or '"-pass"' in line])

    def test_time_stamps_and_hardware_keys(self):
        # cmake stood in for: the configuration names the pins, the build copies the rehearsal's launcher.
        built = self.work / "built.exe"
        shutil.copyfile(self.work / "tovrin" / "build" / "release" / "TovrinTools.exe", built)
        fake = self.work / "fake-cmake"
        fake.mkdir()
        (fake / "cmake").write_text(f"""#!/bin/sh
case $1 in --build) cp {built} "$2/TovrinTools.exe" ;;
  *) echo TOVRIN_CORE_SIGNERS:STRING=x >"$4/CMakeCache.txt" ;; esac
""")
        (fake / "cmake").chmod(0o755)
        keys, repo = self.work / "keys", self.work / "tovrin"
        server = subprocess.Popen([sys.executable, str(SOURCE / "tests" / "server" / "timestamp_server.py"),
                                   str(keys / "pki")], stdout=subprocess.PIPE, text=True)
        self.addCleanup(server.wait)
        self.addCleanup(server.terminate)
        self.addCleanup(server.stdout.close)
        tsa = server.stdout.readline().strip()
        env = {"PATH": f"{fake}:{os.environ['PATH']}", "TOVRIN_PFX_PASSWORD": test_pki.P12_PASSWORD}
        pfx = ["--pfx", keys / "pki" / "publisher.p12", "--ca-file", keys / "codesign-root.pem"]
        token = softhsm_token(self.work / "hsm", keys / "codesign.key")
        hardware = ["--pkcs11-module", "/usr/lib/softhsm/libsofthsm2.so", "--pkcs11-key",
                    "pkcs11:token=release;object=codesign;type=private", "--pkcs11-cert", keys / "codesign-chain.pem",
                    "--ca-file", keys / "codesign-root.pem", "--timestamp-url", tsa,
                    "--tsa-ca-file", keys / "tsa-root.pem"]
        untrusted = "the time stamp from %s (by /CN=Tovrin Tools Test Time Stamps) does not verify against this " \
                    "machine's roots: Certificate not found in local repository: self-signed certificate" % tsa
        for name, args, extra, outcome in [
                ("stamp from an authority not trusted here", [*pfx, "--timestamp-url", tsa], {}, untrusted),
                ("allowed anyway", [*pfx, "--timestamp-url", tsa, "--allow-no-timestamp"], {},
                 "NOT verified (--allow-no-timestamp): " + untrusted),
                ("no stamp, allowed", [*pfx, "--allow-no-timestamp"], {}, "none: on Windows the signature stops"),
                ("hardware key, wrong PIN", hardware, {**token, "TOVRIN_PKCS11_PIN": "4321"}, "signing failed"),
                ("hardware key", hardware, {**token, "TOVRIN_PKCS11_PIN": "1234"}, "by /CN=Tovrin Tools Test Time")]:
            with self.subTest(name):
                out = self.work / name.replace(" ", "-")
                result = release(repo, "--host", "updates.example.test", "--unpinned", *args, "--out", out,
                                 env={**env, **extra})
                if outcome.startswith(("NOT", "none", "by")):
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertTrue(record(out)["time stamp"].startswith(outcome), record(out)["time stamp"])
                    self.assertTrue(record(out)["signed"].startswith("yes, by /CN=Tovrin Tools Test Publisher"))
                else:
                    self.assertEqual(result.returncode, 2)
                    self.assertIn(outcome, result.stderr)
                    self.assertFalse(out.exists())
        self.assertEqual([p.name for p in self.work.iterdir() if p.name.startswith(".tovrin-release")], [])


def softhsm_token(folder, key):
    """A throw-away SoftHSM token holding key, PIN 1234; returns the environment that finds it."""
    (folder / "tokens").mkdir(parents=True)
    (folder / "softhsm2.conf").write_text(f"directories.tokendir = {folder / 'tokens'}\nlog.level = ERROR\n")
    env = {"SOFTHSM2_CONF": str(folder / "softhsm2.conf")}
    for command in (["--init-token", "--free", "--label", "release", "--pin", "1234", "--so-pin", "12345678"],
                    ["--import", key, "--token", "release", "--label", "codesign", "--id", "01", "--pin", "1234"]):
        subprocess.run(["softhsm2-util", *map(str, command)], check=True, capture_output=True,
                       env={**os.environ, **env})
    return env


if __name__ == "__main__":
    unittest.main(verbosity=2)
