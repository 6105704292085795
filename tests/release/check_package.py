#!/usr/bin/python3
"""Checks the release package made from a win32 build tree, signed with a
throwaway certificate, and that the executable builds reproducibly.

    check_package.py BUILD_DIR SOURCE_DIR
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

BUILD, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
HERE = os.path.dirname(os.path.abspath(__file__))
BUILT_PROGRAM = os.path.join(BUILD, "bin", "QuorvexInstall.exe")


def sha256(path):
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


def run(*command, env=None):
    return subprocess.run(command, capture_output=True, text=True, env=env, check=False)


class SignedPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="quorvex-package-")
        cls.cert = os.path.join(cls.work, "cert.pem")
        key = os.path.join(cls.work, "key.pem")
        made = run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                   "-subj", "/CN=Quorvex throwaway test signer", "-keyout", key, "-out", cls.cert,
                   "-addext", "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature")
        assert made.returncode == 0, made.stderr
        env = dict(os.environ, QUORVEX_SIGN_CERT=cls.cert, QUORVEX_SIGN_KEY=key)
        packed = run("cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                     "-B", os.path.join(cls.work, "out"), env=env)
        assert packed.returncode == 0, packed.stdout + packed.stderr
        cls.zip = os.path.join(cls.work, "out", "QuorvexInstall-1.4-win32.zip")
        cls.unpacked = os.path.join(cls.work, "unpacked")
        with zipfile.ZipFile(cls.zip) as archive:
            cls.names = sorted(archive.namelist())
            archive.extractall(cls.unpacked)
        cls.program = os.path.join(cls.unpacked, "QuorvexInstall.exe")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_files_and_checksums(self):
        # No library unless one is given at configure time.
        self.assertEqual(self.names, ["QuorvexInstall.exe", "ReadMe.txt", "SHA256SUMS"])
        with open(os.path.join(self.unpacked, "SHA256SUMS"), encoding="ascii") as sums:
            listed = dict(reversed(line.split("  ", 1)) for line in sums.read().splitlines())
        self.assertEqual(sorted(listed), ["QuorvexInstall.exe", "ReadMe.txt"])
        for name, digest in listed.items():
            self.assertEqual(sha256(os.path.join(self.unpacked, name)), digest, name)
        print(f"\n{self.zip}: " + ", ".join(
            f"{name} {os.path.getsize(os.path.join(self.unpacked, name))} bytes"
            for name in self.names), file=sys.stderr)

    def test_signature_verifies_and_is_new(self):
        verified = run("osslsigncode", "verify", "-CAfile", self.cert, "-in", self.program)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.assertIn("Quorvex throwaway test signer", verified.stdout)
        unsigned = run("osslsigncode", "verify", "-CAfile", self.cert, "-in", BUILT_PROGRAM)
        self.assertNotEqual(unsigned.returncode, 0, "the build's own program is not signed")

    def test_signed_program_keeps_its_resources(self):
        # The release artefact's own checks (version record, icon, picture,
        # manifest, imports) on the signed file.
        checked = run("/usr/bin/python3", os.path.join(HERE, "check_release.py"), self.program,
                      os.path.join(BUILD, "bin", "Quorvexv1.4.dll"), "i386")
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)


class Reproducible(unittest.TestCase):
    def test_another_folder_at_another_time_builds_the_same_bytes(self):
        with tempfile.TemporaryDirectory(prefix="quorvex-rebuild-") as work:
            source = os.path.join(work, "source")
            shutil.copytree(SOURCE, source, ignore=shutil.ignore_patterns("build", ".git"))
            build = os.path.join(work, "build")
            configured = run("cmake", "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=MinSizeRel",
                             "--toolchain", os.path.join(source, "cmake", "mingw-i686.cmake"))
            self.assertEqual(configured.returncode, 0, configured.stderr)
            built = run("cmake", "--build", build, "--target", "QuorvexInstall", "-j",
                        str(os.cpu_count() or 1))
            self.assertEqual(built.returncode, 0, built.stdout[-2000:] + built.stderr)
            rebuilt = os.path.join(build, "bin", "QuorvexInstall.exe")
            self.assertEqual(sha256(rebuilt), sha256(BUILT_PROGRAM))
            print(f"\nQuorvexInstall.exe SHA-256 {sha256(rebuilt)}, built twice", file=sys.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
