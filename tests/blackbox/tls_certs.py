"""Certificates for the TLS tests, made with the `openssl` command.

    certificates = make_certificates(folder)
    certificates.ca                     # the private CA's certificate (PEM), for smtp_tls_ca_file
    certificates.server                 # a Pair: .cert and .key of localhost and 127.0.0.1
    certificates.pair("expired")        # the other server certificates by name

The server certificates, each an ECDSA P-256 key and a certificate with
subjectAltName entries:

- "server": localhost and 127.0.0.1, from the private CA, valid now;
- "expired": the same names and CA, valid for a day two years ago;
- "unknown": the same names, valid, from another CA that nobody trusts;
- "other": the private CA's, valid, for other.quillet.test only.

Every leaf is made with `openssl ca`, whose -startdate and -enddate set the
validity exactly. `shared_certificates()` makes them once per test process,
in a folder that is removed when the process ends.
"""

import atexit
import os
import shutil
import subprocess
import tempfile

OPENSSL = "/usr/bin/openssl"
COMMAND_SECONDS = 60

SERVER_NAMES = ("DNS:localhost", "IP:127.0.0.1")
OTHER_NAME = "other.quillet.test"

# name: (issuing CA, subjectAltName entries, validity: "now" or (start, end) in openssl's UTC form)
LEAVES = {
    "server": ("ca", SERVER_NAMES, "now"),
    "expired": ("ca", SERVER_NAMES, ("20000101000000Z", "20000102000000Z")),
    "unknown": ("stranger", SERVER_NAMES, "now"),
    "other": ("ca", ("DNS:" + OTHER_NAME,), "now"),
}
VALID_DAYS = 30

CA_CONFIG = """\
[ ca ]
default_ca = this_ca

[ this_ca ]
dir = {dir}
database = $dir/index.txt
new_certs_dir = $dir/issued
serial = $dir/serial
default_md = sha256
policy = anything
copy_extensions = none
unique_subject = no

[ anything ]
commonName = supplied

[ leaf ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = {names}
"""


class Pair:
    def __init__(self, cert, key):
        self.cert = cert
        self.key = key

    def __repr__(self):
        return "Pair(%r)" % self.cert


class Certificates:
    def __init__(self, folder):
        self.folder = folder
        self.ca = os.path.join(folder, "ca.pem")
        self.stranger_ca = os.path.join(folder, "stranger.pem")
        self.pairs = {}

    @property
    def server(self):
        return self.pairs["server"]

    def pair(self, name):
        return self.pairs[name]


def openssl(*args, cwd=None):
    completed = subprocess.run([OPENSSL, *args], capture_output=True, cwd=cwd, timeout=COMMAND_SECONDS)
    if completed.returncode != 0:
        raise RuntimeError("openssl %s failed:\n%s" % (" ".join(args), completed.stderr.decode("latin-1")))


def new_key(path):
    openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", path)
    os.chmod(path, 0o600)


def make_ca(folder, name, subject):
    """A self-signed CA certificate `name`.pem with its key `name`.key."""
    key = os.path.join(folder, name + ".key")
    new_key(key)
    openssl("req", "-x509", "-new", "-key", key, "-out", os.path.join(folder, name + ".pem"), "-subj", subject,
            "-days", str(VALID_DAYS), "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    database = os.path.join(folder, name + "-db")
    os.makedirs(os.path.join(database, "issued"))
    with open(os.path.join(database, "index.txt"), "w"):
        pass
    with open(os.path.join(database, "serial"), "w") as handle:
        handle.write("1000\n")
    return key


def make_leaf(folder, name, issuer, names, validity):
    key = os.path.join(folder, name + ".key")
    request = os.path.join(folder, name + ".csr")
    cert = os.path.join(folder, name + ".pem")
    new_key(key)
    openssl("req", "-new", "-key", key, "-out", request, "-subj", "/CN=%s" % names[0].split(":", 1)[1])
    database = os.path.join(folder, issuer + "-db")
    config = os.path.join(folder, name + ".cnf")
    with open(config, "w") as handle:
        handle.write(CA_CONFIG.format(dir=database, names=", ".join(names)))
    if validity == "now":
        dates = ["-days", str(VALID_DAYS)]
    else:
        dates = ["-startdate", validity[0], "-enddate", validity[1]]
    openssl("ca", "-batch", "-notext", "-config", config, "-extensions", "leaf", "-cert",
            os.path.join(folder, issuer + ".pem"), "-keyfile", os.path.join(folder, issuer + ".key"),
            "-in", request, "-out", cert, *dates)
    return Pair(cert, key)


def make_certificates(folder):
    """Every certificate of this module, in `folder` (made when missing)."""
    os.makedirs(folder, exist_ok=True)
    certificates = Certificates(folder)
    make_ca(folder, "ca", "/CN=quillet test CA")
    make_ca(folder, "stranger", "/CN=a CA nobody trusts")
    for name, (issuer, names, validity) in LEAVES.items():
        certificates.pairs[name] = make_leaf(folder, name, issuer, names, validity)
    # Readable by the servers' accounts (Postfix reads its key as root).
    os.chmod(folder, 0o755)
    for entry in os.listdir(folder):
        path = os.path.join(folder, entry)
        if os.path.isfile(path) and entry.endswith(".pem"):
            os.chmod(path, 0o644)
    return certificates


_shared = None


def shared_certificates():
    """The certificates of this test process, made on first use."""
    global _shared
    if _shared is None:
        folder = tempfile.mkdtemp(prefix="quillet-certs-")
        atexit.register(shutil.rmtree, folder, True)
        _shared = make_certificates(folder)
    return _shared
