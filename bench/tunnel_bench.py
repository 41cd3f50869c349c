#!/usr/bin/env python3
"""Side-by-side benchmark of orvclient and stunnel in client mode.

Both clients relay to the same far agent (stunnel in server mode, client certificate required)
and the same service, all on 127.0.0.1. Measured for each client:
  - throughput: one connection moving --mb megabytes up, then down;
  - connections per second: --conns sequential connections (connect, one echoed byte, close),
    with TLS session resumption (orvclient `cache` 1, stunnel sessionResume yes) and without;
  - resident memory: VmRSS of the client process with --idle connections open and idle.
Prints a table and the ratios orvclient / stunnel. Not part of the test suite.

Usage: bench/tunnel_bench.py [--build build] [--mb 512] [--conns 300] [--idle 1000]
"""
import argparse
import os
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "tests", "common"))

from orvtest import World, connect, echo, free_port, listening, recv_exact, rss_kib, wait_for  # noqa: E402

BLOCK = bytes(range(256)) * 1024  # 256 KiB


def service(sock):
    kind = recv_exact(sock, 1)
    if kind == b"U":
        size = struct.unpack("!Q", recv_exact(sock, 8))[0]
        buf = bytearray(1 << 20)
        got = 0
        while got < size:
            n = sock.recv_into(buf)
            if not n:
                return
            got += n
        sock.sendall(b"K")
    elif kind == b"D":
        size = struct.unpack("!Q", recv_exact(sock, 8))[0]
        view = memoryview(BLOCK)
        sent = 0
        while sent < size:
            piece = view[: min(len(BLOCK), size - sent)]
            sock.sendall(piece)
            sent += len(piece)
    elif kind == b"E":
        echo(sock)


def upload(port, size):
    s = connect(port, timeout=300)
    start = time.monotonic()
    s.sendall(b"U" + struct.pack("!Q", size))
    view = memoryview(BLOCK)
    sent = 0
    while sent < size:
        piece = view[: min(len(BLOCK), size - sent)]
        s.sendall(piece)
        sent += len(piece)
    assert recv_exact(s, 1) == b"K"
    elapsed = time.monotonic() - start
    s.close()
    return size / elapsed / 1e6


def download(port, size):
    s = connect(port, timeout=300)
    start = time.monotonic()
    s.sendall(b"D" + struct.pack("!Q", size))
    buf = bytearray(1 << 20)
    got = 0
    while got < size:
        n = s.recv_into(buf)
        assert n, "download cut at %d" % got
        got += n
    elapsed = time.monotonic() - start
    s.close()
    return size / elapsed / 1e6


def connections_per_second(port, count):
    start = time.monotonic()
    for _ in range(count):
        s = connect(port)
        s.sendall(b"Ex")
        assert recv_exact(s, 1) == b"x"
        s.close()
    return count / (time.monotonic() - start)


def idle_memory(port, pid, count):
    before = rss_kib(pid)
    socks = []
    for _ in range(count):
        s = connect(port, timeout=60)
        s.sendall(b"Ex")
        socks.append(s)
    for s in socks:
        assert recv_exact(s, 1) == b"x"
    time.sleep(1)
    during = rss_kib(pid)
    for s in socks:
        s.close()
    return before, during


def stunnel_client(w, far_port, resume, name):
    port = free_port()
    conf = w.path(name + ".conf")
    with open(conf, "w") as f:
        f.write("foreground = yes\npid =\ndebug = warning\n\n[client]\nclient = yes\n")
        f.write("accept = 127.0.0.1:%d\nconnect = 127.0.0.1:%d\n" % (port, far_port))
        f.write("cert = %s\nkey = %s\nCAfile = %s\nverifyChain = yes\n"
                % (w.path("user.crt"), w.path("user.key"), w.path("ca.crt")))
        f.write("sessionResume = %s\n" % ("yes" if resume else "no"))
    p = w.spawn(["stunnel4", conf], name + ".log")
    wait_for(lambda: listening(port), 20, "stunnel client")
    return port, p


def orv_client(w, far_port, cache, name):
    conf, port = w.standard_config(session=name, far_port=far_port, extra="multicall=1 cache=%d" % cache,
                                   name=name + ".orv")
    p = w.agent(conf, name, log_name=name + ".log", wait_port=port)
    return port, p


def measure(w, far_port, start_client, label, args):
    results = {}
    port, p = start_client(w, far_port, True, label + "_resume")
    upload(port, 16 << 20)  # warm-up
    results["up"] = upload(port, args.mb << 20)
    results["down"] = download(port, args.mb << 20)
    results["cps_cache"] = connections_per_second(port, args.conns)
    results["rss_before"], results["rss_idle"] = idle_memory(port, p.pid, args.idle)
    w.stop(p)
    port, p = start_client(w, far_port, False, label + "_plain")
    results["cps_nocache"] = connections_per_second(port, args.conns)
    w.stop(p)
    return results


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--mb", type=int, default=512)
    ap.add_argument("--conns", type=int, default=300)
    ap.add_argument("--idle", type=int, default=1000)
    args = ap.parse_args()
    os.environ.setdefault("MAKE_CONFIG", os.path.join(os.path.abspath(args.build), "tests", "agent", "make_config"))
    w = World(os.path.join(os.path.abspath(args.build), "agent"))
    try:
        w.standard_pki()
        far_port, _ = w.far_agent(w.service(service))
        # The far agent logs every connection at this level; keep it quiet for the figures.
        orv = measure(w, far_port, orv_client, "orv", args)
        stn = measure(w, far_port, stunnel_client, "stunnel", args)
    finally:
        w.close()
    rows = [
        ("throughput up (MB/s)", "up", "%.0f"),
        ("throughput down (MB/s)", "down", "%.0f"),
        ("connections/s, resumed sessions", "cps_cache", "%.0f"),
        ("connections/s, full handshakes", "cps_nocache", "%.0f"),
        ("RSS before idle test (KiB)", "rss_before", "%d"),
        ("RSS with %d idle connections (KiB)" % args.idle, "rss_idle", "%d"),
    ]
    print("%-40s %12s %12s %8s" % ("", "orvclient", "stunnel", "ratio"))
    for title, key, fmt in rows:
        a, b = orv[key], stn[key]
        print("%-40s %12s %12s %8.2f" % (title, fmt % a, fmt % b, a / b if b else float("nan")))
    per_conn = lambda r: (r["rss_idle"] - r["rss_before"]) / args.idle
    print("%-40s %12.1f %12.1f %8.2f" % ("KiB per idle connection", per_conn(orv), per_conn(stn),
                                         per_conn(orv) / per_conn(stn)))


if __name__ == "__main__":
    main()
