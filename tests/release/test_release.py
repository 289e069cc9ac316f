"""tools/release: what it refuses, and a signed and an unsigned release of one
commit built in two folders of two copies of the source.

The copies are commits of the files of this work tree, made with fixed dates
so that both have the same commit id. The signed release uses the test PKI's
throw-away publisher key; Wine's WinVerifyTrust runs through the verify_trust
helper of the windows preset.
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
PIN = "0123456789abcdef" * 4


def release(repo, *args, env=None, trace=None):
    """tools/release; with trace, under strace, logging every program started with its environment."""
    base = {name: value for name, value in os.environ.items() if name != "TOVRIN_PFX_PASSWORD"}
    strace = ["strace", "-f", "--seccomp-bpf", "-qq", "-e", "trace=execve", "-e", "signal=none", "-v", "-o", trace]
    return subprocess.run([*(strace if trace else []), str(repo / "tools" / "release"), *map(str, args)],
                          capture_output=True, text=True, env={**base, **(env or {})}, timeout=900)


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


def snapshot(destination):
    """A git repository at destination holding the files of this work tree in one commit."""
    files = subprocess.run(["git", "-C", str(SOURCE), "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                           check=True, capture_output=True).stdout.decode().split("\0")
    for name in filter(None, files):
        if (SOURCE / name).is_file():
            (destination / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(SOURCE / name, destination / name)
    dates = {"GIT_AUTHOR_DATE": "2026-01-01T00:00:00Z", "GIT_COMMITTER_DATE": "2026-01-01T00:00:00Z"}
    git = ["git", "-C", str(destination), "-c", "user.name=Release Test", "-c", "user.email=release@test.invalid"]
    for command in (["init", "-q"], ["add", "-A"], ["commit", "-q", "-m", "snapshot"]):
        subprocess.run(git + command, check=True, env={**os.environ, **dates}, capture_output=True)
    return subprocess.run(git + ["rev-parse", "HEAD"], check=True, capture_output=True, text=True).stdout.strip()


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


class SignedAndUnsignedRelease(unittest.TestCase):
    """Copy A makes the signed release, copy B (in a folder of another depth and
    name) the unsigned one; the builds must give the same bytes."""

    @classmethod
    def setUpClass(cls):
        cls.work = pathlib.Path(tempfile.mkdtemp(prefix="tovrin-release."))
        cls.pki = pathlib.Path(test_pki.make(str(cls.work / "pki"), "localhost"))
        cls.repo_a = cls.work / "a"
        cls.repo_b = cls.work / "other-folder" / "b"
        for repo in (cls.repo_a, cls.repo_b):
            repo.mkdir(parents=True)
        cls.commit = snapshot(cls.repo_a)
        cls.commit_b = snapshot(cls.repo_b)
        cls.out_a, cls.out_b = cls.work / "out-a", cls.work / "out-b"
        # Both launchers hold cores to the test publisher and a rollover key.
        cls.pins = [test_pki.pin(str(cls.pki / "publisher.pem")), test_pki.pin(str(cls.pki / "stranger.pem"))]
        pinned = [arg for pin in cls.pins for arg in ("--signer", pin.upper())]
        cls.trace = cls.work / "execve.log"
        cls.signed = release(cls.repo_a, "--host", "updates.example.test", "--port", "8443", *pinned, "--pfx",
                             cls.pki / "publisher.p12", "--ca-file", cls.pki / "codesign-ca.pem", "--out", cls.out_a,
                             env={"TOVRIN_PFX_PASSWORD": test_pki.P12_PASSWORD}, trace=cls.trace)
        cls.unsigned = release(cls.repo_b, "--host", "updates.example.test", "--port", "8443", *pinned,
                               "--out", cls.out_b)
        # The same key in a hardware token: first with a wrong PIN, which fails after the build.
        token = softhsm_token(cls.work / "hsm", cls.pki / "publisher.key")
        hardware = ["--host", "updates.example.test", "--unpinned", "--pkcs11-module", "/usr/lib/softhsm/libsofthsm2.so",
                    "--pkcs11-key", "pkcs11:token=release;object=codesign;type=private", "--pkcs11-cert",
                    cls.pki / "publisher-chain.pem", "--ca-file", cls.pki / "codesign-ca.pem", "--out"]
        cls.out_c, cls.out_failed = cls.work / "out-c", cls.work / "out-failed"
        cls.failed = release(cls.repo_b, *hardware, cls.out_failed, env={**token, "TOVRIN_PKCS11_PIN": "4321"})
        cls.hardware = release(cls.repo_b, *hardware, cls.out_c, env={**token, "TOVRIN_PKCS11_PIN": "1234"})

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        for result in (self.signed, self.unsigned, self.hardware):
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_both_copies_build_the_same_bytes(self):
        self.assertEqual(self.commit, self.commit_b)
        built_a = (self.repo_a / "build" / "release" / "TovrinTools.exe").read_bytes()
        built_b = (self.out_b / "TovrinTools.exe").read_bytes()
        self.assertGreater(len(built_a), 100000)
        if built_a != built_b:
            offsets = [i for i, (x, y) in enumerate(zip(built_a, built_b)) if x != y]
            self.fail(f"the builds differ: sizes {len(built_a)} and {len(built_b)}, "
                      f"{len(offsets)} differing bytes, first at {offsets[:8]}")
        # Neither folder name is in the exe.
        for repo in (self.repo_a, self.repo_b):
            self.assertNotIn(str(repo).encode(), built_a)

    def test_records_and_checksums(self):
        for out, signed in ((self.out_a, "yes, by /CN=Tovrin Tools Test Publisher"), (self.out_b, "no:"),
                            (self.out_c, "yes, by /CN=Tovrin Tools Test Publisher")):
            with self.subTest(out.name):
                fields = record(out)
                self.assertEqual(fields["update host"], "updates.example.test")
                self.assertEqual(fields["port"], "8443" if out != self.out_c else "443")
                self.assertEqual(fields["commit"], self.commit)
                self.assertEqual(fields["core signer pins"], " ".join(self.pins) if out != self.out_c else
                                 "none: built with --unpinned, the launcher starts any core it finds, signed or not")
                for package in ("gcc-mingw-w64-x86-64-posix", "g++-mingw-w64-x86-64-posix", "binutils-mingw-w64-x86-64",
                                "mingw-w64-x86-64-dev", "cmake", "osslsigncode"):
                    self.assertRegex(fields["tool chain"], rf"(^|, ){re.escape(package)} [0-9]")
                self.assertTrue(fields["work tree"].startswith("clean"))
                self.assertTrue(fields["signed"].startswith(signed), fields["signed"])
                checked = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=out, capture_output=True, text=True)
                self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
                self.assertEqual(checked.stdout, "TovrinTools.exe: OK\n")
        self.assertIn("UNSIGNED", self.unsigned.stdout)
        self.assertEqual(record(self.out_a)["authenticode sha256"], record(self.out_b)["authenticode sha256"])

    def test_signature_covers_exactly_the_reproducible_bytes(self):
        signed = (self.out_a / "TovrinTools.exe").read_bytes()
        unsigned = (self.out_b / "TovrinTools.exe").read_bytes()
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", str(self.pki / "codesign-ca.pem"),
                                   "-in", str(self.out_a / "TovrinTools.exe")], capture_output=True, text=True)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        in_signature = re.search(r"Current message digest\s*:\s*([0-9A-F]{64})", verified.stdout).group(1).lower()
        self.assertEqual(in_signature, record(self.out_b)["authenticode sha256"])
        # Byte by byte: the signed file is the unsigned one with only the header
        # checksum and the certificate table entry changed, and the certificate
        # table (after padding to 8 bytes) appended.
        pe = struct.unpack_from("<I", unsigned, 0x3C)[0]
        checksum, entry = pe + 24 + 64, pe + 24 + 112 + 4 * 8
        table, size = struct.unpack_from("<II", signed, entry)
        self.assertEqual(table, (len(unsigned) + 7) // 8 * 8)
        self.assertEqual(table + size, len(signed))
        self.assertEqual(signed[table:table + len(unsigned) - table], bytes(len(unsigned) - table))
        mask = lambda data: data[:checksum] + data[checksum + 4:entry] + data[entry + 8:len(unsigned)]  # noqa: E731
        self.assertEqual(mask(signed), mask(unsigned))

    def test_windows_accepts_the_signature(self):
        verify = HELPERS / "verify_trust.exe"
        wine_run = SOURCE / "tools" / "wine-run"
        for exe, expected in ((self.out_a / "TovrinTools.exe", "result 0x00000000"),
                              (self.out_b / "TovrinTools.exe", "result 0x800b0100"),
                              (self.out_c / "TovrinTools.exe", "result 0x00000000")):
            with self.subTest(exe.parent.name):
                result = subprocess.run([str(wine_run), str(verify), "Z:" + str(exe).replace("/", "\\")],
                                        capture_output=True, text=True, timeout=300)
                self.assertEqual(result.stdout.strip(), expected, result.stderr)

    def test_no_secret_reaches_a_child_and_a_failure_leaves_no_out(self):
        started = [line for line in self.trace.read_text().splitlines() if "execve(" in line]
        self.assertTrue(any('"cmake"' in line for line in started) and any("osslsigncode" in line for line in started))
        # Only tools/release itself (started by strace, through env) had the password.
        self.assertEqual({line.split()[0] for line in started if "TOVRIN_PFX_PASSWORD" in line}, {started[0].split()[0]})
        self.assertEqual(self.failed.returncode, 2)
        self.assertIn("signing failed; nothing was released", self.failed.stderr)
        self.assertFalse(self.out_failed.exists())
        self.assertEqual([p.name for p in self.work.iterdir() if p.name.startswith(".tovrin-release")], [])

    def test_dirty_work_tree_is_refused(self):
        (self.repo_b / "local-change.txt").write_text("not committed")
        self.addCleanup((self.repo_b / "local-change.txt").unlink)
        refused = release(self.repo_b, "--host", "updates.example.test", "--unpinned", "--out", self.work / "out-dirty")
        self.assertEqual(refused.returncode, 2)
        self.assertIn("uncommitted changes", refused.stderr)
        self.assertIn("local-change.txt", refused.stderr)
        self.assertFalse((self.work / "out-dirty").exists())


if __name__ == "__main__":
    unittest.main(verbosity=2)
