"""The build setting TOVRIN_CORE_SIGNERS: cmake/core_signers.cmake turns the
pins into the launcher's source and stops the build at a malformed pin. Run
here in its script form, which checks and writes exactly as the configuration
does."""
import os
import pathlib
import subprocess
import tempfile
import unittest

CMAKE = os.environ.get("TOVRIN_CMAKE", "cmake")
SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "cmake" / "core_signers.cmake"
PIN = "0123456789abcdef" * 4


def write_signers(pins_text, directory):
    pins = pathlib.Path(directory) / "pins"
    pins.write_text(pins_text)
    output = pathlib.Path(directory) / "core_signers.cpp"
    result = subprocess.run([CMAKE, f"-DTOVRIN_PINS_FILE={pins}", f"-DTOVRIN_OUTPUT={output}", "-P", str(SCRIPT)],
                            capture_output=True, text=True)
    return result, output.read_text() if output.exists() else None


class CoreSignersSetting(unittest.TestCase):
    def test_well_formed_pins_are_compiled_in_order(self):
        upper = PIN.upper()[::-1]
        cases = [
            ("none", "", "{nullptr}"),
            ("one", PIN, f'{{"{PIN}", nullptr}}'),
            ("two, either case", f"{PIN};{upper}", f'{{"{PIN}", "{upper}", nullptr}}'),
        ]
        for name, text, array in cases:
            with self.subTest(name), tempfile.TemporaryDirectory() as work:
                result, source = write_signers(text + "\n", work)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(f"kCoreSignerPins[] = {array};", source)

    def test_malformed_pin_stops_the_build_and_names_it(self):
        for bad in (PIN[:-1], PIN + "0", PIN[:-1] + "g", "sha256:" + PIN[7:], PIN[:32] + " " + PIN[33:]):
            with self.subTest(bad), tempfile.TemporaryDirectory() as work:
                result, source = write_signers(f"{PIN};{bad}", work)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(f'"{bad}" is not a pin', " ".join(result.stderr.split()))
                self.assertIsNone(source)


if __name__ == "__main__":
    unittest.main(verbosity=2)
