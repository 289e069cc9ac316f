"""Runs the real launcher under Wine and watches it with the UI probe.

The probe (tests/helpers/ui_probe.cpp) reports what a user would see: the
window and its controls once, then every status text, progress value and
message box, and finally that the window is gone. It holds the run's finish
until it has read the window, so the state a run ends in is always seen
(Observed.final_status); any earlier state a test reads must be held by the
test itself (a stalled answer, update_server.HeldConnections, a held file).
"""
import dataclasses
import os
import pathlib
import shutil
import subprocess
import threading
import time

WINE = shutil.which("wine64") or "/usr/lib/wine/wine64"
HELPERS_DIR = pathlib.Path(os.environ.get("TOVRIN_HELPERS_DIR", "build/windows/helpers"))
UPDATE_PORT = int(os.environ.get("TOVRIN_UPDATE_PORT", "443"))


def fake_core(name):
    """A fake core built at a chosen version (tests/helpers/fake_core.cpp)."""
    return HELPERS_DIR / f"{name}.exe"


class LoopbackServerMixin:
    """One loopback HTTPS update server (tests/server) for all tests of a class;
    each test publishes its own release with self.server.set_scenario."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        import test_pki
        import update_server
        cls.server = update_server.UpdateServer(test_pki.pki_dir(), port=UPDATE_PORT)
        cls.server.start()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        super().tearDownClass()


@dataclasses.dataclass
class Observed:
    lines: list
    exit_code: int
    times: list = dataclasses.field(default_factory=list)
    exited_at: float = 0.0  # when the launcher's process ended (monotonic seconds)

    def time_of(self, line):
        """When the probe reported line (monotonic seconds)."""
        return self.times[self.lines.index(line)]

    def values(self, kind):
        """Every event of one kind ("status", "progress", "errorbox", "dialog"), in order."""
        prefix = kind + " "
        return [line[len(prefix):] for line in self.lines if line.startswith(prefix)]

    def first(self, kind):
        found = [line for line in self.lines if line.startswith(kind + " ")]
        return found[0] if found else None

    @property
    def final_status(self):
        """The status text the run ended with, read while the probe held its finish."""
        held = self.lines.index("finish held")
        return [line for line in self.lines[:held] if line.startswith("status ")][-1][len("status "):]

    @property
    def statuses(self):
        return self.values("status")

    @property
    def progress(self):
        return [int(value) for value in self.values("progress")]

    @property
    def error_boxes(self):
        # The probe writes the line feed inside a text as "|".
        return [text.replace("|", "\n") for text in self.values("errorbox")]


def wine_env(extra=None):
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    env.update(extra or {})
    return env


def parse_fields(line):
    """Splits 'kind a=1 b=x y' into a dict; the last field (text=) takes the rest of the line."""
    fields = {}
    rest = line.split(" ", 1)[1] if " " in line else ""
    while rest:
        key, _, value = rest.partition("=")
        if key == "text" or key == "caption" and " style=" not in value:
            fields[key] = value
            break
        if key == "caption":
            value, _, rest = value.partition(" style=")
            fields[key] = value
            rest = "style=" + rest
            continue
        value, _, rest = value.partition(" ")
        fields[key] = value
    return fields


def start_probe(probe_args, timeout, env):
    """Starts the UI probe and returns it once it says it is watching, so that a
    launcher started afterwards cannot come and go unseen."""
    probe = subprocess.Popen([WINE, str(HELPERS_DIR / "ui_probe.exe"), "--timeout-ms", str(timeout * 1000),
                              "--hold-finish", *probe_args], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    ready = probe.stdout.readline().decode("utf-8", "replace").rstrip("\r\n")
    if ready != "watching":
        probe.kill()
        probe.wait()
        raise RuntimeError(f"the UI probe did not start: {ready!r}")
    return probe


def run_launcher(exe, probe_args=(), timeout=90, cwd=None, env=None, args=()):
    """Starts exe (with args, for a helper that starts the launcher) under Wine
    once the probe is watching; returns what the probe saw (each line with the
    moment it arrived) and the launcher's exit code."""
    env = wine_env(env)
    probe = start_probe(probe_args, timeout, env)
    launcher = None
    lines, times, exited = [], [], []
    try:
        launcher = subprocess.Popen([WINE, str(exe), *args], cwd=cwd, env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        exiter = threading.Thread(target=lambda: exited.append((launcher.wait(), time.monotonic())[1]))
        exiter.start()
        for raw in probe.stdout:
            lines.append(raw.decode("utf-8", "replace").rstrip("\r\n"))
            times.append(time.monotonic())
        probe.wait(timeout=30)
        exit_code = launcher.wait(timeout=60)
        exiter.join()
    finally:
        for process in (probe, launcher):
            if process is not None and process.poll() is None:
                process.kill()
    return Observed(lines=lines, exit_code=exit_code, times=times, exited_at=exited[0])


class WatchedLauncher:
    """A launcher under the probe that the test follows while it runs, for tests
    that act at a given moment of the run (run_launcher waits for its end)."""

    def __init__(self, exe, probe_args=(), timeout=90):
        env = wine_env()
        self.observed = Observed(lines=[], exit_code=None)
        self.probe = start_probe(probe_args, timeout, env)
        self.launcher = subprocess.Popen([WINE, str(exe)], env=env,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait_for(self, prefix=None):
        """Reads probe lines up to the first that starts with prefix (with None,
        up to the probe's end, which its own time-out bounds) and returns it."""
        for raw in self.probe.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            self.observed.lines.append(line)
            self.observed.times.append(time.monotonic())
            if prefix is not None and line.startswith(prefix):
                return line
        if prefix is not None:
            raise AssertionError(f"the probe never reported {prefix!r}: {self.observed.lines}")
        return None

    def wait_for_all(self, *lines):
        """Reads probe lines until each of lines (whole lines) has been reported."""
        while not set(lines) <= set(self.observed.lines):
            self.wait_for("")

    def finish(self):
        """Waits for the run's end (killing what is left after a failure) and
        returns what the probe saw."""
        try:
            self.wait_for()
            self.probe.wait(timeout=30)
            self.observed.exit_code = self.launcher.wait(timeout=60)
        finally:
            for process in (self.probe, self.launcher):
                if process.poll() is None:
                    process.kill()
                    process.wait()
            self.probe.stdout.close()
        return self.observed


# --- the Wine user's folders, as the launcher sees them -----------------------

def prefix():
    return pathlib.Path(os.environ["WINEPREFIX"])


def user_dir():
    users = [p for p in (prefix() / "drive_c" / "users").iterdir() if p.name != "Public" and p.is_dir()]
    if len(users) != 1:
        raise RuntimeError(f"expected one Wine user, found {users}")
    return users[0]


def windows_path(path):
    """The Windows name of a file inside the prefix's drive C:."""
    relative = pathlib.Path(path).relative_to(prefix() / "drive_c")
    return "C:\\" + "\\".join(relative.parts)


def temp_dir():
    """The Wine user's temporary folder (GetTempPathW), inside the prefix's drive C:."""
    result = subprocess.run([WINE, "cmd", "/c", "echo", "%TEMP%"], env=wine_env(), capture_output=True, timeout=60,
                            check=True)
    windows = result.stdout.decode("utf-8", "replace").strip()
    if not windows.lower().startswith("c:\\"):
        raise RuntimeError(f"unexpected temporary folder {windows!r}")
    return prefix() / "drive_c" / pathlib.PureWindowsPath(windows).relative_to("C:\\").as_posix()


def install_dir():
    return user_dir() / "AppData" / "Local" / "TovrinTools"


def core_path():
    return install_dir() / "TovrinTools_core.exe"


def launcher_log(name="launcher.log"):
    path = install_dir() / name
    return path.read_bytes().decode("utf-8") if path.exists() else ""  # its own line ends, \r\n


def shortcut_path():
    return user_dir() / "Desktop" / "Tovrin Tools.lnk"


# Where the launcher records the install folder it made (only elevated code can write there).
FOLDER_RECORD = r"HKLM\Software\TovrinTools"


def reset_user_state(forget_folder=False):
    """Removes the install folder, those set aside beside it and the shortcut; with forget_folder
    also the folder's record, as a folder the test makes may get the deleted one's ID (ext4 reuses inodes)."""
    for target in [install_dir(), *install_dir().parent.glob(install_dir().name + ".*")]:
        if target.is_dir() and not target.is_symlink():
            shutil.rmtree(target)
        elif target.exists() or target.is_symlink():
            target.unlink()
    if forget_folder:
        subprocess.run([WINE, "reg", "delete", FOLDER_RECORD, "/f"], env=wine_env(), capture_output=True, timeout=60)
    if shortcut_path().exists():
        shortcut_path().unlink()


def take_install_dir():
    """The install folder as a launcher makes and records it (tests/helpers/take_install_folder.cpp)."""
    subprocess.run([WINE, str(HELPERS_DIR / "take_install_folder.exe")], env=wine_env(), capture_output=True,
                   timeout=60, check=True)
    return install_dir()


def install_core(core):
    """Puts a fake core (a helper's name or a path) in place as the installed core, in the folder a
    launcher made (made now unless there is one); returns its bytes."""
    if not install_dir().is_dir():
        take_install_dir()
    shutil.copyfile(core if isinstance(core, pathlib.Path) else fake_core(core), core_path())
    return core_path().read_bytes()


def core_starts(expected=1, wait_seconds=60.0):
    """Each start of the installed core as {"cwd": ..., "cmdline": ...}, once at
    least expected starts were recorded or wait_seconds passed (the fake core
    writes each start whole), and a moment more for a start too many."""
    record = pathlib.Path(str(core_path()) + ".started")

    def recorded():
        starts, current = [], {}
        text = record.read_text(encoding="utf-8") if record.exists() else ""
        for line in text.splitlines():
            key, _, value = line.partition("=")
            current[key] = value
            if key == "cmdline":
                starts.append(current)
                current = {}
        return starts

    deadline = time.monotonic() + wait_seconds
    while len(recorded()) < expected and time.monotonic() < deadline:
        time.sleep(0.1)
    time.sleep(0.5 if expected else 1.0)
    return recorded()


def set_registry_value(key, name, kind, data):
    """Writes one registry value in the prefix."""
    done = subprocess.run([WINE, "reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f"], env=wine_env(),
                          capture_output=True, timeout=60)
    if done.returncode != 0:
        raise RuntimeError(f"reg add {key} {name} failed ({done.returncode}): {done.stdout!r} {done.stderr!r}")


def read_shortcut(path):
    """The shortcut's fields read back through the Shell Link interfaces."""
    result = subprocess.run([WINE, str(HELPERS_DIR / "read_shortcut.exe"), windows_path(path)],
                            env=wine_env(), capture_output=True, timeout=60)
    if result.returncode != 0:
        return None
    fields = {}
    for line in result.stdout.decode("utf-8", "replace").splitlines():
        key, _, value = line.partition("=")
        fields[key] = value
    return fields


def hold_file(path, milliseconds, mutex_flags=None):
    """Starts a process that holds path open without sharing, or with mutex_flags
    (tests/helpers/hold_file.cpp) the mutex named path; returns it once it holds it."""
    target = [windows_path(path)] if mutex_flags is None else ["--mutex", path]
    holder = subprocess.Popen([WINE, str(HELPERS_DIR / "hold_file.exe"), *target, str(milliseconds),
                               *(mutex_flags or [])], env=wine_env(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    if holder.stdout.readline().strip() != b"held":
        holder.kill()
        raise RuntimeError(f"could not hold {path}")
    return holder
