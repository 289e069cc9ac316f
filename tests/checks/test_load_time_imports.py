"""The launcher exe's import tables: at load time it may import only known DLLs,
which Windows always takes from the system folder; the other system DLLs it
uses are bound late (delay-load) so that the search restriction set first thing
in wWinMain applies to them.

The load-time imports come from `objdump -p`. GNU ld does not fill in the PE
delay-import directory entry for mingw-w64 delay-load libraries, so objdump
does not show those; the delay-load descriptors are found by reading the image.
"""
import os
import pathlib
import re
import struct
import subprocess
import unittest

OBJDUMP = os.environ.get("TOVRIN_OBJDUMP", "x86_64-w64-mingw32-objdump")
LAUNCHER = pathlib.Path(os.environ.get("TOVRIN_LAUNCHER_EXE", "build/windows/TovrinTools.exe"))
# Any exe linked with ordinary import libraries for the late-bound DLLs.
ORDINARY_EXE = pathlib.Path(os.environ.get("TOVRIN_ORDINARY_EXE", "build/windows/tests/http_client_test.exe"))

# On the KnownDLLs list of every Windows version from 7 on.
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "comdlg32.dll", "difxapi.dll", "gdi32.dll", "imagehlp.dll", "imm32.dll",
    "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll", "nsi.dll", "ole32.dll", "oleaut32.dll", "psapi.dll",
    "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "wldap32.dll",
    "ws2_32.dll",
    # Not on the list, but mapped from the system folder into every process before any other DLL.
    "ntdll.dll",
}
DELAY_LOADED = {"winhttp.dll", "bcrypt.dll", "comctl32.dll", "wintrust.dll", "crypt32.dll", "rstrtmgr.dll"}


def load_time_imports(exe):
    """The DLL names of the import table, lower case, as objdump -p lists them."""
    text = subprocess.run([OBJDUMP, "-p", str(exe)], check=True, capture_output=True, text=True).stdout
    table = text.split("The Import Tables", 1)
    if len(table) != 2:
        raise AssertionError(f"objdump -p shows no import table for {exe}")
    # The table ends where objdump's next heading ("The Function Table", ...) begins.
    table = re.split(r"\n(?=The )", table[1], maxsplit=1)[0]
    return {name.lower() for name in re.findall(r"^\s*DLL Name: (\S+)$", table, re.MULTILINE)}


class PeImage:
    """Sections of a 64-bit PE file, enough to read memory by RVA."""

    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise AssertionError("not a PE file")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        table = pe + 24 + optional_size
        self.sections = []
        for i in range(sections):
            virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            self.sections.append((rva, max(virtual_size, raw_size), raw_size, raw_offset))

    def offset(self, rva, length=1):
        """File offset of length bytes at rva, or None when they are not all in the file."""
        for start, size, raw_size, raw_offset in self.sections:
            if start <= rva and rva + length <= start + min(size, raw_size):
                return raw_offset + rva - start
        return None

    def in_image(self, rva):
        return any(start <= rva < start + size for start, size, _, _ in self.sections)

    def c_string(self, rva, limit=256):
        offset = self.offset(rva)
        if offset is None:
            return None
        end = self.data.find(b"\0", offset, offset + limit)
        if end < 0:
            return None
        text = self.data[offset:end]
        return text.decode("ascii") if text and all(0x20 < c < 0x7F for c in text) else None


def delay_imports(exe):
    """{dll name (lower case): [function names]} of every delay-load descriptor:
    eight 32-bit fields, attributes 1 (RVAs), then RVAs of the DLL name, module
    handle, address table and name table, each of which must make sense."""
    image = PeImage(pathlib.Path(exe).read_bytes())
    found = {}
    for _, _, raw_size, raw_offset in image.sections:
        for offset in range(raw_offset, raw_offset + raw_size - 32 + 1, 4):
            attributes, name, module, iat, int_ = struct.unpack_from("<5I", image.data, offset)
            if attributes != 1 or not all(image.in_image(rva) for rva in (name, module, iat, int_)):
                continue
            dll = image.c_string(name)
            if dll is None or not dll.lower().endswith(".dll"):
                continue
            functions = []
            thunk = image.offset(int_, 8)
            while thunk is not None:
                entry = struct.unpack_from("<Q", image.data, thunk)[0]
                if entry == 0 or entry >> 31:
                    break
                function = image.c_string(entry + 2)  # after the 16-bit hint
                if function is None:
                    break
                functions.append(function)
                thunk = image.offset(int_ + 8 * len(functions), 8)
            if functions:
                found[dll.lower()] = functions
    return found


class LoadTimeImports(unittest.TestCase):
    def test_launcher_imports_only_known_dlls_at_load_time(self):
        imports = load_time_imports(LAUNCHER)
        self.assertIn("kernel32.dll", imports)
        self.assertEqual(imports - KNOWN_DLLS, set())

    def test_launcher_delay_loads_the_other_system_dlls(self):
        delayed = delay_imports(LAUNCHER)
        self.assertEqual(set(delayed), DELAY_LOADED)
        self.assertIn("WinHttpOpen", delayed["winhttp.dll"])
        self.assertIn("BCryptHashData", delayed["bcrypt.dll"])
        self.assertEqual(delayed["comctl32.dll"], ["InitCommonControlsEx"])
        self.assertIn("WinVerifyTrust", delayed["wintrust.dll"])
        self.assertIn("CryptHashCertificate2", delayed["crypt32.dll"])
        self.assertIn("CertGetCertificateChain", delayed["crypt32.dll"])
        self.assertIn("RmGetList", delayed["rstrtmgr.dll"])

    def test_ordinary_imports_are_reported(self):
        # A program linked the ordinary way: the check must see its load-time
        # import of a DLL that is not known, and no delay-load descriptors.
        self.assertIn("winhttp.dll", load_time_imports(ORDINARY_EXE) - KNOWN_DLLS)
        self.assertEqual(delay_imports(ORDINARY_EXE), {})


if __name__ == "__main__":
    unittest.main(verbosity=2)
