"""FTP end to end on 127.0.0.1: raw FTP control connections -> orvclient -> orvserver -> pyftpdlib.
The cases check the data-connection flows (a second PASV, the accept time-out, a bad PORT), that
orvserver refuses what it must with real software behind it, and that control connections whose
header follows the handshake at once never stall. Every wait and every client run is bounded;
every process is stopped by its PID."""
import functools
import hashlib
import os
import re
import socket
import ssl
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from orvtest import (CONTROL_HEADER, FtpControlLines, case, check, fail, free_port, listening, main,  # noqa: E402
                     read_to_end, wait_for)

SIZE = 10 * 1024 * 1024
CLIENT_TIME = 60  # seconds one client run may take
USER_SUBJECT = "/O=OrvTest/CN=user1"


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


class Fixture:
    """pyftpdlib on a directory holding big.bin, orvserver (login=ftp) in front of it, and orvclient
    (login=ftp) relaying to orvserver; upload.bin is a local file to store."""
    current = None

    def __init__(self, w, client_extra="", far_partners=(), far_name="orvserver"):
        self.w = w
        Fixture.current = self
        w.standard_pki()
        self.root = w.path("ftproot")
        os.makedirs(self.root, exist_ok=True)
        self.download = os.path.join(self.root, "big.bin")
        self.upload = w.path("upload.bin")
        for path in (self.download, self.upload):
            with open(path, "wb") as f:
                f.write(os.urandom(SIZE))
        self.download_sha = sha256_file(self.download)
        self.upload_sha = sha256_file(self.upload)
        # -D logs every command, so that a case can tell what reached the FTP server.
        self.ftp_port = w.pyftpdlib(self.root, "-D")
        self.far_port, self.server = w.orvserver_agent(self.ftp_port, extra="login=ftp accept_timeout=20",
                                                       partners=far_partners, name=far_name)
        self.far_log = far_name + ".log"
        self.port = free_port()
        w.config("key k1 user.key\ncert c1 user.crt\nroot r1 ca.crt\n"
                 "session s1 port=%d server=127.0.0.1 serverport=%d cert=c1 root=r1 key=k1 "
                 "login=ftp multicall=1 accept_timeout=20 %s\n" % (self.port, self.far_port, client_extra))
        self.agent = w.agent(w.path("conf.orv"), "s1", wait_port=self.port)
        self.url = "ftp://127.0.0.1:%d/" % self.port

    def out(self, name):
        return self.w.path(name)

    def stalled(self):
        """orvserver's connections that never went on from their TLS accept: no second CONNECT
        line, and either no DISCONNECT yet or one without a cipher (its handshake never ended)."""
        accepted, settled = [], set()
        for line in self.w.lines(self.far_log):
            m = re.match(r"INF (CONNECT|DISCONNECT) .*client: (\S+), server: (\S+),.* cipher: (\S+?)[.]?( |$)", line)
            if not m:
                continue
            if m.group(1) == "CONNECT" and m.group(3) == "N/A":
                accepted.append(m.group(2))
            elif m.group(1) == "CONNECT" or m.group(4) != "N/A":
                settled.add(m.group(2))
        return [c for c in accepted if c not in settled]

    def logs(self):
        stalled = self.stalled()
        head = ("\norvserver accepted TLS from %s but never went on (no second CONNECT line; no DISCONNECT, "
                "or one with cipher N/A)"
                % ", ".join(stalled)) if stalled else ""
        return head + "\n--- orvclient ---\n%s\n--- orvserver ---\n%s\n--- pyftpdlib (tail) ---\n%s" % (
            self.w.read("agent.log")[-900:], self.w.read(self.far_log)[-900:], self.w.read("pyftpdlib.log")[-600:])


def diagnosed(test):
    """A case whose wait ran out fails with what the logs say instead of a bare timeout."""
    @functools.wraps(test)
    def run(w):
        try:
            test(w)
        except (TimeoutError, EOFError, ConnectionError) as e:
            fx = Fixture.current
            fail("%s: %r%s" % (test.__name__, e, fx.logs() if fx else ""))
    return run


# ---- data-connection flows ---------------------------------------------------------------------

class Control(FtpControlLines):
    """A raw FTP control connection to orvclient."""

    def __init__(self, port):
        self.start(socket.create_connection(("127.0.0.1", port), timeout=20))


def pasv_port(reply):
    m = re.match(r"227 .*\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)", reply)
    check(m, "a 227 reply: %r" % reply)
    return int(m.group(5)) * 256 + int(m.group(6))


@case
@diagnosed
def second_pasv(w):
    """A second PASV drops the first data connection: its rendezvous no longer takes connections,
    its data TLS connection ends at orvserver; LIST over the second one works."""
    fx = Fixture(w)
    ctl = Control(fx.port)
    ctl.login()
    first = pasv_port(ctl.cmd("PASV"))
    w.wait_lines(r"INF CONNECT .*server: N/A", 2)  # control + first data connection
    before = len(w.disconnects(fx.far_log))
    second = pasv_port(ctl.cmd("PASV"))
    check(first != second, "two rendezvous ports")
    wait_for(lambda: len(w.disconnects(fx.far_log)) > before, 10, "the first data connection to end at orvserver")
    try:
        s = socket.create_connection(("127.0.0.1", first), timeout=5)
        got = read_to_end(s, 5, reset_ends=True)
        s.close()
        check(got == b"", "the dropped rendezvous still delivered data: %r" % got)
    except OSError:
        pass  # refused: the rendezvous is closed
    data = socket.create_connection(("127.0.0.1", second), timeout=30)
    reply = ctl.cmd("LIST")
    check(reply[:3] in ("125", "150"), "LIST: %r%s" % (reply, fx.logs()))
    listing = read_to_end(data, 30, reset_ends=True)
    data.close()
    check(b"big.bin" in listing, "listing over the second data connection: %r" % listing)
    check(ctl.reply().startswith("226"), "226")
    ctl.cmd("QUIT")


@case
@diagnosed
def accept_timeout(w):
    """orvclient with accept_timeout=2: PASV and nobody connects: "client accept timeout", the data
    TLS connection ends at orvserver, the control connection goes on."""
    fx = Fixture(w, client_extra="accept_timeout=2")
    ctl = Control(fx.port)
    ctl.login()
    before = len(w.disconnects(fx.far_log))
    start = time.monotonic()
    rport = pasv_port(ctl.cmd("PASV"))
    w.wait_lines(r"client accept timeout", timeout=15)
    wait_for(lambda: len(w.disconnects(fx.far_log)) > before, 10, "the data TLS connection to end at orvserver")
    elapsed = time.monotonic() - start
    check(1.5 <= elapsed <= 12, "ended after the accept timeout: %.1f s" % elapsed)
    wait_for(lambda: not listening(rport), 5, "the rendezvous to close")
    check(ctl.cmd("NOOP").startswith("200"), "control connection goes on")
    ctl.cmd("QUIT")


@case
@diagnosed
def bad_port(w):
    """An undecodable PORT closes the control connection at orvclient; the FTP server never sees
    a PORT and no data connection is made."""
    fx = Fixture(w)
    ctl = Control(fx.port)
    ctl.login()
    ctl.s.sendall(b"PORT 127,0,0, 1,4,1\r\n")
    got = read_to_end(ctl.s, 30, reset_ends=True)
    check(got == b"", "nothing answered: %r" % got)
    w.wait_lines(r"unable to decode PORT command parameters")
    wait_for(lambda: len(w.disconnects(fx.far_log)) >= 1, 10, "orvserver's control connection to end")
    time.sleep(0.5)
    check(not re.search(r"<- PORT", w.read("pyftpdlib.log")), "PORT reached the FTP server" + fx.logs())
    check(len([l for l in w.lines(fx.far_log) if l.startswith("INF CONNECT") and "server: N/A" in l]) == 1,
          "only the control connection reached orvserver" + fx.logs())


# ---- security ----------------------------------------------------------------------------------

@case
@diagnosed
def foreign_ca(w):
    """A client certificate from another CA: the handshake fails at orvserver and is logged;
    nothing reaches the FTP server."""
    fx = Fixture(w)
    w.make_ca("other", "/O=Other/CN=Other CA")
    w.make_cert("stranger", "/O=Other/CN=stranger", "other")
    try:
        s = w.tls_client(fx.far_port, cert="stranger")
        s.sendall(CONTROL_HEADER)
        got = read_to_end(s, 20, reset_ends=True)
        check(got == b"", "a stranger got %r" % got)
        s.close()
    except (ssl.SSLError, OSError):
        pass
    lines = w.wait_lines(r"^SSL handshake failed: ", name=fx.far_log)
    check(any("SSL handshake failed: " in l and ("certificate" in l or "unknown ca" in l) for l in lines),
          "the reason names the certificate: %r" % lines)
    time.sleep(0.5)
    check("Connected" not in w.read("pyftpdlib.log") and "FTP session opened" not in w.read("pyftpdlib.log"),
          "the FTP server saw a connection: " + w.read("pyftpdlib.log")[-2000:])


@case
@diagnosed
def partner_refused(w):
    """orvserver's partner list refuses user1: an FTP client through orvclient gets no greeting,
    orvserver logs the refusal, and the FTP server sees no connection."""
    fx = Fixture(w, far_partners=("!" + USER_SUBJECT,))
    try:
        s = socket.create_connection(("127.0.0.1", fx.port), timeout=20)
        got = read_to_end(s, 20, reset_ends=True)
        s.close()
    except OSError:
        got = b""
    check(got == b"", "the refused client got %r" % got)
    lines = w.wait_lines(r"access denied to", name=fx.far_log)
    check("access denied to %s by partner list" % USER_SUBJECT in lines, "refusal logged: %r" % lines)
    time.sleep(0.5)
    log = w.read("pyftpdlib.log")
    check("FTP session opened" not in log and "Connected" not in log, "the FTP server saw a connection: " + log)


@case
@diagnosed
def quick_headers(w):
    """Control connections to orvserver, each sending its channel header at once after the
    handshake (TLS 1.2 and 1.3), as orvclient does: every one gets the FTP server's greeting."""
    fx = Fixture(w)
    stalled = []
    for version in (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3):
        for _ in range(15):
            s = w.tls_client(fx.far_port, timeout=2, version=version)
            s.sendall(CONTROL_HEADER)
            try:
                got = s.recv(100)
            except (socket.timeout, ssl.SSLError, OSError):
                got = b""
            if not got.startswith(b"220"):
                stalled.append("%s %s" % (version.name, s.getsockname()[1]))
            s.close()
    check(not stalled, "%d of 30 control connections got no greeting within 2 s: %s%s"
          % (len(stalled), ", ".join(stalled), fx.logs()))


if __name__ == "__main__":
    main()
