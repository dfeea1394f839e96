"""Signing with a key in a PKCS#12 file (SIGNING_CERTIFICATE alone) or with a key that
never leaves its PKCS#11 token (SIGNING_PKCS11_MODULE, the token's library; SIGNING_KEY,
a pkcs11: URI; SIGNING_CERTIFICATE, the certificate with its chain as PEM), through
osslsigncode, with SHA-256 and, given SIGNING_TIMESTAMP_URL, an RFC 3161 time stamp
waited for SIGNING_TIMESTAMP_TIMEOUT seconds (60). The password or PIN comes from
SIGNING_PASSWORD_FILE or SIGNING_PASSWORD and goes into a private file of the signing
folder, which only osslsigncode, openssl and our token check read.

prepare(settings, folder) refuses, in one line and exit 2, before anything is built: half
of a kind or both, a placeholder, a password that does not open the file; for a token,
a key the token does not hold, more than one, a key that is not the certificate's, a
wrong or locked PIN (the token is logged into once by our own check, through PyKCS11:
a wrong PIN is tried once, never again), then a tiny program signed without a time stamp
and time-stamped apart, so that a time-stamp server that is silent or gives none is told
apart by which of the two failed. Every verdict comes from an exit code, a PKCS#11
return code or our own reading of the certificate and the signature; another program's
message is shown after our own line, never read."""
import glob
import hashlib
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

from . import authenticode, children, common, pkcs11token, stranger
from .common import Refusal

SETTINGS = ("SIGNING_CERTIFICATE", "SIGNING_PKCS11_MODULE", "SIGNING_KEY", "SIGNING_PASSWORD_FILE",
            "SIGNING_PASSWORD", "SIGNING_TIMESTAMP_URL", "SIGNING_TIMESTAMP_TIMEOUT", "SIGNING_PKCS11_ENVIRONMENT",
            "SOFTHSM2_CONF", "OPENSC_CONF", "PKCS11SPY", "PKCS11SPY_OUTPUT")
# What a token's library reads from the environment, passed on to the token's children
# only: SoftHSM2's and OpenSC's own, and those SIGNING_PKCS11_ENVIRONMENT names.
TOKEN_ENVIRONMENT = ("SOFTHSM2_CONF", "OPENSC_CONF", "PKCS11SPY", "PKCS11SPY_OUTPUT")
BOTH = ("a token's SIGNING_PKCS11_MODULE and SIGNING_KEY with its certificate chain as PEM in "
        "SIGNING_CERTIFICATE, or a PKCS#12 file alone in SIGNING_CERTIFICATE")
TOKEN_CHECK_TIME = 120
OPENSSL_TIME = 60


def refuse(message):
    raise Refusal(message, 2, "signing")


def refuse_with(message, program, errors):
    """Our line, then the other program's last line as its own, never read."""
    common.warn(message, "signing")
    said = [line for line in errors.decode("utf-8", "replace").splitlines() if line.strip()]
    if said:
        print(f"    {program} said: {common.shown(said[-1])}", file=sys.stderr, flush=True)
    raise Refusal([], 2)


def asked(settings):
    return any(settings.get(name) for name in ("SIGNING_CERTIFICATE", "SIGNING_PKCS11_MODULE", "SIGNING_KEY",
                                              "SIGNING_TIMESTAMP_URL"))


def is_placeholder_value(value):
    """What the docs show in place of a maintainer's own: a path/to/ or a <name>."""
    return "path/to/" in value or re.search(r"<[^>]*>", value) is not None


_offline = None


def offline():
    """What keeps `osslsigncode verify` from fetching the revocation lists a certificate
    names, as 2.6 and later do unless told (2.5 never does): no server a stranger names is
    asked, and a bought certificate's signatures verify offline."""
    global _offline
    if _offline is None:
        done = children.run(["osslsigncode", "verify", "--help"], timeout=60)
        _offline = ["-ignore-crl"] if b"-ignore-crl" in done.stdout + done.stderr else []
    return _offline


def _read(path, most=1 << 20):
    try:
        with open(path, "rb") as file:
            return file.read(most)
    except OSError:
        return None


def choose_kind(settings):
    """"token" or "file", refusing half of either kind, or both, or a placeholder."""
    module, key, certificate = (settings.get(name, "") for name in
                                ("SIGNING_PKCS11_MODULE", "SIGNING_KEY", "SIGNING_CERTIFICATE"))
    for name in ("SIGNING_CERTIFICATE", "SIGNING_PKCS11_MODULE", "SIGNING_KEY"):
        if is_placeholder_value(settings.get(name, "")):
            refuse(f"{name}={settings[name]} is a placeholder from the docs: give your own")
    url = settings.get("SIGNING_TIMESTAMP_URL", "")
    if url:
        if not re.match(r"^https?://", url):
            refuse(f"SIGNING_TIMESTAMP_URL={url} is no http:// or https:// URL of a time-stamp server")
        if common.is_placeholder_name(re.split(r"[/:]", url.split("://", 1)[1])[0]):
            refuse(f"SIGNING_TIMESTAMP_URL={url} is a placeholder from the docs: give the server your certificate authority names")
    if not re.fullmatch(r"[1-9][0-9]{0,5}", settings.get("SIGNING_TIMESTAMP_TIMEOUT", "60") or "60"):
        refuse(f"SIGNING_TIMESTAMP_TIMEOUT={settings['SIGNING_TIMESTAMP_TIMEOUT']} is no number of seconds")
    text = None
    if certificate:
        data = _read(certificate) if os.path.isfile(certificate) else None
        if data is None:
            refuse(f"SIGNING_CERTIFICATE={certificate} is no file this user can read")
        text = data.decode("latin-1")
    is_pem = text is not None and "-----BEGIN CERTIFICATE-----" in text
    if module and key:
        if not certificate:
            refuse("a token's key is given without SIGNING_CERTIFICATE, its certificate with the chain as PEM")
        if not is_pem:
            refuse(f"SIGNING_CERTIFICATE={certificate} is no PEM certificate (a PKCS#12 file holds a key of its own): give {BOTH}")
        if not (os.path.isfile(module) and os.access(module, os.R_OK)):
            refuse(f"SIGNING_PKCS11_MODULE={module} is no file this user can read")
        try:
            pkcs11token.parse_uri(key)
        except ValueError as error:
            refuse(f"SIGNING_KEY={key} {error}: give a pkcs11: URI naming a key on the token")
        return "token"
    if module or key:
        refuse(f"{'SIGNING_KEY' if module else 'SIGNING_PKCS11_MODULE'} is not given: give {BOTH}")
    if certificate:
        if is_pem:
            refuse(f"SIGNING_CERTIFICATE={certificate} is a PEM certificate, whose key is elsewhere: give {BOTH}")
        return "file"
    refuse(f"SIGNING_TIMESTAMP_URL is given without a key to sign with: give {BOTH}")


def missing_tools(kind):
    """What signing, or checking a signature, needs that is missing, each found by a check of our own."""
    missing = []
    if not shutil.which("osslsigncode", path=children.PATH):
        missing.append("osslsigncode")
    for module in ("asn1crypto", "cryptography"):  # read certificates and signatures, and check them
        if importlib.util.find_spec(module) is None:
            missing.append(f"python3-{module}")
    if kind == "token":
        if not glob.glob("/usr/lib/*/engines-3/pkcs11.so"):
            missing.append("libengine-pkcs11-openssl")
        if importlib.util.find_spec("PyKCS11") is None:
            missing.append("python3-pykcs11")
    return missing


def need_tools(kind):
    """osslsigncode from the machine's own archive (Debian 12's 2.5, Debian 13's 2.9),
    asn1crypto and cryptography, and for a token the OpenSSL engine it signs through and PyKCS11, which our
    check asks."""
    missing = missing_tools(kind)
    if not missing:
        return
    children.install(missing, "signing")
    importlib.invalidate_caches()
    if missing_tools(kind):
        refuse(f"{' '.join(missing_tools(kind))}: still missing after installing")


def keep_secret(settings, folder):
    """The password or PIN, from SIGNING_PASSWORD_FILE or SIGNING_PASSWORD, in a private
    file of the folder; the settings then name that file and hold no password."""
    private = os.path.join(folder, "password")
    given = settings.get("SIGNING_PASSWORD_FILE", "")
    if given != private:
        if given:
            secret = _read(given)
            if secret is None:
                refuse(f"cannot read SIGNING_PASSWORD_FILE={given}")
        else:
            secret = settings.get("SIGNING_PASSWORD", "").encode()
        descriptor = os.open(private, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        with os.fdopen(descriptor, "wb") as file:
            file.write(secret)
    settings.pop("SIGNING_PASSWORD", None)
    settings["SIGNING_PASSWORD_FILE"] = private
    return private


class Signer:
    """Signs and checks programs as prepare() found it can. Its state lives in its folder,
    so that another process (the bash checks) can sign with it: Signer.load(settings, folder)."""

    def __init__(self, settings, folder, kind):
        self.settings, self.folder, self.kind = settings, folder, kind
        self.certificate_path = settings["SIGNING_CERTIFICATE"]
        self.module, self.key = settings.get("SIGNING_PKCS11_MODULE", ""), settings.get("SIGNING_KEY", "")
        self.timestamp_url = settings.get("SIGNING_TIMESTAMP_URL", "")
        self.wait = int(settings.get("SIGNING_TIMESTAMP_TIMEOUT") or 60)
        self.password_file = settings["SIGNING_PASSWORD_FILE"]
        self.certificate = None
        self.subject = self.fingerprint = ""

    def _path(self, name):
        return os.path.join(self.folder, name)

    def environment(self):
        """What osslsigncode and the token check get: for a token, the variables of the
        token's library too (given in the settings, or else the caller's)."""
        if self.kind != "token":
            return children.environment()
        names = list(TOKEN_ENVIRONMENT) + self.settings.get("SIGNING_PKCS11_ENVIRONMENT",
                                                            os.environ.get("SIGNING_PKCS11_ENVIRONMENT", "")).split()
        given = {**os.environ, **self.settings}
        return children.environment({name: given[name] for name in names if name in given})

    def _signer_arguments(self):
        if self.kind == "token":
            return ["-pkcs11module", self.module, "-certs", self.certificate_path, "-key", self.key]
        return ["-pkcs12", self.certificate_path]

    def _osslsigncode(self, arguments, timeout):
        return children.run(["osslsigncode"] + arguments, timeout=timeout, env=self.environment())

    def _timed(self, arguments):
        """osslsigncode within the time-stamp wait: None when the wait ran out."""
        child = children.start(["osslsigncode"] + arguments, env=self.environment(), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
        try:
            out, err = child.communicate(timeout=self.wait)
        except subprocess.TimeoutExpired:
            children.end_group(child)
            return None
        children.end_group(child, grace=1.0)
        return subprocess.CompletedProcess(child.args, child.returncode, out, err)

    def sign_once(self, path, timestamp=True):
        """osslsigncode's signing of the program in place: its CompletedProcess, None when
        it did not end within the time-stamp wait."""
        signed = path + ".signed"
        if os.path.lexists(signed):
            os.unlink(signed)
        stamp = ["-ts", self.timestamp_url] if timestamp and self.timestamp_url else []
        done = self._timed(["sign"] + self._signer_arguments() + ["-readpass", self.password_file, "-h", "sha256"]
                           + stamp + ["-in", path, "-out", signed])
        if done is not None and done.returncode == 0 and os.path.isfile(signed):
            os.replace(signed, path)
        elif done is not None and done.returncode == 0:
            done.returncode = 1  # it said it signed, but wrote nothing
        return done

    def fault_signing(self, path, timestamp=True, name=None):
        """Signs the program in place and checks the signature: what went wrong, or None."""
        name = name or os.path.basename(path)
        done = self.sign_once(path, timestamp)
        if done is None or done.returncode != 0:
            return f"{name} could not be signed"
        if not self.verify(path, timestamp):
            return f"{name}: its signature does not verify"
        return None

    def sign(self, path, timestamp=True):
        """Signs the program in place and checks the signature; Failure naming it if not."""
        fault = self.fault_signing(path, timestamp)
        if fault:
            raise common.Failure(fault, 1, "signing")

    def sign_folder(self, folder):
        """Every .exe and .dll in the folder signed and checked; False, with a line naming
        the first that was not, otherwise."""
        for program in programs_in(folder):
            fault = self.fault_signing(program, name=os.path.relpath(program, folder))
            if fault:
                common.warn(fault, "signing")
                return False
        return True

    def verify_zip(self, path):
        """Every program and DLL of one of our own zips verifies as verify() says."""
        with tempfile.TemporaryDirectory(dir=self.folder) as folder:
            with zipfile.ZipFile(path) as archive:
                archive.extractall(folder)
            for program in programs_in(folder):
                if not self.verify(program):
                    common.warn(f"{os.path.relpath(program, folder)}: its signature does not verify", "signing")
                    return False
        return True

    def verify(self, path, timestamp=True, at=None):
        return self.fault(path, timestamp, at) is None

    def fault(self, path, timestamp=True, at=None):
        """Why the signature does not verify as a verification would have it, or None: by
        osslsigncode's exit code, now or at the Unix time `at`, and our own check; this
        certificate's, with a time stamp when one is asked."""
        trusted = self._path("trusted.pem")
        when = ["-time", str(at)] if at is not None else []
        done = self._osslsigncode(["verify", *offline(), "-CAfile", trusted, "-TSA-CAfile", trusted] + when
                                  + ["-in", path], 120)
        found = signature_of(path)
        if found is None:
            return "it holds what a verification refuses"
        if found.signer != self.certificate.der:
            return "it is another certificate's"
        if timestamp and self.timestamp_url and not found.stamped:
            return "it carries no time stamp"
        fault = authenticode.fault(found, authenticode.trust_store())
        return fault or ("osslsigncode does not verify it" if done.returncode != 0 else None)

    def save(self):
        with open(self._path("signer"), "w") as file:
            for name, value in (("kind", self.kind), ("subject", self.subject), ("fingerprint", self.fingerprint)):
                file.write(f"{name}={value}\n")

    @classmethod
    def load(cls, settings, folder):
        state = dict(line.split("=", 1) for line in open(os.path.join(folder, "signer")).read().splitlines())
        # The secret prepare() kept there.
        settings.pop("SIGNING_PASSWORD", None)
        settings["SIGNING_PASSWORD_FILE"] = os.path.join(folder, "password")
        signer = cls(settings, folder, state["kind"])
        signer.subject, signer.fingerprint = state["subject"], state["fingerprint"]
        signer.certificate = pkcs11token.Certificate(_read(signer._path("certificate.der")))
        return signer


def signature_of(path):
    """The program's signature as a verification reads it (authenticode.read_signature): None
    when it carries none, or one a verification would refuse."""
    try:
        with open(path, "rb") as file:
            blob, _ = stranger.program_signature(file.read(), path)
        return authenticode.read_signature(blob, path) if blob is not None else None
    except (OSError, Refusal):
        return None


def is_program(name):
    return name.lower().endswith((".exe", ".dll"))


def programs_in(folder):
    """The programs and DLLs under the folder, by name."""
    return sorted(os.path.join(top, name) for top, _, names in os.walk(folder) for name in names if is_program(name))


def _certificates(signer):
    """The signer's certificate and chain, read by us from the PEM given, or for a PKCS#12
    file from what openssl takes out of it with the password (its exit code decides)."""
    if signer.kind == "token":
        blocks = pkcs11token.pem_blocks(_read(signer.certificate_path).decode("latin-1"))
    else:
        blocks = []
        for which in ("-clcerts", "-cacerts"):
            done = children.run(["openssl", "pkcs12", "-in", signer.certificate_path, "-passin",
                                 f"file:{signer.password_file}", "-nokeys", which], timeout=OPENSSL_TIME)
            if done.returncode != 0:
                refuse(f"{signer.certificate_path} does not open with the password given: nothing signed")
            found = pkcs11token.pem_blocks(done.stdout.decode("latin-1"))
            if which == "-clcerts" and len(found) != 1:
                refuse(f"{signer.certificate_path} holds {len(found)} certificates of its own, not one: nothing signed")
            blocks += found
    try:
        return pkcs11token.Certificate(blocks[0]), blocks[1:]
    except (IndexError, pkcs11token.DerError, ValueError):
        refuse(f"SIGNING_CERTIFICATE={signer.certificate_path}: its first certificate does not read as one")


def _check_token(signer):
    """The key SIGNING_KEY names, asked of the token by our own check in a child: found
    once, the certificate's, the PIN taken (one login)."""
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pkcs11token.py")
    done = children.run([sys.executable, "-I", "-B", script, signer.module, signer.key, signer.password_file,
                         signer._path("certificate.der")], timeout=TOKEN_CHECK_TIME, env=signer.environment(),
                        name="the token check")
    module, key, certificate = signer.module, signer.key, signer.certificate_path
    verdicts = {
        pkcs11token.TOKEN_NO_MODULE: f"SIGNING_PKCS11_MODULE={module} does not load as a PKCS#11 library: nothing signed",
        pkcs11token.TOKEN_NO_KEY: f"SIGNING_PKCS11_MODULE={module} finds no key SIGNING_KEY={key} on its tokens: nothing signed",
        pkcs11token.TOKEN_SEVERAL_KEYS: f"SIGNING_KEY={key} names more than one key on the token: give its id= too",
        pkcs11token.TOKEN_SEVERAL_TOKENS: f"SIGNING_KEY={key} could name keys on more than one token of SIGNING_PKCS11_MODULE={module}: give its token= too",
        pkcs11token.TOKEN_OTHER_KEY: f"the key SIGNING_KEY={key} is not the one of the certificate in SIGNING_CERTIFICATE={certificate}: nothing signed",
        pkcs11token.TOKEN_PIN_INCORRECT: "the token refused the PIN given: nothing signed, and not tried again (a token locks after a few wrong PINs)",
        pkcs11token.TOKEN_PIN_LOCKED: "the token's PIN is locked: unlock it with the vendor's tool",
    }
    if done.returncode in verdicts:
        refuse_with(verdicts[done.returncode], "PyKCS11", done.stderr)
    if done.returncode != pkcs11token.TOKEN_OK:
        refuse_with(f"the token could not be asked for the key SIGNING_KEY={key} (exit code {done.returncode}): nothing signed",
                    "the token check", done.stderr)


def _subject(signer):
    """The certificate's subject as RFC 2253 has it: RELEASE.txt gives it, and a verification
    compares it with the one openssl reads from the signatures."""
    done = children.run(["openssl", "x509", "-in", signer._path("certificate.pem"), "-noout", "-subject",
                         "-nameopt", "RFC2253"], timeout=OPENSSL_TIME)
    line = done.stdout.decode("utf-8", "replace").strip() if done.returncode == 0 else ""
    return line[len("subject="):] if line.startswith("subject=") else line


def _try(signer):
    """A tiny program signed once (the token's one use before the builds), time-stamped
    apart, and checked."""
    program = signer._path("try.exe")
    make_tiny_program(program)
    done = signer.sign_once(program, timestamp=False)
    if done is None:
        refuse(f"signing did not end within {signer.wait} s: nothing signed")
    if done.returncode != 0:
        refuse_with("a test program could not be signed: nothing signed", "osslsigncode", done.stderr)
    if signer.timestamp_url:
        stamped = program + ".stamped"
        done = signer._timed(["add", "-ts", signer.timestamp_url, "-h", "sha256", "-in", program, "-out", stamped])
        if done is None:
            refuse(f"the time-stamp server {signer.timestamp_url} did not answer within {signer.wait} s: nothing signed")
        if done.returncode != 0 or not os.path.isfile(stamped):
            refuse_with(f"the time-stamp server {signer.timestamp_url} gave no time stamp: nothing signed", "osslsigncode",
                        done.stderr)
        os.replace(stamped, program)
    fault = signer.fault(program)
    if fault:
        refuse(f"a test program's signature does not verify against SIGNING_CERTIFICATE={signer.certificate_path}: "
               f"{fault}: nothing signed")


def prepare(settings, folder):
    """A Signer that has signed a test program, or Refusal (exit 2) saying why none can."""
    settings = {name: settings[name] for name in SETTINGS if settings.get(name) is not None}
    kind = choose_kind(settings)
    need_tools(kind)
    keep_secret(settings, folder)
    signer = Signer(settings, folder, kind)
    if kind == "token" and not _read(signer.password_file):
        refuse("the token's PIN is given neither in SIGNING_PASSWORD_FILE nor in SIGNING_PASSWORD: the token was not tried")
    signer.certificate, chain = _certificates(signer)
    with open(signer._path("certificate.der"), "wb") as file:
        file.write(signer.certificate.der)
    with open(signer._path("certificate.pem"), "w") as file:
        file.write(pkcs11token.pem(signer.certificate.der))
    with open(signer._path("chain.pem"), "w") as file:
        file.write("".join(pkcs11token.pem(der) for der in chain))
    # A bought certificate's root is among the machine's; a throwaway one's comes with it.
    with open(signer._path("trusted.pem"), "w") as file:
        file.write("".join(pkcs11token.pem(der) for der in chain) + (_read(authenticode.TRUST_STORE) or b"").decode("latin-1"))
    signer.fingerprint = ":".join(f"{byte:02X}" for byte in hashlib.sha256(signer.certificate.der).digest())
    signer.subject = _subject(signer)
    if kind == "token":
        _check_token(signer)
    _try(signer)
    signer.save()
    return signer


def make_tiny_program(path, tail=b""):
    """The smallest 64-bit Windows program osslsigncode signs: headers with their check
    sum, no code, and `tail` after them (a length no multiple of 8, as DLLs can have)."""
    def le(value, size):
        return value.to_bytes(size, "little")
    data = (b"MZ" + bytes(58) + le(64, 4) + b"PE\0\0" + le(0x8664, 2) + le(0, 2) + bytes(12) + le(240, 2)
            + le(0x22, 2) + le(0x20B, 2) + bytes(30) + le(512, 4) + le(512, 4) + bytes(16) + le(1024, 4)
            + le(512, 4) + bytes(4) + le(3, 2) + bytes(38) + le(16, 4) + bytes(128) + bytes(184) + tail)
    data = data[:152] + le(stranger.pe_check_sum(data, 152), 4) + data[156:]
    with open(path, "wb") as file:
        file.write(data)


def main(arguments):
    """The bash tools' way in, the settings from the environment: signing prepare FOLDER;
    signing sign FOLDER PROGRAM...; signing verify [--at UNIX-TIME] FOLDER PROGRAM...."""
    at = None
    if arguments[:1] == ["verify"] and arguments[1:2] == ["--at"] and len(arguments) > 2:
        if not arguments[2].isdigit():
            raise Refusal(f"--at {arguments[2]}: no Unix time", 2, "signing")
        at, arguments = int(arguments[2]), arguments[:1] + arguments[3:]
    if len(arguments) < 2 or arguments[0] not in ("prepare", "sign", "verify", "sign-folder", "verify-zip") \
            or (arguments[0] == "prepare") != (len(arguments) == 2):
        raise Refusal("usage: signing prepare FOLDER | signing sign FOLDER PROGRAM... | "
                      "signing verify [--at UNIX-TIME] FOLDER PROGRAM... | signing sign-folder FOLDER PACKAGE | "
                      "signing verify-zip FOLDER ZIP", 2, "signing")
    settings = {name: os.environ[name] for name in SETTINGS if name in os.environ}
    folder = os.path.abspath(arguments[1])
    if arguments[0] == "prepare":
        prepare(settings, folder)
        return 0
    signer = Signer.load(settings, folder)
    if arguments[0] in ("sign-folder", "verify-zip"):
        done = (signer.sign_folder if arguments[0] == "sign-folder" else signer.verify_zip)(arguments[2])
        return 0 if done else 1
    for program in arguments[2:]:
        if arguments[0] == "sign":
            signer.sign(program)
        elif not signer.verify(program, at=at):
            return 1
    return 0
