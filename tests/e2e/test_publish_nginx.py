"""tovrin-publish against a real nginx serving server/nginx.conf on loopback:
what an operator runs after a deployment, and what the server exposes."""
import contextlib
import fcntl
import hashlib
import http.client
import os
import pathlib
import pty
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "server"))
import nginx_host  # noqa: E402
import test_pki  # noqa: E402

CORES = pathlib.Path(os.environ.get("TOVRIN_FAKE_CORES_DIR", "build/windows/helpers"))
PORT = int(os.environ.get("TOVRIN_UPDATE_PORT", "443"))
META = "/tovrin-tools-api/v1/bootstrap_meta"
EXE = "/tovrin-tools-api/v1/bootstrap_exe"
LAUNCHER = pathlib.Path(os.environ.get("TOVRIN_LAUNCHER_EXE", "build/windows/TovrinTools.exe"))


def temporaries(folder):
    return sorted(p.name for p in folder.iterdir() if p.name.endswith(".tmp"))


class ReleaseServedByNginx(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = pathlib.Path(tempfile.mkdtemp(prefix="tovrin-nginx."))
        cls.root = cls.work / "root"
        cls.root.mkdir()
        # The tool's own temporary files land here, where the tests can see them.
        cls.temp = cls.work / "tmp"
        cls.temp.mkdir()
        os.environ["TMPDIR"] = str(cls.temp)
        cls.pki = pathlib.Path(test_pki.make(str(cls.work / "pki"), "localhost"))
        cls.ca, cert, key = cls.pki / "ca.pem", cls.pki / "server.pem", cls.pki / "server.key"
        cls.url = f"https://localhost:{PORT}"
        cls.release = cls.root / "tovrin-tools-api/v1"
        # Staged under a umask that keeps everything private by default: nginx's
        # workers (www-data) must still read it, or every test here sees 403.
        umask = os.umask(0o077)
        try:
            cls.stage(CORES / "fake_core_1_6_5_0.exe")
        finally:
            os.umask(umask)
        cls.server = nginx_host.NginxHost(cls.work, PORT, cert, key, cls.root).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        shutil.rmtree(cls.work, ignore_errors=True)

    @classmethod
    def stage(cls, core, *options):
        # Tests put the release back as they found it, so versions may fall.
        staged = nginx_host.run_publish("stage", "--allow-same-or-older", *options, core, cls.root)
        if staged.returncode != 0:
            raise AssertionError(staged.stderr)
        return staged

    def check(self, url=None, cacert=True, *options):
        return nginx_host.run_publish("check", url or self.url, *(["--cacert", self.ca] if cacert else []), *options)

    @contextlib.contextmanager
    def stage_lock_held(self):
        """Holds the lock a stage needs to replace the release, as a stage that takes long would."""
        file = os.open(self.release / ".stage.lock", os.O_RDONLY | os.O_CREAT, 0o644)
        try:
            fcntl.flock(file, fcntl.LOCK_EX)
            yield
        finally:
            os.close(file)

    def start_stage_that_waits(self, core, **options):
        """A stage started while the lock is held: it tells when it waits, its files written."""
        stage = subprocess.Popen([str(nginx_host.PUBLISH), "stage", core, self.root], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True, **options)
        line = stage.stderr.readline()
        self.assertIn("waiting for another stage of", line)
        return stage

    def request(self, path, method="GET", headers=None):
        context = ssl.create_default_context(cafile=str(self.ca))
        connection = http.client.HTTPSConnection("localhost", PORT, context=context, timeout=10)
        try:
            connection.request(method, path, headers=headers or {})
            response = connection.getresponse()
            return response.status, response.headers, response.read()
        finally:
            connection.close()

    def test_check_passes_for_a_staged_release_asking_as_the_launcher(self):
        log = pathlib.Path(self.server.work / "access.log")
        logged = log.stat().st_size
        checked = self.check()
        self.assertEqual(checked.returncode, 0, checked.stderr)
        size = (CORES / "fake_core_1_6_5_0.exe").stat().st_size
        self.assertIn("serves version 1.6.5.0, %d bytes" % size, checked.stdout)
        # What the host promises beyond the release: the document never cached, a cut download resumed.
        self.assertIn("the document: never kept by a cache (Cache-Control: no-store", checked.stdout)
        self.assertRegex(checked.stdout, rf"a cut download resumes: yes: a request for the bytes from {size - 1} with "
                                         r'If-Range "[0-9a-f]+-[0-9a-f]+" got 206 with the rest and the same validator')
        # The server sees the launcher's agent, so agent filters treat both alike: the document, the executable
        # and its last byte asked for as a resume asks.
        with open(log) as f:
            f.seek(logged)
            requests = [line for line in f if "/tovrin-tools-api/" in line]
        self.assertEqual([line.split('"')[2].split()[0] for line in requests], ["200", "200", "206"], requests)
        for line in requests:
            self.assertTrue(line.rstrip().endswith('"TovrinToolsLauncher/1.0"'), line)
        self.assertEqual(checked.stderr, "")  # no progress into a pipe or a log

    def test_launcher_staged_with_the_core_is_checked_as_served(self):
        self.addCleanup(self.stage, CORES / "fake_core_1_6_5_0.exe")
        self.stage(CORES / "fake_core_1_6_5_0.exe", "--launcher", LAUNCHER)
        for served, problem in [(LAUNCHER, None), (CORES / "fake_core_1_6_4_0.exe", '"launcher_sha256" is')]:
            with self.subTest(served=served.name):
                shutil.copyfile(served, self.release / "bootstrap_launcher")
                checked = self.check()
                self.assertEqual(checked.returncode, int(problem is not None), checked.stderr)
                self.assertIn(problem or "serves launcher version 1.0.0.0", checked.stderr + checked.stdout)

    def test_check_shows_the_download_progress_on_a_terminal(self):
        controller, terminal = pty.openpty()
        try:
            checked = subprocess.run([str(nginx_host.PUBLISH), "check", self.url, "--cacert", self.ca],
                                     stdout=subprocess.PIPE, stderr=terminal, text=True, timeout=60)
        finally:
            os.close(terminal)
        shown = b""
        with contextlib.suppress(OSError):  # EIO once everything written was read
            while chunk := os.read(controller, 4096):
                shown += chunk
        os.close(controller)
        self.assertEqual(checked.returncode, 0, shown)
        size = (CORES / "fake_core_1_6_5_0.exe").stat().st_size / 1048576
        self.assertIn(f"\rdownloading the executable: {size:.1f} of {size:.1f} MB (100%)".encode(), shown)

    def test_check_confirms_the_host_the_launcher_is_built_for(self):
        # The launcher under test is built for localhost on the test port.
        for options, failure in [
                (["--host", f"localhost:{PORT}"], None),
                (["--host", f"LOCALHOST:{PORT}"], None),
                (["--launcher", LAUNCHER], None),
                # A host without a port means 443.
                (["--host", "localhost"] if PORT != 443 else ["--host", "localhost:8443"],
                 f"{self.url} is host localhost port {PORT}, but the launcher is built for host localhost port "
                 + ("443" if PORT != 443 else "8443")),
                (["--host", f"updates.example.com:{PORT}"], "built for host updates.example.com"),
                (["--host", "localhost:99999"], "is not NAME or NAME:PORT"),
                (["--launcher", CORES / "fake_core_1_6_5_0.exe"], "has no such resource; it is not a launcher"),
        ]:
            with self.subTest(options=options):
                checked = self.check(None, True, *options)
                if failure is None:
                    self.assertEqual(checked.returncode, 0, checked.stderr)
                else:
                    self.assertEqual(checked.returncode, 1)
                    self.assertIn(failure, checked.stderr)
        checked = self.check(f"https://127.0.0.1:{PORT}", True, "--launcher", LAUNCHER)
        self.assertIn("is host 127.0.0.1", checked.stderr)

    def test_signed_cores_are_staged_and_checked_against_the_signers_pins(self):
        pki = str(self.pki)
        scratch = self.work / "signed"
        scratch.mkdir(exist_ok=True)
        core = CORES / "fake_core_1_7_0_0.exe"
        signed = test_pki.sign(pki, "publisher", core, scratch / "publisher.exe", stamped=True)
        stranger = test_pki.sign(pki, "stranger", core, scratch / "stranger.exe", stamped=True)
        unstamped = test_pki.sign(pki, "publisher", core, scratch / "unstamped.exe")
        # Signed the usual way by a signer whose root no system ships: leaf and intermediate carried, or the leaf only.
        cloud = test_pki.sign(pki, "cloud", core, scratch / "cloud.exe", stamped=True)
        leaf_only = test_pki.sign(pki, "cloud", core, scratch / "leaf-only.exe", ".pem", stamped=True)
        cloud_pin = ["--signer", test_pki.pin(os.path.join(pki, "cloud.pem"))]
        changed = scratch / "changed.exe"
        data = bytearray(signed.read_bytes())
        data[len(data) // 2] ^= 1  # in the padding: still a valid PE, digest no longer matches
        changed.write_bytes(data)
        publisher_pin = test_pki.pin(os.path.join(pki, "publisher.pem"))
        stranger_pin = test_pki.pin(os.path.join(pki, "stranger.pem"))
        # Stamps anyone can add: by an authority that issued itself, and by a twin of chain-tsa's certificate
        # (same key and length) that is for code signing, put in its place.
        test_pki.make_trust(pki)
        tsa_ca = ["--tsa-ca-file", os.path.join(pki, "codesign-ca.pem")]
        chain_tsa_ca = ["--tsa-ca-file", os.path.join(pki, "chain-root.pem")]
        made_up = test_pki.sign(pki, "publisher", core, scratch / "made-up.exe", stamped=True, tsa="made-up-tsa")
        chain_stamped = test_pki.sign(pki, "publisher", core, scratch / "chain-tsa.exe", stamped=True, tsa="chain-tsa")
        tsa_der, twin_der = (subprocess.run(["openssl", "x509", "-in", os.path.join(pki, name), "-outform", "DER"],
                                            check=True, capture_output=True).stdout
                             for name in ("chain-tsa.pem", "chain-tsa-codesigning.pem"))
        self.assertTrue(len(tsa_der) == len(twin_der) and tsa_der in chain_stamped.read_bytes())
        twin = scratch / "twin.exe"
        twin.write_bytes(chain_stamped.read_bytes().replace(tsa_der, twin_der))
        # Root -> I2 -> I1 -> leaf, carrying leaf and I1 or also I2.
        leaf_i1 = test_pki.sign(pki, "chain-leaf", core, scratch / "leaf-i1.exe", stamped=True)
        leaf_i2 = test_pki.sign(pki, "chain-leaf", core, scratch / "leaf-i2.exe", "-full.pem", stamped=True)
        chain_pin = ["--signer", test_pki.pin(os.path.join(pki, "chain-leaf.pem"))]
        chain_root = ["--ca-file", os.path.join(pki, "chain-root.pem")]

        # The tool's pin agrees with OpenSSL's for the certificate (PEM and DER) and the signed exe.
        der = scratch / "publisher.der"
        subprocess.run(["openssl", "x509", "-in", os.path.join(pki, "publisher.pem"), "-outform", "DER",
                        "-out", der], check=True)
        p12 = os.path.join(pki, "publisher.p12")
        password = {"TOVRIN_PFX_PASSWORD": test_pki.P12_PASSWORD}
        for path, pin, env in [(os.path.join(pki, "publisher.pem"), publisher_pin, {}), (der, publisher_pin, {}),
                               (signed, publisher_pin, {}), (stranger, stranger_pin, {}),
                               (p12, publisher_pin, password)]:
            with self.subTest(pin=path):
                printed = nginx_host.run_publish("pin", path, env=env)
                self.assertEqual((printed.returncode, printed.stdout), (0, pin + "\n"), printed.stderr)
        for path, message, env in [
                (core, f"{core} is not Authenticode-signed", {}), (self.ca.with_suffix(".key"), "cannot read", {}),
                (self.pki / "server.key", "is neither a certificate (PEM or DER), a PKCS#12 key file nor a", {}),
                (p12, "is a PKCS#12 key file: put its password into the environment variable TOVRIN_PFX_PASSWORD, or "
                      f"take the certificate out of it and give that: openssl pkcs12 -in {p12} -nokeys", {}),
                (p12, "cannot open this PKCS#12 key file with the password in TOVRIN_PFX_PASSWORD",
                 {"TOVRIN_PFX_PASSWORD": "wrong"})]:
            with self.subTest(pin=path, env=env):
                printed = nginx_host.run_publish("pin", path, env=env)
                self.assertEqual(printed.returncode, 1)
                self.assertIn(message, printed.stderr)

        # The build-time digest (tools/authenticode_digest, which seals the launcher) reads images as the tool
        # does: the same digests, the signed and the unsigned build alike, and the same refusals.
        appended = scratch / "appended.exe"
        appended.write_bytes(signed.read_bytes() + b"\0")
        x86 = os.environ.get("TOVRIN_CORE_X86", str(core))
        files = [core, signed, stranger, LAUNCHER, x86, self.ca, appended, scratch / "publisher.der"]
        ours = nginx_host.run_publish("digest", *files)
        python = subprocess.run([sys.executable, str(pathlib.Path(__file__).resolve().parents[2] / "tools" /
                                                      "authenticode_digest"), *map(str, files)],
                                capture_output=True, text=True)
        self.assertEqual((ours.returncode, ours.stdout), (python.returncode, python.stdout), python.stderr)
        self.assertEqual(ours.stderr.replace("tovrin-publish:", "tools/authenticode_digest:"), python.stderr)
        self.assertEqual(ours.stdout.split()[0], ours.stdout.split()[2])
        self.assertIn(f"{appended} has a certificate table that is not at the end of the file", ours.stderr)

        root = self.work / "signed-root"
        root.mkdir(exist_ok=True)
        both = ["--signer", stranger_pin.upper(), "--signer", publisher_pin]
        for path, options, refusal in [
                (core, both, "is not Authenticode-signed"),
                (stranger, ["--signer", publisher_pin], "is signed by /CN=Stranger Test Publisher (pin "
                                                        f"{stranger_pin}), which is none of the signers given"),
                (changed, both, "but its signature does not verify"),
                (signed, ["--signer", stranger_pin], "is signed by /CN=Tovrin Tools Test Publisher"),
                (leaf_only, cloud_pin, "its signature does not carry every certificate between the signer's "
                                       "certificate and its root: /CN=Cloud Signing Intermediate CA, which issued it"),
                (unstamped, both, "has no trusted time stamp (it has no RFC 3161 time stamp): on Windows its "
                                  "signature stops verifying when the signing certificate expires on 20"),
                (signed, both, "has no trusted time stamp (its time stamp's authority /CN=Tovrin Tools Test Time "
                               "Stamps is not trusted: its chain ends at /CN=Tovrin Tools Test Code Signing CA, a "
                               "root that neither this machine nor --tsa-ca-file has)"),
                (made_up, [*both, *tsa_ca], "has no trusted time stamp (its time stamp's authority /CN=Made-Up Time "
                                            "Stamps is not trusted: it issued its own certificate, as anyone can)"),
                (twin, [*both, *chain_tsa_ca], "(its time stamp's authority /CN=Test Chain Time Stamps is not "
                                               "trusted: its certificate is not for time stamping"),
                (leaf_i1, [*chain_pin, *chain_root, *tsa_ca],
                 "its signature does not carry every certificate between the signer's certificate and its root: "
                 "/CN=Test Chain I2, which issued /CN=Test Chain I1, the last certificate it carries, is missing"),
                (signed, [*both, *chain_root, *tsa_ca], "its chain ends at /CN=Tovrin Tools Test Code Signing CA, a "
                                                        "root that neither --ca-file"),
                (cloud, [*cloud_pin, "--ca-file", os.path.join(pki, "cloud.pem"), *tsa_ca],
                 "holds /CN=Cloud Signed Publisher, which is no root"),
                (unstamped, [*both, "--allow-no-timestamp", "--allow-same-or-older"], None),
                (made_up, [*both, "--allow-no-timestamp", "--allow-same-or-older"],
                 "/CN=Made-Up Time Stamps is not trusted"),
                (chain_stamped, [*both, *chain_tsa_ca, "--allow-same-or-older"], "time-stamped 20"),
                (cloud, [*cloud_pin, *tsa_ca, "--allow-same-or-older"],
                 "its chain ends at /CN=Cloud Signing Intermediate CA, issued by /CN=Tovrin Tools Test Code Signing "
                 "CA, which is not a root this machine has; whether the chain is complete could not be checked "
                 "(give its root with --ca-file); time-stamped"),
                (leaf_i1, [*chain_pin, *tsa_ca, "--allow-same-or-older"],
                 "its chain ends at /CN=Test Chain I1, issued by /CN=Test Chain I2, which is not a root this machine "
                 "has; whether the chain is complete could not be checked"),
                (leaf_i2, [*chain_pin, *chain_root, *tsa_ca, "--allow-same-or-older"],
                 "its chain reaches /CN=Test Chain Root, a root --ca-file gives"),
                (signed, [*both, *tsa_ca, "--allow-same-or-older"], "; time-stamped 20")]:
            with self.subTest(stage=path.name, options=options):
                staged = nginx_host.run_publish("stage", *options, path, root)
                if refusal is None or "--allow-same-or-older" in options:
                    self.assertEqual(staged.returncode, 0, staged.stderr)
                    self.assertIn(refusal or "published", staged.stdout)
                else:
                    self.assertEqual(staged.returncode, 1)
                    self.assertIn(refusal, staged.stderr)
                    self.assertFalse((root / "tovrin-tools-api/v1/bootstrap_meta").exists())

        try:
            self.stage(changed)  # served as it is, unsigned by anyone's rules
            checked = self.check(None, True, "--signer", publisher_pin)
            self.assertEqual(checked.returncode, 1)
            self.assertIn("the executable is signed by /CN=Tovrin Tools Test Publisher, but its signature does not "
                          "verify", checked.stderr)
            self.stage(signed)
            checked = self.check(None, True, "--signer", publisher_pin, *tsa_ca)
            self.assertEqual(checked.returncode, 0, checked.stderr)
            self.assertIn("signed by a given signer (/CN=Tovrin Tools Test Publisher; ", checked.stdout)
            self.assertIn("; time-stamped 20", checked.stdout)
            self.stage(made_up)
            checked = self.check(None, True, "--signer", publisher_pin, *tsa_ca)
            self.assertEqual(checked.returncode, 0, checked.stderr)
            self.assertIn("warning: the executable's signature has no trusted time stamp (its time stamp's authority "
                          "/CN=Made-Up Time Stamps is not trusted", checked.stderr)
            self.stage(leaf_i1)
            checked = self.check(None, True, *chain_pin, *chain_root, *tsa_ca)
            self.assertEqual(checked.returncode, 1)
            self.assertIn("the executable is signed by /CN=Test Chain Publisher, but its signature does not carry "
                          "every certificate", checked.stderr)
            self.stage(unstamped)
            checked = self.check(None, True, "--signer", publisher_pin)
            self.assertEqual(checked.returncode, 0, checked.stderr)
            self.assertIn("warning: the executable's signature has no trusted time stamp", checked.stderr)
            self.assertIn("when the signing certificate expires on 20", checked.stderr)
            checked = self.check(None, True, "--signer", stranger_pin)
            self.assertEqual(checked.returncode, 1)
            self.assertIn("which is none of the signers given", checked.stderr)
        finally:
            self.stage(CORES / "fake_core_1_6_5_0.exe")
        self.assertEqual(list(self.temp.iterdir()), [])  # no downloaded core or signature left

    def test_interrupted_stage_removes_its_files(self):
        served = (self.root / EXE.lstrip("/")).read_bytes()
        for number in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=number.name):
                with self.stage_lock_held():
                    stage = self.start_stage_that_waits(CORES / "fake_core_1_7_0_0.exe")
                    self.assertEqual(len(temporaries(self.release)), 2)  # both files written, waiting to commit
                    stage.send_signal(number)
                    stage.communicate(timeout=30)
                self.assertEqual(stage.returncode, -number)
                self.assertEqual(temporaries(self.release), [])
                self.assertEqual((self.root / EXE.lstrip("/")).read_bytes(), served)

    def assert_matching_pair(self):
        exe = (self.root / EXE.lstrip("/")).read_bytes()
        self.assertIn(hashlib.sha256(exe).hexdigest().encode(), (self.root / META.lstrip("/")).read_bytes())

    def test_signals_neither_stop_a_stage_under_nohup_nor_split_its_commit(self):
        try:
            # Under nohup SIGHUP is ignored, and stays so: the stage finishes.
            with self.stage_lock_held():
                stage = self.start_stage_that_waits(CORES / "fake_core_1_7_0_0.exe",
                                                    preexec_fn=lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN))
                stage.send_signal(signal.SIGHUP)
            self.assertEqual(stage.communicate(timeout=30)[0].count("published"), 1)
            self.assertEqual(stage.returncode, 0)
            self.assert_matching_pair()
            # SIGTERM while the first rename is held up by strace: both renames still happen.
            traced = subprocess.Popen(["strace", "-f", "-o", "/dev/null", "-e", "trace=rename,renameat,renameat2",
                                       "-e", "inject=rename,renameat,renameat2:delay_exit=3000000:when=1",
                                       nginx_host.PUBLISH, "stage", CORES / "fake_core_9_9_9_9.exe", self.root])
            deadline = time.monotonic() + 30
            exe = (CORES / "fake_core_9_9_9_9.exe").read_bytes()
            while (self.root / EXE.lstrip("/")).read_bytes() != exe and time.monotonic() < deadline:
                time.sleep(0.05)
            child = pathlib.Path(f"/proc/{traced.pid}/task/{traced.pid}/children").read_text().split()[0]
            os.kill(int(child), signal.SIGTERM)
            self.assertEqual(traced.wait(timeout=30), -signal.SIGTERM)
            self.assert_matching_pair()
            self.assertEqual(temporaries(self.release), [])
        finally:
            self.stage(CORES / "fake_core_1_6_5_0.exe")

    def test_a_2_gib_core_stages_in_bounded_memory(self):
        core, root = self.work / "big.exe", self.work / "big-root"
        shutil.copyfile(CORES / "fake_core_1_7_0_0.exe", core)
        os.truncate(core, 2 << 30)  # a sparse tail: the PE itself is unchanged
        root.mkdir()
        stage = subprocess.Popen([nginx_host.PUBLISH, "stage", core, root], stdout=subprocess.PIPE)
        output = stage.stdout.read()
        _, status, usage = os.wait4(stage.pid, 0)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0, output)
        self.assertLess(usage.ru_maxrss, 64 * 1024)  # KiB
        published = root / EXE.lstrip("/")
        self.assertLess(published.stat().st_blocks * 512, 64 << 20)  # still sparse
        digest = subprocess.run(["sha256sum", core], capture_output=True, text=True).stdout.split()[0]
        self.assertIn(f'"sha256": "{digest}", "size": {2 << 30}', (root / META.lstrip("/")).read_text())
        self.assertEqual(published.stat().st_size, 2 << 30)

    def test_concurrent_stages_leave_a_matching_pair_of_the_highest_version(self):
        # Two stages wait for the lock together; whichever commits first, the
        # lower one is refused or replaced, and the document describes the exe.
        try:
            with self.stage_lock_held():
                stages = [self.start_stage_that_waits(CORES / f"fake_core_{version}.exe")
                          for version in ("1_7_0_0", "1_6_5_1")]
            results = [stage.communicate(timeout=60) + (stage.returncode,) for stage in stages]
            self.assertEqual(results[0][2], 0, results[0])
            self.assertIn(results[1][2], (0, 1), results[1])
            if results[1][2] == 1:
                self.assertIn("not greater than version 1.7.0.0", results[1][1])
            status, _, body = self.request(META)
            exe = (self.root / EXE.lstrip("/")).read_bytes()
            self.assertEqual(exe, (CORES / "fake_core_1_7_0_0.exe").read_bytes())
            self.assertIn(b'"version": "1.7.0.0"', body)
            self.assertIn(hashlib.sha256(exe).hexdigest().encode(), body)
            self.assertEqual(temporaries(self.release), [])
        finally:
            self.stage(CORES / "fake_core_1_6_5_0.exe")

    def test_check_trusts_no_unknown_certificate(self):
        checked = self.check(cacert=False)
        self.assertEqual(checked.returncode, 1)
        self.assertIn("certificate (the host's certificate does not lead to a root this machine trusts; when it "
                      "comes from a private CA, give that CA's certificate with --cacert FILE)", checked.stderr)

    def test_check_fails_when_nothing_is_published_there(self):
        checked = self.check(self.url + "/elsewhere")
        self.assertEqual(checked.returncode, 1)
        self.assertIn(f"{self.url}/elsewhere{META} answered HTTP status 404", checked.stderr)

    def test_check_names_every_disagreement_of_a_hand_copied_executable(self):
        # An operator copies a new core over the served one without staging it.
        try:
            shutil.copyfile(CORES / "fake_core_1_6_4_0.exe", self.root / EXE.lstrip("/"))
            checked = self.check()
            self.assertEqual(checked.returncode, 1)
            self.assertIn('"version" is 1.6.5.0 but the executable\'s file version is 1.6.4.0', checked.stderr)
            self.assertIn('"sha256" is ', checked.stderr)
            self.assertIn("(2 problems)", checked.stderr)

            self.stage(CORES / "fake_core_1_6_4_0.exe")
            checked = self.check()
            self.assertEqual(checked.returncode, 0, checked.stderr)
            self.assertIn("serves version 1.6.4.0", checked.stdout)
        finally:
            self.stage(CORES / "fake_core_1_6_5_0.exe")

    def test_document_is_never_cached_and_executable_has_a_validator(self):
        status, headers, body = self.request(META)
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Type"], "application/json")
        self.assertIn("no-store", headers["Cache-Control"])
        self.assertIn("no-cache", headers["Cache-Control"])
        self.assertEqual(body, (self.root / META.lstrip("/")).read_bytes())

        status, headers, body = self.request(EXE)
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Type"], "application/octet-stream")
        self.assertEqual(body, (CORES / "fake_core_1_6_5_0.exe").read_bytes())
        etag = headers["ETag"]
        self.assertTrue(etag)
        self.assertEqual(self.request(EXE, headers={"If-None-Match": etag})[0], 304)

    def test_another_build_of_the_same_size_gets_a_new_etag_at_once(self):
        # Same version and size, other bytes, staged within the same second.
        first = CORES / "fake_core_1_6_5_0.exe"
        other = CORES / "fake_core_1_6_5_0_other.exe"
        self.assertEqual(first.stat().st_size, other.stat().st_size)
        try:
            time.sleep(1.02 - time.time() % 1)  # both stages at the start of one second
            self.stage(first)
            old_etag = self.request(EXE)[1]["ETag"]
            self.stage(other)
            status, headers, body = self.request(EXE, headers={"If-None-Match": old_etag})
            self.assertEqual(status, 200)
            self.assertEqual(body, other.read_bytes())
            self.assertNotEqual(headers["ETag"], old_etag)
        finally:
            self.stage(first)

    def test_nothing_else_is_exposed(self):
        # A staging file left by an interrupted stage must not be served either.
        partial = self.release / ".bootstrap_exe.1.tmp"
        partial.write_bytes(b"partial")
        self.addCleanup(partial.unlink)
        for path in ["/", "/tovrin-tools-api/", "/tovrin-tools-api/v1/", "/tovrin-tools-api/v1/.bootstrap_exe.1.tmp",
                     "/tovrin-tools-api/v1/.stage.lock", "/tovrin-tools-api/v1/.stage-writers.lock",
                     META + "/", META + ".bak", "/tovrin-tools-api/v1/BOOTSTRAP_META", "/nginx.conf",
                     "/tovrin-tools-api/v2/bootstrap_meta"]:
            with self.subTest(path=path):
                self.assertEqual(self.request(path)[0], 404)
        self.assertEqual(self.request("/../root" + META)[0], 400)
        self.assertNotEqual(self.request(META, method="POST")[0], 200)
        self.assertNotIn("/", self.request(META)[1]["Server"])  # no version number given away

    def test_command_line_mistakes_exit_with_usage(self):
        for args in [(), ("stage",), ("stage", "a.exe"), ("check",), ("check", self.url, "--cacert"),
                     ("check", self.url, "--insecure"), ("publish", "a", "b"), ("pin",), ("pin", "a", "b"),
                     ("stage", "--signer", "12ab", "a.exe", "root"), ("stage", "--force", "a.exe", "root"),
                     ("stage", "a.exe", "root", "--allow-same-or-older"), ("check", self.url, "--signer"),
                     ("check", self.url, "--host", "a", "--launcher", "b"), ("check", self.url, "--tsa-ca-file"),
                     ("stage", "--ca-file", "ca.pem", "a.exe", "root")]:
            with self.subTest(args=args):
                result = nginx_host.run_publish(*args)
                self.assertEqual(result.returncode, 2)
                self.assertIn("usage: tovrin-publish", result.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
