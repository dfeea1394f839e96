"""A program's signature, made here with real keys (P-256, as a token's EC key, and RSA
with SHA-1 or SHA-256 as roots have them): what our signing writes holds; each thing a
stranger could add or change is refused."""
import datetime
import hashlib
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..", "maintainer"))
from trackertools import authenticode  # noqa: E402
from trackertools.common import Refusal  # noqa: E402

from asn1crypto import algos, cms, core, keys, tsp, x509  # noqa: E402
from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa  # noqa: E402

# A point on a curve OpenSSL knows and python3-cryptography does not: the curve's generator.
SECP160R1_GENERATOR = bytes.fromhex("04" "4a96b5688ef573284664698968c38bb913cbfc82" "23a628553168947d59dcc912042351377ac5fb32")
WHEN = x509.Time(name="utc_time", value=datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone.utc))
AUTHENTICODE, STAMP_INFO, STAMP = "1.3.6.1.4.1.311.2.1.4", "1.2.840.113549.1.9.16.1.4", "1.3.6.1.4.1.311.3.3.1"


def der(tag, body):
    """A DER value: its length in its shortest form."""
    size = len(body).to_bytes((len(body).bit_length() + 7) // 8 or 1, "big")
    return bytes([tag]) + (size if len(body) < 128 else bytes([0x80 | len(size)]) + size) + body


def value_of(encoded):
    """A DER value's bytes without its tag and length."""
    return encoded[2 + (encoded[1] & 0x7F if encoded[1] & 0x80 else 0):]


USES = {  # the extensions each kind of certificate carries, as the throwaway ones do
    "authority": [{"extn_id": "basic_constraints", "critical": True, "extn_value": {"ca": True}},
                  {"extn_id": "key_usage", "critical": True, "extn_value": {"key_cert_sign"}}],
    "authority for signatures only": [{"extn_id": "basic_constraints", "critical": True, "extn_value": {"ca": True}},
                                      {"extn_id": "key_usage", "critical": True, "extn_value": {"digital_signature"}}],
    "code": [{"extn_id": "basic_constraints", "critical": False, "extn_value": {"ca": False}},
             {"extn_id": "extended_key_usage", "critical": False, "extn_value": ["code_signing"]}],
    "time": [{"extn_id": "basic_constraints", "critical": False, "extn_value": {"ca": False}},
             {"extn_id": "extended_key_usage", "critical": True, "extn_value": ["time_stamping"]}],
    "none": None}  # a version 1 certificate, as old roots are


class Authority:
    """A key and its certificate, signed by the authority above it, or by itself, with
    the hash given."""

    def __init__(self, name, above=None, serial=1, use="authority", signer=None, kind="ec", hash_name="sha256"):
        self.key = ec.generate_private_key(ec.SECP256R1()) if kind == "ec" else rsa.generate_private_key(65537, 2048)
        self.name = x509.Name.build({"common_name": name})
        public = keys.PublicKeyInfo.load(self.key.public_key().public_bytes(
            serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo))
        issuer = signer or above or self
        algorithm = {"algorithm": f"{hash_name}_{'ecdsa' if isinstance(issuer.key, ec.EllipticCurvePrivateKey) else 'rsa'}"}
        tbs = x509.TbsCertificate({
            "version": "v3" if USES[use] else "v1", "serial_number": serial, "signature": algorithm,
            "issuer": (above or self).name, "validity": {"not_before": WHEN, "not_after": WHEN}, "subject": self.name,
            "subject_public_key_info": public})
        if USES[use]:
            tbs["extensions"] = USES[use]
        self.certificate = x509.Certificate({"tbs_certificate": tbs, "signature_algorithm": algorithm,
                                             "signature_value": issuer.sign(tbs.dump(), hash_name)})

    def sign(self, data, hash_name="sha256"):
        chosen = getattr(hashes, hash_name.upper())()
        if isinstance(self.key, ec.EllipticCurvePrivateKey):
            return self.key.sign(data, ec.ECDSA(chosen))
        return self.key.sign(data, padding.PKCS1v15(), chosen)

    def algorithm(self):
        """As osslsigncode names a signer's algorithm."""
        return {"algorithm": "sha256_ecdsa" if isinstance(self.key, ec.EllipticCurvePrivateKey) else "rsassa_pkcs1v15"}


def signer_info(authority, content_type, content, unsigned=(), signed=(), kind=None, digest=None):
    """Signed as osslsigncode signs, with any more signed attributes given (and the
    content type and digest given in place of the content's); its unsigned attributes,
    (type, DER) pairs, added."""
    attributes = cms.CMSAttributes([{"type": "content_type", "values": [kind or content_type]},
                                    {"type": "message_digest", "values": [digest or hashlib.sha256(content).digest()]},
                                    *signed])
    info = {"version": "v1", "sid": {"issuer_and_serial_number": {"issuer": authority.certificate.issuer,
                                                                  "serial_number": authority.certificate.serial_number}},
            "digest_algorithm": {"algorithm": "sha256"}, "signature_algorithm": authority.algorithm(),
            "signed_attrs": attributes, "signature": authority.sign(b"\x31" + attributes.dump()[1:])}
    info = cms.SignerInfo(info)
    if unsigned:
        info["unsigned_attrs"] = [cms.CMSAttribute.load(der(0x30, core.ObjectIdentifier(kind).dump() + der(0x31, value)))
                                  for kind, value in unsigned]
    return info


def signed_data(content_type, encapsulated, carried, infos, version="v1", digests=("sha256",), crls=None):
    """PKCS#7 signed data as osslsigncode (or a time-stamp server) writes it."""
    signed = cms.ContentInfo({"content_type": "signed_data", "content": {
        "version": version, "digest_algorithms": [{"algorithm": name} for name in digests],
        "encap_content_info": (cms.ContentInfo if content_type == AUTHENTICODE else cms.EncapsulatedContentInfo).load(
            der(0x30, core.ObjectIdentifier(content_type).dump() + der(0xA0, encapsulated))),
        "certificates": [a.certificate for a in carried], "signer_infos": infos}})
    if crls:
        signed["content"]["crls"] = crls
    return signed.dump()


INDIRECT_DATA = der(0x30, der(0x30, core.ObjectIdentifier("1.3.6.1.4.1.311.2.1.15").dump())
                    + der(0x30, der(0x30, core.ObjectIdentifier("2.16.840.1.101.3.4.2.1").dump()) + der(0x04, bytes(32))))


def tagged_after(content_info, extra):
    """The content info with `extra` after its content, under the content's explicit tag."""
    inner = value_of(content_info)
    kind = inner[1] + 2  # its content type's length: short
    return der(0x30, inner[:kind] + der(0xA0, value_of(inner[kind:]) + extra))


class Carried:
    def __init__(self, certificate):
        self.certificate = certificate


def nested(depth):
    blob = b""
    for _ in range(depth):
        blob = der(0x30, blob)
    return blob


class Release:
    """A root, the maintainer's certificate under an intermediate, and a time-stamp
    authority under the same root, as a release's signing has them."""

    def __init__(self, kind="ec", root_hash="sha256", root_use="authority"):
        self.root = Authority("Root", kind=kind, hash_name=root_hash, use=root_use)
        self.middle = Authority("Intermediate", self.root, 2)
        self.maintainer = Authority("Maintainer", self.middle, 3, "code")
        self.stamper = Authority("Time Stamps", self.root, 4, "time")

    def signature(self, carried=None, signers=1, unsigned=(), stamp=None, info=None, **data):
        carried = [self.maintainer, self.middle, self.root] if carried is None else carried
        info = info or signer_info(self.maintainer, AUTHENTICODE, value_of(INDIRECT_DATA))
        unsigned = [(STAMP, stamp(info["signature"].native))] if stamp else unsigned
        if unsigned:  # the same signature, which the time stamp is of
            info = cms.SignerInfo.load(info.dump())
            info["unsigned_attrs"] = signer_info(self.maintainer, AUTHENTICODE, b"", unsigned)["unsigned_attrs"]
        return signed_data(AUTHENTICODE, INDIRECT_DATA, carried, [info] * signers, **data)

    def token(self, stamper=None, carried=None, signers=1, unsigned=(), content_type=STAMP_INFO, imprint=None,
              tamper=None, facts=(), inside=b"", after=b"", signed=(), tagged=b"", version="v3"):
        """A token as a time-stamp server makes one: with `facts` in its TSTInfo, `inside`
        its TSTInfo's last field, `tagged` its TSTInfo under its tag and `after` its own
        last field, the server signing them all."""
        stamper = stamper or self.stamper
        carried = [stamper, self.root] if carried is None else carried

        def make(signature):
            tst = tsp.TSTInfo({"version": "v1", "policy": "1.2.3.4", "message_imprint": {
                "hash_algorithm": {"algorithm": "sha256"}, "hashed_message": hashlib.sha256(imprint or signature).digest()},
                "serial_number": 1, "gen_time": datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone.utc), **dict(facts)}).dump()
            tst = der(0x30, value_of(tst) + inside)
            info = signer_info(stamper, content_type, tst, unsigned, signed)
            if tamper:
                info["signature"] = tamper(info["signature"].native)
            token = signed_data(content_type, core.OctetString(tst).dump() + tagged, carried, [info] * signers, version)
            return der(0x30, value_of(token) + after)
        return make

    def stamped(self, **token):
        return self.signature(stamp=self.token(**token))


def refusal(blob):
    """The line of the refusal, without the program's name; None when it is read."""
    try:
        authenticode.read_signature(blob, "z.zip: a.exe")
    except Refusal as refused:
        assert refused.code == 1
        return refused.lines[0].removeprefix("z.zip: a.exe: ")
    return None


def with_certificate(certificate, change):
    """A copy of the certificate with `change` made to it, its signature kept."""
    copy = x509.Certificate.load(certificate.dump())
    change(copy)
    return Carried(x509.Certificate.load(copy.dump(force=True)))


class Signatures(unittest.TestCase):
    def test_read(self):
        release = Release()
        found = authenticode.read_signature(release.stamped(), "z.zip: a.exe")
        self.assertEqual((found.signer, found.stamped, len(found.carried), found.digest),
                         (release.maintainer.certificate.dump(), True, 3, bytes(32)))
        self.assertEqual(authenticode.fault(found, []), None)
        self.assertFalse(authenticode.read_signature(release.signature(), "z.zip: a.exe").stamped)

    def test_signature_refused(self):
        """What our signing never writes, refused before any key is asked."""
        release = Release()
        data = cms.ContentInfo({"content_type": "data", "content": b"x"}).dump()
        empty = cms.ContentInfo({"content_type": "signed_data", "content": {
            "version": "v1", "digest_algorithms": [{"algorithm": "sha256"}],
            "encap_content_info": {"content_type": "data"}, "signer_infos": []}}).dump()
        stranger = Authority("Stranger", Authority("Elsewhere"), 9, "code")
        renamed = signer_info(release.maintainer, AUTHENTICODE, value_of(INDIRECT_DATA))
        renamed["sid"] = {"issuer_and_serial_number": {"issuer": x509.Name.build({"common_name": "INTERMEDIATE"}),
                                                       "serial_number": 3}}
        versioned = cms.ContentInfo.load(release.signature())
        versioned["content"]["signer_infos"][0]["version"] = 7
        twice = signer_info(release.maintainer, AUTHENTICODE, value_of(INDIRECT_DATA), signed=[
            {"type": "message_digest", "values": [bytes(32)]}])
        of_data = signer_info(release.maintainer, AUTHENTICODE, value_of(INDIRECT_DATA), kind="data")
        crl = cms.RevocationInfoChoices([cms.RevocationInfoChoice(name="other", value={
            "other_rev_info_format": "1.2.3.4", "other_rev_info": core.OctetString(b"a list")})])
        not_ours = Authority("Intermediate", release.root, 2, "authority for signatures only")
        under_it = Authority("Maintainer", not_ours, 3, "code")
        for case, blob, words in [
                ("not DER", b"\x30\x82\xff\xff" + bytes(8), "its signature is not in DER"),
                ("bytes after it", empty + b"\0", "its signature is not in DER, the one encoding our signing writes: it has bytes after it"),
                ("no signed data", data, "its signature is no PKCS#7 signed data"),
                ("no Authenticode content", empty, "its signature signs no Authenticode content"),
                ("two signers", release.signature(signers=2), "its signature holds 2 signers, not one"),
                ("a signer's version of its own", versioned.dump(force=True), "its signature has a version never written by our signing"),
                ("a digest named beside the signer's", release.signature(digests=("sha256", "sha384")),
                 "its signature names other digests than its signer's"),
                ("a revocation list", release.signature(crls=crl), "its signature carries revocation lists, never added by our signing"),
                ("a signed attribute twice", release.signature(info=twice), "its signature holds a signed attribute twice"),
                ("signed attributes of another content", release.signature(info=of_data),
                 "its signature holds no content type and digest of what it signs"),
                ("a stranger's certificate", release.signature(carried=[release.maintainer, release.middle, release.root, stranger]),
                 "its signature carries a certificate off"),
                ("no signer's certificate", release.signature(carried=[release.root]), "its signature does not carry its signer's certificate"),
                ("its signer named but for case", release.signature(info=renamed), "its signature does not carry its signer's certificate"),
                ("an issuer whose key may not sign certificates",
                 release.signature(info=signer_info(under_it, AUTHENTICODE, value_of(INDIRECT_DATA)),
                                   carried=[under_it, not_ours, release.root]),
                 "its signature carries a certificate that signs another without being an authority's"),
                ("a root that says it is no authority", Release(root_use="code").signature(),
                 "its signature carries a certificate that signs another without being an authority's"),
                ("a nested signature", release.signature(unsigned=[("1.3.6.1.4.1.311.2.4.1", release.signature())]),
                 "its signature holds a second signature nested in it"),
                ("a stranger's unsigned attribute", release.signature(unsigned=[("1.2.3.4", der(0x04, b"payload"))]),
                 "its signature holds an unsigned attribute 1.2.3.4"),
                ("two time stamps", release.signature(unsigned=[(STAMP, release.stamped()), (STAMP, release.stamped())]),
                 "its signature holds more than one time stamp"),
                ("an element after the signed data under its tag", tagged_after(release.signature(), b"\x05\x00"),
                 "its signature holds values outside its fields, which no signature covers")]:
            with self.subTest(case):
                self.assertTrue((refusal(blob) or "").startswith(words), refusal(blob))

    def test_time_stamp_refused(self):
        """What a time-stamp server never writes, refused before any key is asked."""
        release = Release()
        stranger = Authority("Stranger", Authority("Elsewhere"), 9, "code")
        tls = Authority("A web site", release.root, 7, "code")  # any certificate a trusted root gave
        tls_stamps = Authority("Time Stamps", tls, 8, "time")
        for case, blob, words in [
                ("of something else", release.stamped(content_type="1.2.840.113549.1.7.1"), "its time stamp is no RFC 3161 token"),
                ("of another signature", release.stamped(imprint=b"another"), "its time stamp is of another signature"),
                ("by two signers", release.stamped(signers=2), "its time stamp holds 2 signers, not one"),
                ("of a version of its own", release.stamped(version="v5"),
                 "its time stamp has a version never written by a time-stamp server"),
                ("with an unsigned attribute", release.stamped(unsigned=[("1.2.3.4", der(0x04, b"payload"))]),
                 "its time stamp holds unsigned attributes"),
                ("an element past a token's fields", release.stamped(after=der(0x04, b"payload")),
                 "its time stamp holds values outside its fields"),
                ("an element after its information under its tag", release.stamped(tagged=der(0x04, b"payload")),
                 "its time stamp holds values outside its fields"),
                ("an element past its information's fields, the server signing it", release.stamped(inside=der(0x04, b"payload")),
                 "its signature holds values outside its fields"),
                ("information not in DER, the server signing it", release.stamped(inside=b"\x05\x81\x00"),
                 "its time stamp is not in DER: its information has a length not in its shortest form"),
                ("extensions", release.stamped(facts={"extensions": [
                    {"extn_id": "1.2.3.4", "critical": False, "extn_value": b"payload"}]}),
                 "its time stamp carries extensions"),
                ("a nonce of the requester's choosing", release.stamped(facts={"nonce": 1 << 200}),
                 "its time stamp carries a nonce longer than the 64 bits osslsigncode asks for"),
                ("a signed attribute of its own", release.stamped(signed=[{"type": "1.2.3.4", "values": [core.OctetString(b"payload")]}]),
                 "its time stamp holds signed attributes other than those written by a time-stamp server"),
                ("by a certificate for code", release.stamped(stamper=release.maintainer,
                                                             carried=[release.maintainer, release.middle, release.root]),
                 "its time stamp is by a certificate not made for time stamps"),
                ("by a certificate a non-authority issued", release.stamped(stamper=tls_stamps, carried=[tls_stamps, tls, release.root]),
                 "its time stamp carries a certificate that signs another without being an authority's"),
                ("carrying a stranger's certificate", release.stamped(carried=[release.stamper, release.root, stranger]),
                 "its time stamp carries a certificate off its signer's chain")]:
            with self.subTest(case):
                self.assertTrue((refusal(blob) or "").startswith(words), refusal(blob))

    def test_not_der(self):
        """Encodings a BER reader takes, each a place for bytes no signature covers."""
        sound = der(0x30, der(0x02, b"\x01") + der(0x04, b"ab"))
        for case, blob, fault in [
                ("sound", sound, None),
                ("a long length that fits in short", b"\x30\x81\x07" + sound[2:], "has a length not in its shortest form at byte 0"),
                ("a length with a leading zero", b"\x30\x82\x00\x07" + sound[2:], "has a length not in its shortest form at byte 0"),
                ("an indefinite length", b"\x30\x80" + sound[2:] + b"\0\0", "has an indefinite or overlong length at byte 0"),
                ("an octet string in pieces", der(0x30, der(0x24, der(0x04, b"a") + der(0x04, b"b"))), "has a string in pieces at byte 2"),
                ("an integer padded", der(0x30, der(0x02, b"\x00\x01")), "has a value not in its one DER form at byte 2"),
                ("an integer padded with ones", der(0x30, der(0x02, b"\xff\x80")), "has a value not in its one DER form at byte 2"),
                ("a boolean of its own", der(0x30, der(0x01, b"\x01")), "has a value not in its one DER form at byte 2"),
                ("bits past a bit string's end", der(0x30, der(0x03, b"\x03\xff")), "has a value not in its one DER form at byte 2"),
                ("an empty bit string with unused bits", der(0x03, b"\x01"), "has a value not in its one DER form at byte 0"),
                ("a null holding bytes", der(0x05, b"x"), "has a value not in its one DER form at byte 0"),
                ("an object identifier", core.ObjectIdentifier("1.3.6.1.4.1.311.2.1.4").dump(), None),
                ("an object identifier padded", b"\x06\x03\x2b\x80\x06", "has a value not in its one DER form at byte 0"),
                ("an object identifier padded at its start", b"\x06\x03\x80\x2b\x06", "has a value not in its one DER form at byte 0"),
                ("an object identifier cut short", b"\x06\x02\x2b\x86", "has a value not in its one DER form at byte 0"),
                ("a value past its container", b"\x30\x04\x04\x05ab", "has a value running past its container at byte 2"),
                ("bytes after it", sound + b"\0", "has bytes after it"),
                ("a high tag", b"\x1f\x81\x00\x00", "has a tag number no signature uses at byte 0"),
                ("cut short", b"\x30\x01\x04", "is cut short at byte 2"),
                ("nested too deep", nested(40), "nests deeper than 32")]:
            with self.subTest(case):
                self.assertEqual(authenticode.der_fault(blob), fault)
        # A real signature with one length written long: refused before anything reads it.
        blob = Release().signature()
        padded = b"\x30\x83" + (len(blob) - 4).to_bytes(3, "big") + blob[4:]
        self.assertTrue(refusal(padded).startswith("its signature is not in DER"), refusal(padded))

    def test_fault(self):
        """What read_signature lets through, checked against the keys: each fault of one key,
        each chain's top; the roots a real chain ends at."""
        release = Release()
        outsider = Authority("Outside Root")
        stranger_stamps = Authority("Time Stamps", outsider, 4, "time")
        forged_root = Authority("Root", signer=outsider)  # the root's name over a key of its own
        payload = [{"extn_id": "1.3.6.1.4.1.99999.1", "critical": False,
                    "extn_value": core.ParsableOctetString(b"a stranger's bytes " * 20)}]
        root_with_bytes = with_certificate(release.root.certificate, lambda c: c["tbs_certificate"].__setitem__(
            "extensions", x509.Extensions(list(c["tbs_certificate"]["extensions"]) + payload)))
        middle_with_bytes = with_certificate(release.middle.certificate, lambda c: c.__setitem__(  # outside what is signed
            "signature_algorithm", algos.SignedDigestAlgorithm({"algorithm": "sha256_ecdsa",
                                                                "parameters": core.OctetString(b"a stranger's bytes")})))
        odd = x509.TbsCertificate.load(release.middle.certificate["tbs_certificate"].dump())
        odd["subject_public_key_info"] = keys.PublicKeyInfo({"algorithm": {"algorithm": "ec", "parameters": keys.ECDomainParameters(
            name="named", value="1.3.132.0.8")}, "public_key": SECP160R1_GENERATOR})
        middle_on_odd_curve = Carried(x509.Certificate({"tbs_certificate": odd, "signature_algorithm": {"algorithm": "sha256_ecdsa"},
                                                        "signature_value": release.root.sign(odd.dump())}))
        bad_signer = signer_info(release.maintainer, AUTHENTICODE, value_of(INDIRECT_DATA))
        bad_signer["signature"] = bad_signer["signature"].native[:-1] + bytes([bad_signer["signature"].native[-1] ^ 1])
        wrong_digest = signer_info(release.maintainer, AUTHENTICODE, b"other content")
        store = [release.root.certificate.dump()]
        old = Release("rsa", "sha1")  # a root of the store as old as many: RSA, its signature of itself SHA-1's
        version_1 = Release(root_use="none")
        unknown = Release(root_hash="sha224")  # a root's signature of itself this check does not know
        for case, blob, trusted, fault in [
                ("carried to its root", release.stamped(), [], None),
                ("the time stamp's chain carried short of a root of the store", release.stamped(carried=[release.stamper]),
                 store, None),
                ("carried short of its root, which the store lacks", release.signature(carried=[release.maintainer, release.middle]),
                 [], "its certificates lead to no root it carries or this machine trusts"),
                ("the time stamp's chain carried short of its root, which the store lacks",
                 release.stamped(carried=[release.stamper]), [],
                 "its time stamp's certificates lead to no root it carries or this machine trusts"),
                ("carried to a SHA-1 root", old.stamped(), [], None),
                ("carried to a SHA-1 root that is the store's", old.stamped(), [old.root.certificate.dump()], None),
                ("carried to a root of version 1", version_1.stamped(), [], None),
                ("carried to a root signed as this check does not know", unknown.signature(), [],
                 "a certificate it carries is signed with an algorithm or key this check does not accept (such as RSA-PSS)"),
                ("carried to a root so signed that is the store's", unknown.signature(), [unknown.root.certificate.dump()], None),
                ("a root with bytes added", release.signature(carried=[release.maintainer, release.middle, root_with_bytes]),
                 [], "a certificate it carries is not signed by its issuer's key"),
                ("bytes in a certificate's algorithm outside what is signed",
                 release.signature(carried=[release.maintainer, middle_with_bytes, release.root]),
                 [], "a certificate it carries is not signed by its issuer's key"),
                ("a key on a curve the library lacks", release.signature(carried=[release.maintainer, middle_on_odd_curve, release.root]),
                 [], "a certificate it carries is signed with an algorithm or key this check does not accept (such as RSA-PSS)"),
                ("a root's name over another key", release.signature(carried=[release.maintainer, release.middle, forged_root]),
                 [], "a certificate it carries is not signed by its issuer's key"),
                ("a signer's signature changed", release.signature(info=bad_signer), [],
                 "it is not signed by its certificate's key"),
                ("a signer's digest of other content", release.signature(info=wrong_digest), [],
                 "it is not signed by its certificate's key"),
                ("a time stamp's signature changed", release.stamped(tamper=lambda value: value[:-1] + bytes([value[-1] ^ 1])),
                 [], "its time stamp is not signed by its authority's key"),
                ("a time stamp's signature of a stranger's bytes", release.stamped(tamper=lambda value: b"a stranger's bytes " * 100),
                 [], "its time stamp is not signed by its authority's key"),
                ("a time stamp from a stranger's own authority",
                 release.stamped(stamper=stranger_stamps, carried=[stranger_stamps, outsider]), [],
                 "its time stamp is from an authority whose root is neither the signer's nor one this machine trusts"),
                ("a time stamp from an authority the store trusts",
                 release.stamped(stamper=stranger_stamps, carried=[stranger_stamps, outsider]),
                 [outsider.certificate.dump()], None)]:
            with self.subTest(case):
                self.assertEqual(authenticode.fault(authenticode.read_signature(blob, "a.exe"), trusted), fault)


if __name__ == "__main__":
    unittest.main()
