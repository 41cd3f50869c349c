"""Progress and Oracle TNS through both agents on 127.0.0.1: client -> orvclient -> orvserver ->
a fake Progress broker or a fake TNS listener, written from the packet layouts: the broker answers
a client's first request with the 20-byte port message and serves that port; the listener
answers a connect packet with a redirect to a second port where a fake database session echoes.
The client follows the rewritten announcement to orvclient's rendezvous; everything is checked
byte for byte in both directions. tshark decodes the fake packets and the rewritten redirect.
Every wait is bounded; every process is stopped by its PID."""
import os
import re
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from orvtest import (case, channel_header, check, connect, echo, fail, free_port, main, pattern_bytes,  # noqa: E402
                     read_to_end, recv_exact)

USER_SUBJECT = "/O=OrvTest/CN=user1"
PROGRESS_SIGNATURE = b"\x00\x19\x00\x14"
BULK = 1024 * 1024


# ---- packets ------------------------------------------------------------------------------------

def broker_message(port, signature=PROGRESS_SIGNATURE):
    """The broker's 20-byte answer: 4 bytes, the signature, the port, 10 more bytes."""
    return b"\x00\x00\x00\x14" + signature + struct.pack(">H", port) + bytes(range(0xB0, 0xBA))


def tns_packet(ptype, body, flags=0):
    return struct.pack(">HHBBH", 8 + len(body), 0, ptype, flags, 0) + body


def tns_connect(service="orcl"):
    data = ("(DESCRIPTION=(CONNECT_DATA=(SERVICE_NAME=%s)(CID=(PROGRAM=test)(HOST=client)(USER=t)))"
            "(ADDRESS=(PROTOCOL=tcp)(HOST=127.0.0.1)(PORT=1521)))" % service).encode()
    # version, compatible version, service options, SDU, TDU, protocol characteristics, line
    # turnaround, value of one, connect data length and offset, most connect data, flags, trace.
    fixed = struct.pack(">HHHHHHHHHHIBBIIQ", 314, 300, 0x0C41, 8192, 65535, 0x7F08, 0, 0x0100, len(data),
                        8 + 50, 0x800, 0x41, 0x41, 0, 0, 0)
    return tns_packet(1, fixed + data)


def redirect_text(host, port, dev="12"):
    return "(ADDRESS=(PROTOCOL=tcp)(DEV=%s)(HOST=%s)(PORT=%s))" % (dev, host, port)


def tns_redirect(text):
    text = text.encode() if isinstance(text, str) else text
    return tns_packet(5, struct.pack(">H", len(text)) + text)


def tns_accept():
    data = b"(DESCRIPTION=(TMP=)(VSNNUM=0)(ERR=0))"
    # version, service options, SDU, TDU, value of one, accept data length and offset, flags.
    fixed = struct.pack(">HHHHHHHBB", 314, 0x0C41, 8192, 65535, 0x0100, len(data), 8 + 24, 0x41, 0x41)
    return tns_packet(2, fixed + b"\x00" * 8 + data)


def tns_data(payload):
    return tns_packet(6, b"\x00\x00" + payload)


def read_tns(sock):
    head = recv_exact(sock, 8)
    if len(head) < 8:
        return head
    (length,) = struct.unpack(">H", head[:2])
    return head + recv_exact(sock, length - 8)


# ---- fakes --------------------------------------------------------------------------------------

def send_in_pieces(sock, data, cuts, pause=0.4):
    at = 0
    for cut in list(cuts) + [len(data)]:
        sock.sendall(data[at:cut])
        at = cut
        time.sleep(pause)


def broker(answer, cuts=(), then=b""):
    """A fake broker: reads the client's first request, sends `answer` (in pieces at `cuts`),
    then `then`, then echoes."""
    def serve(sock):
        sock.recv(4096)
        send_in_pieces(sock, answer, cuts, pause=0.4 if cuts else 0)
        if then:
            sock.sendall(then)
        echo(sock)
    return serve


def listener(answer, cuts=()):
    """A fake TNS listener: reads one connect packet, answers `answer` (in pieces at `cuts`),
    then echoes whatever else comes."""
    def serve(sock):
        read_tns(sock)
        send_in_pieces(sock, answer, cuts, pause=0.4 if cuts else 0)
        echo(sock)
    return serve


class Tunnel:
    """orvserver (login PROTOCOL) in front of a fake service, and orvclient relaying to it."""

    def __init__(self, w, protocol, service, client_extra="accept_timeout=20"):
        self.w = w
        w.standard_pki()
        self.service_port = w.service(service)
        self.far_port, self.server = w.orvserver_agent(self.service_port,
                                                       extra="login=%s accept_timeout=20" % protocol)
        self.port = free_port()
        w.config("key k1 user.key\ncert c1 user.crt\nroot r1 ca.crt\n"
                 "session s1 port=%d server=127.0.0.1 serverport=%d cert=c1 root=r1 key=k1 "
                 "login=%s multicall=1 %s\n" % (self.port, self.far_port, protocol, client_extra))
        self.agent = w.agent(w.path("conf.orv"), "s1", wait_port=self.port)

    def logs(self):
        return "\n--- orvclient ---\n%s\n--- orvserver ---\n%s" % (self.w.read("agent.log")[-1500:],
                                                                   self.w.read("orvserver.log")[-1500:])


def bulk_echo(port, seed, tunnel):
    """Sends BULK pattern bytes to 127.0.0.1:port while reading the echo; checks every byte."""
    data = pattern_bytes(seed, BULK)
    s = connect(port)
    got = []

    def reader():
        total = 0
        while total < BULK:
            chunk = s.recv(65536)
            if not chunk:
                return
            got.append(chunk)
            total += len(chunk)
    t = threading.Thread(target=reader, daemon=True)
    t.start()
    s.sendall(data)
    t.join(60)
    s.close()
    back = b"".join(got)
    check(back == data, "echo through the announced connection: %d of %d bytes, equal prefix %d%s"
          % (len(back), BULK, next((i for i, (a, b) in enumerate(zip(back, data)) if a != b), len(back)),
             tunnel.logs()))


def check_listens_only_on_loopback(port, tunnel):
    """The rendezvous listens where the client reached the agent (127.0.0.1), not on every address."""
    r = subprocess.run(["ss", "-ltnH", "sport = :%d" % port], capture_output=True, text=True, timeout=10)
    local = [line.split()[3] for line in r.stdout.splitlines() if line.strip()]
    check(local == ["127.0.0.1:%d" % port], "the rendezvous listens on %r%s" % (local, tunnel.logs()))


def nothing_arrives(sock, seconds):
    sock.settimeout(seconds)
    try:
        got = sock.recv(4096)
    except socket.timeout:
        return True
    finally:
        sock.settimeout(30)
    fail("the client got %r before the response was complete" % got)


# ---- Progress -----------------------------------------------------------------------------------

def progress_port(message):
    check(len(message) == 20, "a 20-byte message: %r" % message)
    return struct.unpack(">H", message[8:10])[0]


def check_rewritten_message(got, sent, tunnel):
    check(len(got) == 20 and got[:8] == sent[:8] and got[10:] == sent[10:],
          "only the port changes: sent %r, got %r%s" % (sent, got, tunnel.logs()))
    return progress_port(got)


@case
def progress_flow(w):
    """The broker's port message announces an echo service; the client gets the rendezvous port in
    the same two bytes, closes the first connection and follows it; 1 MiB echoes byte for byte.
    Later bytes on the first connection pass unchanged, a later signature too."""
    data_port = w.service(echo)
    message = broker_message(data_port)
    later = broker_message(data_port)  # the same bytes again: never examined once more
    t = Tunnel(w, "progress", broker(message, then=later))
    s = connect(t.port)
    s.sendall(b"first request")
    got = recv_exact(s, 20)
    rendezvous = check_rewritten_message(got, message, t)
    check(rendezvous != data_port, "the port was rewritten%s" % t.logs())
    check_listens_only_on_loopback(rendezvous, t)
    check(recv_exact(s, 20) == later, "later bytes pass unchanged%s" % t.logs())
    s.sendall(b"client bytes \x00\xff")
    check(recv_exact(s, 15) == b"client bytes \x00\xff", "the control connection relays both ways")
    s.close()
    bulk_echo(rendezvous, "progress", t)
    lines = w.wait_lines(r"INF CONNECT .*server: 127\.0\.0\.1:%d" % data_port, name="orvserver.log")
    check(any("Progress client rendezvous" in l or "data connection" in l for l in w.lines()),
          "the data connection is logged: %r" % w.lines())
    check(not any("refused" in l for l in lines), "nothing refused: %r" % lines)


@case
def progress_pieces(w):
    """A message that arrives in pieces is held back until 20 bytes are there."""
    data_port = w.service(echo)
    message = broker_message(data_port)
    t = Tunnel(w, "progress", broker(message, cuts=(3, 12, 19)))
    s = connect(t.port)
    s.sendall(b"request")
    nothing_arrives(s, 1.0)  # three pieces, 19 bytes, have gone by then
    rendezvous = check_rewritten_message(recv_exact(s, 20), message, t)
    bulk_echo(rendezvous, "pieces", t)


@case
def progress_no_signature(w):
    """A first message without the signature passes unchanged, and so does a later one with it."""
    data_port = w.service(echo)
    first = broker_message(data_port, signature=b"\x00\x19\x00\x15")
    later = broker_message(data_port)
    t = Tunnel(w, "progress", broker(first, then=later))
    s = connect(t.port)
    s.sendall(b"request")
    check(recv_exact(s, 40) == first + later, "both messages unchanged%s" % t.logs())
    s.close()
    check(not any("rendezvous" in l for l in w.lines()), "no rendezvous: %r" % w.lines())


@case
def progress_short_then_close(w):
    """A broker that sends fewer than 20 bytes and closes: the client gets those bytes unchanged,
    then the end of the stream."""
    def serve(sock):
        sock.recv(4096)
        sock.sendall(b"\x00\x00\x00\x14\x00\x19\x00\x14\x04")
    t = Tunnel(w, "progress", serve)
    s = connect(t.port, timeout=15)
    s.sendall(b"request")
    got = read_to_end(s)
    check(got == b"\x00\x00\x00\x14\x00\x19\x00\x14\x04", "the short message, then the end: %r%s" % (got, t.logs()))


@case
def progress_same_port(w):
    """Two connections whose brokers announce the same port: two rendezvous, two data connections
    with equal headers, both served."""
    data_port = w.service(echo)
    message = broker_message(data_port)
    t = Tunnel(w, "progress", broker(message))
    ports = []
    for _ in range(2):
        s = connect(t.port)
        s.sendall(b"request")
        ports.append(check_rewritten_message(recv_exact(s, 20), message, t))
        s.close()
    check(ports[0] != ports[1], "two rendezvous ports: %r" % ports)
    threads = [threading.Thread(target=bulk_echo, args=(p, "same%d" % p, t)) for p in ports]
    for th in threads:
        th.start()
    for th in threads:
        th.join(90)
    w.wait_lines(r"INF CONNECT .*server: 127\.0\.0\.1:%d" % data_port, 2, name="orvserver.log")


@case
def progress_accept_timeout(w):
    """An announcement nobody follows ends with "client accept timeout" after accept_timeout, and
    its data connection to orvserver closes; the control connection goes on."""
    data_port = w.service(echo)
    t = Tunnel(w, "progress", broker(broker_message(data_port)), client_extra="accept_timeout=2")
    s = connect(t.port)
    s.sendall(b"request")
    start = time.monotonic()
    rendezvous = progress_port(recv_exact(s, 20))
    w.wait_lines(r"client accept timeout", timeout=15)
    elapsed = time.monotonic() - start
    check(1.5 <= elapsed <= 12, "timed out after %.1f s" % elapsed)
    w.wait_lines(r"INF DISCONNECT .*server: 127\.0\.0\.1:%d" % data_port, name="orvserver.log", timeout=15)
    try:
        c = socket.create_connection(("127.0.0.1", rendezvous), timeout=3)
        c.settimeout(3)
        check(c.recv(10) == b"", "the closed rendezvous delivered data")
        c.close()
    except OSError:
        pass  # refused: closed
    s.sendall(b"still here")
    check(recv_exact(s, 10) == b"still here", "the control connection goes on")


# ---- Oracle -------------------------------------------------------------------------------------

def rewritten_redirect(original_text, rendezvous, here="127.0.0.1"):
    """What the client should receive: HOST and PORT replaced, both lengths adjusted."""
    text = re.sub(r"\(HOST=[^)]*\)\(PORT=[^)]*\)", "(HOST=%s)(PORT=%d)" % (here, rendezvous), original_text, count=1)
    return tns_redirect(text)


def redirect_port(packet):
    m = re.search(rb"\(HOST=([^)]*)\)\(PORT=(\d+)\)", packet)
    check(m, "a redirect: %r" % packet)
    return m.group(1).decode(), int(m.group(2))


def oracle_connect(t):
    s = connect(t.port)
    s.sendall(tns_connect())
    return s


@case
def oracle_flow(w):
    """Connect packet, redirect to the database session's port: the client gets the redirect
    naming 127.0.0.1 and the rendezvous, with both lengths adjusted and every other byte as sent;
    it closes the first connection, follows, and 1 MiB echoes byte for byte. tshark decodes the
    packets as valid TNS."""
    db_port = w.service(echo)
    text = "(DESCRIPTION=" + redirect_text("127.0.0.1", db_port) + ")"
    original = tns_redirect(text)
    t = Tunnel(w, "oracle", listener(original))
    s = oracle_connect(t)
    got = read_tns(s)
    host, rendezvous = redirect_port(got)
    check(got == rewritten_redirect(text, rendezvous), "the rewritten redirect: %r%s" % (got, t.logs()))
    s.close()
    bulk_echo(rendezvous, "oracle", t)
    tshark_check(w, [(True, tns_connect()), (False, original), (False, got)])


@case
def oracle_pieces(w):
    """A redirect of 160 bytes (length byte 0xA0) that arrives in pieces is held back whole."""
    db_port = w.service(echo)
    dev = "d" * (160 - len(tns_redirect(redirect_text("127.0.0.1", db_port, dev=""))))
    original = tns_redirect(redirect_text("127.0.0.1", db_port, dev=dev))
    check(len(original) == 160 and original[1] == 0xA0, "a 160-byte packet")
    t = Tunnel(w, "oracle", listener(original, cuts=(1, 2, 100, 159)))
    s = oracle_connect(t)
    nothing_arrives(s, 1.5)
    got = read_tns(s)
    _, rendezvous = redirect_port(got)
    check(got == rewritten_redirect(redirect_text("127.0.0.1", db_port, dev=dev), rendezvous),
          "the rewritten redirect: %r%s" % (got, t.logs()))
    bulk_echo(rendezvous, "pieces", t)


@case
def oracle_second_packet(w):
    """A data packet buffered behind the redirect keeps its own framing."""
    db_port = w.service(echo)
    text = redirect_text("127.0.0.1", db_port)
    second = tns_data(b"(second packet with (PARENS) inside)")
    t = Tunnel(w, "oracle", listener(tns_redirect(text) + second))
    s = oracle_connect(t)
    first = read_tns(s)
    _, rendezvous = redirect_port(first)
    check(first == rewritten_redirect(text, rendezvous), "the rewritten redirect: %r%s" % (first, t.logs()))
    check(read_tns(s) == second, "the second packet unchanged%s" % t.logs())
    tshark_check(w, [(False, first + second)])


@case
def oracle_host_name(w):
    """A redirect naming a host ("localhost"): orvclient's data header carries 255.255.255.255,
    orvserver reaches the name it relayed, and the flow works."""
    db_port = w.service(echo)
    text = redirect_text("localhost", db_port)
    t = Tunnel(w, "oracle", listener(tns_redirect(text)))
    s = oracle_connect(t)
    got = read_tns(s)
    host, rendezvous = redirect_port(got)
    check(host == "127.0.0.1" and got == rewritten_redirect(text, rendezvous), "rewritten: %r%s" % (got, t.logs()))
    bulk_echo(rendezvous, "name", t)
    w.wait_lines(r"INF CONNECT .*server: 127\.0\.0\.1:%d" % db_port, name="orvserver.log")


@case
def oracle_long_texts(w):
    """A HOST or PORT text of 30 characters or more is refused with its message; the response
    passes unchanged and the connection goes on."""
    for host, port in (("h" * 30, "1521"), ("127.0.0.1", "0" * 26 + "1521")):
        original = tns_redirect(redirect_text(host, port))
        t = Tunnel(w, "oracle", listener(original))
        s = oracle_connect(t)
        check(read_tns(s) == original, "unchanged%s" % t.logs())
        s.sendall(b"on")
        check(recv_exact(s, 2) == b"on", "the connection goes on")
        s.close()
        w.wait_lines(r"unexpected response \(length\) from oracle server")  # each agent's log is new
        w.stop(t.agent)
        w.stop(t.server)


@case
def oracle_no_redirect(w):
    """A first response without a redirect passes unchanged; a later redirect is not examined."""
    db_port = w.service(echo)
    later = tns_redirect(redirect_text("127.0.0.1", db_port))
    t = Tunnel(w, "oracle", listener(tns_accept() + later, cuts=(len(tns_accept()),)))
    s = oracle_connect(t)
    check(read_tns(s) == tns_accept(), "the accept unchanged%s" % t.logs())
    check(read_tns(s) == later, "the later redirect unchanged%s" % t.logs())
    check(not any("rendezvous" in l for l in w.lines()), "no rendezvous: %r" % w.lines())
    tshark_check(w, [(True, tns_connect()), (False, tns_accept() + later)])


@case
def unannounced_header(w):
    """orvserver refuses a data header of an oracle session that no redirect announced, logs why,
    and the named service sees no connection."""
    hits = []
    target = w.service(lambda sock: hits.append(sock.getpeername()))
    t = Tunnel(w, "oracle", listener(tns_accept()))
    s = w.tls_client(t.far_port)
    s.sendall(channel_header(0, 1, "127.0.0.1", target) + b"payload")
    try:
        check(s.recv(100) == b"", "a refused connection gets nothing")
    except (ConnectionError, ssl.SSLError):
        pass
    s.close()
    w.wait_lines(r"refused data connection from %s: 127\.0\.0\.1:%d was not announced" % (USER_SUBJECT, target),
                 name="orvserver.log")
    time.sleep(0.5)
    check(not hits, "nothing reached the named service: %r" % hits)


# ---- tshark -------------------------------------------------------------------------------------

def pcap(path, segments, client_port=40000, server_port=1521):
    """A capture of one TCP stream carrying `segments` (to_server, bytes) over 127.0.0.1."""
    seq = {True: 1000, False: 5000}
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))  # Ethernet
        for i, (to_server, payload) in enumerate(segments):
            sport, dport = (client_port, server_port) if to_server else (server_port, client_port)
            tcp = struct.pack(">HHIIBBHHH", sport, dport, seq[to_server], seq[not to_server], 5 << 4, 0x18,
                              65535, 0, 0)
            ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp) + len(payload), i, 0, 64, 6, 0,
                             socket.inet_aton("127.0.0.1"), socket.inet_aton("127.0.0.1"))
            frame = b"\x00" * 12 + b"\x08\x00" + ip + tcp + payload
            f.write(struct.pack("<IIII", 1700000000 + i, 0, len(frame), len(frame)) + frame)
            seq[to_server] += len(payload)


def tshark_check(w, segments):
    """tshark reads every packet of the segments as TNS, with packet lengths matching the bytes
    and a redirect's data length matching its text; nothing malformed."""
    if not shutil.which("tshark"):
        fail("tshark is not installed (scripts/install-deps installs it)")
    path = w.path("tns-%d.pcap" % len(os.listdir(w.dir)))
    pcap(path, segments)
    r = subprocess.run(["tshark", "-n", "-r", path, "-d", "tcp.port==1521,tns", "-T", "fields", "-E", "separator=|",
                        "-E", "occurrence=a", "-e", "tns.type", "-e", "tns.length", "-e", "tns.redirect_data_length",
                        "-e", "tns.redirect_data", "-e", "_ws.malformed", "-e", "_ws.expert.message"],
                       capture_output=True, text=True, timeout=60)
    check(r.returncode == 0, "tshark: %s" % r.stderr)
    expected = []
    for _, payload in segments:
        at = 0
        while at < len(payload):
            (length,) = struct.unpack(">H", payload[at:at + 2])
            expected.append((payload[at + 4], length, payload[at:at + length]))
            at += length
    decoded = []
    for line in r.stdout.splitlines():
        types, lengths, rlen, rdata, malformed, expert = line.split("|")
        check(not malformed and "alformed" not in expert, "tshark: malformed: %r" % line)
        for ty, ln in zip(types.split(","), lengths.split(",")):
            decoded.append((int(ty), int(ln)))
        if rlen:
            check(int(rlen) == len(rdata), "redirect data length %s for %d bytes of text: %r" % (rlen, len(rdata), line))
    check(decoded == [(ty, ln) for ty, ln, _ in expected],
          "tshark decoded %r; the packets are %r" % (decoded, [(ty, ln) for ty, ln, _ in expected]))



if __name__ == "__main__":
    main()
