"""DLL planting: copies of a recording DLL, named like the system DLLs that the
launcher binds late, lie beside the launcher in the folder it runs from, a
download folder of its user. The launcher runs elevated and that folder is
writable by its user, so a full update must succeed without any of them being
loaded into it.

Wine normally takes its own (builtin) copy of a system DLL even when a file of
that name lies beside the program; WINEDLLOVERRIDES "n,b" makes it prefer such
a native copy wherever the search finds one, as Windows does. That is set only
for winhttp, comctl32 and wintrust, the three whose loading the launcher
controls under Wine (wintrust only in the launcher built with a signer pin).
The other three are Wine's own loads, outside the launcher's reach:
- version.dll is imported by Wine's user32, which the loader brings in before
  wWinMain runs, searching the exe's folder first;
- crypt32.dll is brought in by Wine's winhttp for TLS, in the default launcher
  as much as in the pinned one;
- bcrypt.dll is loaded by Wine's crypt32 with a search that ignores the
  process's default DLL directories.
With "n,b" for those, Wine itself would load the planted copies whatever the
launcher did, so they keep Wine's default order and this test cannot see
whether the launcher would take them; they are planted all the same, as an
attacker would. The launcher binds them exactly as it binds the other three
(tests/checks/test_load_time_imports.py checks that), and for those the test
sees the planted copy loaded as soon as the restriction is gone.
"""
import os
import pathlib
import shutil
import subprocess
import sys
import unittest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "server"))
import launcher_harness as harness  # noqa: E402
import update_server  # noqa: E402

LAUNCHER = pathlib.Path(os.environ.get("TOVRIN_LAUNCHER_EXE", "build/windows/TovrinTools.exe"))
PINNED_LAUNCHER = pathlib.Path(os.environ.get("TOVRIN_PINNED_LAUNCHER_EXE",
                                              "build/windows/helpers/TovrinTools_pinned.exe"))
SIGNED = pathlib.Path(os.environ.get("TOVRIN_SIGNED_SAMPLES", "build/windows/tests/signed_samples"))

PLANTED = ("winhttp", "bcrypt", "version", "comctl32", "wintrust", "crypt32")
NATIVE_FIRST = ("winhttp", "comctl32", "wintrust")
LAUNCHING = "Launching Tovrin Tools..."


class PlantedDlls(harness.LoopbackServerMixin, unittest.TestCase):
    def setUp(self):
        harness.reset_user_state()
        self.server.clear_requests()
        self.folder = harness.user_dir() / "Downloads" / "Planted"
        shutil.rmtree(self.folder, ignore_errors=True)
        self.folder.mkdir(parents=True)
        for name in PLANTED:
            shutil.copyfile(harness.HELPERS_DIR / "planted_dll.dll", self.folder / f"{name}.dll")
        self.log = harness.prefix() / "drive_c" / "planted_dll.log"
        if self.log.exists():
            self.log.unlink()
        # Without winedbg a crash ends the process at once instead of waiting in
        # Wine's crash dialog, so the test reports it rather than timing out.
        self.env = {
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winedbg.exe=d;" + ",".join(NATIVE_FIRST) + "=n,b",
            "TOVRIN_PLANTED_LOG": harness.windows_path(self.log),
        }

    def loads(self):
        """Each load of a planted DLL as (process exe, DLL path), both lower case."""
        if not self.log.exists():
            return []
        return [tuple(line.lower().split("|", 1)) for line in self.log.read_text(encoding="utf-8").splitlines()]

    def test_program_without_search_restriction_loads_planted_dlls(self):
        # The control: the planting and the override work, so a program that
        # searches its own folder gets the planted copies.
        loader = self.folder / "load_by_name.exe"
        shutil.copyfile(harness.HELPERS_DIR / "load_by_name.exe", loader)
        names = [f"{name}.dll" for name in NATIVE_FIRST]
        result = subprocess.run([harness.WINE, harness.windows_path(loader), *names], cwd=self.folder,
                                env=harness.wine_env(self.env), capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stdout)
        process = harness.windows_path(loader).lower()
        expected = {(process, harness.windows_path(self.folder / name).lower()) for name in names}
        self.assertEqual(set(self.loads()), expected)

    def test_update_from_planted_folder_loads_no_planted_dll(self):
        # Both bind crypt32 for the host's certificate; the pinned launcher also wintrust for the signatures.
        cases = [
            ("default", LAUNCHER, harness.fake_core("fake_core_1_6_4_0"), harness.fake_core("fake_core_1_6_5_0")),
            ("pinned", PINNED_LAUNCHER, SIGNED / "publisher_1_6_4_0.exe", SIGNED / "publisher_1_6_5_0.exe"),
        ]
        for name, built, installed, published in cases:
            with self.subTest(name):
                self.server.clear_requests()
                if self.log.exists():
                    self.log.unlink()
                launcher = self.folder / "TovrinTools.exe"
                shutil.copyfile(built, launcher)
                old = harness.install_core(installed)
                started = pathlib.Path(str(harness.core_path()) + ".started")
                if started.exists():
                    started.unlink()
                new = published.read_bytes()
                self.server.set_scenario(update_server.release_scenario(published, "1.6.5.0"))

                # Started as from a download, in its own folder.
                seen = harness.run_launcher(harness.windows_path(launcher), cwd=str(self.folder), env=self.env,
                                            timeout=60)

                process = harness.windows_path(launcher).lower()
                self.assertEqual([load for load in self.loads() if load[0] == process], [])
                self.assertEqual(seen.error_boxes, [])
                self.assertEqual(seen.final_status, LAUNCHING)
                self.assertEqual([r["path"] for r in self.server.requests()],
                                 [update_server.META_PATH, update_server.EXE_PATH])
                self.assertNotEqual(new, old)
                self.assertEqual(harness.core_path().read_bytes(), new)
                self.assertEqual(len(harness.core_starts()), 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
