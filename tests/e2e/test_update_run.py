"""The whole launcher as a user meets it: the real exe under Wine against a
real HTTPS update host on loopback, watched through its window, its message
boxes, the files it leaves and the core it starts."""
import datetime
import hashlib
import http.server
import os
import pathlib
import re
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "server"))
import launcher_harness as harness  # noqa: E402
import test_pki  # noqa: E402
import update_server  # noqa: E402

HOST = os.environ.get("TOVRIN_UPDATE_HOST", "localhost")
LAUNCHER = pathlib.Path(os.environ.get("TOVRIN_LAUNCHER_EXE", "build/windows/TovrinTools.exe"))
# The same launcher built with the pin of the test publisher's signing key, and
# fake cores signed with the test keys (tests/helpers/make_signed_samples).
PINNED_LAUNCHER = pathlib.Path(os.environ.get("TOVRIN_PINNED_LAUNCHER_EXE",
                                              "build/windows/helpers/TovrinTools_pinned.exe"))
NEXT_LAUNCHER = pathlib.Path(os.environ.get("TOVRIN_NEXT_LAUNCHER_EXE",
                                            "build/windows/helpers/TovrinTools_pinned_next.exe"))  # 1.0.0.1
SIGNED = pathlib.Path(os.environ.get("TOVRIN_SIGNED_SAMPLES", "build/windows/tests/signed_samples"))

CHECKING = f"Checking latest version on {HOST}..."
VERIFYING = "Verifying SHA-256 integrity..."
LAUNCHING = "Launching Tovrin Tools..."
CONNECT_ERROR = f"Cannot connect to update server ({HOST}).\nCheck your internet connection and try again."
DOWNLOAD_ERROR = "Download failed. Please check your internet connection or antivirus and try again."
DIGEST_ERROR = "SHA-256 verification failed! Please try downloading again."
REPLACE_ERROR = "Cannot replace TovrinTools_core.exe (close running Tovrin Tools and retry)."
UNSIGNED_DOWNLOAD_ERROR = "The downloaded Tovrin Tools core is not signed by its publisher and was not installed."
UNSIGNED_CORE_ERROR = "TovrinTools_core.exe is not signed by its publisher and was not started."
# A published size no disk holds (1 EiB), and what the log says of it.
NO_ROOM_SIZE = 1 << 60
NO_ROOM_LOGGED = (rf"download: {NO_ROOM_SIZE} bytes to come, (\d+) free on the install folder's volume: \d+ bytes "
                  r"of room missing, not begun\r\n")
ALREADY_RUNNING = "Tovrin Tools Launcher is already running."
# The run lock's name where Wine has no private namespaces (%ls: the user's SID).
RUN_LOCK = r"Global\TovrinToolsLauncherRun-%ls"
FOREIGN_FOLDER_ERROR = ("The Tovrin Tools folder %s was not made by Tovrin Tools and could not be set aside. "
                        "Close Tovrin Tools and start it again.")
# Wine's Restart Manager knows no program that holds a file, so the box names none.
FOLDER_IN_USE_ERROR = ("The Tovrin Tools folder %s is in use by another program. "
                       "Close it and start Tovrin Tools again.")
LINKED_FOLDER_ERROR = ("The Tovrin Tools folder %s is a link to another place and was not used. "
                       "Remove it and start Tovrin Tools again.")


def sha256_hex(data):
    return hashlib.sha256(data).hexdigest()


def add_user_root(test):
    """Adds the test PKI's user-ca to the user's Root store alone, as any program of the user can; its registry key
    goes at the test's end (Wine's CertDeleteCertificateFromStore leaves the key)."""
    ca = pathlib.Path(test_pki.pki_dir(), "user-ca.pem")
    thumbprint = hashlib.sha1(ssl.PEM_cert_to_DER_cert(ca.read_text())).hexdigest().upper()
    wine = lambda *args: subprocess.run([harness.WINE, *args], env=harness.wine_env(), capture_output=True, timeout=60)
    wine(str(harness.HELPERS_DIR / "install_ca.exe"), "--user", "Z:" + str(ca).replace("/", "\\"))
    test.addCleanup(wine, "reg", "delete",
                    rf"HKCU\Software\Microsoft\SystemCertificates\Root\Certificates\{thumbprint}", "/f")


def set_launcher_floor(parts_hex):
    """Records the launcher floor (four 16-bit numbers, little-endian) beside the user's folder record."""
    reg = lambda *args: subprocess.run([harness.WINE, "reg", *args], env=harness.wine_env(), capture_output=True,
                                       text=True, timeout=60, check=True).stdout
    user = next(w for w in reg("query", harness.FOLDER_RECORD).split() if w.startswith("S-1-") and "." not in w)
    reg("add", harness.FOLDER_RECORD, "/v", user + ".launcher", "/t", "REG_BINARY", "/d", parts_hex, "/f")


class LauncherTestCase(unittest.TestCase):
    """Starts every run from a clean user profile, with the launcher in Downloads."""
    launcher = LAUNCHER

    def setUp(self):
        harness.reset_user_state()
        downloads = harness.user_dir() / "Downloads"
        downloads.mkdir(exist_ok=True)
        self.started_exe = downloads / "TovrinTools.exe"
        shutil.copyfile(self.launcher, self.started_exe)

    def run_launcher(self, *probe_args, timeout=90):
        return harness.run_launcher(harness.windows_path(self.started_exe), probe_args, timeout=timeout)

    def assert_core_started_once_in_install_folder(self):
        starts = harness.core_starts()
        self.assertEqual(len(starts), 1, starts)
        self.assertEqual(starts[0]["cwd"].lower(), harness.windows_path(harness.install_dir()).lower())
        # No arguments: the command line is the core's own path and nothing else.
        self.assertEqual(starts[0]["cmdline"].strip('"').lower(), harness.windows_path(harness.core_path()).lower())

    def assert_nothing_started(self):
        self.assertEqual(harness.core_starts(expected=0), [])

    def assert_no_download_file_left(self):
        self.assertFalse(pathlib.Path(str(harness.core_path()) + ".tmp").exists())


class WithoutServer(LauncherTestCase):
    """No update host answers: the first run cannot work, later runs start what they have."""

    def run_held_at_checking(self, *lines):
        """Runs the launcher with its metadata request held until the probe has
        reported the checking text and each of lines; then the request fails as
        against an unreachable host."""
        with update_server.HeldConnections(harness.UPDATE_PORT) as held:
            run = harness.WatchedLauncher(harness.windows_path(self.started_exe))
            try:
                run.wait_for_all("status " + CHECKING, *lines)
                held.release()
            finally:
                seen = run.finish()
        return seen

    def test_first_run_shows_connect_error_and_starts_nothing(self):
        seen = self.run_held_at_checking("progress 5")
        # The first text may be replaced before the probe sees it.
        self.assertEqual(seen.final_status, CHECKING)
        self.assertLessEqual(set(seen.statuses), {"Initializing Tovrin Tools Launcher...", CHECKING})
        self.assertEqual(seen.progress[-1], 5)
        self.assertEqual(seen.error_boxes, [CONNECT_ERROR])
        self.assertEqual(seen.exit_code, 0)
        self.assert_nothing_started()
        self.assertFalse(harness.core_path().exists())

    def test_later_run_starts_installed_core_without_error(self):
        installed = harness.install_core("fake_core_1_6_5_0")
        for name in ("Launcher-4242.tmp", "TovrinTools_core.exe.tmp", "Launcher-x.tmp"):  # left by killed launchers
            (harness.install_dir() / name).write_bytes(b"left over")
        full_log = b"earlier runs\r\n" * 80000  # over the 1 MiB cap: moved aside whole
        (harness.install_dir() / "launcher.log").write_bytes(full_log)
        seen = self.run_held_at_checking()
        self.assertEqual(sorted(p.name for p in harness.install_dir().glob("*.tmp")), ["Launcher-x.tmp"])
        self.assertEqual((harness.install_dir() / "launcher.old.log").read_bytes(), full_log)
        log = harness.launcher_log()
        self.assertRegex(log, r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z launcher 1\.0\.0\.0: run started; "
                              f"update host {HOST}:{harness.UPDATE_PORT}; install folder C:\\\\users\\\\")
        self.assertRegex(log, r"(?s)metadata request failed: HTTP status 0, 0 bytes, error 1\d{4}\r\n.*"
                              r"falling back to the installed core\r\n.*core started \(process \d+\)")
        self.assertEqual(seen.error_boxes + seen.values("dialog"), [])
        self.assertEqual(seen.final_status, CHECKING)
        self.assertEqual(seen.exit_code, 0)
        self.assert_core_started_once_in_install_folder()
        self.assertEqual(harness.core_path().read_bytes(), installed)

    def test_local_app_data_redirected_by_the_user_moves_nothing(self):
        # The user's own registry names another folder, holding a core of its own.
        key = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"
        elsewhere = harness.prefix() / "drive_c" / "Redirected"
        self.addCleanup(shutil.rmtree, elsewhere, ignore_errors=True)
        (elsewhere / "TovrinTools").mkdir(parents=True)
        shutil.copyfile(harness.fake_core("fake_core_9_9_9_9"), elsewhere / "TovrinTools" / "TovrinTools_core.exe")
        harness.set_registry_value(key, "Local AppData", "REG_EXPAND_SZ", harness.windows_path(elsewhere))
        self.addCleanup(harness.set_registry_value, key, "Local AppData", "REG_EXPAND_SZ",
                        r"%USERPROFILE%\AppData\Local")

        seen = self.run_launcher()
        self.assertEqual(seen.error_boxes, [CONNECT_ERROR])
        self.assertEqual(sorted(p.name for p in elsewhere.rglob("*")), ["TovrinTools", "TovrinTools_core.exe"])
        self.assertEqual((harness.install_dir() / "TovrinTools_Launcher.exe").read_bytes(),
                         self.started_exe.read_bytes())
        self.assert_nothing_started()

    def test_launcher_copy_is_the_running_image_not_a_file_swapped_in_at_its_path(self):
        # Another program, or the (unsigned) running launcher's bytes with another signer's signature appended.
        self.assert_swapped_in_file_is_not_installed(harness.fake_core("fake_core_1_7_0_0"))
        self.assert_swapped_in_file_is_not_installed(
            test_pki.sign(test_pki.pki_dir(), "stranger", LAUNCHER, self.started_exe.with_name("foreign.exe")))

    def assert_swapped_in_file_is_not_installed(self, impostor):
        # A program of the user renames the running launcher's exe and puts another in its place,
        # here while the launcher is held before it starts.
        harness.reset_user_state()
        shutil.copyfile(LAUNCHER, self.started_exe)
        installed_copy = harness.take_install_dir() / "TovrinTools_Launcher.exe"
        older = harness.fake_core("fake_core_1_6_4_0").read_bytes()  # stands in for an older launcher
        installed_copy.write_bytes(older)
        harness.shortcut_path().write_bytes(b"shortcut left alone")
        swapped_in = self.started_exe.with_name("other.exe")
        shutil.copyfile(impostor, swapped_in)
        seen = harness.run_launcher(harness.HELPERS_DIR / "hold_file.exe", args=(
            "--start-swapped", harness.windows_path(self.started_exe), harness.windows_path(swapped_in)))
        self.assertEqual(seen.error_boxes, [CONNECT_ERROR])
        self.assertEqual(self.started_exe.read_bytes(), swapped_in.read_bytes())
        self.assertEqual(installed_copy.read_bytes(), older)
        self.assertEqual(harness.shortcut_path().read_bytes(), b"shortcut left alone")
        self.assertIn("launcher copy: the file at the launcher's path is not the running launcher",
                      harness.launcher_log())

    def test_host_that_never_answers_leaves_the_installed_core_starting_within_seconds(self):
        harness.install_core("fake_core_1_6_5_0")
        with update_server.SilentHost(harness.UPDATE_PORT):
            seen = self.run_launcher()
        self.assertEqual(seen.error_boxes, [])
        self.assert_core_started_once_in_install_folder()
        log = harness.launcher_log()
        self.assertIn("metadata request failed: HTTP status 0, 0 bytes, error 12002", log)  # a time-out
        # Wine's WinHTTP has no fast fallback: the 7 s are two attempts.
        self.assertIn("connection: no IPv6 fast fallback in this WinHTTP", log)
        stamps = [datetime.datetime.fromisoformat(re.search(rf"^(\S+)Z launcher \S+: {line}", log, re.M)[1])
                  for line in ("run started", r"core started \(")]
        self.assertLess((stamps[1] - stamps[0]).total_seconds(), 12)

    def test_run_lock_name_taken_by_a_program_or_by_a_launcher_without_window(self):
        # Made as any program of the user can make it, the name stops nothing; held as a
        # launcher holds it, with no window (in another session, or hung), the user is told.
        for flags, box in (([], CONNECT_ERROR), (["--as-launcher"], ALREADY_RUNNING)):
            harness.reset_user_state()
            holder = harness.hold_file(RUN_LOCK, 60000, flags)
            try:
                started = time.monotonic()
                seen = self.run_launcher("--windowless")
            finally:
                holder.kill()
                holder.wait()
            self.assertEqual(seen.error_boxes, [box], flags)
            self.assertEqual(seen.exit_code, 0)
        self.assertGreaterEqual(seen.time_of("errorbox " + ALREADY_RUNNING) - started, 5.0)
        self.assertFalse(harness.install_dir().exists() or harness.shortcut_path().exists())

    def test_first_start_installs_launcher_and_shortcut(self):
        # Signed as a release is: the signature does not hide the launcher's own image from it.
        self.started_exe.unlink()
        test_pki.sign(test_pki.pki_dir(), "publisher", LAUNCHER, self.started_exe)
        self.run_launcher()
        installed_copy = harness.install_dir() / "TovrinTools_Launcher.exe"
        self.assertEqual(installed_copy.read_bytes(), self.started_exe.read_bytes())
        shortcut = harness.read_shortcut(harness.shortcut_path())
        self.assertIsNotNone(shortcut, "no readable shortcut on the desktop")
        target = harness.windows_path(installed_copy)
        self.assertEqual(shortcut["target"].lower(), target.lower())
        self.assertEqual(shortcut["workdir"].lower(), harness.windows_path(harness.install_dir()).lower())
        self.assertEqual(shortcut["description"], "Tovrin Tools Launcher")
        self.assertEqual((shortcut["icon"].lower(), shortcut["iconindex"]), (target.lower(), "0"))
        self.assertEqual(shortcut["arguments"], "")

    def test_start_from_installed_copy_in_other_case_copies_nothing(self):
        harness.take_install_dir()
        installed_copy = harness.install_dir() / "TovrinTools_Launcher.exe"
        shutil.copyfile(LAUNCHER, installed_copy)
        os.utime(installed_copy, (1_000_000_000, 1_000_000_000))
        seen = harness.run_launcher(harness.windows_path(installed_copy).upper())
        self.assertEqual(seen.error_boxes, [CONNECT_ERROR])
        self.assertEqual(installed_copy.stat().st_mtime, 1_000_000_000)
        self.assertEqual(installed_copy.stat().st_mode & 0o007, 0)  # the folder's descriptor, as Wine maps it
        shortcut = harness.read_shortcut(harness.shortcut_path())
        self.assertEqual(shortcut["target"].lower(), harness.windows_path(installed_copy).lower())

    def test_locked_installed_copy_still_gets_the_shortcut(self):
        harness.take_install_dir()
        installed_copy = harness.install_dir() / "TovrinTools_Launcher.exe"
        older = harness.fake_core("fake_core_1_6_4_0").read_bytes()  # any older file stands in for an older launcher
        installed_copy.write_bytes(older)
        holder = harness.hold_file(installed_copy, 20000)
        try:
            self.run_launcher()
        finally:
            holder.kill()
            holder.wait()
        self.assertEqual(installed_copy.read_bytes(), older)
        shortcut = harness.read_shortcut(harness.shortcut_path())
        self.assertEqual(shortcut["target"].lower(), harness.windows_path(installed_copy).lower())

    def test_older_launcher_leaves_a_newer_installed_copy_and_the_shortcut(self):
        # The newer launcher's copy records the launcher floor, which outlasts the folder.
        harness.reset_user_state(forget_folder=True)
        self.addCleanup(harness.reset_user_state, forget_folder=True)
        copy = harness.install_dir() / "TovrinTools_Launcher.exe"
        shutil.copyfile(NEXT_LAUNCHER, self.started_exe)
        self.run_launcher()
        shutil.copyfile(LAUNCHER, self.started_exe)
        for copy_left, installed in [(True, "1.0.0.1"), (False, "none")]:
            with self.subTest(copy_left=copy_left):
                if not copy_left:
                    copy.unlink()
                self.run_launcher()
                self.assertEqual(copy.exists() and copy.read_bytes(), copy_left and NEXT_LAUNCHER.read_bytes())
                shortcut = harness.read_shortcut(harness.shortcut_path())["target"].lower()
                self.assertEqual(shortcut, harness.windows_path(copy if copy_left else self.started_exe).lower())
                self.assertIn(f"1.0.0.0 is older than the installed copy {installed} or the launcher floor 1.0.0.1",
                              harness.launcher_log().rsplit("run started", 1)[1])


class ServerTestCase(harness.LoopbackServerMixin, LauncherTestCase):
    """A real HTTPS update host on loopback publishes a release per test."""

    def setUp(self):
        super().setUp()
        self.server.clear_requests()

    def publish(self, core, version, **options):
        """Publishes a fake core, named as a helper or given as a path; returns its bytes."""
        path = core if isinstance(core, pathlib.Path) else harness.fake_core(core)
        self.server.set_scenario(update_server.release_scenario(path, version, **options))
        return path.read_bytes()

    def requested_paths(self):
        return [request["path"] for request in self.server.requests()]


class WithServer(ServerTestCase):
    """The launcher as built by default: no signature is checked."""

    def test_update_replaces_older_core_with_rising_progress(self):
        old = harness.install_core("fake_core_1_6_4_0")
        # A trickle that halts half way: the download's text stays up until the
        # probe has reported one, then the rest comes at once.
        size = harness.fake_core("fake_core_1_6_5_0").stat().st_size
        new = self.publish("fake_core_1_6_5_0", "1.6.5.0",
                           exe={"rate": 500_000, "chunk": 16384, "stall_at": size // 2, "stall_seconds": 60})
        # The probe keeps the installed core open until it has seen the verification,
        # so the move cannot pass before: the text is observed however loaded the machine.
        run = harness.WatchedLauncher(harness.windows_path(self.started_exe),
                                      ["--hold", harness.windows_path(harness.core_path()), "--release-on", VERIFYING])
        try:
            run.wait_for("status Downloading")
            self.server.release_stalls()
        finally:
            seen = run.finish()

        downloads = [s for s in seen.statuses if s.startswith("Downloading Tovrin Tools v1.6.5.0... ")]
        self.assertTrue(downloads, seen.statuses)
        total_mb = len(new) / 1048576
        for text in downloads:
            received, total, percent = re.fullmatch(r".*\.\.\. (\d+\.\d) / (\d+\.\d) MB \((\d+)%\)", text).groups()
            self.assertEqual(total, f"{total_mb:.1f}")
            # The percentage tells the same as the megabytes, within their rounding.
            self.assertAlmostEqual(int(percent) / 100 * total_mb, float(received), delta=0.05 + total_mb / 100)
        percents = [int(s.rsplit("(", 1)[1].rstrip("%)")) for s in downloads]
        self.assertEqual(percents, sorted(percents))
        after_download = seen.statuses[seen.statuses.index(downloads[-1]) + 1:]
        self.assertEqual(after_download, [VERIFYING, LAUNCHING])
        self.assertIn("released", seen.lines)
        # 5 % while checking (a moment here), then the download's own percentages
        # from wherever they start; the last, 100 %, was read while the finish waited.
        bar = seen.progress
        downloading = bar[bar.index(5) + 1:] if 5 in bar else bar[1:]
        self.assertEqual(downloading, sorted(downloading))
        self.assertEqual(downloading[-1], 100)
        self.assertEqual(seen.error_boxes, [])

        self.assertEqual(harness.core_path().read_bytes(), new)
        self.assertNotEqual(new, old)
        self.assert_no_download_file_left()
        self.assert_core_started_once_in_install_folder()
        log = harness.launcher_log()
        for line in ("installed core: version 1.6.4.0", "decision: download the published core",
                     f"download succeeded: HTTP status 200, {len(new)} bytes, error 0",
                     f"sha256 of the download: {sha256_hex(new)}, as published",
                     "core started"):
            self.assertIn(line, log)
        # The probe holds the core until it saw the verification: the first move may fail.
        self.assertRegex(log, r"move over the core: attempt [12] succeeded")
        requests = self.server.requests()
        self.assertEqual([r["path"] for r in requests], [update_server.META_PATH, update_server.EXE_PATH])
        self.assertTrue(all(r["method"] == "GET" and r["user_agent"] == "TovrinToolsLauncher/1.0" for r in requests))

    def test_unpinned_launcher_trusts_the_host_on_versions_and_logs_a_mismatch(self):
        harness.install_core("fake_core_1_6_5_0")
        # A launcher published beside it is left alone: without pins it cannot tell the publisher's.
        served = self.publish("fake_core_1_6_4_0", "99.0.0.0",
                              launcher=(SIGNED / "publisher_launcher_1_0_0_1.exe", "1.0.0.1", None))
        seen = self.run_launcher()
        self.assertEqual((seen.error_boxes, seen.final_status), ([], LAUNCHING))
        self.assertEqual(harness.core_path().read_bytes(), served)
        self.assertNotIn(update_server.LAUNCHER_PATH, self.requested_paths())
        self.assertEqual((harness.install_dir() / "TovrinTools_Launcher.exe").read_bytes(), LAUNCHER.read_bytes())
        self.assertIn("launcher update: 1.0.0.1 published; not installed by a launcher without signer pins",
                      harness.launcher_log())
        self.assertIn('version of the download: 1.6.4.0, published "99.0.0.0", installed core 1.6.5.0: not the '
                      "published version; installed all the same (no signer pins)", harness.launcher_log())
        self.assert_core_started_once_in_install_folder()

    def test_host_trusted_only_through_the_users_own_root_is_not_used(self):
        add_user_root(self)
        self.publish("fake_core_1_6_5_0", "1.6.5.0")
        self.server.set_scenario(dict(self.server.scenario(), certificate="user-root"))
        # The control: WinHTTP's own request object, as any program of the user may use it, trusts that host.
        (harness.prefix() / "drive_c" / "get.js").write_text('var r = new ActiveXObject("WinHttp.WinHttpRequest.5.1"); '
            'r.Open("GET", WScript.Arguments.Item(0), false); r.Send(); WScript.Echo(r.Status);')
        control = subprocess.run([harness.WINE, "cscript", "C:\\get.js", f"https://{HOST}:{harness.UPDATE_PORT}"
                                  f"{update_server.META_PATH}"], env=harness.wine_env(), capture_output=True, timeout=60)
        self.assertEqual(control.stdout.strip(), b"200")
        for installed in (True, False):
            with self.subTest(installed=installed):
                harness.reset_user_state()
                self.server.clear_requests()
                if installed:
                    harness.install_core("fake_core_1_6_4_0")
                seen = self.run_launcher()
                self.assertEqual((seen.error_boxes, self.requested_paths()),
                                 ([] if installed else [CONNECT_ERROR], [update_server.META_PATH]))
                self.assertIn('metadata request: the host\'s certificate is trusted only through the user\'s own root '
                              '"User Root Test CA"; only the machine\'s roots count', harness.launcher_log())
                (self.assert_core_started_once_in_install_folder if installed else self.assert_nothing_started)()

    def test_installed_core_kept_when_newer_or_same_build(self):
        cases = [
            ("newer installed", "fake_core_1_6_5_1", "fake_core_1_6_5_0", "1.6.5.0"),
            ("same build", "fake_core_1_6_5_0", "fake_core_1_6_5_0", "1.6.5.0"),
            ("older but same bytes", "fake_core_1_6_4_0", "fake_core_1_6_4_0", "1.6.5.0"),
        ]
        for name, installed_name, published_name, version in cases:
            with self.subTest(name):
                harness.reset_user_state()
                self.server.clear_requests()
                installed = harness.install_core(installed_name)
                self.publish(published_name, version)
                seen = self.run_launcher()
                self.assertEqual(seen.final_status, LAUNCHING)
                self.assertEqual(seen.error_boxes, [])
                self.assertEqual(self.requested_paths(), [update_server.META_PATH])
                self.assertEqual(harness.core_path().read_bytes(), installed)
                self.assert_core_started_once_in_install_folder()

    def test_linked_install_folder_is_refused_and_nothing_goes_through_the_link(self):
        # A Unix link stands in for a junction: Wine shows it in the folder's final path.
        elsewhere = harness.user_dir() / "Elsewhere"
        elsewhere.mkdir()
        self.addCleanup(shutil.rmtree, elsewhere, ignore_errors=True)
        harness.install_dir().symlink_to(elsewhere, target_is_directory=True)
        self.publish("fake_core_1_6_5_0", "1.6.5.0")
        seen = self.run_launcher()
        self.assertEqual(seen.error_boxes, [LINKED_FOLDER_ERROR % harness.windows_path(harness.install_dir())])
        self.assertEqual((list(elsewhere.iterdir()), self.requested_paths()), ([], []))
        self.assert_nothing_started()

    def test_folder_the_launcher_did_not_make_is_set_aside_and_nothing_in_it_used(self):
        # Made before the first run, or put in place of the launcher's own (renamed away) while
        # none ran: a core in it, and beside it a DLL that the core loads (version.dll, through
        # Wine's user32) where Windows would, searching the core's own folder first.
        planted_log = harness.prefix() / "drive_c" / "planted_dll.log"
        # Without winedbg a crash (the planted DLL lacks what it stands in for) ends the process at once.
        env = {"WINEDLLOVERRIDES": "mscoree,mshtml=;winedbg.exe=d;version=n,b",
               "TOVRIN_PLANTED_LOG": harness.windows_path(planted_log)}
        aside = harness.install_dir().with_name("TovrinTools.untrusted-1")
        cases = [  # name, launcher, planted core, published core, the launcher's own folder moved away first
            ("made before the first run", LAUNCHER, harness.fake_core("fake_core_9_9_9_9"),
             harness.fake_core("fake_core_1_6_5_0"), False),
            ("swapped in, pinned, with the publisher's current core", PINNED_LAUNCHER, SIGNED / "publisher_1_6_5_0.exe",
             SIGNED / "publisher_1_6_5_0.exe", True),
        ]
        for name, launcher, planted, published_core, swapped in cases:
            with self.subTest(name):
                harness.reset_user_state(forget_folder=True)
                self.server.clear_requests()
                planted_log.unlink(missing_ok=True)
                if swapped:
                    harness.take_install_dir().rename(harness.install_dir().with_name("TovrinTools.moved"))
                harness.install_dir().mkdir()
                shutil.copyfile(planted, harness.core_path())
                shutil.copyfile(harness.HELPERS_DIR / "planted_dll.dll", harness.install_dir() / "version.dll")
                shutil.copyfile(launcher, self.started_exe)
                published = self.publish(published_core, "1.6.5.0")
                seen = harness.run_launcher(harness.windows_path(self.started_exe), env=env)
                self.assertEqual(seen.error_boxes, [])
                self.assertEqual(self.requested_paths(), [update_server.META_PATH, update_server.EXE_PATH])
                self.assertEqual(harness.core_path().read_bytes(), published)
                self.assert_core_started_once_in_install_folder()
                self.assertEqual(sorted(p.name for p in aside.iterdir()), ["TovrinTools_core.exe", "version.dll"])
                self.assertEqual((aside / "TovrinTools_core.exe").read_bytes(), planted.read_bytes())
                self.assertFalse(planted_log.exists(), "a planted DLL was loaded")
                self.assertRegex(harness.launcher_log(), r"not made by this launcher; set aside as "
                                                         r"TovrinTools\.untrusted-1\r\n.*install folder: made and recorded")
        # The control: the core started from the planted folder does load the DLL beside it.
        subprocess.run([harness.WINE, harness.windows_path(aside / "TovrinTools_core.exe")], cwd=aside,
                       env=harness.wine_env(env), timeout=60)
        self.assertIn(harness.windows_path(aside / "version.dll").lower(), planted_log.read_text().lower())

    def test_anything_in_the_folders_place_is_set_aside_under_a_free_name_and_the_run_goes_on(self):
        local = harness.install_dir().parent
        published = self.publish("fake_core_1_6_5_0", "1.6.5.0")
        cases = [  # name, numbered names taken, what is at the install path, why the log says it was set aside
            ("a plain file", 0, "file", "a file was found there"),
            ("a folder, with every numbered name taken", 99, "folder", "not made by this launcher"),
            # Wine keeps no owner: such a folder is never Administrators', so it is set aside once.
            ("a folder recorded by its ID alone", 0, "recorded by ID", "recorded by an earlier launcher by its ID"),
        ]
        for name, taken, planted, why in cases:
            with self.subTest(name):
                harness.reset_user_state(forget_folder=True)
                self.server.clear_requests()
                numbered = {local / f"TovrinTools.untrusted-{number}" for number in range(1, taken + 1)}
                for path in numbered:
                    path.mkdir()
                if planted == "file":
                    harness.install_dir().write_bytes(b"planted")
                elif planted == "folder":
                    harness.install_dir().mkdir()
                else:  # a launcher's folder, its record cut to the volume serial and file ID
                    harness.take_install_dir()
                    query = subprocess.run([harness.WINE, "reg", "query", harness.FOLDER_RECORD], capture_output=True,
                                           env=harness.wine_env(), timeout=60, check=True).stdout.decode()
                    [(sid, record)] = re.findall(r"^\s*(S-1-[0-9-]+)\s+REG_BINARY\s+(\w+)\s*$", query, re.MULTILINE)
                    harness.set_registry_value(harness.FOLDER_RECORD, sid, "REG_BINARY", record[:48])
                if planted != "file":
                    (harness.install_dir() / "planted").write_bytes(b"planted")
                seen = self.run_launcher()
                self.assertEqual(seen.error_boxes, [])
                self.assertEqual(self.requested_paths(), [update_server.META_PATH, update_server.EXE_PATH])
                self.assertEqual(harness.core_path().read_bytes(), published)
                self.assert_core_started_once_in_install_folder()
                shortcut = harness.read_shortcut(harness.shortcut_path())
                self.assertEqual(shortcut["target"].lower(),
                                 harness.windows_path(harness.install_dir() / "TovrinTools_Launcher.exe").lower())
                [aside] = set(local.glob("TovrinTools.untrusted-*")) - numbered
                self.assertRegex(aside.name, r"^TovrinTools\.untrusted-[0-9a-f]{16}$" if taken else r"-1$")
                self.assertEqual((aside if planted == "file" else aside / "planted").read_bytes(), b"planted")
                self.assertRegex(harness.launcher_log(), why + ".*; set aside as " + re.escape(aside.name))

    def test_folder_held_by_another_program_ends_in_a_box_that_says_so(self):
        installed = harness.install_core("fake_core_1_6_5_0")
        self.publish("fake_core_1_6_5_0", "1.6.5.0")
        holder = harness.hold_file(harness.install_dir(), 60000)
        try:
            seen = self.run_launcher()
        finally:
            holder.kill()
            holder.wait()
        self.assertEqual(seen.error_boxes, [FOLDER_IN_USE_ERROR % harness.windows_path(harness.install_dir())])
        self.assertEqual((self.requested_paths(), harness.core_path().read_bytes()), ([], installed))
        self.assertFalse(harness.shortcut_path().exists() or list(harness.install_dir().parent.glob("*.untrusted-*")))
        self.assert_nothing_started()

    def test_launchers_own_folder_moved_away_and_back_is_kept_and_a_look_alike_started_from_is_refused(self):
        installed = harness.install_core("fake_core_1_6_5_0")
        self.publish("fake_core_1_6_5_0", "1.6.5.0")
        moved = harness.install_dir().rename(harness.install_dir().with_name("TovrinTools.moved"))
        moved.rename(harness.install_dir())
        seen = self.run_launcher()
        self.assertEqual((seen.error_boxes, self.requested_paths()), ([], [update_server.META_PATH]))
        self.assertEqual(harness.core_path().read_bytes(), installed)
        self.assert_core_started_once_in_install_folder()
        # A look-alike holding a copy of the launcher, which the user starts from there.
        harness.reset_user_state(forget_folder=True)
        self.server.clear_requests()
        harness.install_dir().mkdir()
        inside = harness.install_dir() / "TovrinTools_Launcher.exe"
        shutil.copyfile(LAUNCHER, inside)
        seen = harness.run_launcher(harness.windows_path(inside))
        self.assertEqual(seen.error_boxes, [FOREIGN_FOLDER_ERROR % harness.windows_path(harness.install_dir())])
        self.assertEqual((self.requested_paths(), list(harness.install_dir().iterdir())), ([], [inside]))
        self.assertFalse(harness.install_dir().with_name("TovrinTools.untrusted-1").exists())
        self.assert_nothing_started()

    def test_held_folder_and_core_resist_a_program_of_the_same_user(self):
        installed = harness.install_core("fake_core_1_6_5_0")
        scenario = update_server.release_scenario(harness.fake_core("fake_core_1_6_5_0"), "1.6.5.0")
        # The check's answer halts part way: meanwhile the launcher holds the folder and the core.
        scenario["meta"].update(stall_at=10, stall_seconds=120)
        self.server.set_scenario(scenario)
        launcher = harness.WatchedLauncher(harness.windows_path(self.started_exe))
        try:
            launcher.wait_for("status " + CHECKING)
            paths = (harness.install_dir(), harness.core_path(), self.started_exe)  # the last in the core's place
            attack = subprocess.run([harness.WINE, str(harness.HELPERS_DIR / "hold_file.exe"), "--attack"] +
                                    [harness.windows_path(p) for p in paths], env=harness.wine_env(),
                                    capture_output=True, timeout=60)
        finally:
            self.server.release_stalls()
            seen = launcher.finish()
        self.assertEqual(attack.stdout.decode().split()[1::2], ["refused"] * 6, attack.stdout)
        self.assertEqual(seen.error_boxes, [])
        self.assertEqual(harness.core_path().read_bytes(), installed)
        self.assert_core_started_once_in_install_folder()
        # The core made before (mode 644) got the folder's descriptor, which Wine maps to no rights for others.
        self.assertEqual(harness.core_path().stat().st_mode & 0o007, 0)

    def test_last_status_is_on_the_screen_while_the_core_starts(self):
        harness.install_core("fake_core_1_6_5_0")
        published = harness.fake_core("fake_core_1_6_5_0")
        # The answer waits until the probe has sampled the status line under the
        # checking text, so the launching text is compared with pixels that were
        # really shown; the probe reads the launching text while the finish waits.
        self.server.set_scenario({"meta": {"body": update_server.release_meta(published, "1.6.5.0").decode(),
                                           "stall_before_headers": 60}})
        run = harness.WatchedLauncher(harness.windows_path(self.started_exe), ["--watch-paint", LAUNCHING])
        try:
            run.wait_for_all("status " + CHECKING, "paint sampled")
            self.server.release_stalls()
        finally:
            seen = run.finish()
        self.assertEqual(seen.values("painted"), ["yes " + LAUNCHING], seen.lines)
        self.assertEqual(seen.error_boxes, [])
        self.assert_core_started_once_in_install_folder()

    def test_uppercase_published_digest_matches(self):
        harness.install_core("fake_core_1_6_4_0")
        new = harness.fake_core("fake_core_1_6_5_0").read_bytes()
        self.publish("fake_core_1_6_5_0", "1.6.5.0", sha256=sha256_hex(new).upper())
        # A log held by another program is not written, and changes nothing else.
        (harness.install_dir() / "launcher.log").write_bytes(b"")
        holder = harness.hold_file(harness.install_dir() / "launcher.log", 60000)
        try:
            seen = self.run_launcher()
        finally:
            holder.kill()
            holder.wait()
        self.assertEqual((seen.error_boxes, harness.launcher_log()), ([], ""))
        self.assertEqual(harness.core_path().read_bytes(), new)
        self.assert_core_started_once_in_install_folder()

    def test_failed_download_falls_back_to_installed_core(self):
        published = str(harness.fake_core("fake_core_1_6_5_0"))
        cases = [
            ("server error", {"status": 500, "body": "busy"}, None),
            ("1,000,000 bytes", {"body_size": 1_000_000}, None),
            ("dropped mid-body", {"body_file": published, "drop_at": 400_000, "drop": "close"}, None),
            # More than any disk holds: not even asked for.
            ("no room", {"body_file": published}, NO_ROOM_SIZE),
        ]
        for name, answer, size in cases:
            with self.subTest(name):
                harness.reset_user_state()
                self.server.clear_requests()
                old = harness.install_core("fake_core_1_6_4_0")
                self.server.set_scenario({
                    "meta": {"body": update_server.release_meta(published, "1.6.5.0", size=size).decode()},
                    "exe": answer})
                seen = self.run_launcher()
                self.assertEqual(seen.error_boxes, [])
                if size:
                    self.assertEqual(self.requested_paths(), [update_server.META_PATH])
                    self.assertRegex(harness.launcher_log(), NO_ROOM_LOGGED)
                self.assertEqual(harness.core_path().read_bytes(), old)
                self.assert_no_download_file_left()
                self.assert_core_started_once_in_install_folder()

    def test_cut_download_is_resumed_by_the_next_run_only_for_the_same_file(self):
        published = harness.fake_core("fake_core_1_6_5_0")
        other = harness.fake_core("fake_core_1_7_0_0")
        size, cut = published.stat().st_size, 400_000
        partial = harness.install_dir() / "TovrinTools_core.exe.partial"
        weak = {"etag": 'W/"v1"'}
        cases = [  # the first run's validator; the second run's scenario; whether it resumes; what its log says
            ("same release", {}, update_server.release_scenario(published, "1.6.5.0"), True,
             f"download: resumed from byte {cut}, {size - cut} bytes fetched\r\n"),
            ("new release staged", {}, update_server.release_scenario(other, "1.7.0.0"), False,
             f"partial download: {cut} bytes of sha256 \"{sha256_hex(published.read_bytes())}\""),
            # A release the installed core already is: nothing downloaded, and nothing of another release kept.
            ("release installed", {}, update_server.release_scenario(harness.fake_core("fake_core_1_6_4_0"), "1.6.4.0"),
             False, f"partial download: {cut} bytes of sha256 \"{sha256_hex(published.read_bytes())}\""),
            ("bytes no longer served", {}, update_server.release_scenario(published, "1.6.5.0", exe={"etag": '"v2"'}),
             False, f"download: the host sent the whole file, not the rest from byte {cut}\r\n"),
            ("weak validator", weak, update_server.release_scenario(published, "1.6.5.0", exe=weak), False, None),
            # Its rest with another validator: refused, and asked for whole.
            ("range of another file", {}, update_server.release_scenario(
                published, "1.6.5.0", exe={"etag": '"v2"', "if_range": False}), False,
             f"partial download: {cut} bytes discarded, the host did not send their rest\r\n"),
        ]
        for name, validator, second, resumes, logged in cases:
            with self.subTest(name):
                harness.reset_user_state()
                old = harness.install_core("fake_core_1_6_4_0")
                first = update_server.release_scenario(published, "1.6.5.0",
                                                       exe={"drop_at": cut, "drop": "close", **validator})
                self.server.set_scenario(first)
                seen = self.run_launcher()
                self.assertEqual((seen.error_boxes, harness.core_path().read_bytes()), ([], old))
                self.assert_no_download_file_left()
                self.assertEqual(partial.exists(), logged is not None)
                if logged is None:
                    continue
                self.assertEqual(partial.stat().st_size, cut)
                self.assertIn(f"partial download: {cut} of {size} bytes kept for the next run", harness.launcher_log())

                self.server.clear_requests()
                self.server.set_scenario(second)
                seen = self.run_launcher()
                self.assertEqual(seen.error_boxes, [])
                expected = pathlib.Path(second["exe"]["body_file"]).read_bytes()
                self.assertEqual(harness.core_path().read_bytes(), expected)
                self.assertEqual(len(harness.core_starts(expected=2)), 2)  # the old one, then the new one
                self.assertFalse(partial.exists())
                self.assertIn(logged, harness.launcher_log())
                if name == "release installed":
                    self.assertEqual(self.requested_paths(), [update_server.META_PATH])
                    continue
                request = [r for r in self.server.requests() if r["path"] == update_server.EXE_PATH][0]
                [sent, *refused] = sorted((t["status"], t["sent"]) for t in self.server.transfers()
                                          if t["path"] == update_server.EXE_PATH)
                self.assertEqual([status for status, _ in refused], [206] if name == "range of another file" else [])
                if resumes:
                    self.assertEqual(request["headers"].get("Range"), f"bytes={cut}-")
                    self.assertEqual(request["headers"].get("If-Range"), update_server.default_etag(published))
                    self.assertEqual(sent, (206, size - cut))
                    # The bar goes on where it stopped.
                    bar = seen.progress[seen.progress.index(5) + 1:] if 5 in seen.progress else seen.progress[1:]
                    self.assertGreaterEqual(min(bar), cut * 100 // size, seen.progress)
                else:
                    # Another release is not even asked for in part.
                    self.assertEqual(sent, (200, len(expected)))
                    self.assertEqual("Range" in request["headers"], name != "new release staged")

    def test_unusable_metadata_falls_back_or_shows_connect_error(self):
        document = update_server.release_meta(harness.fake_core("fake_core_1_6_5_0"), "1.6.5.0").decode()
        cases = [
            ("404", {"status": 404, "body": "not found"}, 0),
            ("empty body", {"body": ""}, 0),
            # Stalled inside the body: the 15 s receive time-out ends the wait.
            ("stalled body", {"body": document, "stall_at": 10, "stall_seconds": 40}, 15),
        ]
        for name, answer, waited in cases:
            for installed in (True, False) if not waited else (True,):
                with self.subTest(name, installed=installed):
                    harness.reset_user_state()
                    self.server.clear_requests()
                    old = harness.install_core("fake_core_1_6_4_0") if installed else None
                    self.server.set_scenario({"meta": answer, "exe": {"body_file": str(harness.fake_core(
                        "fake_core_1_6_5_0"))}})
                    seen = self.run_launcher()
                    self.assertEqual(self.requested_paths(), [update_server.META_PATH])
                    self.assertEqual(seen.final_status, CHECKING)
                    self.assert_no_download_file_left()
                    if installed:
                        self.assertEqual(seen.error_boxes, [])
                        self.assertEqual(harness.core_path().read_bytes(), old)
                        self.assert_core_started_once_in_install_folder()
                    else:
                        self.assertEqual(seen.error_boxes, [CONNECT_ERROR])
                        self.assertFalse(harness.core_path().exists())
                        self.assert_nothing_started()
                    if waited:
                        # From the request's arrival: the probe may report the checking text late.
                        fell_back = seen.time_of("hidden") - self.server.requests()[0]["monotonic"]
                        self.assertGreater(fell_back, waited - 1)
                        self.assertLess(fell_back, waited + 10, "the download's 30 s time-out is not the fetch's")

    def test_closing_part_way_leaves_old_or_new_core_whole(self):
        new = harness.fake_core("fake_core_1_6_5_0").read_bytes()
        document = update_server.release_meta(harness.fake_core("fake_core_1_6_5_0"), "1.6.5.0").decode()
        core = harness.windows_path(harness.core_path())
        cases = [
            ("during the fetch", {"body": document, "stall_at": 10, "stall_seconds": 20}, ["--close-on", CHECKING]),
            # The probe holds the core, so the move waits for a second try while the window closes.
            ("during the verification and the move", {"body": document}, ["--close-on", VERIFYING, "--hold", core]),
        ]
        for name, meta, probe_args in cases:
            with self.subTest(name):
                harness.reset_user_state()
                old = harness.install_core("fake_core_1_6_4_0")
                self.server.set_scenario({"meta": meta, "exe": {"body_file": str(harness.fake_core(
                    "fake_core_1_6_5_0"))}})
                seen = self.run_launcher(*probe_args)
                self.assertIn("close sent", seen.lines)
                self.assertEqual(seen.error_boxes + seen.values("dialog"), [])
                self.assertEqual(seen.exit_code, 0)
                self.assert_nothing_started()
                self.assertIn(harness.core_path().read_bytes(), (old, new))
                if meta.get("stall_at"):
                    self.assertEqual(harness.core_path().read_bytes(), old)
                    self.assert_no_download_file_left()

    def test_failed_download_without_core_shows_download_error(self):
        published = harness.fake_core("fake_core_1_6_5_0")
        for size, exe, requested in ((None, {"status": 404}, [update_server.META_PATH, update_server.EXE_PATH]),
                                     (NO_ROOM_SIZE, {"body_file": str(published)}, [update_server.META_PATH])):
            with self.subTest(size=size):
                harness.reset_user_state()
                self.server.clear_requests()
                self.server.set_scenario({
                    "meta": {"body": update_server.release_meta(published, "1.6.5.0", size=size).decode()},
                    "exe": exe})
                seen = self.run_launcher()
                self.assertEqual(seen.error_boxes, [DOWNLOAD_ERROR])
                self.assertEqual(self.requested_paths(), requested)
                self.assertFalse(harness.core_path().exists())
                self.assert_no_download_file_left()
                self.assert_nothing_started()

    def test_wrong_digest_is_rejected_and_installed_core_kept(self):
        old = harness.install_core("fake_core_1_6_4_0")
        new = self.publish("fake_core_1_6_5_0", "1.6.5.0", sha256="0" * 64)
        seen = self.run_launcher()
        self.assertEqual(seen.final_status, VERIFYING)
        self.assertEqual(seen.error_boxes, [DIGEST_ERROR])
        # The document is asked for once more, in case a release was staged meanwhile.
        self.assertEqual(self.requested_paths(), [update_server.META_PATH, update_server.EXE_PATH,
                                                  update_server.META_PATH])
        log = harness.launcher_log()
        self.assertIn(f"sha256 of the download: expected {'0' * 64}, computed {sha256_hex(new)}\r\n", log)
        self.assertIn(f'run ended with the box "{DIGEST_ERROR}"', log)
        self.assertEqual(harness.core_path().read_bytes(), old)
        self.assert_no_download_file_left()
        self.assert_nothing_started()

    def test_release_staged_between_the_two_requests_is_installed(self):
        # The host answers the document of one release, and from the next request on serves the next one:
        # a newer release is taken, an older one named by the second document never.
        cases = [("fake_core_1_7_0_0", "1.7.0.0", [], LAUNCHING, "the download, staged meanwhile"),
                 ("fake_core_1_6_4_0", "1.6.4.0", [DIGEST_ERROR], VERIFYING,
                  'published core now: version "1.6.4.0", older than the "1.6.5.0" named before: not taken')]
        for core, version, boxes, status, logged in cases:
            with self.subTest(version):
                harness.reset_user_state()
                self.server.clear_requests()
                installed = harness.install_core("fake_core_1_6_4_0")
                scenario = update_server.release_scenario(harness.fake_core("fake_core_1_6_5_0"), "1.6.5.0")
                scenario["next"] = update_server.release_scenario(harness.fake_core(core), version)
                self.server.set_scenario(scenario)
                seen = self.run_launcher()
                self.assertEqual((seen.error_boxes, seen.final_status), (boxes, status))
                self.assertEqual(self.requested_paths(), [update_server.META_PATH, update_server.EXE_PATH,
                                                          update_server.META_PATH])
                self.assertEqual(harness.core_path().read_bytes(),
                                 installed if boxes else harness.fake_core(core).read_bytes())
                self.assertIn(logged, harness.launcher_log())
                if boxes:
                    self.assert_nothing_started()
                else:
                    self.assert_core_started_once_in_install_folder()

    def test_without_published_digest_every_run_downloads_and_accepts(self):
        new = harness.fake_core("fake_core_1_6_5_0").read_bytes()
        document = f'{{"version": "1.6.5.0", "size": {len(new)}}}'
        self.server.set_scenario({"meta": {"body": document},
                                  "exe": {"body_file": str(harness.fake_core("fake_core_1_6_5_0"))}})
        for run in range(2):
            with self.subTest(run=run):
                self.server.clear_requests()
                seen = self.run_launcher()
                self.assertEqual(seen.error_boxes, [])
                self.assertEqual(self.requested_paths(), [update_server.META_PATH, update_server.EXE_PATH])
                self.assertEqual(harness.core_path().read_bytes(), new)
        self.assertEqual(len(harness.core_starts(expected=2)), 2)

    def test_locked_core_is_tried_twice_then_replace_error(self):
        old = harness.install_core("fake_core_1_6_4_0")
        self.publish("fake_core_1_6_5_0", "1.6.5.0")
        holder = harness.hold_file(harness.core_path(), 30000)
        try:
            seen = self.run_launcher()
        finally:
            holder.kill()
            holder.wait()
        self.assertEqual(seen.error_boxes, [REPLACE_ERROR])
        self.assertRegex(harness.launcher_log(), r"(?s)attempt 1 failed \(error \d+\)\r\n.*attempt 2 failed .*\r\n.*"
                                                 r"run ended with the box \"Cannot replace")
        # The second move comes 900 ms after the first, both after the download ended
        # (the probe may see the box late, never early).
        [exe] = [t for t in self.server.transfers() if t["path"] == update_server.EXE_PATH]
        self.assertGreaterEqual(seen.time_of("errorbox " + REPLACE_ERROR) - exe["ended"], 0.85)
        self.assertEqual(harness.core_path().read_bytes(), old)
        self.assert_no_download_file_left()
        self.assert_nothing_started()

    def test_second_launcher_leaves_a_running_update_alone(self):
        old = harness.install_core("fake_core_1_6_4_0")
        # The first launcher's download halts part way until the test lets it go on.
        new = self.publish("fake_core_1_6_5_0", "1.6.5.0", exe={"stall_at": 300_000, "stall_seconds": 25})
        installed_copy = harness.install_dir() / "TovrinTools_Launcher.exe"
        download = pathlib.Path(str(harness.core_path()) + ".tmp")
        # The old lock's name, which any program of the session can take first, stops neither launcher.
        squatter = harness.hold_file(r"Local\TovrinToolsLauncherRun", 120000, [])
        first = harness.WatchedLauncher(harness.windows_path(self.started_exe))
        try:
            first.wait_for("status Downloading")
            deadline = time.monotonic() + 60
            while download.stat().st_size < 300_000 and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertEqual(download.stat().st_size, 300_000, "the download did not reach its halt")
            # Marks on what a second run would rewrite first: its own copy and the shortcut.
            installed_copy.write_bytes(b"installed copy left alone")
            harness.shortcut_path().write_bytes(b"shortcut left alone")

            second = subprocess.run([harness.WINE, harness.windows_path(self.started_exe)], env=harness.wine_env(),
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
            self.assertEqual(second.returncode, 0)
            self.assertEqual(installed_copy.read_bytes(), b"installed copy left alone")
            self.assertEqual(harness.shortcut_path().read_bytes(), b"shortcut left alone")
            self.assertEqual(download.stat().st_size, 300_000)
            self.assertEqual(harness.core_path().read_bytes(), old)
            self.assertEqual(self.requested_paths(), [update_server.META_PATH, update_server.EXE_PATH])

            self.server.release_stalls()
            first.wait_for("gone")
            # That run is over though its process may linger: the next launcher runs in full.
            third = self.run_launcher()
        finally:
            self.server.release_stalls()
            seen = first.finish()
            squatter.kill()
            squatter.wait()
        self.assertEqual(seen.error_boxes, [])
        self.assertEqual(seen.exit_code, 0)
        self.assertEqual(third.error_boxes, [])
        self.assertEqual(self.requested_paths(),
                         [update_server.META_PATH, update_server.EXE_PATH, update_server.META_PATH])
        self.assertEqual(installed_copy.read_bytes(), self.started_exe.read_bytes())
        self.assertEqual(harness.core_path().read_bytes(), new)
        self.assert_no_download_file_left()
        self.assertEqual(len(harness.core_starts()), 2)

    def test_closing_during_download_cancels_quietly(self):
        old = harness.install_core("fake_core_1_6_4_0")
        self.publish("fake_core_1_6_5_0", "1.6.5.0", exe={"rate": 150_000, "chunk": 8192})
        seen = self.run_launcher("--close-on", "Downloading")
        closed_at = seen.time_of("close sent")
        self.assertLess(seen.time_of("hidden") - closed_at, 1.0, "the window closes at once")
        self.assertEqual(seen.error_boxes + seen.values("dialog"), [])
        self.assertEqual(seen.exit_code, 0)
        self.assert_nothing_started()
        self.assertEqual(harness.core_path().read_bytes(), old)
        # Under Wine the process outlives its window by about 2 s, and its end would
        # stop any download: the worker itself must have stopped reading long before.
        [exe] = [t for t in self.server.transfers() if t["path"] == update_server.EXE_PATH]
        self.assertLess(exe["sent"], exe["length"])
        self.assertLess(exe["ended"], seen.exited_at - 0.5,
                        f"still sending {exe['ended'] - closed_at:.2f} s after the close, "
                        f"{seen.exited_at - closed_at:.2f} s until the process ended; {exe['sent']} bytes sent")

class ThroughUserProxy(ServerTestCase):
    """The user's proxy settings in the prefix's registry send the requests
    through a real tinyproxy on loopback, which only tunnels: TLS stays ours."""
    SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"

    def proxy(self, *config):
        work = pathlib.Path(tempfile.mkdtemp(dir=os.environ.get("TOVRIN_TEST_WORK")))
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        (work / "tp.conf").write_text("\n".join([f"Port {port}", "Listen 127.0.0.1", "Allow 127.0.0.1",
                                                f'LogFile "{work}/tp.log"', "LogLevel Connect", *config]))
        process = subprocess.Popen(["tinyproxy", "-d", "-c", work / "tp.conf"], stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        self.addCleanup(lambda: (process.kill(), process.wait()))
        for _ in range(100):
            with socket.socket() as client:
                if client.connect_ex(("127.0.0.1", port)) == 0:
                    return f"127.0.0.1:{port}", work / "tp.log"
            time.sleep(0.05)
        raise RuntimeError("tinyproxy did not start")

    def set_user_proxy(self, flags, proxy="", bypass="", script=""):
        """The per-user settings as Windows stores them: 1 direct, 2 named proxy, 4 script, 8 detection."""
        blob = struct.pack("<III", 0x46, 1, flags)
        for text in (proxy, bypass, script):
            blob += struct.pack("<I", len(text)) + text.encode("ascii")
        harness.set_registry_value(self.SETTINGS, "DefaultConnectionSettings", "REG_BINARY", (blob + bytes(32)).hex())
        self.addCleanup(subprocess.run, [harness.WINE, "reg", "delete", self.SETTINGS, "/f"], env=harness.wine_env(),
                        capture_output=True, timeout=60)

    def serve_script(self, text):
        handler = type("Script", (http.server.BaseHTTPRequestHandler,), {"log_message": lambda *a: None,
            "do_GET": lambda h: (h.send_response(200), h.end_headers(), h.wfile.write(text.encode()))})
        server = http.server.HTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.shutdown)
        return f"http://127.0.0.1:{server.server_port}/proxy.pac"

    def test_requests_follow_the_users_proxy_settings(self):
        add_user_root(self)
        port = harness.UPDATE_PORT
        tunnel = f"CONNECT {HOST}:{port} "
        cases = [  # name, setting, proxy's own settings, certificate, through the proxy, updated
            ("named proxy", lambda p: self.set_user_proxy(2, p), [f"ConnectPort {port}"], "trusted", True, True),
            ("auto-config script", lambda p: self.set_user_proxy(4, script=self.serve_script(
                f'function FindProxyForURL(url, host) {{ return host == "{HOST}" ? "PROXY {p}" : "DIRECT"; }}')),
             [f"ConnectPort {port}"], "trusted", True, True),
            ("bypass list", lambda p: self.set_user_proxy(2, p, f"*.invalid;{HOST}"), [], "trusted", False, True),
            ("tunnel refused", lambda p: self.set_user_proxy(2, f"http={p};https={p}"), ["ConnectPort 1"],
             "trusted", True, False),
            ("basic logon asked", lambda p: self.set_user_proxy(2, p), [f"ConnectPort {port}", "BasicAuth u p"],
             "trusted", True, False),
            ("unknown CA behind the proxy", lambda p: self.set_user_proxy(2, p), [f"ConnectPort {port}"],
             "untrusted", True, False),
            ("the user's own root behind the proxy", lambda p: self.set_user_proxy(2, p), [f"ConnectPort {port}"],
             "user-root", True, False),
        ]
        for name, configure, proxy_config, certificate, proxied, updated in cases:
            with self.subTest(name):
                harness.reset_user_state()
                self.server.clear_requests()
                old = harness.install_core("fake_core_1_6_4_0")
                new = self.publish("fake_core_1_6_5_0", "1.6.5.0")
                self.server.set_scenario(dict(self.server.scenario(), certificate=certificate))
                address, log = self.proxy(*proxy_config)
                configure(address)
                seen = self.run_launcher()
                self.assertEqual(seen.error_boxes, [])
                self.assertIn(f"proxy: {address if proxied else 'direct'} (", harness.launcher_log())
                self.assertEqual(harness.core_path().read_bytes(), new if updated else old)
                self.assert_core_started_once_in_install_folder()
                # Wine may carry both requests through one tunnel, but it names the whole
                # address only in requests sent through a proxy. A failed tunnel is not tried again.
                tunnels = log.read_text().count(tunnel)
                self.assertEqual(min(tunnels, 1) if updated else tunnels, int(proxied), log.read_text())
                targets = [r["target"].startswith("https://") for r in self.server.requests()]
                # A request the user's root alone vouches for is sent; its answer is not used.
                self.assertEqual(targets, [proxied] * (2 if updated else int(certificate == "user-root")))


class PinnedWithoutServer(LauncherTestCase):
    """A launcher built with the publisher's pin, and no update host: it starts
    only an installed core that the publisher signed."""
    launcher = PINNED_LAUNCHER

    def test_only_a_core_signed_by_the_publisher_is_started(self):
        cases = [
            ("signed by the publisher", SIGNED / "publisher_1_6_4_0.exe", []),
            ("planted unsigned 9.9.9.9", "fake_core_9_9_9_9", [UNSIGNED_CORE_ERROR]),
            ("signed by a stranger", SIGNED / "stranger_1_6_5_0.exe", [UNSIGNED_CORE_ERROR]),
        ]
        for name, core, errors in cases:
            with self.subTest(name):
                harness.reset_user_state()
                installed = harness.install_core(core)
                seen = self.run_launcher()
                self.assertEqual(seen.error_boxes, errors)
                self.assertEqual(seen.exit_code, 0)
                self.assertEqual(harness.core_path().read_bytes(), installed)
                if errors:
                    self.assert_nothing_started()
                else:
                    self.assert_core_started_once_in_install_folder()


class PinnedWithServer(ServerTestCase):
    """A launcher built with the publisher's pin against the loopback update host:
    it installs and starts only cores that the publisher signed."""
    launcher = PINNED_LAUNCHER

    def test_signed_core_is_installed_or_kept_and_started(self):
        older, newer = SIGNED / "publisher_1_6_4_0.exe", SIGNED / "publisher_1_6_5_0.exe"
        cases = [  # name, installed, published, its version in the document, installed in the end, log
            ("signed update", older, newer, "1.6.5.0", newer, "version of the download: 1.6.5.0, as published"),
            ("planted unsigned 9.9.9.9 healed", harness.fake_core("fake_core_9_9_9_9"), newer, "1.6.5.0", newer, ""),
            ("signed and up to date", newer, newer, "1.6.5.0", newer, ""),
            # A host without the publisher's key serves an old signed build it kept: never a downgrade.
            ("older signed core announced as 99.0.0.0", newer, older, "99.0.0.0", newer,
             'version of the download: 1.6.4.0, published "99.0.0.0", installed core 1.6.5.0: not the published '
             "version; not installed"),
            ("signed core announced as another version", older, newer, "1.7.0.0", older,
             'version of the download: 1.6.5.0, published "1.7.0.0", installed core 1.6.4.0: not the published '
             "version; not installed"),
        ]
        for name, installed_core, published_core, version, kept, logged in cases:
            with self.subTest(name):
                harness.reset_user_state()
                self.server.clear_requests()
                harness.install_core(installed_core)
                self.publish(published_core, version)
                seen = self.run_launcher()
                self.assertEqual(seen.error_boxes, [])
                downloads = installed_core != published_core
                self.assertEqual(seen.final_status, LAUNCHING if kept == published_core else VERIFYING)
                expected_requests = [update_server.META_PATH] + ([update_server.EXE_PATH] if downloads else [])
                self.assertEqual(self.requested_paths(), expected_requests)
                self.assertEqual(harness.core_path().read_bytes(), kept.read_bytes())
                self.assertIn(logged, harness.launcher_log())
                self.assert_no_download_file_left()
                self.assert_core_started_once_in_install_folder()

    def test_checked_core_is_not_read_again_until_its_file_changes(self):
        newer = SIGNED / "publisher_1_6_5_0.exe"
        harness.reset_user_state()
        harness.install_core(SIGNED / "publisher_1_6_4_0.exe")
        self.publish(newer, "1.6.5.0")
        runs = [  # what is done to the core the last run left, the requests, this run's log
            ("nothing", [update_server.META_PATH], "its digest and signature taken from that check"),
            # Size, name and ID kept, as a program that could write the folder would.
            ("one byte changed", [update_server.META_PATH, update_server.EXE_PATH],
             "installed core: not signed by a pinned publisher"),
        ]
        self.run_launcher()
        self.assertIn("the download's check recorded for later runs", harness.launcher_log())
        for change, requests, logged in runs:
            with self.subTest(change):
                if change != "nothing":
                    with harness.core_path().open("r+b") as core:
                        core.seek(0x400)
                        byte = core.read(1)[0]
                        core.seek(0x400)
                        core.write(bytes([byte ^ 1]))
                pathlib.Path(str(harness.core_path()) + ".started").unlink()
                self.server.clear_requests()
                seen = self.run_launcher()
                self.assertEqual(seen.error_boxes, [])
                self.assertEqual(self.requested_paths(), requests)
                self.assertIn(logged, harness.launcher_log().rsplit("run started", 1)[1])
                self.assertEqual(harness.core_path().read_bytes(), newer.read_bytes())
                self.assert_core_started_once_in_install_folder()

    def test_no_core_older_than_one_verified_comes_back_in_a_new_folder(self):
        older, newer = SIGNED / "publisher_1_6_4_0.exe", SIGNED / "publisher_1_6_5_0.exe"
        harness.reset_user_state(forget_folder=True)
        # The floor outlasts the folder, so it is forgotten with the records once the test is over.
        self.addCleanup(harness.reset_user_state, forget_folder=True)
        harness.install_core(older)
        self.publish(newer, "1.6.5.0")
        self.run_launcher()
        self.assertIn("core floor: raised to 1.6.5.0", harness.launcher_log())
        runs = [  # published, its version, what is installed and started in the end (None: nothing), log
            (older, "1.6.4.0", None, "version of the download: 1.6.4.0, as published, below the floor 1.6.5.0"),
            (SIGNED / "publisher_1_7_0_0.exe", "1.7.0.0", SIGNED / "publisher_1_7_0_0.exe",
             "core floor: raised to 1.7.0.0"),
        ]
        for published, version, installed, logged in runs:
            with self.subTest(version):
                # A program of the user moves the folder away: the next run makes a new one.
                harness.install_dir().rename(harness.install_dir().with_name("moved-by-the-user"))
                self.publish(published, version)
                self.server.clear_requests()
                seen = self.run_launcher()
                self.assertEqual(self.requested_paths(), [update_server.META_PATH, update_server.EXE_PATH])
                self.assertIn(logged, harness.launcher_log())
                self.assert_no_download_file_left()
                if installed is None:
                    self.assertEqual(seen.error_boxes, [DOWNLOAD_ERROR])
                    self.assertFalse(harness.core_path().exists())
                    self.assert_nothing_started()
                else:
                    self.assertEqual(seen.error_boxes, [])
                    self.assertEqual(harness.core_path().read_bytes(), installed.read_bytes())
                    self.assert_core_started_once_in_install_folder()
                shutil.rmtree(harness.install_dir().with_name("moved-by-the-user"))

    def test_published_launcher_is_installed_only_when_its_publishers_and_as_announced(self):
        core, launcher = SIGNED / "publisher_1_6_5_0.exe", SIGNED / "publisher_launcher_1_0_0_1.exe"
        copy = harness.install_dir() / "TovrinTools_Launcher.exe"
        self.addCleanup(harness.reset_user_state, forget_folder=True)
        cases = [  # name, published launcher, its version and digest, launcher floor, log
            ("by a stranger", SIGNED / "stranger_launcher_1_0_0_1.exe", "1.0.0.1", None, None, "not signed by a"),
            ("another digest", launcher, "1.0.0.1", "0" * 64, None, "sha256 of the download not the published"),
            ("another version", launcher, "1.0.0.2", None, None, "download 1.0.0.1, not the published one"),
            ("a core", core, "1.6.5.0", None, None, "the download is no launcher for this update host"),
            ("below the floor", launcher, "1.0.0.1", None, "0100000000000200", "below the launcher floor 1.0.0.2"),
            ("signed and newer", launcher, "1.0.0.1", None, None, "1.0.0.1 installed as TovrinTools_Launcher.exe"),
        ]
        for name, published, version, digest, floor, logged in cases:
            with self.subTest(name):
                harness.reset_user_state(forget_folder=True)
                self.server.clear_requests()
                harness.install_core(core)
                if floor is not None:
                    set_launcher_floor(floor)
                self.server.set_scenario(update_server.release_scenario(core, "1.6.5.0",
                                                                        launcher=(published, version, digest)))
                # The last one runs from the copy it replaces.
                started = copy if name == "signed and newer" else self.started_exe
                if started == copy:
                    shutil.copyfile(PINNED_LAUNCHER, copy)
                seen = harness.run_launcher(harness.windows_path(started))
                self.assertEqual(seen.error_boxes, [])
                self.assert_core_started_once_in_install_folder()
                self.assertEqual(self.requested_paths(), [update_server.META_PATH, update_server.LAUNCHER_PATH])
                self.assertIn(logged, harness.launcher_log())
                # The copy the run made of itself (none below the floor) stays unless the new one replaced it.
                kept = None if floor else launcher if name == "signed and newer" else PINNED_LAUNCHER
                self.assertEqual(copy.read_bytes() if copy.exists() else None, kept and kept.read_bytes())
        shortcut = harness.read_shortcut(harness.shortcut_path())
        self.assertEqual(shortcut["target"].lower(), harness.windows_path(copy).lower())
        # Started from there, the new launcher runs the update as before and asks for no launcher again.
        pathlib.Path(str(harness.core_path()) + ".started").unlink()
        self.server.clear_requests()
        seen = harness.run_launcher(harness.windows_path(copy))
        self.assertEqual(seen.error_boxes, [])
        self.assertEqual(self.requested_paths(), [update_server.META_PATH])
        self.assert_core_started_once_in_install_folder()
        # The replaced launcher, set aside while it ran, is gone with every other temporary file.
        self.assertEqual([p.name for p in harness.install_dir().glob("*.tmp")], [])

    def test_download_not_signed_by_publisher_is_refused(self):
        # Each is published with the digest of its own bytes, so only the signature tells.
        cases = [
            ("unsigned", harness.fake_core("fake_core_1_6_5_0")),
            ("signed by a stranger", SIGNED / "stranger_1_6_5_0.exe"),
            ("changed after signing", SIGNED / "changed_1_6_5_0.exe"),
        ]
        for name, published_core in cases:
            with self.subTest(name):
                harness.reset_user_state()
                self.server.clear_requests()
                old = harness.install_core(SIGNED / "publisher_1_6_4_0.exe")
                self.publish(published_core, "1.6.5.0")
                seen = self.run_launcher()
                self.assertEqual(seen.error_boxes, [UNSIGNED_DOWNLOAD_ERROR])
                self.assertEqual(self.requested_paths(), [update_server.META_PATH, update_server.EXE_PATH])
                self.assertEqual(harness.core_path().read_bytes(), old)
                self.assert_no_download_file_left()
                self.assert_nothing_started()


if __name__ == "__main__":
    unittest.main(verbosity=2)
