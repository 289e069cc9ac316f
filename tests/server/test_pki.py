#!/usr/bin/env python3
"""Throw-away certificates for the loopback update host, made at test time.

make   : a test CA and a server certificate it signs for the update host name
         (plus localhost and 127.0.0.1), and a second server certificate signed
         by a CA that nobody trusts, to prove that certificate checks stay on.
install: make, then add the test CA to the Wine prefix's LocalMachine Root store
         with the install_ca helper, so WinHTTP in that prefix trusts the host.

The folder is $TOVRIN_TEST_WORK/pki when TOVRIN_TEST_WORK is set (tools/test),
else $TOVRIN_PKI_FALLBACK_DIR (the build folder's test-pki, set by CMake), unless
--dir says otherwise. pki_dir() gives the same answer to other tests.
"""

import argparse
import ipaddress
import os
import subprocess
import sys
import tempfile

FILES = ("ca.pem", "ca.der", "server.pem", "server.key", "untrusted-server.pem", "untrusted-server.key")


def pki_dir():
    work = os.environ.get("TOVRIN_TEST_WORK")
    if work:
        return os.path.join(work, "pki")
    fallback = os.environ.get("TOVRIN_PKI_FALLBACK_DIR")
    if fallback:
        return fallback
    raise RuntimeError("neither TOVRIN_TEST_WORK nor TOVRIN_PKI_FALLBACK_DIR is set")


def _openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def _make_ca(directory, name, subject):
    key = os.path.join(directory, f"{name}.key")
    cert = os.path.join(directory, f"{name}.pem")
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "30",
             "-subj", subject, "-sha256",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    return cert, key


def _make_server(directory, name, host, ca_cert, ca_key):
    key = os.path.join(directory, f"{name}.key")
    csr = os.path.join(directory, f"{name}.csr")
    cert = os.path.join(directory, f"{name}.pem")
    names = [f"DNS:{host}"] if not _is_ip(host) else [f"IP:{host}"]
    for extra in ("DNS:localhost", "IP:127.0.0.1", "IP:::1"):
        if extra not in names:
            names.append(extra)
    extensions = os.path.join(directory, f"{name}.ext")
    with open(extensions, "w") as f:
        f.write("basicConstraints=critical,CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n"
                f"subjectAltName={','.join(names)}\n")
    _openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr, "-subj", f"/CN={host}")
    _openssl("x509", "-req", "-in", csr, "-CA", ca_cert, "-CAkey", ca_key, "-CAcreateserial", "-out", cert,
             "-days", "30", "-sha256", "-extfile", extensions)
    os.remove(csr)


def _is_ip(text):
    try:
        ipaddress.ip_address(text)
        return True
    except ValueError:
        return False


def make(directory, host):
    """Makes the PKI in directory unless it is already complete there."""
    if all(os.path.exists(os.path.join(directory, f)) for f in FILES):
        return directory
    os.makedirs(directory, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=directory) as scratch:
        ca_cert, ca_key = _make_ca(scratch, "ca", "/CN=Tovrin Tools Test CA")
        _make_server(scratch, "server", host, ca_cert, ca_key)
        rogue_cert, rogue_key = _make_ca(scratch, "rogue-ca", "/CN=Untrusted Test CA")
        _make_server(scratch, "untrusted-server", host, rogue_cert, rogue_key)
        _openssl("x509", "-in", ca_cert, "-outform", "DER", "-out", os.path.join(scratch, "ca.der"))
        # Published last and by rename, so a half-made folder is never taken as complete.
        for name in FILES:
            os.replace(os.path.join(scratch, name), os.path.join(directory, name))
    return directory


def install(directory, wine_run, install_ca):
    """Adds the test CA to the Root store of the prefix in $WINEPREFIX."""
    subprocess.run([wine_run, install_ca, "Z:" + os.path.join(directory, "ca.der").replace("/", "\\")], check=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("action", choices=("make", "install"))
    parser.add_argument("--dir", help="PKI folder (default: see above)")
    parser.add_argument("--host", default="localhost", help="update host name the server certificate is for")
    parser.add_argument("--wine-run", help="tools/wine-run (install)")
    parser.add_argument("--install-ca", help="install_ca.exe (install)")
    args = parser.parse_args(argv)

    directory = args.dir or pki_dir()
    make(directory, args.host)
    if args.action == "install":
        if not args.wine_run or not args.install_ca:
            parser.error("install needs --wine-run and --install-ca")
        install(directory, args.wine_run, args.install_ca)
    print(directory)
    return 0


if __name__ == "__main__":
    sys.exit(main())
