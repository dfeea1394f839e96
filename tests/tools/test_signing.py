"""The signing module's readers and refusals: pkcs11: URIs, PEM, certificates and
signatures, and the settings refused before anything is tried."""
import os
import subprocess
import sys
import tempfile
import unittest

TOOLS = os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..", "maintainer")
sys.path.insert(0, TOOLS)
from trackertools import common, pkcs11token, signing  # noqa: E402

SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"


class Uri(unittest.TestCase):
    def test_uris(self):
        cases = [
            ("pkcs11:token=throwaway;object=codesign;type=private", {"token": b"throwaway", "object": b"codesign"}),
            ("pkcs11:object=my%20key;id=%01%02?pin-value=1234", {"object": b"my key", "id": b"\x01\x02"}),
            ("pkcs11:id=%ff", {"id": b"\xff"}),
            ("pkcs11:object=codesign;type=cert", "names no private key"),
            ("pkcs11:token=throwaway", "names no key"),
            ("pkcs11:object=a;object=b", "gives object twice"),
            ("pkcs11:object", "no NAME=VALUE"),
            ("file:///key.pem", "is no pkcs11: URI"),
        ]
        for uri, expected in cases:
            with self.subTest(uri=uri):
                if isinstance(expected, dict):
                    found = pkcs11token.parse_uri(uri)
                    self.assertEqual({name: found[name] for name in expected}, expected)
                else:
                    with self.assertRaisesRegex(ValueError, expected):
                        pkcs11token.parse_uri(uri)


class Der(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        folder = cls.folder.name
        for name, key in (("rsa", ["-newkey", "rsa:2048"]), ("ec", ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"])):
            subprocess.run(["openssl", "req", "-x509", *key, "-nodes", "-keyout", f"{folder}/{name}.key", "-out",
                            f"{folder}/{name}.pem", "-days", "1", "-subj", f"/CN={name}"], check=True, capture_output=True)
            subprocess.run(["openssl", "pkey", "-in", f"{folder}/{name}.key", "-pubout", "-outform", "DER", "-out",
                            f"{folder}/{name}.pub"], check=True)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def read(self, name, mode="rb"):
        with open(os.path.join(self.folder.name, name), mode) as file:
            return file.read()

    def test_certificates_public_keys(self):
        for name, kind in (("rsa", "rsa"), ("ec", "ec")):
            with self.subTest(key=name):
                (der,) = pkcs11token.pem_blocks("Bag Attributes\n" + self.read(f"{name}.pem", "r"))
                certificate = pkcs11token.Certificate(der)
                key = certificate.public_key()
                self.assertEqual(key[0], kind)
                self.assertEqual(key, pkcs11token.public_key_of_info(self.read(f"{name}.pub")))
                self.assertEqual(pkcs11token.pem_blocks(pkcs11token.pem(der)), [der])

    def test_damaged_der(self):
        (der,) = pkcs11token.pem_blocks(self.read("rsa.pem", "r"))
        for case, data in (("cut short", der[:100]), ("empty", b""), ("no sequence", b"\x02\x01\x00"),
                           ("a length that cannot be", b"\x30\x85\x01\x02\x03\x04\x05")):
            with self.subTest(case=case), self.assertRaises(pkcs11token.DerError):
                pkcs11token.Certificate(data)

    def test_signature_read_as_a_verification_reads_it(self):
        """A signed program's signer, read as the verification reads it; none from an
        unsigned program or one that is no program."""
        folder = self.folder.name
        signing.make_tiny_program(f"{folder}/tiny.exe")
        subprocess.run(["osslsigncode", "sign", "-certs", f"{folder}/rsa.pem", "-key", f"{folder}/rsa.key", "-h",
                        "sha256", "-in", f"{folder}/tiny.exe", "-out", f"{folder}/signed.exe"], check=True,
                       capture_output=True)
        (certificate,) = pkcs11token.pem_blocks(self.read("rsa.pem", "r"))
        found = signing.signature_of(f"{folder}/signed.exe")
        self.assertEqual((found.signer, found.stamped), (certificate, False))
        with open(f"{folder}/text.exe", "w") as file:
            file.write("MZ, but no program")
        for name in ("tiny.exe", "text.exe", "missing.exe"):
            with self.subTest(name):
                self.assertIsNone(signing.signature_of(f"{folder}/{name}"))


@unittest.skipUnless(os.path.isfile(SOFTHSM), "needs SoftHSM2 (scripts/test installs it)")
class Token(unittest.TestCase):
    """The token check's verdicts (its exit codes), on a SoftHSM2 token holding RSA and EC
    keys, each certified, and two keys of one name."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        folder = cls.folder.name
        os.mkdir(f"{folder}/tokens")
        with open(f"{folder}/softhsm2.conf", "w") as file:
            file.write(f"directories.tokendir = {folder}/tokens\nobjectstore.backend = file\nlog.level = ERROR\n")
        cls.env = dict(os.environ, SOFTHSM2_CONF=f"{folder}/softhsm2.conf")
        tool = ["pkcs11-tool", "--module", SOFTHSM, "--token-label", "unit", "--login", "--pin", "2468"]

        def run(*argv):
            subprocess.run(argv, check=True, capture_output=True, env=cls.env)
        run("softhsm2-util", "--init-token", "--free", "--label", "unit", "--pin", "2468", "--so-pin", "24682468")
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{folder}/ca.key", "-out",
            f"{folder}/ca.pem", "-days", "1", "-subj", "/CN=unit CA")
        for label, key_id, kind in (("rsa", "01", "rsa:2048"), ("ec", "02", "EC:prime256v1"), ("twice", "03", "rsa:2048"),
                                    ("twice", "04", "rsa:2048"), ("another ec", "05", "EC:prime256v1")):
            run(*tool, "--keypairgen", "--key-type", kind, "--label", label, "--id", key_id, "--usage-sign")
            run("pkcs11-tool", "--module", SOFTHSM, "--read-object", "--type", "pubkey", "--id", key_id,
                "--output-file", f"{folder}/{key_id}.pub")
            run("openssl", "x509", "-new", "-subj", f"/CN={label}", "-force_pubkey", f"{folder}/{key_id}.pub",
                "-keyform", "DER", "-CA", f"{folder}/ca.pem", "-CAkey", f"{folder}/ca.key", "-days", "1",
                "-outform", "DER", "-out", f"{folder}/{key_id}.der")
        for pin in ("2468", "1111"):
            with open(f"{folder}/pin-{pin}", "w") as file:
                file.write(pin + "\n")

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def test_verdicts(self):
        folder = self.folder.name
        module, script = SOFTHSM, os.path.join(TOOLS, "trackertools", "pkcs11token.py")
        cases = [
            ("pkcs11:token=unit;object=rsa", "2468", "01", SOFTHSM, pkcs11token.TOKEN_OK),
            ("pkcs11:id=%02", "2468", "02", SOFTHSM, pkcs11token.TOKEN_OK),
            ("pkcs11:object=ec", "2468", "01", SOFTHSM, pkcs11token.TOKEN_OTHER_KEY),
            ("pkcs11:object=rsa", "2468", "02", SOFTHSM, pkcs11token.TOKEN_OTHER_KEY),
            ("pkcs11:object=ec", "2468", "05", SOFTHSM, pkcs11token.TOKEN_OTHER_KEY),
            ("pkcs11:object=twice", "2468", "03", SOFTHSM, pkcs11token.TOKEN_SEVERAL_KEYS),
            ("pkcs11:object=twice;id=%04", "2468", "04", SOFTHSM, pkcs11token.TOKEN_OK),
            ("pkcs11:object=missing", "2468", "01", SOFTHSM, pkcs11token.TOKEN_NO_KEY),
            ("pkcs11:token=other;object=rsa", "2468", "01", SOFTHSM, pkcs11token.TOKEN_NO_KEY),
            ("pkcs11:object=rsa", "1111", "01", SOFTHSM, pkcs11token.TOKEN_PIN_INCORRECT),
            ("pkcs11:object=rsa", "2468", "01", "/bin/sh", pkcs11token.TOKEN_NO_MODULE),
        ]
        for uri, pin, certificate, module, expected in cases:
            with self.subTest(uri=uri, pin=pin, certificate=certificate, module=module):
                done = subprocess.run(["/usr/bin/python3", "-I", "-B", script, module, uri, f"{folder}/pin-{pin}",
                                       f"{folder}/{certificate}.der"], capture_output=True, env=self.env, timeout=60)
                self.assertEqual(done.returncode, expected, done.stderr.decode())


class Settings(unittest.TestCase):
    def test_refused_before_anything_is_tried(self):
        with tempfile.TemporaryDirectory() as folder:
            pem = os.path.join(folder, "chain.pem")
            with open(pem, "w") as file:
                file.write("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n")
            p12 = os.path.join(folder, "key.p12")
            open(p12, "wb").close()
            module = "/usr/lib/softhsm/libsofthsm2.so"
            cases = [
                ({"SIGNING_PKCS11_MODULE": module, "SIGNING_KEY": "pkcs11:object=a", "SIGNING_CERTIFICATE": pem}, "token"),
                ({"SIGNING_CERTIFICATE": p12}, "file"),
                ({"SIGNING_PKCS11_MODULE": module, "SIGNING_KEY": "pkcs11:token=x", "SIGNING_CERTIFICATE": pem},
                 "SIGNING_KEY=pkcs11:token=x names no key"),
                ({"SIGNING_PKCS11_MODULE": module, "SIGNING_KEY": "pkcs11:object=a", "SIGNING_CERTIFICATE": p12},
                 "is no PEM certificate"),
                ({"SIGNING_CERTIFICATE": pem}, "is a PEM certificate, whose key is elsewhere"),
                ({"SIGNING_KEY": "pkcs11:object=a"}, "SIGNING_PKCS11_MODULE is not given"),
                ({"SIGNING_CERTIFICATE": "path/to/certificate.p12"}, "is a placeholder from the docs"),
                ({"SIGNING_CERTIFICATE": p12, "SIGNING_TIMESTAMP_URL": "ftp://stamps.net"}, "is no http:// or https:// URL"),
                ({"SIGNING_CERTIFICATE": p12, "SIGNING_TIMESTAMP_URL": "http://timestamp.example.com/"}, "is a placeholder"),
                ({"SIGNING_CERTIFICATE": p12, "SIGNING_TIMESTAMP_TIMEOUT": "0"}, "is no number of seconds"),
                ({"SIGNING_TIMESTAMP_URL": "http://stamps.net"}, "without a key to sign with"),
                ({"SIGNING_CERTIFICATE": os.path.join(folder, "missing")}, "is no file this user can read"),
            ]
            for settings, expected in cases:
                with self.subTest(settings=settings):
                    if expected in ("token", "file"):
                        self.assertEqual(signing.choose_kind(settings), expected)
                    else:
                        with self.assertRaises(common.Refusal) as refused:
                            signing.choose_kind(settings)
                        self.assertIn(expected, refused.exception.lines[0])
                        self.assertEqual((refused.exception.code, refused.exception.who), (2, "signing"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
