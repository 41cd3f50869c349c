#!/usr/bin/env python3
"""Cross-checks the configuration file format against an independent implementation.

Python writes files that the store must load, and reads files that the store wrote. The cipher
layer is the `openssl enc` command and the running MD5 comes from tests/common/orvfile.py; the
block framing (ending exactly as the store's writer ends a stream), a strict stream reader, the
text writer and a reader are written here from the format's description."""
import os
import random
import struct
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from orvfile import FOX as SIGNATURE_TEXT, RunningMd5, des3  # noqa: E402

TOOL = sys.argv[1]


def cipher(data, password, decrypt=False):
    out = des3(data, password, decrypt)
    assert out is not None, "the openssl command refused the data"
    return out


def make_stream(text, seed=None):
    seed = seed or os.urandom(16)
    md = RunningMd5(seed)
    md.update(SIGNATURE_TEXT)
    out = seed + md.result()
    # A text that fills its last block ends with it; the empty text is one empty block.
    blocks = [text[i:i + 4096] for i in range(0, len(text), 4096)] or [b""]
    for payload in blocks:
        md.update(payload)
        out += struct.pack("<I", len(payload)) + payload + md.result()
    return out


def read_stream(stream):
    md = RunningMd5(stream[:16])
    md.update(SIGNATURE_TEXT)
    assert md.result() == stream[16:32], "signature mismatch"
    pos, text = 32, b""
    while pos < len(stream):
        (n,) = struct.unpack("<I", stream[pos:pos + 4])
        assert n <= 4096
        payload = stream[pos + 4:pos + 4 + n]
        md.update(payload)
        assert md.result() == stream[pos + 4 + n:pos + 20 + n], "block digest mismatch"
        text += payload
        pos += 20 + n
    assert pos == len(stream), "stream ends inside a block"
    return text


def escape(value):
    table = {b"\\": b"\\\\", b"\r": b"\\r", b"\n": b"\\n", b"\b": b"\\b", b"\t": b"\\t",
             b"$": b"\\$", b'"': b'\\"', b"'": b"\\'", b"`": b"\\`"}
    return b"".join(table.get(bytes([c]), bytes([c])) for c in value)


def write_text(sections):
    out = b""
    for name, entries in sections:
        out += b"[ " + name + b" ]\n"
        for k, v in entries:
            out += k + b"=" + escape(v) + b"\n"
        out += b"\n"
    return out


def unescape_value(raw):
    """The reader's value rules for what a writer produces: escapes, quoted runs, comments."""
    out, i = b"", 0
    while i < len(raw):
        c = raw[i:i + 1]
        if c == b"\\":
            if i + 1 >= len(raw):
                break
            n = raw[i + 1:i + 2]
            out += {b"n": b"\n", b"r": b"\r", b"b": b"\b", b"t": b"\t"}.get(n, n)
            i += 2
        elif c in (b'"', b"'", b"`"):
            j = i + 1
            while j < len(raw) and raw[j:j + 1] != c:
                if raw[j:j + 1] == b"\\" and j + 1 < len(raw):
                    j += 1
                out += raw[j:j + 1]
                j += 1
            i = j + 1
        elif c == b"#":
            break
        else:
            out += c
            i += 1
    return out


def read_text(text):
    sections, current = {"default": {}}, "default"
    for line in text.split(b"\n"):
        line = line.lstrip(b" \t\r")
        if not line or line.startswith(b"#"):
            continue
        if line.startswith(b"["):
            current = line[1:line.index(b"]")].strip().decode()
            sections.setdefault(current, {})
            continue
        name, _, raw = line.partition(b"=")
        raw = raw.lstrip(b" \t").rstrip(b" \t\r")
        sections[current][name.strip().decode()] = unescape_value(raw)
    return sections


def store_dump(path, password):
    r = subprocess.run([TOOL, "dump", path, password], capture_output=True, timeout=30)
    if r.returncode != 0:
        return None, r.stderr.decode()
    tree, section = {}, None
    for line in r.stdout.decode().splitlines():
        kind, *rest = line.split("\t")
        if kind == "S":
            section = bytes.fromhex(rest[0]).decode()
            tree[section] = {}
        else:
            tree[section][bytes.fromhex(rest[0]).decode()] = bytes.fromhex(rest[1])
    return tree, ""


def store_write(path, password, tree):
    lines = []
    for s, entries in tree.items():
        lines.append("S\t" + s.encode().hex())
        lines += ["E\t%s\t%s" % (k.encode().hex(), v.hex()) for k, v in entries.items()]
    subprocess.run([TOOL, "write", path, password], input="\n".join(lines).encode(), check=True, timeout=30)


TRICKY = [b"back\\slash", b"cr\rlf\n", b"bs\bt\t", b"$dollar ${x}", b"q\"'`", b"plain",
          b"", b"\\", b"hash # x", b" lead", b"trail ", bytes(range(1, 256))]

failures = []
passes = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what)
    (passes if cond else failures).append(what)


def main():
    rng = random.Random(7)
    md = RunningMd5(bytes.fromhex("0123456789ABCDEFFEDCBA9876543210"))
    md.update(SIGNATURE_TEXT)
    first = md.result().hex().upper()
    md.update(b"abc")
    check((first, md.result().hex().upper()) == ("92D42302D738083D695046F014A22D2B", "28904DA417E8EF551AC75C3145B7BDA3"),
          "reference digest check values")
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "rc")
        # 1. Files written here load in the store.
        no_hash = [v for v in TRICKY if b"#" not in v and not v.startswith(b" ") and not v.endswith(b" ")]
        for size in (0, 1, 4095, 4096, 4097, 3 * 4096, 20000):
            bulk = bytes(rng.choice(b"abcdefghij") for _ in range(size))
            sections = [(b"default", [(b"sessions", b"s1")]),
                        (b"values", [(b"v%d" % i, v) for i, v in enumerate(no_hash)]),
                        (b"bulk", [(b"data", bulk)])]
            text = write_text(sections)
            with open(path, "wb") as f:
                f.write(cipher(make_stream(text), "pw"))
            tree, err = store_dump(path, "pw")
            check(tree is not None and tree["values"] == {"v%d" % i: v for i, v in enumerate(no_hash)}
                  and tree["bulk"]["data"] == bulk, "python-written file, %d bulk bytes, loads (%s)" % (size, err.strip()))
        # Text of exactly 4096 bytes: one block, nothing after it.
        text = b"a=" + b"x" * 4093 + b"\n"
        stream = make_stream(text)
        check(len(stream) == 32 + 4 + 4096 + 16, "4096-byte text is one block")
        with open(path, "wb") as f:
            f.write(cipher(stream, "pw"))
        tree, _ = store_dump(path, "pw")
        check(tree is not None and len(tree["default"]["a"]) == 4093, "4096-byte text loads")
        # A stream cut at a block boundary is a shorter valid stream.
        text = b"[ one ]\nk=" + b"y" * 5000 + b"\n"
        stream = make_stream(b"[ s ]\nfirst=1\n" + b"#" * (4096 - 14) + text)
        with open(path, "wb") as f:
            f.write(cipher(stream[:32 + 4116], "pw"))
        tree, _ = store_dump(path, "pw")
        check(tree is not None and tree["s"] == {"first": b"1"} and "one" not in tree, "cut stream loads its first block")
        # Hand-written text with sections in any order and blanks everywhere.
        hand = b"top = 1\n[  b  ]\nx   =  2  \n[a]\ny=$top\nb::z=3\n"
        with open(path, "wb") as f:
            f.write(cipher(make_stream(hand), "pw"))
        tree, _ = store_dump(path, "pw")
        check(tree == {"default": {"top": b"1"}, "b": {"x": b"2", "z": b"3"}, "a": {"y": b"1"}}, "hand-written text")
        # Wrong password.
        tree, err = store_dump(path, "nope")
        check(tree is None and err == "Unable to read secure config file %s\n" % path, "wrong password refused")

        # 2. Files the store writes load here.
        for size in (0, 4000, 9000):
            tree = {"default": {"sessions": b"a,b"},
                    "values": {"v%d" % i: v for i, v in enumerate(TRICKY)},
                    "bulk": {"data": b"z" * size}}
            store_write(path, "secret", tree)
            with open(path, "rb") as f:
                raw = f.read()
            try:
                back = read_text(read_stream(cipher(raw, "secret", decrypt=True)))
                same = all(back[s] == e for s, e in tree.items())
            except Exception as e:  # noqa: BLE001 - report any decoding fault as a failure
                print(e)
                same = False
            check(same, "store-written file (%d bulk bytes) reads here" % size)
    print("%d passed, %d failed" % (len(passes), len(failures)))
    sys.exit(1 if failures else 0)


main()
