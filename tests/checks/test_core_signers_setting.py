"""The build setting TOVRIN_CORE_SIGNERS stops the build at a malformed pin and
names it. cmake/core_signers.cmake is run here in its script form, which checks
the pins exactly as the configuration does; the launcher built with a pin
(TovrinTools_pinned) shows that well-formed pins are compiled in."""
import os
import pathlib
import subprocess
import tempfile
import unittest

CMAKE = os.environ.get("TOVRIN_CMAKE", "cmake")
SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "cmake" / "core_signers.cmake"
PIN = "0123456789abcdef" * 4


class CoreSignersSetting(unittest.TestCase):
    def test_malformed_pin_stops_the_build_and_is_named(self):
        cases = (PIN[:-1], PIN + "0", PIN[:-1] + "g", "sha256:" + PIN[7:], PIN[:32] + " " + PIN[33:], None)
        for bad in cases:
            with self.subTest(bad), tempfile.TemporaryDirectory() as work:
                pins = pathlib.Path(work) / "pins"
                pins.write_text(PIN.upper() if bad is None else f"{PIN};{bad}")
                output = pathlib.Path(work) / "core_signers.cpp"
                result = subprocess.run([CMAKE, f"-DTOVRIN_PINS_FILE={pins}", f"-DTOVRIN_OUTPUT={output}",
                                         "-P", str(SCRIPT)], capture_output=True, text=True)
                if bad is None:  # the control: a well-formed pin passes
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertIn(f'"{PIN.upper()}", nullptr', output.read_text())
                    continue
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(f'"{bad}" is not a pin', " ".join(result.stderr.split()))
                self.assertFalse(output.exists())


if __name__ == "__main__":
    unittest.main(verbosity=2)
