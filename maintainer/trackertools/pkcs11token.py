"""What signing checks of its own: a certificate's public key, read with python3-asn1crypto;
a pkcs11: URI taken apart; and, run as a script in a child of its own with a time limit, the token asked through PyKCS11 for the
key the URI names, compared with the certificate's. The token's answers are PKCS#11
return codes and attributes, never words.

As a script: pkcs11token.py MODULE URI PIN-FILE CERTIFICATE-DER; its exit code is the
verdict (TOKEN_* below); a PKCS#11 code, where one decided, goes to the standard error."""
import base64
import sys
import urllib.parse

TOKEN_OK, TOKEN_NO_MODULE, TOKEN_NO_KEY, TOKEN_SEVERAL_KEYS, TOKEN_OTHER_KEY = 0, 3, 4, 5, 6
TOKEN_PIN_INCORRECT, TOKEN_PIN_LOCKED, TOKEN_FAULT, TOKEN_SEVERAL_TOKENS = 7, 8, 9, 10

class DerError(ValueError):
    pass


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
    """An X.509 certificate, and its public key (public_key(): ("rsa", n, e) or ("ec",
    parameters, point))."""

    def __init__(self, der):
        from asn1crypto import x509  # python3-asn1crypto
        try:
            self.key_info = x509.Certificate.load(der, strict=True)["tbs_certificate"]["subject_public_key_info"].dump()
        except (ValueError, TypeError, KeyError) as error:
            raise DerError(f"no certificate: {error}")
        self.der = der

    def public_key(self):
        return public_key_of_info(self.key_info)


def public_key_of_info(info):
    from asn1crypto import keys
    try:
        key = keys.PublicKeyInfo.load(info, strict=True)
        algorithm = key["algorithm"]["algorithm"]
        if algorithm.native == "rsa":
            numbers = key["public_key"].parsed
            return ("rsa", numbers["modulus"].native, numbers["public_exponent"].native)
        if algorithm.native == "ec":
            return ("ec", key["algorithm"]["parameters"].dump(), bytes(key["public_key"].native))
        return ("other", algorithm.dotted, key["public_key"].dump())
    except (ValueError, TypeError, KeyError) as error:
        raise DerError(f"no public key: {error}")


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
    from asn1crypto import core
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
            point = core.OctetString.load(point, strict=True).native
        except ValueError:
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
