"""The launcher window seen from outside the process, as a user meets it."""
import pathlib
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import launcher_harness as harness  # noqa: E402

WS_CAPTION, WS_SYSMENU = 0x00C00000, 0x00080000
WS_THICKFRAME, WS_MINIMIZEBOX, WS_MAXIMIZEBOX = 0x00040000, 0x00020000, 0x00010000
WS_EX_TOPMOST = 0x00000008
PBS_SMOOTH = 0x01


class WorkerThatCannotStart(unittest.TestCase):
    """A launcher whose update worker never starts keeps its first text until closed."""

    def test_window_keeps_first_text_until_closed_and_exits_0(self):
        seen = harness.run_launcher(harness.HELPERS_DIR / "TovrinTools_noworker.exe",
                                    ["--close-after-ms", "2500"], timeout=60)

        window = harness.parse_fields(seen.first("window"))
        self.assertEqual(window["caption"], "Tovrin Tools Launcher")
        style, exstyle = int(window["style"], 16), int(window["exstyle"], 16)
        self.assertEqual(style & (WS_CAPTION | WS_SYSMENU), WS_CAPTION | WS_SYSMENU)
        self.assertEqual(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0)
        self.assertTrue(exstyle & WS_EX_TOPMOST)
        left, top, right, bottom = map(int, window["rect"].split(","))
        screen_w, screen_h = map(int, window["screen"].split(","))
        self.assertEqual((right - left, bottom - top), (456, 128))
        self.assertEqual((left, top), ((screen_w - 456) // 2, (screen_h - 128) // 2))

        controls = [harness.parse_fields(line) for line in seen.lines if line.startswith("control ")]
        self.assertEqual(len(controls), 2, seen.lines)
        status = next(c for c in controls if c["class"].lower() == "static")
        progress = next(c for c in controls if c["class"].lower() == "msctls_progress32")
        self.assertEqual(status["client"], "18,18,404,24")
        self.assertEqual(status["text"], "Initializing Tovrin Tools Launcher...")
        self.assertEqual(progress["client"], "18,52,404,22")
        self.assertTrue(int(progress["style"], 16) & PBS_SMOOTH)

        # Nothing changes while no worker runs, and closing asks nothing.
        self.assertEqual(seen.statuses, ["Initializing Tovrin Tools Launcher..."])
        self.assertEqual(seen.progress, [0])
        self.assertEqual(seen.values("errorbox") + seen.values("dialog"), [])
        self.assertIn("gone", seen.lines)
        self.assertEqual(seen.exit_code, 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
