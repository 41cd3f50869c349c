"""orvclient's FTP client side ("ftp" sessions) against a scripted far agent: a TLS server that
requires our client certificate, records the channel header and the control lines of every
connection, and plays a small FTP server on the control connection. Python's ftplib is the FTP
client. Everything on 127.0.0.1; every wait is bounded."""
import ftplib
import io
import os
import re
import socket
import ssl
import sys
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from orvtest import (case, channel_header, check, connect, fail, main, pattern_bytes, read_until_end,  # noqa: E402
                     recv_exact, wait_for)

PAYLOAD = pattern_bytes("ftp download", 200000)
UPLOAD = pattern_bytes("ftp upload", 150000)
WAIT = 20


def listening_ports(pid):
    """The TCP ports a process listens on (probing with connects would race with other programs
    that may be given a port just freed)."""
    inodes = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    ports = set()
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[3] == "0A" and fields[9] in inodes:
                ports.add(int(fields[1].split(":")[1], 16))
    return ports


class Conn:
    """One TLS connection the far agent accepted."""

    def __init__(self, sock, head):
        self.sock = sock
        self.header = head
        self.lines = []  # control connections: the lines received, CR LF included
        self.ended = threading.Event()  # control connections: orvclient closed it


class ScriptedFarAgent:
    def __init__(self, world):
        self.ctx = world.tls_server_context()
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Condition()
        self.controls = []
        self.data = []  # data connections in order of arrival
        self.stored = []  # what STOR received, channel header included
        self.expected = None  # the header the next transfer's data connection carries
        self.pasv_listeners = []
        self.stopping = False
        threading.Thread(target=self.accept_loop, daemon=True).start()

    def close(self):
        self.stopping = True
        self.listener.close()
        for s in self.pasv_listeners:
            s.close()

    def accept_loop(self):
        while not self.stopping:
            try:
                raw, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.serve, args=(raw,), daemon=True).start()

    def serve(self, raw):
        raw.settimeout(WAIT)
        try:
            sock = self.ctx.wrap_socket(raw, server_side=True)
            head = recv_exact(sock, 8)
        except (OSError, ssl.SSLError):
            raw.close()
            return
        conn = Conn(sock, head)
        with self.lock:
            (self.controls if head[:1] == b"\x01" else self.data).append(conn)
            self.lock.notify_all()
        if head[:1] == b"\x01":
            try:
                self.play_ftp(conn)
            except (OSError, ssl.SSLError):
                pass
            conn.ended.set()

    # ---- the FTP server on the control connection ---------------------------------------------

    def data_conn(self, head):
        with self.lock:
            found = self.lock.wait_for(lambda: [c for c in self.data if c.header == head], WAIT)
        if not found:
            raise OSError("no data connection with header %r" % head)
        return found[-1]

    def passive_port(self):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        s.listen(1)
        self.pasv_listeners.append(s)
        return s.getsockname()[1]

    def play_ftp(self, conn):
        sock = conn.sock
        sock.settimeout(60)
        send = lambda text: sock.sendall(text.encode() + b"\r\n")
        send("220 scripted far agent")
        buf = b""
        while True:
            while b"\r\n" not in buf:
                chunk = sock.recv(4096)
                if not chunk:
                    return
                buf += chunk
            line, buf = buf.split(b"\r\n", 1)
            with self.lock:
                conn.lines.append(line + b"\r\n")
            text = line.decode("latin-1")
            word = text.split(" ")[0].upper()
            arg = text[len(word) + 1:]
            if word == "USER":
                send("331 password please")
            elif word == "PASS":
                send("230 logged in")
            elif word == "TYPE":
                send("200 type set")
            elif word == "PASV":
                p = self.passive_port()
                self.expected = channel_header(0, 1, "127.0.0.1", p)
                send("227 Entering Passive Mode (127,0,0,1,%d,%d)." % (p >> 8, p & 255))
            elif word == "EPSV":
                p = self.passive_port()
                self.expected = channel_header(0, 1, "0.0.0.0", p)
                send("229 Entering Extended Passive Mode (|||%d|)" % p)
            elif word == "PORT":
                n = [int(x) for x in arg.split(",")]
                self.expected = channel_header(0, 0, "%d.%d.%d.%d" % tuple(n[:4]), n[4] * 256 + n[5])
                send("200 PORT command successful")
            elif word == "EPRT":
                _, proto, addr, port, _ = arg.split(arg[0])
                self.expected = channel_header(0, 0, addr, int(port))
                send("200 EPRT command successful")
            elif word == "RETR":
                send("150 Opening data connection")
                data = self.data_conn(self.expected)
                data.sock.sendall(PAYLOAD)
                try:
                    data.sock.unwrap()
                except (OSError, ssl.SSLError):
                    pass
                data.sock.close()
                send("226 Transfer complete")
            elif word == "STOR":
                send("150 Opening data connection")
                data = self.data_conn(self.expected)
                got, _ = read_until_end(data.sock, WAIT)
                data.sock.close()
                with self.lock:
                    self.stored.append(data.header + got)
                send("226 Transfer complete")
            elif word == "XBAD":  # a 227 reply that cannot be decoded, after a good line
                sock.sendall(b"200-about to fail\r\n227 Entering Passive Mode (127,0,0,1).\r\n")
            elif word == "XLONG":  # a reply line that never ends
                sock.sendall(b"200 " + b"x" * 6000)
            elif word == "NOOP":
                send("200 NOOP ok")
            elif word == "QUIT":
                send("221 bye")
                return
            else:
                send("500 unknown command")

    def wait_control(self, index=0):
        with self.lock:
            self.lock.wait_for(lambda: len(self.controls) > index, WAIT)
            check(len(self.controls) > index, "control connection %d arrived" % index)
            return self.controls[index]

    def control_lines(self, index=0):
        conn = self.wait_control(index)
        with self.lock:
            return list(conn.lines)


def setup(w, extra=""):
    far = ScriptedFarAgent(w)
    w.servers.append(_Closer(far))
    conf, port = w.standard_config(far_port=far.port, extra="multicall=1 login=ftp " + extra)
    agent = w.agent(conf, "s1", wait_port=port)
    return far, port, agent


class _Closer:
    """Lets World.close stop the scripted far agent with its other servers."""

    def __init__(self, far):
        self.far = far

    def shutdown(self):
        self.far.close()

    def server_close(self):
        pass


def login(port):
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", port, timeout=WAIT)
    ftp.login("anon", "pw")
    return ftp


def retr(ftp):
    chunks = []
    ftp.retrbinary("RETR file", chunks.append)
    return b"".join(chunks)


# ---- cases ------------------------------------------------------------------------------------


@case
def passive_retrieval(w):
    """PASV: the FTP client is sent to a rendezvous on the agent's own address; the data TLS
    connection's header names the address and port of the far agent's 227; the bytes arrive."""
    far, port, agent = setup(w)
    ftp = login(port)
    reply = ftp.sendcmd("PASV")
    host, rport = ftplib.parse227(reply)
    check(host == "127.0.0.1", "227 names the agent's address: %r" % reply)
    check(re.fullmatch(r"227 Entering Passive Mode \(127,0,0,1,\d+,\d+\)\.", reply), "reply text %r" % reply)
    far_header = far.expected
    check(rport != int.from_bytes(far_header[6:], "big"), "the rendezvous port, not the far agent's: %r" % reply)
    data = connect(rport)
    ftp.sendcmd("RETR file")
    got, ended = read_until_end(data, WAIT)
    data.close()
    check(ended and got == PAYLOAD, "payload arrived (%d of %d bytes)" % (len(got), len(PAYLOAD)))
    check(ftp.voidresp().startswith("226"), "transfer complete")
    # Through ftplib's own passive transfer too.
    check(retr(ftp) == PAYLOAD, "ftplib passive retrieval")
    heads = [c.header for c in far.data]
    check(heads[0] == far_header, "first data header %r, want %r" % (heads[0], far_header))
    check(all(h[:2] == b"\x00\x01" and h[2:6] == socket.inet_aton("127.0.0.1") for h in heads), "%r" % heads)
    lines = far.control_lines()
    check(b"PASV\r\n" in lines and b"RETR file\r\n" in lines, "control lines forwarded: %r" % lines)
    ftp.quit()
    log = w.wait_lines(r"DISCONNECT.*type: FTP data connection\.", count=2)
    check(any("type: FTP control connection" in l for l in log), "control connection named: %r" % log)
    w.stop(agent)


@case
def epsv_retrieval(w):
    """EPSV: header (0, 1, 0, port) and a 229 reply naming the rendezvous port."""
    far, port, _ = setup(w)
    ftp = login(port)
    reply = ftp.sendcmd("EPSV")
    m = re.fullmatch(r"229 Entering Extended Passive Mode \(\|\|\|(\d+)\|\)", reply)
    check(m, "229 text %r" % reply)
    rport = int(m.group(1))
    far_port = int.from_bytes(far.expected[6:], "big")
    check(rport != far_port, "the rendezvous port, not the far agent's")
    data = connect(rport)
    ftp.sendcmd("RETR file")
    got, ended = read_until_end(data, WAIT)
    data.close()
    check(ended and got == PAYLOAD, "payload arrived (%d bytes)" % len(got))
    check(ftp.voidresp().startswith("226"), "transfer complete")
    check(far.data[0].header == channel_header(0, 1, "0.0.0.0", far_port), "header %r" % far.data[0].header)
    # ftplib uses EPSV for its own passive transfers when it thinks in IPv6.
    ftp.af = socket.AF_INET6
    check(retr(ftp) == PAYLOAD, "ftplib EPSV retrieval")
    ftp.quit()


@case
def active_mode(w):
    """PORT: forwarded unchanged; a data TLS connection with header (0, 0, client address, client
    port) reaches the far agent, and the agent's data connection reaches the client's port: a
    download arrives, and an upload reaches the far agent after the header."""
    far, port, _ = setup(w)
    ftp = login(port)
    ftp.set_pasv(False)
    check(retr(ftp) == PAYLOAD, "active download")
    ftp.storbinary("STOR up", io.BytesIO(UPLOAD))
    ftp.quit()
    lines = far.control_lines()
    ports = [l for l in lines if l.startswith(b"PORT ")]
    check(len(ports) == 2, "two PORT lines: %r" % lines)
    for i, line in enumerate(ports):
        check(re.fullmatch(rb"PORT 127,0,0,1,\d+,\d+\r\n", line), "unchanged PORT line %r" % line)
        n = [int(x) for x in line[5:-2].split(b",")]
        want = channel_header(0, 0, "127.0.0.1", n[4] * 256 + n[5])
        check(far.data[i].header == want, "data header %r, want %r" % (far.data[i].header, want))
    check(len(far.stored) == 1, "one upload")
    check(far.stored[0] == far.data[1].header + UPLOAD,
          "upload: header then the client's bytes (%d bytes, starts %r)" % (len(far.stored[0]), far.stored[0][:12]))


@case
def eprt(w):
    """EPRT |1| is forwarded unchanged and builds the data connection; EPRT |2| is answered 522
    here and never reaches the far agent."""
    far, port, _ = setup(w)
    ftp = login(port)
    lsock = socket.socket()
    lsock.bind(("127.0.0.1", 0))
    lsock.listen(1)
    lsock.settimeout(WAIT)
    lport = lsock.getsockname()[1]
    check(ftp.sendcmd("EPRT |1|127.0.0.1|%d|" % lport).startswith("200"), "EPRT accepted")
    ftp.sendcmd("RETR file")
    conn, _ = lsock.accept()
    got, ended = read_until_end(conn, WAIT)
    conn.close()
    check(ended and got == PAYLOAD, "payload through EPRT (%d bytes)" % len(got))
    check(ftp.voidresp().startswith("226"), "transfer complete")
    check(far.data[0].header == channel_header(0, 0, "127.0.0.1", lport), "header %r" % far.data[0].header)
    try:
        ftp.sendcmd("EPRT |2|::1|%d|" % lport)
        fail("EPRT |2| accepted")
    except ftplib.error_perm as e:
        check(str(e) == "522 Network protocol not supported, use (1)", "522 answer: %r" % str(e))
    # Malformed (the command word in any case): answered here too, nothing built.
    try:
        ftp.sendcmd("eprt |1|127.0.0|%d|" % lport)
        fail("malformed EPRT accepted")
    except ftplib.error_perm as e:
        check(str(e).startswith("501 "), "501 answer: %r" % str(e))
    check(ftp.sendcmd("NOOP").startswith("200"), "control goes on")
    lines = far.control_lines()
    check(b"EPRT |1|127.0.0.1|%d|\r\n" % lport in lines, "EPRT |1| unchanged: %r" % lines)
    check(not any(l.upper().startswith(b"EPRT |2|") or l.startswith(b"eprt") for l in lines),
          "EPRT |2| and the malformed one not forwarded: %r" % lines)
    check(len(far.data) == 1, "no data connection for EPRT |2|")
    ftp.quit()
    lsock.close()


@case
def second_pasv_drops_first(w):
    """A new PASV drops the previous data connection: its rendezvous stops listening and its data
    TLS connection ends; the new one works."""
    far, port, agent = setup(w)
    ftp = login(port)
    _, first_port = ftplib.parse227(ftp.sendcmd("PASV"))
    with far.lock:
        far.lock.wait_for(lambda: len(far.data) == 1, WAIT)
    first = far.data[0]
    _, second_port = ftplib.parse227(ftp.sendcmd("PASV"))
    got, ended = read_until_end(first.sock, WAIT)
    check(ended and got == b"", "first data TLS connection ended: %r %r" % (ended, got))
    ports = listening_ports(agent.pid)
    check(first_port not in ports and second_port in ports, "first rendezvous closed: %r" % ports)
    data = connect(second_port)
    ftp.sendcmd("RETR file")
    got, ended = read_until_end(data, WAIT)
    data.close()
    check(ended and got == PAYLOAD, "second data connection carries the payload")
    check(ftp.voidresp().startswith("226"), "transfer complete")
    # The agent ends with a control connection and a waiting rendezvous: all of it is closed and
    # logged on the way out.
    ftp.sendcmd("PASV")
    with far.lock:
        far.lock.wait_for(lambda: len(far.data) == 3, WAIT)
    w.stop(agent)
    check(agent.returncode == 0, "agent status %r" % agent.returncode)
    log = w.lines()
    # The first line of each pair. (The accepted data end writes one of its own with the server
    # still N/A when the client program comes before the data TLS handshake has completed.)
    connects = [l for l in log if l.startswith("INF CONNECT") and "server: N/A" in l
                and "type: FTP data connection" not in l]
    disconnects = w.disconnects()
    check(len(connects) == 4 and len(disconnects) == 4, "every pair logged out: %r" % log)
    ftp.close()


@case
def accept_timeout(w):
    """Nobody comes to the rendezvous within accept_timeout: "client accept timeout", and the data
    TLS connection ends."""
    far, port, agent = setup(w, extra="accept_timeout=2")
    ftp = login(port)
    start = time.monotonic()
    _, rport = ftplib.parse227(ftp.sendcmd("PASV"))
    with far.lock:
        far.lock.wait_for(lambda: len(far.data) == 1, WAIT)
    got, ended = read_until_end(far.data[0].sock, WAIT)
    elapsed = time.monotonic() - start
    check(ended and got == b"", "data TLS connection ended: %r %r" % (ended, got))
    check(1.5 <= elapsed <= 10, "ended after the accept timeout: %.1f s" % elapsed)
    w.wait_lines(r"client accept timeout")
    # The message comes just before the close: allow the agent its next step.
    wait_for(lambda: rport not in listening_ports(agent.pid), 5, "the rendezvous to close")
    check(ftp.sendcmd("NOOP").startswith("200"), "control connection goes on")
    ftp.quit()


def expect_closed(sock):
    """The agent closes the connection: the rest of what it sends, then the end."""
    got, ended = read_until_end(sock, WAIT)
    check(ended, "control connection closed by the agent")
    return got


@case
def bad_port(w):
    """An undecodable PORT closes the control connection; the far agent gets nothing of it."""
    far, port, _ = setup(w)
    s = connect(port)
    check(s.recv(100).startswith(b"220"), "greeting")
    s.sendall(b"NOOP\r\nPORT 127,0,0, 1,4,1\r\nNOOP\r\n")
    got = expect_closed(s)
    s.close()
    w.wait_lines(r"unable to decode PORT command parameters")
    conn = far.wait_control()
    check(conn.ended.wait(WAIT), "the far agent's control connection ended")
    check(conn.lines == [b"NOOP\r\n"], "only the line before it went on: %r" % conn.lines)
    check(got in (b"", b"200 NOOP ok\r\n"), "what the client got: %r" % got)
    check(far.data == [], "no data connection")


@case
def bad_227(w):
    """An undecodable 227 reply closes the control connection; the client gets nothing of it."""
    far, port, _ = setup(w)
    s = connect(port)
    check(s.recv(100).startswith(b"220"), "greeting")
    s.sendall(b"XBAD\r\n")
    got = expect_closed(s)
    s.close()
    w.wait_lines(r"unable to decode 227 response parameters")
    check(b"227" not in got and got in (b"", b"200-about to fail\r\n"), "nothing of the 227 line: %r" % got)
    check(far.data == [], "no data connection")


@case
def overlong_lines(w):
    """A control line that never ends closes the control connection, in either direction."""
    far, port, _ = setup(w)
    s = connect(port)
    check(s.recv(100).startswith(b"220"), "greeting")
    s.sendall(b"NOOP\r\n")
    check(s.recv(100) == b"200 NOOP ok\r\n", "NOOP answered")
    s.sendall(b"X" * 5000)
    expect_closed(s)
    s.close()
    w.wait_lines(r"ftp control line too long")
    conn = far.wait_control(0)
    check(conn.ended.wait(WAIT), "the far agent's control connection ended")
    check(conn.lines == [b"NOOP\r\n"], "nothing of the long line went on: %r" % conn.lines)
    # Under the limit a line may come in pieces.
    s = connect(port)
    check(s.recv(100).startswith(b"220"), "greeting")
    s.sendall(b"NOOP " + b"y" * 3000)
    time.sleep(0.3)
    s.sendall(b"\r\n")
    check(s.recv(100) == b"200 NOOP ok\r\n", "a long line in two pieces")
    # From the far agent's side.
    s.sendall(b"XLONG\r\n")
    got = expect_closed(s)
    s.close()
    check(b"xxxx" not in got, "nothing of the long reply: %r" % got[:50])
    w.wait_lines(r"ftp control line too long", count=2)


@case
def split_lines(w):
    """Lines are handled only once their CR LF has arrived, byte by byte if need be; a CR or an LF
    alone is data."""
    far, port, _ = setup(w)
    s = connect(port)
    check(s.recv(100).startswith(b"220"), "greeting")
    for b in b"PA\rSV\nX\r\n":
        s.send(bytes([b]))
        time.sleep(0.01)
    check(s.recv(100) == b"500 unknown command\r\n", "one line, not a PASV")
    for b in b"pasv\r\n":
        s.send(bytes([b]))
        time.sleep(0.01)
    reply = s.recv(200)
    check(re.fullmatch(rb"227 Entering Passive Mode \(127,0,0,1,\d+,\d+\)\.\r\n", reply), "PASV in pieces: %r" % reply)
    check(far.control_lines()[:2] == [b"PA\rSV\nX\r\n", b"pasv\r\n"], "%r" % far.control_lines())
    s.close()


if __name__ == "__main__":
    main()
