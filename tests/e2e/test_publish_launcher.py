"""A release as an operator publishes it, met by the launcher: tovrin-publish
stages a newer core, real nginx serves it with server/nginx.conf over HTTPS on
loopback, `tovrin-publish check` passes, and the real launcher under Wine
replaces the older installed core with it and starts it."""
import os
import pathlib
import shutil
import sys
import tempfile
import unittest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "server"))
import launcher_harness as harness  # noqa: E402
import nginx_host  # noqa: E402
import test_pki  # noqa: E402

LAUNCHER = pathlib.Path(os.environ.get("TOVRIN_LAUNCHER_EXE", "build/windows/TovrinTools.exe"))
EXE_PATH = "/tovrin-tools-api/v1/bootstrap_exe"


class PublishedReleaseReachesLauncher(unittest.TestCase):
    def setUp(self):
        if not nginx_host.PUBLISH.is_file():
            self.fail(f"{nginx_host.PUBLISH} is missing: build the host preset first "
                      "(cmake --preset host && cmake --build --preset host; tools/test does both)")
        # Under /tmp itself: nginx's workers must reach the web root.
        self.work = pathlib.Path(tempfile.mkdtemp(prefix="tovrin-publish-launcher."))
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        harness.reset_user_state()

    def test_staged_core_is_downloaded_installed_and_started(self):
        root = self.work / "root"
        root.mkdir()
        new_core = harness.HELPERS_DIR / "fake_core_1_7_0_0.exe"
        staged = nginx_host.run_publish("stage", new_core, root)
        self.assertEqual(staged.returncode, 0, staged.stderr)
        old = harness.install_core("fake_core_1_6_4_0")
        downloads = harness.user_dir() / "Downloads"
        downloads.mkdir(exist_ok=True)
        shutil.copyfile(LAUNCHER, downloads / "TovrinTools.exe")

        pki = pathlib.Path(test_pki.pki_dir())
        port = harness.UPDATE_PORT
        # Slowed to about 3 s for the core, so the download's progress is seen whatever the load.
        with nginx_host.NginxHost(self.work, port, pki / "server.pem", pki / "server.key", root, "400k") as server:
            checked = nginx_host.run_publish("check", f"https://localhost:{port}", "--cacert", pki / "ca.pem")
            self.assertEqual(checked.returncode, 0, checked.stderr)
            seen = harness.run_launcher(harness.windows_path(downloads / "TovrinTools.exe"))
            access_log = (server.work / "access.log").read_text()

        self.assertEqual(seen.error_boxes + seen.values("dialog"), [])
        self.assertIn("gone", seen.lines)
        self.assertEqual(seen.exit_code, 0)
        self.assertTrue(any(s.startswith("Downloading Tovrin Tools v1.7.0.0... ") for s in seen.statuses),
                        seen.statuses)
        # The checking step and, at loopback speed, the last progress steps and the
        # verification can land between two samples of the probe; the bar's final
        # value is checked against a throttled server in the update-run tests.
        bar = seen.progress
        downloading = bar[bar.index(5) + 1:] if 5 in bar else bar[1:]
        self.assertEqual(downloading, sorted(downloading))

        installed = harness.core_path().read_bytes()
        self.assertNotEqual(installed, old)
        self.assertEqual(installed, new_core.read_bytes())
        self.assertEqual(installed, (root / EXE_PATH.lstrip("/")).read_bytes())
        self.assertFalse(pathlib.Path(str(harness.core_path()) + ".tmp").exists())
        starts = harness.core_starts()
        self.assertEqual(len(starts), 1, starts)
        self.assertEqual(starts[0]["cwd"].lower(), harness.windows_path(harness.install_dir()).lower())
        # The whole executable came from nginx in one answer.
        self.assertIn(f'"GET {EXE_PATH} HTTP/1.1" 200 {len(installed)} ', access_log)


if __name__ == "__main__":
    unittest.main(verbosity=2)
