"""A program's signature, read (python3-asn1crypto) against what our signing writes
(osslsigncode sign -h sha256, with -ts for an RFC 3161 time stamp) and checked
(python3-cryptography): every byte DER, every byte covered by a signature that verifies,
up to a root. Anything else is a stranger's, refused in one line naming the program."""
import functools
import hashlib
from dataclasses import dataclass

from .common import Refusal, shown

SIGNED_DATA = "1.2.840.113549.1.7.2"
INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
SHA256_OID = "2.16.840.1.101.3.4.2.1"
CONTENT_TYPE, MESSAGE_DIGEST = "1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4"
SIGNING_TIME = "1.2.840.113549.1.9.5"
# SpcStatementType, SpcSpOpusInfo
SIGNED_ATTRIBUTES = {CONTENT_TYPE, MESSAGE_DIGEST, SIGNING_TIME, "1.3.6.1.4.1.311.2.1.11", "1.3.6.1.4.1.311.2.1.12"}
# signingCertificate, signingCertificateV2, CMSAlgorithmProtection
STAMP_ATTRIBUTES = {CONTENT_TYPE, MESSAGE_DIGEST, SIGNING_TIME, "1.2.840.113549.1.9.16.2.12",
                    "1.2.840.113549.1.9.16.2.47", "1.2.840.113549.1.9.52"}
OUTSIDE_FIELDS = "holds values outside its fields, which no signature covers"
MOST_NONCE_BITS = 64  # what osslsigncode asks a time stamp to carry
TIME_STAMP = "1.3.6.1.4.1.311.3.3.1"  # what -ts adds: an RFC 3161 token, Microsoft's way
TIME_STAMP_INFO = "1.2.840.113549.1.9.16.1.4"
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
HASHES = {"sha256", "sha384", "sha512"}
ROOT_HASHES = HASHES | {"sha1"}  # a carried root's signature of itself, as many an old root's
TRUST_STORE = "/etc/ssl/certs/ca-certificates.crt"
MOST_DER_DEPTH = 32  # a signature with its time stamp nests 17 deep


def primitive_fault(tag, contents):
    """Whether a primitive value is not in its one DER form."""
    if tag == 0x01:  # BOOLEAN
        return contents not in (b"\x00", b"\xff")
    if tag in (0x02, 0x0A):  # INTEGER, ENUMERATED: no byte a shorter form would drop
        return not contents or len(contents) > 1 and (contents[0] == 0 and contents[1] < 0x80
                                                       or contents[0] == 0xFF and contents[1] >= 0x80)
    if tag == 0x03:  # BIT STRING: its unused bits counted right and zero
        return not contents or contents[0] > 7 or len(contents) == 1 and contents[0] > 0 \
            or contents[-1] & ((1 << contents[0]) - 1) != 0
    if tag == 0x05:  # NULL
        return contents != b""
    if tag == 0x06:  # OBJECT IDENTIFIER: no number padded with a leading 0x80, the last one ended
        return not contents or contents[-1] & 0x80 != 0 or contents[0] == 0x80 \
            or any(contents[i] == 0x80 and not contents[i - 1] & 0x80 for i in range(1, len(contents)))
    return False


def der_fault(data):
    """Where the bytes stop being one DER value, or None: definite and shortest lengths,
    low tags, no string in pieces, primitives in their one form, nothing after the value.
    Neither the order of a SET OF nor DEFAULT values left out are checked."""
    spans = [(0, len(data), 0)]
    while spans:
        at, end, depth = spans.pop()
        if depth > MOST_DER_DEPTH:
            return f"nests deeper than {MOST_DER_DEPTH}"
        while at < end:
            if depth == 0 and at:
                return "has bytes after it"
            start, tag = at, data[at]
            if (tag & 0x1F) == 0x1F:
                return f"has a tag number no signature uses at byte {start}"
            if at + 2 > end:
                return f"is cut short at byte {start}"
            length, at = data[at + 1], at + 2
            if length & 0x80:
                count = length & 0x7F
                if not 1 <= count <= 3 or at + count > end:
                    return f"has an indefinite or overlong length at byte {start}"
                length, at = int.from_bytes(data[at:at + count], "big"), at + count
                if length < 0x80 or data[at - count] == 0:
                    return f"has a length not in its shortest form at byte {start}"
            if at + length > end:
                return f"has a value running past its container at byte {start}"
            if tag & 0x20:
                if not tag & 0xC0 and tag not in (0x30, 0x31):
                    return f"has a string in pieces at byte {start}"
                spans.append((at, at + length, depth + 1))
            elif primitive_fault(tag, data[at:at + length]):
                return f"has a value not in its one DER form at byte {start}"
            at += length
    return None


def value_end(data, at):
    """Where the DER value at `at` ends, and where its contents start: lengths der_fault passed."""
    length, start = data[at + 1], at + 2
    if length & 0x80:
        start += length & 0x7F
        length = int.from_bytes(data[at + 2:start], "big")
    return start + length, start


def holds_one(encoded):
    """Whether a content info's content, under its explicit tag, is one value with nothing
    after it, which asn1crypto would not read."""
    end, start = value_end(encoded, 0)
    tag_end, tag_start = value_end(encoded, value_end(encoded, start)[0]) if start < end else (0, 0)
    return tag_end == end and tag_start < tag_end and value_end(encoded, tag_start)[0] == tag_end


@dataclass
class Signed:
    """One signer's signed attributes, which its certificate's key must sign, and the
    content their message digest must be of."""
    certificate: bytes
    attributes: bytes  # DER, as signed: a SET
    value: bytes
    algorithm: str  # rsassa_pkcs1v15 or ecdsa
    hash: str
    digest: bytes  # the messageDigest attribute's
    content: bytes


@dataclass
class Signature:
    signer: bytes  # its certificate, DER
    carried: list  # (DER, self-issued) of each certificate it carries, the signer's among them
    digest: bytes  # the Authenticode digest (SHA-256) it signs
    links: list  # links_of each chain: each certificate signed by its issuer's key
    signed: Signed  # the signer's
    top: bytes  # the top of the signer's chain
    stamp: Signed = None  # the time stamp's, when it has one
    stamp_top: bytes = None

    @property
    def stamped(self):
        return self.stamp is not None


def links_of(chain):
    """(certificate, its issuer's) along the chain, a self-issued top paired with itself."""
    pairs = [(child.dump(), parent.dump()) for child, parent in zip(chain, chain[1:])]
    return pairs + ([(chain[-1].dump(), chain[-1].dump())] if self_issued(chain[-1]) else [])


def self_issued(certificate):
    # Names compared as written: a name equal but for case or spaces would carry bytes of its own.
    return certificate.subject.dump() == certificate.issuer.dump()


def is_authority(certificate):
    """A certificate that may sign others: basic constraints CA, and if it names its key's
    uses, certificate signing among them."""
    return bool(certificate.ca) and (certificate.key_usage_value is None
                                     or "key_cert_sign" in certificate.key_usage_value.native)


def chain_of(signed, signer, refused):
    """The certificates a SignedData carries, the signer's first, each then its issuer's:
    Refusal when one is of another kind, off that chain, or the signer's is missing."""
    from asn1crypto import core
    carried = list(signed["certificates"]) if not isinstance(signed["certificates"], core.Void) else []
    if any(c.name != "certificate" for c in carried):
        raise refused("carries a certificate of a kind our signing never adds")
    carried = [c.chosen for c in carried]
    identity = signer["sid"].chosen
    found = [c for c in carried if c.key_identifier == identity.native] if signer["sid"].name == "subject_key_identifier" \
        else [c for c in carried if c.issuer.dump() == identity["issuer"].dump()
              and c.serial_number == identity["serial_number"].native]
    if not found:
        raise refused("does not carry its signer's certificate")
    chain, current = [found[0]], found[0]
    while not self_issued(current):
        above = [c for c in carried if c.subject.dump() == current.issuer.dump() and all(c.dump() != d.dump() for d in chain)]
        if not above:
            break
        current = above[0]
        chain.append(current)
    if len(chain) != len(carried):
        raise refused("carries a certificate off its signer's chain")
    # An old root names no constraints; any other that signs must be an authority.
    if any(not is_authority(c) for c in chain[1:] if not (self_issued(c) and c.basic_constraints_value is None)):
        raise refused("carries a certificate that signs another without being an authority's")
    return chain


def surplus(value):
    """Whether a SEQUENCE within the value holds elements past its fields, which asn1crypto
    keeps where nothing looks. Values of any type (Any) are not entered: each is read on its own."""
    from asn1crypto import core
    stack = [value]
    while stack:
        item = stack.pop()
        if isinstance(item, core.Choice):
            stack.append(item.chosen)
        elif isinstance(item, core.Sequence):
            names = list(item)  # its fields' names
            if len(item) > len(names):
                return True
            stack.extend(item[name] for name in names)
        elif isinstance(item, core.SequenceOf):
            stack.extend(item)
    return False


def signed_by(signed, info, chain, content, allowed, whose, refused):
    """The signer info's Signed: its attributes checked to be of the kinds `whose`
    signing writes, one each, with the content type of the content signed and its digest."""
    from asn1crypto import core
    if isinstance(info["signed_attrs"], core.Void):
        raise refused("has no signed attributes")
    values = {}
    for attribute in info["signed_attrs"]:
        kind = attribute["type"].dotted
        if kind not in allowed:
            raise refused(f"holds signed attributes other than those written by {whose}")
        if kind in values or len(attribute["values"]) != 1:
            raise refused("holds a signed attribute twice")
        values[kind] = attribute["values"][0]
    if CONTENT_TYPE not in values or MESSAGE_DIGEST not in values \
            or values[CONTENT_TYPE].native != signed["encap_content_info"]["content_type"].native:
        raise refused("holds no content type and digest of what it signs")
    algorithm, hash_name = info["signature_algorithm"].signature_algo, info["digest_algorithm"]["algorithm"].native
    try:
        named_hash = info["signature_algorithm"].hash_algo
    except ValueError:  # a key's algorithm alone: the digest is the signer's
        named_hash = hash_name
    if algorithm not in ("rsassa_pkcs1v15", "ecdsa") or hash_name not in HASHES or named_hash != hash_name:
        raise refused(f"is made with an algorithm never used by {whose}, or one this check does not know")
    return Signed(chain[0].dump(), b"\x31" + info["signed_attrs"].dump()[1:], info["signature"].native, algorithm,
                  hash_name, values[MESSAGE_DIGEST].native, content)


def plain(refused, *identifiers):
    """No bytes in an algorithm's parameters, which no signature covers: none, or NULL."""
    from asn1crypto import core
    for identifier in identifiers:
        try:
            parameters = identifier["parameters"]
        except ValueError:  # bytes where asn1crypto expects its NULL
            parameters = None
        if not isinstance(parameters, (core.Void, core.Null)):
            raise refused("holds parameters of an algorithm, which no signature covers")


def one_signer(signed, versions, whose, refused):
    """The signed data's one signer info, of a version written by `whose`, its digest
    the only one named, with no algorithm's parameters and no revocation list."""
    from asn1crypto import core
    signers = list(signed["signer_infos"])
    if len(signers) != 1:
        raise refused(f"holds {len(signers)} signers, not one")
    if signed["version"].native not in versions or signers[0]["version"].native not in versions:
        raise refused(f"has a version never written by {whose}")
    digests = list(signed["digest_algorithms"])
    if [d["algorithm"].dotted for d in digests] != [signers[0]["digest_algorithm"]["algorithm"].dotted]:
        raise refused("names other digests than its signer's")
    plain(refused, *digests, signers[0]["digest_algorithm"], signers[0]["signature_algorithm"])
    if not isinstance(signed["crls"], core.Void):
        raise refused(f"carries revocation lists, never added by {whose}")
    return signers[0]


def read_signature(blob, path):
    """The program's signature as our signing makes it; Refusal (exit 1), one line naming
    the program, when it holds anything else: another signer, a nested signature, an
    unsigned attribute but the time stamp, a certificate off the signer's chain, a
    time stamp of something else. What it reads is not yet checked to be signed: fault()."""
    from asn1crypto import algos, cms, core, tsp  # python3-asn1crypto: only what reads programs needs it

    class TypeAndValue(core.Sequence):
        _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]

    class IndirectData(core.Sequence):  # Authenticode's SpcIndirectDataContent
        _fields = [("data", TypeAndValue), ("message_digest", algos.DigestInfo)]

    def refused(what):
        return Refusal(f"{path}: its signature {what}", 1)

    fault = der_fault(blob)
    if fault:
        raise refused(f"is not in DER, the one encoding our signing writes: it {fault}")
    try:
        info = cms.ContentInfo.load(blob, strict=True)
        if info["content_type"].dotted != SIGNED_DATA:
            raise refused("is no PKCS#7 signed data")
        signed = info["content"]
        content = signed["encap_content_info"]
        if content["content_type"].dotted != INDIRECT_DATA or not isinstance(content["content"], core.Any):
            raise refused("signs no Authenticode content")
        if not holds_one(blob) or not holds_one(content.dump()):
            raise refused(OUTSIDE_FIELDS)
        indirect = IndirectData.load(content["content"].dump(), strict=True, explicit=0)
        digest = indirect["message_digest"]
        if indirect["data"]["type"].dotted != PE_IMAGE_DATA or digest["digest_algorithm"]["algorithm"].dotted != SHA256_OID:
            raise refused("signs no SHA-256 digest of a Windows program")
        plain(refused, digest["digest_algorithm"])
        signer = one_signer(signed, ("v1",), "our signing", refused)
        if signer["sid"].name != "issuer_and_serial_number" or signer["digest_algorithm"]["algorithm"].dotted != SHA256_OID:
            raise refused("names its signer or its digest otherwise than our signing")
        unsigned = list(signer["unsigned_attrs"]) if not isinstance(signer["unsigned_attrs"], core.Void) else []
        for attribute in unsigned:
            kind = attribute["type"].dotted
            if kind == NESTED_SIGNATURE:
                raise refused("holds a second signature nested in it")
            if kind != TIME_STAMP:
                raise refused(f"holds an unsigned attribute {kind}, which our signing never adds")
        if len(unsigned) > 1:
            raise refused("holds more than one time stamp")
        chain = chain_of(signed, signer, refused)
        found = Signature(chain[0].dump(), [(c.dump(), self_issued(c)) for c in chain], digest["digest"].native,
                          links_of(chain), signed_by(signed, signer, chain, indirect.contents, SIGNED_ATTRIBUTES,
                                                     "our signing", refused), chain[-1].dump())
        read = [info, indirect]
        if unsigned:
            read += read_stamp(unsigned[0], signer["signature"].native, found, path)
        if any(surplus(value) for value in read):
            raise refused(OUTSIDE_FIELDS)
        return found
    except Refusal:
        raise
    except Exception as error:  # asn1crypto's own faults on bytes made to break it
        raise refused(f"cannot be read: {shown(error, 100)}")


def read_stamp(attribute, signature_value, found, path):
    """The time stamp read into `found`, as a time-stamp server makes one: an RFC 3161
    token of one signer, with a certificate for time stamps, of the signer's signature
    value; the values read, for surplus()."""
    from asn1crypto import cms, core, tsp

    def stamp_refused(what):
        return Refusal(f"{path}: its time stamp {what}", 1)
    values = list(attribute["values"])
    token = cms.ContentInfo.load(values[0].dump(), strict=True) if len(values) == 1 else None
    if token is None or token["content_type"].dotted != SIGNED_DATA \
            or token["content"]["encap_content_info"]["content_type"].dotted != TIME_STAMP_INFO:
        raise stamp_refused("is no RFC 3161 token")
    stamp = token["content"]
    stamper = one_signer(stamp, ("v1", "v3"), "a time-stamp server", stamp_refused)
    if not isinstance(stamper["unsigned_attrs"], core.Void):
        raise stamp_refused("holds unsigned attributes")
    if not holds_one(values[0].dump()) or not holds_one(stamp["encap_content_info"].dump()):
        raise stamp_refused(OUTSIDE_FIELDS)
    stamped = stamp["encap_content_info"]["content"].contents
    fault = der_fault(stamped)
    if fault:
        raise stamp_refused(f"is not in DER: its information {fault} (counted from its start)")
    facts = tsp.TSTInfo.load(stamped, strict=True)
    imprint, nonce = facts["message_imprint"], facts["nonce"].native or 0
    hash_name = imprint["hash_algorithm"]["algorithm"].native
    if hash_name not in HASHES or imprint["hashed_message"].native != hashlib.new(hash_name, signature_value).digest():
        raise stamp_refused("is of another signature")
    if not isinstance(facts["extensions"], core.Void):
        raise stamp_refused("carries extensions")
    if abs(nonce).bit_length() > MOST_NONCE_BITS:
        raise stamp_refused(f"carries a nonce longer than the {MOST_NONCE_BITS} bits osslsigncode asks for")
    plain(stamp_refused, imprint["hash_algorithm"])
    chain = chain_of(stamp, stamper, stamp_refused)
    usages = chain[0].extended_key_usage_value
    if usages is None or "time_stamping" not in usages.native:
        raise stamp_refused("is by a certificate not made for time stamps")
    # The signed attributes' types are registered by tsp's import: signingCertificate(V2).
    found.stamp = signed_by(stamp, stamper, chain, stamped, STAMP_ATTRIBUTES, "a time-stamp server", stamp_refused)
    found.links, found.stamp_top = found.links + links_of(chain), chain[-1].dump()
    return [token, facts]


def signs(key, value, data, algorithm, hash_name):
    """Whether `value` is the signature of `data` by the public key (asn1crypto's); None
    when the key or the algorithm is one this check does not know (RSA-PSS, a rare curve)."""
    from cryptography.exceptions import InvalidSignature  # python3-cryptography
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
    chosen = {"sha1": hashes.SHA1, "sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}
    try:
        public = serialization.load_der_public_key(key.dump())
        if algorithm == "rsassa_pkcs1v15" and isinstance(public, rsa.RSAPublicKey) and hash_name in chosen:
            public.verify(value, data, padding.PKCS1v15(), chosen[hash_name]())
        elif algorithm == "ecdsa" and isinstance(public, ec.EllipticCurvePublicKey) and hash_name in chosen:
            public.verify(value, data, ec.ECDSA(chosen[hash_name]()))
        else:
            return None
        return True
    except InvalidSignature:
        return False
    except Exception:  # the library's own refusals of a key: an unsupported curve, a malformed point
        return None


_links = {}  # (certificate, issuer's) -> signs()'s answer, each pair checked once


def link_holds(child, parent):
    """Whether the certificate (DER) is signed by its issuer's key, under the algorithm
    it names both inside and outside what is signed (SHA-1 only for a root's signature
    of itself); None when this check does not know the algorithm."""
    from asn1crypto import x509
    if (child, parent) not in _links:
        try:
            certificate, issuer = x509.Certificate.load(child), x509.Certificate.load(parent)
            algorithm = certificate["signature_algorithm"]
            hash_name = algorithm.hash_algo
            _links[(child, parent)] = certificate.issuer.dump() == issuer.subject.dump() \
                and algorithm.dump() == certificate["tbs_certificate"]["signature"].dump() \
                and (hash_name in (ROOT_HASHES if child == parent else HASHES) or None) \
                and signs(issuer.public_key, certificate["signature_value"].native, certificate["tbs_certificate"].dump(),
                          algorithm.signature_algo, hash_name)
        except ValueError:  # an algorithm asn1crypto does not know, or bytes it cannot read
            _links[(child, parent)] = None
    return _links[(child, parent)]


@functools.lru_cache(maxsize=None)
def trust_store():
    """The certificates (DER) of this machine's trust store, read once; none when it has none."""
    from . import pkcs11token
    try:
        with open(TRUST_STORE) as file:
            return pkcs11token.pem_blocks(file.read())
    except (OSError, ValueError):
        return []


def root_of(top, store):
    """The root a chain's top certificate leads to: itself when it is one of the store's
    or signed by itself, else a certificate of the store that signs it; None when nothing
    can check its bytes."""
    from asn1crypto import x509
    if top in store or link_holds(top, top):
        return top
    issuer = x509.Certificate.load(top).issuer.dump()
    return next((root for root in store if x509.Certificate.load(root).subject.dump() == issuer
                 and link_holds(top, root)), None)


def fault(signature, store):
    """Why the signature does not hold, or None when it does: each certificate signed by
    its issuer's key (a root of the store vouched for by the store), the signer's and the
    time stamp's attributes by their keys and of what they sign, each chain from a root it
    carries or one of the store, the time stamp's from the store or the signer's root."""
    from asn1crypto import x509
    try:
        checked = [link_holds(child, parent) for child, parent in signature.links if child != parent or child not in store]
        if False in checked:
            return "a certificate it carries is not signed by its issuer's key"
        if None in checked:
            return "a certificate it carries is signed with an algorithm or key this check does not accept (such as RSA-PSS)"
        for signed, whose in ((signature.signed, "it is"), (signature.stamp, "its time stamp is")):
            if not signed:
                continue
            verdict = signs(x509.Certificate.load(signed.certificate).public_key, signed.value, signed.attributes,
                            signed.algorithm, signed.hash)
            if verdict is None:
                return f"{whose} signed with a key this check does not accept"
            if not verdict or signed.digest != hashlib.new(signed.hash, signed.content).digest():
                return f"{whose} not signed by its {'certificate' if signed is signature.signed else 'authority'}'s key"
        root = root_of(signature.top, store)
        stamp_root = root_of(signature.stamp_top, store) if signature.stamped else root
        if root is None:
            return "its certificates lead to no root it carries or this machine trusts"
        if stamp_root is None:
            return "its time stamp's certificates lead to no root it carries or this machine trusts"
        if stamp_root != root and stamp_root not in store:
            return "its time stamp is from an authority whose root is neither the signer's nor one this machine trusts"
        return None
    except Exception as error:  # asn1crypto's or the library's own, on bytes made to break them
        return f"cannot be checked: {shown(error, 100)}"
