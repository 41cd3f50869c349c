#!/usr/bin/env python3
"""orvserver against stunnel (server mode) as the far agent of the same orvclient, and FTP through
both agents against the same transfer direct. Prints figures; not a test.

  python3 bench/far_agent_bench.py [--build build] [--seconds 5] [--hold 1000] [--ftp-mb 512]

Everything runs on 127.0.0.1 in a temporary directory; every process is stopped by PID.
Needs iperf3, stunnel4, openssl and Debian's python3-pyftpdlib (run by /usr/bin/python3)."""
import argparse
import ftplib
import hashlib
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "common"))
from orvtest import SYSTEM_PYTHON, cpu_seconds, free_port, rss_kib  # noqa: E402

PASSWORD = "bench-pw"


def wait_listening(port, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    raise SystemExit("nothing listens on %d" % port)


class Bench:
    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.dir = tempfile.mkdtemp(prefix="farbench-")
        self.procs = []

    def close(self):
        for p in self.procs:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in self.procs:
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def spawn(self, args, log):
        p = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=open(self.path(log), "wb"),
                             stderr=subprocess.STDOUT, cwd=self.dir)
        self.procs.append(p)
        return p

    def stop(self, p):
        p.send_signal(signal.SIGTERM)
        p.wait(timeout=10)

    def openssl(self, *args):
        subprocess.run(["openssl", *args], cwd=self.dir, check=True, capture_output=True)

    def pki(self):
        self.openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-subj", "/CN=bench ca",
                     "-days", "2", "-out", "ca.crt")
        for who in ("server", "client"):
            self.openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", who + ".key", "-subj", "/CN=bench " + who,
                         "-out", who + ".csr")
            self.openssl("x509", "-req", "-in", who + ".csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
                         "-days", "2", "-out", who + ".crt")

    def config(self, name, session, extra):
        tool = os.path.join(self.build, "tests", "agent", "make_config")
        text = "key k %s.key\ncert c %s.crt\nroot r ca.crt\nsession %s cert=c key=k root=r %s\n" % (
            name, name, session, extra)
        subprocess.run([tool, self.path(name + ".orv"), PASSWORD], input=text, text=True, check=True,
                       capture_output=True, cwd=self.dir)
        return self.path(name + ".orv")

    def far_stunnel(self, service_port):
        port = free_port()
        with open(self.path("stunnel.conf"), "w") as f:
            f.write("foreground = yes\npid =\ndebug = warning\n[far]\naccept = 127.0.0.1:%d\n"
                    "connect = 127.0.0.1:%d\ncert = %s\nkey = %s\nCAfile = %s\nverifyChain = yes\n"
                    "requireCert = yes\n" % (port, service_port, self.path("server.crt"), self.path("server.key"),
                                             self.path("ca.crt")))
        p = self.spawn(["stunnel4", self.path("stunnel.conf")], "stunnel.log")
        wait_listening(port)
        return port, p

    def far_orvserver(self, service_port, extra=""):
        port = free_port()
        conf = self.config("server", "far", "port=%d server=127.0.0.1 serverport=%d multicall=1 cache=1 nodelay=1 %s"
                           % (port, service_port, extra))
        p = self.spawn([os.path.join(self.build, "server", "orvserver"), "-f", conf, "-p", PASSWORD, "far"],
                       "orvserver.log")
        wait_listening(port)
        return port, p

    def client(self, far_port, extra=""):
        port = free_port()
        conf = self.config("client", "near", "port=%d server=127.0.0.1 serverport=%d multicall=1 cache=1 nodelay=1 %s"
                           % (port, far_port, extra))
        p = self.spawn([os.path.join(self.build, "agent", "orvclient"), "-f", conf, "-p", PASSWORD, "near"],
                       "orvclient.log")
        time.sleep(0.5)
        return port, p


def echo_server():
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(4096)

    def serve(conn):
        with conn:
            while True:
                data = conn.recv(65536)
                if not data:
                    return
                conn.sendall(data)

    def loop():
        while True:
            conn, _ = srv.accept()
            threading.Thread(target=serve, args=(conn,), daemon=True).start()

    threading.Thread(target=loop, daemon=True).start()
    return srv.getsockname()[1]


def iperf(port, seconds, reverse, far):
    before = cpu_seconds(far.pid)
    out = subprocess.run(["iperf3", "-c", "127.0.0.1", "-p", str(port), "-t", str(seconds), "-J"]
                         + (["-R"] if reverse else []), capture_output=True, text=True, timeout=seconds + 30).stdout
    received = json.loads(out)["end"]["sum_received"]
    cpu = cpu_seconds(far.pid) - before
    return received["bytes"] / received["seconds"] / 1e6, cpu / (received["bytes"] / 1e9)


def rate(port, seconds, workers=8):
    done = [0]
    stop = time.monotonic() + seconds

    def work():
        while time.monotonic() < stop:
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
                    s.sendall(b"x")
                    if s.recv(1) == b"x":
                        done[0] += 1
            except OSError:
                pass

    threads = [threading.Thread(target=work) for _ in range(workers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return done[0] / seconds


def hold(port, count, far):
    idle = rss_kib(far.pid)
    socks = []
    for _ in range(count):
        s = socket.create_connection(("127.0.0.1", port), timeout=20)
        s.sendall(b"h")
        s.recv(1)
        socks.append(s)
    time.sleep(1)
    per = (rss_kib(far.pid) - idle) / count
    for s in socks:
        s.close()
    return per


def far_agent_figures(args):
    rows = {}
    for kind in ("stunnel", "orvserver"):
        b = Bench(args.build)
        try:
            b.pki()
            iperf_port = free_port()
            b.spawn(["iperf3", "-s", "-p", str(iperf_port)], "iperf3.log")
            wait_listening(iperf_port)
            make = b.far_stunnel if kind == "stunnel" else b.far_orvserver
            far_port, far = make(iperf_port)
            port, client = b.client(far_port)
            up = iperf(port, args.seconds, False, far)
            down = iperf(port, args.seconds, True, far)
            b.stop(client)
            b.stop(far)
            far_port, far = make(echo_server())
            port, client = b.client(far_port)
            conns = rate(port, args.seconds)
            per = hold(port, args.hold, far)
            rows[kind] = (up, down, conns, per)
        finally:
            b.close()
    print("far agent   up MB/s (far CPU s/GB)   down MB/s (far CPU s/GB)   conn/s   far-agent KiB per idle connection")
    for kind, (up, down, conns, per) in rows.items():
        print("%-10s  %7.1f (%.2f)            %7.1f (%.2f)              %6.0f   %6.1f"
              % (kind, up[0], up[1], down[0], down[1], conns, per))
    s, o = rows["stunnel"], rows["orvserver"]
    print("orvserver / stunnel: up %.2fx, down %.2fx, conn/s %.2fx, memory %.2fx"
          % (o[0][0] / s[0][0], o[1][0] / s[1][0], o[2] / s[2], o[3] / s[3]))


def ftp_figures(args):
    b = Bench(args.build)
    try:
        b.pki()
        root = b.path("root")
        os.makedirs(root)
        size = args.ftp_mb * 1000 * 1000
        block = hashlib.sha256(b"x").digest() * 32768
        with open(os.path.join(root, "big.bin"), "wb") as f:
            for _ in range(size // len(block)):
                f.write(block)
        ftp_port = free_port()
        b.spawn([SYSTEM_PYTHON, "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", str(ftp_port), "-d", root, "-w"],
                "ftpd.log")
        wait_listening(ftp_port)
        far_port, _ = b.far_orvserver(ftp_port, "login=ftp accept_timeout=30")
        port, _ = b.client(far_port, "login=ftp accept_timeout=30")
        print("FTP, %d MB, passive         RETR MB/s   STOR MB/s" % args.ftp_mb)
        for name, p in (("direct", ftp_port), ("orvclient+orvserver", port)):
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", p, timeout=60)
            ftp.login()
            got = [0]
            start = time.monotonic()
            ftp.retrbinary("RETR big.bin", lambda chunk: got.__setitem__(0, got[0] + len(chunk)), blocksize=65536)
            retr = got[0] / (time.monotonic() - start) / 1e6
            start = time.monotonic()
            with open(os.path.join(root, "big.bin"), "rb") as f:
                ftp.storbinary("STOR up.bin", f, blocksize=65536)
            stor = size / (time.monotonic() - start) / 1e6
            ftp.quit()
            print("%-28s %9.1f   %9.1f" % (name, retr, stor))
    finally:
        b.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--hold", type=int, default=1000)
    parser.add_argument("--ftp-mb", type=int, default=512)
    args = parser.parse_args()
    far_agent_figures(args)
    ftp_figures(args)


if __name__ == "__main__":
    main()
