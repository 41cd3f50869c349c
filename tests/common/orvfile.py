"""An independent reader and writer of the encrypted configuration file, used by the end-to-end
tests to look inside the files the programs write (and to hand them files they did not write). MD5 is written out here because the running digest needs chaining values set by hand;
DES-EDE3-CBC comes from the openssl command."""

import hashlib
import math
import os
import struct
import subprocess

FOX = b"The quick brown fox jumped over the lazy dog's back."
_S = [7, 12, 17, 22] * 4 + [5, 9, 14, 20] * 4 + [4, 11, 16, 23] * 4 + [6, 10, 15, 21] * 4
_K = [int(abs(math.sin(i + 1)) * 2 ** 32) & 0xFFFFFFFF for i in range(64)]
_M = 0xFFFFFFFF


class RunningMd5:
    """MD5 that starts from given chaining values and keeps hashing after each result."""

    def __init__(self, seed):
        self.state = list(struct.unpack('<4I', seed))
        self.count = 0
        self.pending = b''

    def _compress(self, chunk):
        x = struct.unpack('<16I', chunk)
        a, b, c, d = self.state
        for i in range(64):
            if i < 16:
                f, g = (b & c) | (~b & d), i
            elif i < 32:
                f, g = (d & b) | (~d & c), (5 * i + 1) % 16
            elif i < 48:
                f, g = b ^ c ^ d, (3 * i + 5) % 16
            else:
                f, g = c ^ (b | ~d), (7 * i) % 16
            f = (f + a + _K[i] + x[g]) & _M
            a, d, c = d, c, b
            b = (b + ((f << _S[i]) | (f >> (32 - _S[i])))) & _M
        self.state = [(s + v) & _M for s, v in zip(self.state, (a, b, c, d))]

    def update(self, data):
        self.count += len(data)
        self.pending += data
        while len(self.pending) >= 64:
            self._compress(self.pending[:64])
            self.pending = self.pending[64:]

    def result(self):
        tail = self.pending + b'\x80'
        tail += b'\0' * ((56 - len(tail)) % 64) + struct.pack('<Q', self.count * 8)
        for i in range(0, len(tail), 64):
            self._compress(tail[i:i + 64])
        self.pending = b''
        return struct.pack('<4I', *self.state)


def _self_check():
    md = RunningMd5(bytes.fromhex('0123456789ABCDEFFEDCBA9876543210'))
    md.update(FOX)
    assert md.result().hex().upper() == '92D42302D738083D695046F014A22D2B'
    md.update(b'abc')
    assert md.result().hex().upper() == '28904DA417E8EF551AC75C3145B7BDA3'


_self_check()


def key_iv(password):
    pw = password.encode()
    d1 = hashlib.md5(pw).digest()
    d2 = hashlib.md5(d1 + pw).digest()
    return d1 + d2[:8], d2[8:]


def des3(data, password, decrypt):
    key, iv = key_iv(password)
    cmd = ['openssl', 'enc', '-des-ede3-cbc', '-K', key.hex(), '-iv', iv.hex()]
    if decrypt:
        cmd.append('-d')
    r = subprocess.run(cmd, input=data, capture_output=True, timeout=30)
    return r.stdout if r.returncode == 0 else None


def read_stream(stream):
    """The verified payload text, or None when the signature or a block digest fails."""
    if len(stream) < 32:
        return b''
    md = RunningMd5(stream[:16])
    md.update(FOX)
    if md.result() != stream[16:32]:
        return None
    text, pos = b'', 32
    while pos + 4 <= len(stream):
        (n,) = struct.unpack('<I', stream[pos:pos + 4])
        if n > 4096 or pos + 4 + n + 16 > len(stream):
            break
        payload = stream[pos + 4:pos + 4 + n]
        md.update(payload)
        if md.result() != stream[pos + 4 + n:pos + 20 + n]:
            return None
        text += payload
        pos += 20 + n
    return text


def make_stream(text):
    seed = os.urandom(16)
    md = RunningMd5(seed)
    md.update(FOX)
    out = seed + md.result()
    chunks = [text[i:i + 4096] for i in range(0, len(text), 4096)]
    if not chunks or len(chunks[-1]) == 4096:
        chunks.append(b'')
    for chunk in chunks:
        md.update(chunk)
        out += struct.pack('<I', len(chunk)) + chunk + md.result()
    return out


def read_text(path, password):
    """The configuration text of an encrypted file, or None when it does not open."""
    with open(path, 'rb') as f:
        stream = des3(f.read(), password, decrypt=True)
    return None if stream is None else read_stream(stream)


def write_text(path, password, text):
    with open(path, 'wb') as f:
        f.write(des3(make_stream(text), password, decrypt=False))


def _unescape(raw):
    out, i = '', 0
    while i < len(raw):
        c = raw[i]
        if c == '\\' and i + 1 < len(raw):
            i += 1
            out += {'n': '\n', 'r': '\r', 'b': '\b', 't': '\t'}.get(raw[i], raw[i])
        else:
            out += c
        i += 1
    return out


def parse_text(text):
    """Sections of the text the store writes: {section: [(name, value), ...]}."""
    sections, current = {}, None
    for line in text.decode('latin-1').split('\n'):
        if line.startswith('[') and line.endswith(']'):
            current = sections.setdefault(line[1:-1].strip(), [])
        elif '=' in line and current is not None:
            name, value = line.split('=', 1)
            current.append((name, _unescape(value)))
    return sections


def read_sections(path, password):
    text = read_text(path, password)
    return None if text is None else parse_text(text)


def decrypt_key_der(hex_text, password):
    """The DER private key of a stored key entry, or None when it does not decrypt."""
    return des3(bytes.fromhex(hex_text), password, decrypt=True)
