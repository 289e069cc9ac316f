"""Runs the real launcher under Wine and watches it with the UI probe.

The probe (tests/helpers/ui_probe.cpp) reports what a user would see: the
window and its controls once, then every status text, progress value and
message box, and finally that the window is gone.
"""
import dataclasses
import os
import pathlib
import shutil
import subprocess

WINE = shutil.which("wine64") or "/usr/lib/wine/wine64"
HELPERS_DIR = pathlib.Path(os.environ.get("TOVRIN_HELPERS_DIR", "build/windows/helpers"))


@dataclasses.dataclass
class Observed:
    lines: list
    exit_code: int

    def values(self, kind):
        """Every event of one kind ("status", "progress", "errorbox", "dialog"), in order."""
        prefix = kind + " "
        return [line[len(prefix):] for line in self.lines if line.startswith(prefix)]

    def first(self, kind):
        found = [line for line in self.lines if line.startswith(kind + " ")]
        return found[0] if found else None

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


def run_launcher(exe, probe_args=(), timeout=90, cwd=None, env=None):
    """Starts exe under Wine with the probe watching; returns what the probe saw and the exit code."""
    env = wine_env(env)
    launcher = subprocess.Popen([WINE, str(exe)], cwd=cwd, env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        probe = subprocess.run([WINE, str(HELPERS_DIR / "ui_probe.exe"), "--timeout-ms", str(timeout * 1000),
                                *probe_args], env=env, capture_output=True, timeout=timeout + 30)
        exit_code = launcher.wait(timeout=60)
    finally:
        if launcher.poll() is None:
            launcher.kill()
    lines = probe.stdout.decode("utf-8", "replace").splitlines()
    return Observed(lines=lines, exit_code=exit_code)
