"""An independent reader and writer of the strong configuration file format, written from its
description in orvane(5) alone: scrypt from hashlib, HKDF and AES-256-GCM from the cryptography
package (Debian's python3-cryptography)."""

import hashlib
import os
import struct
import sys

try:
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM
    from cryptography.hazmat.primitives.kdf.hkdf import HKDF
except ImportError:
    # The interpreter running the tests may not be Debian's, which has the package.
    if sys.executable != "/usr/bin/python3" and os.path.exists("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    # Without it the cases can still be listed; running one fails on the first use.
    hashes = AESGCM = HKDF = None

MAGIC = b"\x89ORV\r\n\x1a\n"
HEADER_SIZE = 48
KEY_PREFIX = "AES256GCM:"


def header_fields(data):
    """(version, kdf, log2 N, cipher, r, p, salt, nonce) of a strong file."""
    assert data[:8] == MAGIC, "no strong magic"
    version, kdf, log2_n, cipher = data[8:12]
    r, p = struct.unpack("<II", data[12:20])
    return version, kdf, log2_n, cipher, r, p, data[20:36], data[36:48]


def master_key(password, salt, log2_n, r, p):
    n = 1 << log2_n
    # hashlib's default memory limit is 32 MiB; scrypt takes 128·r·(N + p + 2) bytes.
    return hashlib.scrypt(password.encode(), salt=salt, n=n, r=r, p=p, maxmem=128 * r * (n + p + 2) + 4096,
                          dklen=32)


def subkey(master, info):
    return HKDF(algorithm=hashes.SHA256(), length=32, salt=None, info=info).derive(master)


class StrongFile:
    """A strong file opened with its password: the header fields, the text and its keys."""

    def __init__(self, data, password):
        (self.version, self.kdf, self.log2_n, self.cipher, self.r, self.p, salt,
         nonce) = header_fields(data)
        assert (self.version, self.kdf, self.cipher) == (1, 1, 1), "unknown version, derivation or cipher"
        master = master_key(password, salt, self.log2_n, self.r, self.p)
        self.text = AESGCM(subkey(master, b"orvane file text")).decrypt(nonce, data[HEADER_SIZE:],
                                                                         data[:HEADER_SIZE])
        self._rsa_key = subkey(master, b"orvane rsa key")

    def key_der(self, entry):
        """The PKCS#1 DER form of a stored key text ("AES256GCM:" and hex)."""
        assert entry.startswith(KEY_PREFIX), "not a strong key entry: %r" % entry[:20]
        sealed = bytes.fromhex(entry[len(KEY_PREFIX):])
        return AESGCM(self._rsa_key).decrypt(sealed[:12], sealed[12:], KEY_PREFIX.encode())


def read(path, password):
    with open(path, "rb") as f:
        return StrongFile(f.read(), password)


def write(path, password, text, log2_n, r=1, p=1):
    """Writes `text` as a strong file with the given scrypt parameters."""
    salt, nonce = os.urandom(16), os.urandom(12)
    header = MAGIC + bytes([1, 1, log2_n, 1]) + struct.pack("<II", r, p) + salt + nonce
    master = master_key(password, salt, log2_n, r, p)
    body = AESGCM(subkey(master, b"orvane file text")).encrypt(nonce, text, header)
    with open(path, "wb") as f:
        f.write(header + body)
