"""What signing checks of its own: DER read by us (a certificate's public key, issuer and
serial; a signature's signer and time stamp), a pkcs11: URI taken apart, and, run as a
script in a child of its own with a time limit, the token asked through PyKCS11 for the
key the URI names, compared with the certificate's. The token's answers are PKCS#11
return codes and attributes, never words.

As a script: pkcs11token.py MODULE URI PIN-FILE CERTIFICATE-DER; its exit code is the
verdict (TOKEN_* below); a PKCS#11 code, where one decided, goes to the standard error."""
import base64
import os
import sys
import urllib.parse

TOKEN_OK, TOKEN_NO_MODULE, TOKEN_NO_KEY, TOKEN_SEVERAL_KEYS, TOKEN_OTHER_KEY = 0, 3, 4, 5, 6
TOKEN_PIN_INCORRECT, TOKEN_PIN_LOCKED, TOKEN_FAULT, TOKEN_SEVERAL_TOKENS = 7, 8, 9, 10

RSA = bytes.fromhex("2a864886f70d010101")
EC = bytes.fromhex("2a8648ce3d0201")
RFC3161_TIME_STAMP = bytes.fromhex("2b0601040182370303 01".replace(" ", ""))


class DerError(ValueError):
    pass


def der_items(data, start=0, end=None):
    """The (tag, header start, content start, end) of each DER element in data[start:end]."""
    end = len(data) if end is None else end
    items = []
    at = start
    while at < end:
        if at + 2 > end:
            raise DerError("cut short")
        tag, length, content = data[at], data[at + 1], at + 2
        if tag & 0x1F == 0x1F:
            raise DerError("a tag of more than one byte")
        if length & 0x80:
            count = length & 0x7F
            if count == 0 or count > 4 or content + count > end:
                raise DerError("a length that cannot be")
            length = int.from_bytes(data[content:content + count], "big")
            content += count
        if content + length > end:
            raise DerError("an element longer than what holds it")
        items.append((tag, at, content, content + length))
        at = content + length
    return items


def der_children(data, item, count_at_least=0):
    children = der_items(data, item[2], item[3])
    if len(children) < count_at_least:
        raise DerError("fewer elements than its kind has")
    return children


def whole(data, item):
    return data[item[1]:item[3]]


def content(data, item):
    return data[item[2]:item[3]]


def pem_blocks(text, label="CERTIFICATE"):
    """The DER of each PEM block of that label, in order; text outside the blocks ignored."""
    begin, end = f"-----BEGIN {label}-----", f"-----END {label}-----"
    blocks, inside = [], None
    for line in text.splitlines():
        line = line.strip()
        if line == begin:
            inside = []
        elif line == end and inside is not None:
            try:
                blocks.append(base64.b64decode("".join(inside), validate=True))
            except ValueError:
                raise DerError("a PEM block that is no base64")
            inside = None
        elif inside is not None:
            inside.append(line)
    return blocks


def pem(der, label="CERTIFICATE"):
    text = base64.b64encode(der).decode()
    return f"-----BEGIN {label}-----\n" + "".join(text[i:i + 64] + "\n" for i in range(0, len(text), 64)) \
        + f"-----END {label}-----\n"


class Certificate:
    """An X.509 certificate's parts that signing compares: issuer and serial (as DER) and
    the public key (public_key(): ("rsa", n, e) or ("ec", parameters, point))."""

    def __init__(self, der):
        self.der = der
        top = der_items(der)
        if len(top) != 1 or top[0][0] != 0x30:
            raise DerError("no certificate")
        tbs = der_children(der, der_children(der, top[0], 3)[0], 6)
        if tbs[0][0] == 0xA0:  # its version
            tbs = tbs[1:]
        if len(tbs) < 6 or tbs[0][0] != 0x02:
            raise DerError("no certificate")
        self.serial, self.issuer, self.subject = whole(der, tbs[0]), whole(der, tbs[2]), whole(der, tbs[4])
        self.key_info = whole(der, tbs[5])

    def public_key(self):
        return public_key_of_info(self.key_info)


def public_key_of_info(info):
    (top,) = der_items(info)
    algorithm, bits = der_children(info, top, 2)[:2]
    parts = der_children(info, algorithm, 1)
    oid = content(info, parts[0])
    key = content(info, bits)[1:]  # after the count of unused bits
    if oid == RSA:
        (sequence,) = der_items(key)
        n, e = der_children(key, sequence, 2)[:2]
        return ("rsa", int.from_bytes(content(key, n), "big"), int.from_bytes(content(key, e), "big"))
    if oid == EC and len(parts) > 1:
        return ("ec", whole(info, parts[1]), key)
    return ("other", oid, key)


def without_certificate_header(data):
    """The PKCS#7 signature alone: osslsigncode 2.5 extracts it with the 8-byte header of
    the program's certificate table (length, revision 2.0, type PKCS#7) and its padding."""
    if len(data) >= 8 and data[0] != 0x30 and data[4:8] == b"\x00\x02\x02\x00":
        length = int.from_bytes(data[:4], "little")
        if 8 < length <= len(data):
            return data[8:length]
    return data


def der_items_end(data):
    """Where the first element ends: the padding after it is no element."""
    if len(data) < 2:
        raise DerError("cut short")
    length, at = data[1], 2
    if length & 0x80:
        count = length & 0x7F
        length, at = int.from_bytes(data[2:2 + count], "big"), 2 + count
    if at + length > len(data):
        raise DerError("an element longer than what holds it")
    return at + length


def signature_signer(der):
    """A PKCS#7 signature's one signer as (issuer DER, serial DER, whether it carries an
    RFC 3161 time stamp). DerError when it is not one signature of one signer."""
    der = without_certificate_header(der)
    top = der_items(der, 0, der_items_end(der))[0]
    info = der_children(der, top, 2)
    signed = der_children(der, der_children(der, info[1], 1)[0], 4)
    signers = der_children(der, signed[-1])
    if len(signers) != 1:
        raise DerError(f"{len(signers)} signers")
    signer = der_children(der, signers[0], 5)
    issuer, serial = der_children(der, signer[1], 2)[:2]
    stamped = False
    if signer[-1][0] == 0xA1:  # its unsigned attributes: where a time stamp goes
        for attribute in der_children(der, signer[-1]):
            if content(der, der_children(der, attribute, 1)[0]) == RFC3161_TIME_STAMP:
                stamped = True
    return whole(der, issuer), whole(der, serial), stamped


def parse_uri(uri):
    """A pkcs11: URI's path attributes (RFC 7512), percent-decoded; ValueError if malformed.
    Its query (a PIN, a module) is not ours to read."""
    if not uri.startswith("pkcs11:"):
        raise ValueError("is no pkcs11: URI")
    attributes = {}
    for part in uri[len("pkcs11:"):].split("?", 1)[0].split(";"):
        if not part:
            continue
        name, equals, value = part.partition("=")
        if not equals or not name:
            raise ValueError(f"has '{part}', which is no NAME=VALUE")
        if name in attributes:
            raise ValueError(f"gives {name} twice")
        attributes[name] = urllib.parse.unquote_to_bytes(value)
    if attributes.get("type", b"private") != b"private":
        raise ValueError("names no private key (its type is not private)")
    if "object" not in attributes and "id" not in attributes:
        raise ValueError("names no key: it has neither object= nor id=")
    return attributes


def _ask_token(module, uri, pin, certificate):
    import PyKCS11
    from PyKCS11 import LowLevel as low

    wanted = parse_uri(uri)
    library = PyKCS11.PyKCS11Lib()
    try:
        library.load(module)
    except PyKCS11.PyKCS11Error as error:
        print(error, file=sys.stderr)
        return TOKEN_NO_MODULE

    def text(value):
        return value.rstrip(" ").encode() if isinstance(value, str) else bytes(value).rstrip(b" ")

    tokens = []
    for slot in library.getSlotList(tokenPresent=True):
        info = library.getTokenInfo(slot)
        if not info.flags & low.CKF_TOKEN_INITIALIZED:
            continue
        fields = {"token": info.label, "manufacturer": info.manufacturerID, "serial": info.serialNumber,
                  "model": info.model}
        if all(text(fields[name]) == wanted[name] for name in fields if name in wanted):
            tokens.append(slot)

    def matching(session, kind):
        template = [(PyKCS11.CKA_CLASS, kind)]
        if "object" in wanted:
            template.append((PyKCS11.CKA_LABEL, wanted["object"].decode("utf-8", "replace")))
        if "id" in wanted:
            template.append((PyKCS11.CKA_ID, tuple(wanted["id"])))
        return session.findObjects(template)

    # Without a login: the tokens that show something of that name. A private key is
    # often seen only once logged in, so a token alone of its kind is logged into anyway.
    shown = []
    for slot in tokens:
        session = library.openSession(slot)
        if any(matching(session, kind) for kind in (PyKCS11.CKO_PRIVATE_KEY, PyKCS11.CKO_PUBLIC_KEY,
                                                      PyKCS11.CKO_CERTIFICATE)):
            shown.append(slot)
        session.closeSession()
    if len(shown) > 1 or (not shown and len(tokens) > 1):
        return TOKEN_SEVERAL_TOKENS
    if not shown and not tokens:
        return TOKEN_NO_KEY
    slot = (shown or tokens)[0]
    session = library.openSession(slot)
    try:
        session.login(pin)  # the one PIN try
    except PyKCS11.PyKCS11Error as error:
        if error.value == low.CKR_USER_ALREADY_LOGGED_IN:
            pass
        elif error.value == low.CKR_PIN_INCORRECT:
            return TOKEN_PIN_INCORRECT
        elif error.value == low.CKR_PIN_LOCKED:
            return TOKEN_PIN_LOCKED
        else:
            print(PyKCS11.CKR.get(error.value, hex(error.value)), file=sys.stderr)
            return TOKEN_FAULT
    keys = matching(session, PyKCS11.CKO_PRIVATE_KEY)
    if not keys:
        return TOKEN_NO_KEY
    if len(keys) > 1:
        return TOKEN_SEVERAL_KEYS
    mine = Certificate(certificate).public_key()
    kind = session.getAttributeValue(keys[0], [PyKCS11.CKA_KEY_TYPE])[0]
    if kind == PyKCS11.CKK_RSA:
        n, e = session.getAttributeValue(keys[0], [PyKCS11.CKA_MODULUS, PyKCS11.CKA_PUBLIC_EXPONENT])
        key = ("rsa", int.from_bytes(bytes(n), "big"), int.from_bytes(bytes(e), "big"))
    elif kind == PyKCS11.CKK_EC:
        # The point is the public key's: found by the private key's id.
        (key_id,) = session.getAttributeValue(keys[0], [PyKCS11.CKA_ID])
        publics = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PUBLIC_KEY), (PyKCS11.CKA_ID, key_id)])
        if not publics:
            return TOKEN_OK  # nothing to compare here: the test signature's check tells
        params, point = session.getAttributeValue(publics[0], [PyKCS11.CKA_EC_PARAMS, PyKCS11.CKA_EC_POINT])
        point = bytes(point)
        try:  # an OCTET STRING as the standard has it, or the bare point as some tokens give it
            items = der_items(point)
            if len(items) == 1 and items[0][0] == 0x04:
                point = content(point, items[0])
        except DerError:
            pass
        key = ("ec", bytes(params), point)
    else:
        return TOKEN_OK
    return TOKEN_OK if key == mine else TOKEN_OTHER_KEY


def main(argv):
    module, uri, pin_file, certificate_file = argv
    with open(pin_file, "rb") as pin, open(certificate_file, "rb") as certificate:
        return _ask_token(module, uri, pin.read().decode("utf-8").rstrip("\r\n"), certificate.read())


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
