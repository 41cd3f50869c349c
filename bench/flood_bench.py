#!/usr/bin/env python3
"""A legitimate client's time to connect, hand-shake and get an echo through orvserver while another
address floods it with TLS handshakes (with a valid certificate, or without one, which orvserver
refuses), and while it holds a slowloris wave of half ClientHellos past orvserver's descriptor
limit. Several builds run one after the other in the same run, so their figures compare.
Prints figures; not a test.

  python3 bench/flood_bench.py --build base=build-base --build branch=build [--seconds 8] [--flooders 4]

127.0.0.2 floods, 127.0.0.3 is the client; everything runs in a temporary directory and every
process is stopped by its PID. Also reports orvserver's log growth and its peak and final RSS."""
import argparse
import multiprocessing
import os
import resource
import socket
import ssl
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "common"))
from orvtest import PASSWORD, World, echo, free_port, listening, rss_kib, wait_for  # noqa: E402

ATTACKER = "127.0.0.2"
CLIENT = "127.0.0.3"


def context(directory, cert):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.load_verify_locations(os.path.join(directory, "ca.crt"))
    if cert:
        ctx.load_cert_chain(os.path.join(directory, cert + ".crt"), os.path.join(directory, cert + ".key"))
    return ctx


def flooder(directory, port, cert, until):
    ctx = context(directory, cert)
    while time.time() < until:
        try:
            raw = socket.socket()
            raw.bind((ATTACKER, 0))
            raw.settimeout(5)
            raw.connect(("127.0.0.1", port))
            s = ctx.wrap_socket(raw)
            if not cert:
                s.recv(1)  # TLS 1.3: the refusal of the missing certificate comes here
            s.close()
        except (OSError, ssl.SSLError):
            pass


def client_round(ctx, port, timeout=30):
    """Milliseconds a client from 127.0.0.3 takes to connect, hand-shake and get its echo."""
    t = time.monotonic()
    raw = socket.socket()
    raw.bind((CLIENT, 0))
    raw.settimeout(timeout)
    raw.connect(("127.0.0.1", port))
    s = ctx.wrap_socket(raw)
    s.sendall(b"ping")
    got = b""
    while len(got) < 4:
        chunk = s.recv(4 - len(got))
        if not chunk:
            raise OSError("closed")
        got += chunk
    s.close()
    return (time.monotonic() - t) * 1000


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def start_server(w, nofile=None):
    """orvserver relaying to an echo service, with NOFILE descriptors when given; (port, process)."""
    w.standard_pki()
    service = w.service(echo)
    port = free_port()
    conf = w.config("key fk far.key\ncert fc far.crt\nroot r1 ca.crt\n"
                    "session far port=%d server=127.0.0.1 serverport=%d cert=fc key=fk root=r1 multicall=1\n"
                    % (port, service), name="far.orv")

    def limit():
        if nofile:
            resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))

    p = w.spawn([w.program("orvserver"), "-f", conf, "-p", PASSWORD, "far"], "orvserver.log", preexec_fn=limit)
    wait_for(lambda: listening(port) or p.poll() is not None, 20, "orvserver to listen")
    return port, p


def run_one(label, build, seconds, flooders, cert):
    w = World(os.path.join(os.path.abspath(build), "agent"))
    try:
        port, p = start_server(w)
        ctx = context(w.dir, "user")
        baseline = [client_round(ctx, port) for _ in range(20)]
        rss_start = rss_kib(p.pid)
        log_start = os.path.getsize(w.path("orvserver.log"))
        until = time.time() + seconds
        procs = [multiprocessing.Process(target=flooder, args=(w.dir, port, cert, until)) for _ in range(flooders)]
        for f in procs:
            f.start()
        during, failures, peak = [], 0, rss_start
        while time.time() < until:
            try:
                during.append(client_round(ctx, port))
            except (OSError, ssl.SSLError):
                failures += 1
            peak = max(peak, rss_kib(p.pid))
            time.sleep(0.05)
        for f in procs:
            f.join(30)
        log_bytes = os.path.getsize(w.path("orvserver.log")) - log_start
        time.sleep(1)
        print("%-8s %-7s client ms: baseline p50 %.1f p99 %.1f | flood p50 %.1f p99 %.1f max %.1f (%d rounds, %d failed)"
              " | log %.1f KB/s | RSS KiB start %d peak %d after %d"
              % (label, "cert" if cert else "no cert", percentile(baseline, 50), percentile(baseline, 99),
                 percentile(during, 50) if during else -1, percentile(during, 99) if during else -1,
                 max(during) if during else -1, len(during), failures, log_bytes / 1024 / seconds,
                 rss_start, peak, rss_kib(p.pid)), flush=True)
    finally:
        w.close()


def run_slowloris(label, build, held, nofile):
    """A client's rounds while 127.0.0.2 holds HELD half ClientHellos against orvserver limited
    to NOFILE descriptors."""
    w = World(os.path.join(os.path.abspath(build), "agent"))
    try:
        port, p = start_server(w, nofile)
        ctx = context(w.dir, "user")
        baseline = [client_round(ctx, port) for _ in range(5)]
        hello = b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + bytes(32)
        socks = []
        for _ in range(held):
            s = socket.socket()
            s.bind((ATTACKER, 0))
            s.settimeout(5)
            try:
                s.connect(("127.0.0.1", port))
                s.sendall(hello)
            except OSError:
                pass
            socks.append(s)
        time.sleep(1)
        rounds = []
        for _ in range(3):
            try:
                rounds.append("%.0f" % client_round(ctx, port, timeout=10))
            except (OSError, ssl.SSLError) as e:
                rounds.append("failed (%s)" % type(e).__name__)
        print("%-8s slowloris %d held, %d descriptors: client baseline p50 %.1f ms; during: %s ms | log %d bytes"
              % (label, held, nofile, percentile(baseline, 50), ", ".join(rounds),
                 os.path.getsize(w.path("orvserver.log"))), flush=True)
        for s in socks:
            s.close()
    finally:
        w.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", action="append", required=True, help="LABEL=BUILD_DIR, as often as wanted")
    parser.add_argument("--seconds", type=float, default=8)
    parser.add_argument("--flooders", type=int, default=4)
    parser.add_argument("--held", type=int, default=1500, help="half ClientHellos of the slowloris wave")
    parser.add_argument("--nofile", type=int, default=1024, help="orvserver's descriptor limit in that wave")
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    for given in args.build:
        tool = os.path.join(os.path.abspath(given.split("=", 1)[1]), "tests", "agent", "make_config")
        if os.path.exists(tool):
            os.environ["MAKE_CONFIG"] = tool
    for given in args.build:
        label, build = given.split("=", 1)
        run_slowloris(label, build, args.held, args.nofile)
    for cert in ("user", None):
        for given in args.build:
            label, build = given.split("=", 1)
            tool = os.path.join(os.path.abspath(build), "tests", "agent", "make_config")
            if os.path.exists(tool):  # a build of the programs alone uses another build's tool
                os.environ["MAKE_CONFIG"] = tool
            run_one(label, build, args.seconds, args.flooders, cert)


if __name__ == "__main__":
    main()
