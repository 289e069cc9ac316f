#!/usr/bin/env python3
"""Throw-away certificates for the loopback update host, made at test time.

make   : a test CA and a server certificate it signs for the update host name
         (plus localhost and 127.0.0.1), and a second server certificate signed
         by a CA that nobody trusts, to prove that certificate checks stay on,
         and a third (user-server) by a CA that a test puts into the user's
         Root store alone (user-ca);
         a code-signing CA with two signers of cores: the publisher and a
         stranger (sign() signs an exe with either, pin() gives a signer's pin);
         under it also a time stamp authority (tsa) and an intermediate CA with
         a signer whose root nobody ships (cloud).
install: make, then add the test CA to the Wine prefix's LocalMachine Root store
         with the install_ca helper, so WinHTTP in that prefix trusts the host.
signers: only the code-signing CA and its two signers, in --dir, plus each
         signer's pin in <signer>.pin (the build makes these for the launcher
         that it compiles with the publisher's pin).
make_trust() adds what the release tool's trust checks need: a time stamp
         authority that issued itself (made-up-tsa), a chain chain-root ->
         chain-i2 -> chain-i1 -> chain-leaf (chain-leaf-chain.pem carries leaf
         and I1, chain-leaf-full.pem also I2), and under chain-root a time stamp
         authority (chain-tsa) with a twin certificate for code signing.

The folder is $TOVRIN_TEST_WORK/pki when TOVRIN_TEST_WORK is set (tools/test),
else $TOVRIN_PKI_FALLBACK_DIR (the build folder's test-pki, set by CMake), unless
--dir says otherwise. pki_dir() gives the same answer to other tests.
"""

import argparse
import hashlib
import ipaddress
import os
import subprocess
import sys
import tempfile

SIGNERS = ("publisher", "stranger")
SIGNING_FILES = ("codesign-ca.pem", "codesign-ca.der",
                 *(f"{signer}{suffix}" for signer in (*SIGNERS, "tsa", "cloud")
                   for suffix in (".pem", ".key", "-chain.pem", ".p12")))
FILES = ("ca.pem", "ca.der", "server.pem", "server.key", "untrusted-server.pem", "untrusted-server.key",
         "user-ca.pem", "user-server.pem", "user-server.key",
         *SIGNING_FILES)
# The password of the signers' PKCS#12 files; they are throw-away test keys.
P12_PASSWORD = "tovrin-test"


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


def _make_code_signer(directory, name, subject, ca_cert, ca_key, usage="codeSigning", ca=False):
    """A code-signing leaf (or CA, or other usage), its chain file (leaf, then CA) and a PKCS#12 of both."""
    key = os.path.join(directory, f"{name}.key")
    csr = os.path.join(directory, f"{name}.csr")
    cert = os.path.join(directory, f"{name}.pem")
    extensions = os.path.join(directory, f"{name}.ext")
    with open(extensions, "w") as f:
        f.write("basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n" if ca else
                f"basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=critical,{usage}\n")
    _openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr, "-subj", subject)
    _openssl("x509", "-req", "-in", csr, "-CA", ca_cert, "-CAkey", ca_key, "-CAcreateserial", "-out", cert,
             "-days", "30", "-sha256", "-extfile", extensions)
    os.remove(csr)
    with open(os.path.join(directory, f"{name}-chain.pem"), "w") as chain:
        for part in (cert, ca_cert):
            with open(part) as f:
                chain.write(f.read())
    _openssl("pkcs12", "-export", "-in", cert, "-inkey", key, "-certfile", ca_cert,
             "-out", os.path.join(directory, f"{name}.p12"), "-passout", f"pass:{P12_PASSWORD}")


def pin(cert_path):
    """A signer's pin: the SHA-256 of its certificate's DER SubjectPublicKeyInfo, as 64 hex digits."""
    public_key = subprocess.run(["openssl", "x509", "-in", cert_path, "-noout", "-pubkey"], check=True,
                                capture_output=True).stdout
    der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "DER"], input=public_key, check=True,
                         capture_output=True).stdout
    return hashlib.sha256(der).hexdigest()


def sign(directory, signer, source, destination, certs="-chain.pem", stamped=False, tsa="tsa"):
    """Authenticode-signs the exe source into destination as signer ("publisher", "stranger", "cloud" or
    "chain-leaf"), carrying the certificates of <signer><certs>, time-stamped by the TSA <tsa> when stamped."""
    stamp = ["-TSA-certs", os.path.join(directory, f"{tsa}-chain.pem"),
             "-TSA-key", os.path.join(directory, f"{tsa}.key")]
    subprocess.run(["osslsigncode", "sign", "-certs", os.path.join(directory, f"{signer}{certs}"),
                    "-key", os.path.join(directory, f"{signer}.key"), "-h", "sha256", *(stamp if stamped else []),
                    "-in", str(source), "-out", str(destination)],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return destination


def _is_ip(text):
    try:
        ipaddress.ip_address(text)
        return True
    except ValueError:
        return False


def _make_code_signing(directory):
    signing_cert, signing_key = _make_ca(directory, "codesign-ca", "/CN=Tovrin Tools Test Code Signing CA")
    _openssl("x509", "-in", signing_cert, "-outform", "DER", "-out", os.path.join(directory, "codesign-ca.der"))
    _make_code_signer(directory, "publisher", "/CN=Tovrin Tools Test Publisher", signing_cert, signing_key)
    _make_code_signer(directory, "stranger", "/CN=Stranger Test Publisher", signing_cert, signing_key)
    _make_code_signer(directory, "tsa", "/CN=Tovrin Tools Test Time Stamps", signing_cert, signing_key, "timeStamping")
    _make_code_signer(directory, "intermediate", "/CN=Cloud Signing Intermediate CA", signing_cert, signing_key, ca=True)
    _make_code_signer(directory, "cloud", "/CN=Cloud Signed Publisher", *(os.path.join(directory, f"intermediate{x}")
                                                                          for x in (".pem", ".key")))


def _make_complete(directory, files, make_parts):
    """Runs make_parts(scratch) unless all files are in directory already, then
    moves the files in last and by rename, so a half-made folder is never taken
    as complete."""
    if all(os.path.exists(os.path.join(directory, f)) for f in files):
        return directory
    os.makedirs(directory, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=directory) as scratch:
        make_parts(scratch)
        for name in files:
            os.replace(os.path.join(scratch, name), os.path.join(directory, name))
    return directory


def make(directory, host):
    """Makes the PKI in directory unless it is already complete there."""
    def parts(scratch):
        ca_cert, ca_key = _make_ca(scratch, "ca", "/CN=Tovrin Tools Test CA")
        _make_server(scratch, "server", host, ca_cert, ca_key)
        rogue_cert, rogue_key = _make_ca(scratch, "rogue-ca", "/CN=Untrusted Test CA")
        _make_server(scratch, "untrusted-server", host, rogue_cert, rogue_key)
        _make_server(scratch, "user-server", host, *_make_ca(scratch, "user-ca", "/CN=User Root Test CA"))
        _openssl("x509", "-in", ca_cert, "-outform", "DER", "-out", os.path.join(scratch, "ca.der"))
        _make_code_signing(scratch)
    return _make_complete(directory, FILES, parts)


def make_signers(directory):
    """Makes only the code-signing CA and its signers in directory (unless they
    are complete there) and writes each signer's pin to <signer>.pin."""
    _make_complete(directory, SIGNING_FILES, _make_code_signing)
    for signer in SIGNERS:
        with open(os.path.join(directory, f"{signer}.pin"), "w") as f:
            f.write(pin(os.path.join(directory, f"{signer}.pem")) + "\n")
    return directory


TRUST_FILES = ("made-up-tsa-chain.pem", "made-up-tsa.key", "chain-tsa-chain.pem", "chain-tsa.key", "chain-tsa.pem",
               "chain-tsa-codesigning.pem", "chain-root.pem", "chain-leaf.pem", "chain-leaf.key",
               "chain-leaf-chain.pem", "chain-leaf-full.pem")


def make_trust(directory):
    """Adds TRUST_FILES to directory, unless they are there."""
    def parts(scratch):
        def path(name):
            return os.path.join(scratch, name)
        _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", path("made-up-tsa.key"), "-days", "30",
                 "-sha256", "-out", path("made-up-tsa-chain.pem"), "-subj", "/CN=Made-Up Time Stamps",
                 "-addext", "keyUsage=critical,digitalSignature", "-addext", "extendedKeyUsage=critical,timeStamping")
        root = _make_ca(scratch, "chain-root", "/CN=Test Chain Root")
        issuer = root
        for name in ("chain-i2", "chain-i1"):
            _make_code_signer(scratch, name, f"/CN=Test Chain {name[-2:].upper()}", *issuer, ca=True)
            issuer = (path(f"{name}.pem"), path(f"{name}.key"))
        _make_code_signer(scratch, "chain-leaf", "/CN=Test Chain Publisher", *issuer)
        with open(path("chain-leaf-full.pem"), "w") as full:
            for part in ("chain-leaf-chain.pem", "chain-i2.pem"):
                with open(path(part)) as f:
                    full.write(f.read())
        # osslsigncode stamps only with a certificate for time stamping; its twin for code signing (same key,
        # serial and length) can take its place in a token.
        _make_code_signer(scratch, "chain-tsa", "/CN=Test Chain Time Stamps", *root, "timeStamping")
        serial = subprocess.run(["openssl", "x509", "-in", path("chain-tsa.pem"), "-noout", "-serial"], check=True,
                                capture_output=True, text=True).stdout.strip().split("=")[1]
        _openssl("x509", "-in", path("chain-tsa.pem"), "-x509toreq", "-signkey", path("chain-tsa.key"),
                 "-out", path("twin.csr"))
        with open(path("twin.ext"), "w") as f:
            f.write("basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                    "extendedKeyUsage=critical,codeSigning\n")
        _openssl("x509", "-req", "-in", path("twin.csr"), "-set_serial", "0x" + serial, "-CA", root[0],
                 "-CAkey", root[1], "-out", path("chain-tsa-codesigning.pem"), "-days", "30", "-sha256",
                 "-extfile", path("twin.ext"))
    return _make_complete(directory, TRUST_FILES, parts)


def install(directory, wine_run, install_ca):
    """Adds the test CA to the Root store of the prefix in $WINEPREFIX."""
    subprocess.run([wine_run, install_ca, "Z:" + os.path.join(directory, "ca.der").replace("/", "\\")], check=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("action", choices=("make", "install", "signers"))
    parser.add_argument("--dir", help="PKI folder (default: see above)")
    parser.add_argument("--host", default="localhost", help="update host name the server certificate is for")
    parser.add_argument("--wine-run", help="tools/wine-run (install)")
    parser.add_argument("--install-ca", help="install_ca.exe (install)")
    args = parser.parse_args(argv)

    directory = args.dir or pki_dir()
    if args.action == "signers":
        make_signers(directory)
        print(directory)
        return 0
    make(directory, args.host)
    if args.action == "install":
        if not args.wine_run or not args.install_ca:
            parser.error("install needs --wine-run and --install-ca")
        install(directory, args.wine_run, args.install_ca)
    print(directory)
    return 0


if __name__ == "__main__":
    sys.exit(main())
