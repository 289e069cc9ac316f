"""tovrin-publish against a real nginx serving server/nginx.conf on loopback:
what an operator runs after a deployment, and what the server exposes."""
import http.client
import os
import pathlib
import shutil
import ssl
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


class ReleaseServedByNginx(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = pathlib.Path(tempfile.mkdtemp(prefix="tovrin-nginx."))
        cls.root = cls.work / "root"
        cls.root.mkdir()
        pki = pathlib.Path(test_pki.make(str(cls.work / "pki"), "localhost"))
        cls.ca, cert, key = pki / "ca.pem", pki / "server.pem", pki / "server.key"
        cls.url = f"https://localhost:{PORT}"
        cls.stage(CORES / "fake_core_1_6_5_0.exe")
        cls.server = nginx_host.NginxHost(cls.work, PORT, cert, key, cls.root).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        shutil.rmtree(cls.work, ignore_errors=True)

    @classmethod
    def stage(cls, core):
        staged = nginx_host.run_publish("stage", core, cls.root)
        if staged.returncode != 0:
            raise AssertionError(staged.stderr)
        return staged

    def check(self, url=None, cacert=True):
        return nginx_host.run_publish("check", url or self.url, *(["--cacert", self.ca] if cacert else []))

    def request(self, path, method="GET", headers=None):
        context = ssl.create_default_context(cafile=str(self.ca))
        connection = http.client.HTTPSConnection("localhost", PORT, context=context, timeout=10)
        try:
            connection.request(method, path, headers=headers or {})
            response = connection.getresponse()
            return response.status, response.headers, response.read()
        finally:
            connection.close()

    def test_check_passes_for_a_staged_release(self):
        checked = self.check()
        self.assertEqual(checked.returncode, 0, checked.stderr)
        self.assertIn("serves version 1.6.5.0, %d bytes" % (CORES / "fake_core_1_6_5_0.exe").stat().st_size,
                      checked.stdout)

    def test_check_trusts_no_unknown_certificate(self):
        checked = self.check(cacert=False)
        self.assertEqual(checked.returncode, 1)
        self.assertIn("certificate", checked.stderr)

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
        (self.root / "tovrin-tools-api/v1/.bootstrap_exe.1.tmp").write_bytes(b"partial")
        for path in ["/", "/tovrin-tools-api/", "/tovrin-tools-api/v1/", "/tovrin-tools-api/v1/.bootstrap_exe.1.tmp",
                     META + "/", META + ".bak", "/tovrin-tools-api/v1/BOOTSTRAP_META", "/nginx.conf",
                     "/tovrin-tools-api/v2/bootstrap_meta"]:
            with self.subTest(path=path):
                self.assertEqual(self.request(path)[0], 404)
        self.assertEqual(self.request("/../root" + META)[0], 400)
        self.assertNotEqual(self.request(META, method="POST")[0], 200)
        self.assertNotIn("/", self.request(META)[1]["Server"])  # no version number given away

    def test_command_line_mistakes_exit_with_usage(self):
        for args in [(), ("stage",), ("stage", "a.exe"), ("check",), ("check", self.url, "--cacert"),
                     ("check", self.url, "--insecure"), ("publish", "a", "b")]:
            with self.subTest(args=args):
                result = nginx_host.run_publish(*args)
                self.assertEqual(result.returncode, 2)
                self.assertIn("usage: tovrin-publish", result.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
