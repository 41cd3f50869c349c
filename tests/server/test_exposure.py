"""orvserver facing hostile peers on 127.0.0.0/8: 127.0.0.2 stands for an attacker, 127.0.0.3 for a
legitimate client with a valid certificate. The set-up bounds (a silent peer, half a ClientHello,
part of a channel header), the caps on pending handshakes per source, fairness when descriptors
run short, the summarised log of a handshake flood, memory given back after a wave, the line
of a refused renegotiation, and the same caps on orvclient's listener."""
import os
import resource
import socket
import ssl
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from orvtest import (PASSWORD, case, check, echo, free_port, listening, main, rss_kib, sanitized,  # noqa: E402
                     scrape_metrics, wait_for)

ATTACKER = "127.0.0.2"
CLIENT = "127.0.0.3"
# A TLS record header announcing 512 bytes of handshake, then the first bytes of a ClientHello.
HALF_HELLO = b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + bytes(32)


def start_server(w, service, extra="", nofile=None, name="orvserver"):
    """orvserver (session far, multicall) relaying to service, optionally with a lowered
    descriptor limit; returns (port, process)."""
    w.standard_pki()
    port = free_port()
    conf = w.config("key fk far.key\ncert fc far.crt\nroot r1 ca.crt\n"
                    "session far port=%d server=127.0.0.1 serverport=%d cert=fc key=fk root=r1 multicall=1 %s\n"
                    % (port, service, extra), name=name + ".orv")

    def limit():
        if nofile:
            resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))

    p = w.spawn([w.program("orvserver"), "-f", conf, "-p", PASSWORD, "far"], name + ".log", preexec_fn=limit)
    wait_for(lambda: listening(port) or p.poll() is not None, 20, "orvserver to listen")
    check(p.poll() is None, "orvserver ended: " + w.read(name + ".log"))
    return port, p


def raw(port, source, payload=b""):
    s = socket.socket()
    s.bind((source, 0))
    s.settimeout(30)
    s.connect(("127.0.0.1", port))
    if payload:
        s.sendall(payload)
    return s


def client_context(w, cert="user"):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.load_verify_locations(w.path("ca.crt"))
    if cert:
        ctx.load_cert_chain(w.path(cert + ".crt"), w.path(cert + ".key"))
    return ctx


def echo_round(w, port, source=CLIENT, timeout=15, header=b"", message=b"ping"):
    """Seconds a client from SOURCE takes to connect, hand-shake, send HEADER and MESSAGE and get
    MESSAGE back."""
    t = time.monotonic()
    s = client_context(w).wrap_socket(raw(port, source))
    s.settimeout(timeout)
    s.sendall(header + message)
    got = b""
    while len(got) < len(message):
        chunk = s.recv(len(message) - len(got))
        check(chunk, "echo came back")
        got += chunk
    s.close()
    check(got == message, "echo %r" % got)
    return time.monotonic() - t


def closed_within(sock, seconds):
    """True when the peer closes (or resets) the connection within SECONDS."""
    sock.settimeout(seconds)
    try:
        return sock.recv(100) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def closed_count(socks):
    n = 0
    for s in socks:
        if closed_within(s, 0.01):
            n += 1
    return n


@case
def setup_bounds(w):
    """A peer that sends nothing is closed after the short bound (10 s); half a ClientHello is held
    to the set-up bound (here the session's 15 s timeout) and no longer; and on an FTP session a
    client with a good certificate that sends 3 of the 8 header bytes is closed at that same
    bound, counted from its accept."""
    port, _ = start_server(w, w.service(echo), extra="timeout=15 login=ftp")
    t = time.monotonic()
    silent = raw(port, ATTACKER)
    half = raw(port, ATTACKER, HALF_HELLO)
    partial = client_context(w).wrap_socket(raw(port, CLIENT))
    partial.sendall(b"\x01\x00\x7f")
    ends = {}
    for name, sock in (("silent", silent), ("half hello", half), ("partial header", partial)):
        check(closed_within(sock, 25 - (time.monotonic() - t)), "%s closed" % name)
        ends[name] = time.monotonic() - t
    check(9 <= ends["silent"] < 12, "silent peer closed after %.1f s" % ends["silent"])
    check(14 <= ends["half hello"] < 17, "half hello closed after %.1f s" % ends["half hello"])
    check(14 <= ends["partial header"] < 17, "partial header closed after %.1f s" % ends["partial header"])
    w.wait_lines("^SSL handshake failed: nothing received in 10 seconds$", name="orvserver.log")
    w.wait_lines("^SSL handshake failed: timed out$", name="orvserver.log")
    w.wait_lines(r"^connection from 127\.0\.0\.3:\d+ closed before its channel header: timed out$",
                 name="orvserver.log")


def hello_in_pieces(w, port, cuts, pause):
    """A real client whose first flight reaches orvserver in pieces (split at CUTS, PAUSE seconds
    apart), then an echo of b"ping" over the session; the reply."""
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = client_context(w).wrap_bio(incoming, outgoing)
    sock = raw(port, CLIENT)
    sock.settimeout(10)
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    hello = outgoing.read()
    for a, b in zip([0] + cuts, cuts + [len(hello)]):
        sock.sendall(hello[a:b])
        time.sleep(pause)
    done = False
    while not done:
        try:
            tls.do_handshake()
            done = True
        except ssl.SSLWantReadError:
            sock.sendall(outgoing.read())
            data = sock.recv(65536)
            check(data, "orvserver answered the pieced hello")
            incoming.write(data)
    tls.write(b"ping")
    sock.sendall(outgoing.read())
    got = b""
    while len(got) < 4:
        try:
            got += tls.read(4 - len(got))
        except ssl.SSLWantReadError:
            data = sock.recv(65536)
            check(data, "the echo came back")
            incoming.write(data)
    sock.close()
    return got


@case
def first_record_waits_in_the_kernel(w):
    """Until the client's first record is whole, orvserver does not start the handshake: half a
    ClientHello costs about what a silent peer does (it cost 47 KiB of handshake buffers before,
    10.6 KiB now), a hello that arrives in pieces still gets its session, and a peer that leaves
    mid-record gets its line at once."""
    port, server = start_server(w, w.service(echo))
    # Pieces that cut the record header, then the hello itself.
    check(hello_in_pieces(w, port, [3, 40], 0.3) == b"ping", "a hello in pieces is served")
    check(hello_in_pieces(w, port, [5], 0.3) == b"ping", "a hello after its header is served")
    leaving = raw(port, ATTACKER, HALF_HELLO)
    time.sleep(0.3)
    leaving.shutdown(socket.SHUT_WR)
    leaving.settimeout(2)
    check(leaving.recv(100).startswith(b"\x15") and closed_within(leaving, 2),  # an alert, then the end
          "a peer that leaves mid-record is closed at once")
    w.wait_lines("^SSL handshake failed: unexpected eof while reading$", name="orvserver.log", timeout=5)
    if sanitized(server.pid):
        print("sanitizer build: the memory check is skipped")
        return
    held = 600
    base = rss_kib(server.pid)
    socks = [raw(port, "127.0.0.%d" % (10 + i % 3), HALF_HELLO) for i in range(held)]
    time.sleep(1)
    per_connection = (rss_kib(server.pid) - base) / held
    print("half ClientHellos held: %d, %.1f KiB each" % (held, per_connection))
    check(per_connection < 20, "%.1f KiB per half ClientHello" % per_connection)
    check(closed_count(socks[:50]) == 0, "the half hellos are held to their bound, not closed")
    for s in socks:
        s.close()


@case
def per_source_cap(w):
    """Past its source's cap (20 here), new connections from the attacker are closed at once with
    one line, while a client from another address is served as usual; the refusals are summed up
    once the interval is over, and the attacker's held handshakes are not touched."""
    metrics = free_port()
    port, server = start_server(w, w.service(echo), extra="pending=1000,20 metrics=127.0.0.1:%d" % metrics)
    baseline = min(echo_round(w, port) for _ in range(3))
    held = [raw(port, ATTACKER, HALF_HELLO) for _ in range(20)]
    wait_for(lambda: len(os.listdir("/proc/%d/fd" % server.pid)) >= 20, 10, "the held handshakes accepted")
    extra = [raw(port, ATTACKER, HALF_HELLO) for _ in range(30)]
    check(all(closed_within(s, 2) for s in extra), "connections past the cap closed at once")
    during = max(echo_round(w, port) for _ in range(3))
    check(during < baseline + 1, "the client took %.2f s (baseline %.2f s)" % (during, baseline))
    check(closed_count(held) == 0, "the admitted handshakes stay within their bound")
    log = w.wait_lines(r"^WAR 29 more connections from 127\.0\.0\.2 refused at the pending handshake cap "
                       r"in the last 10 seconds$", name="orvserver.log", timeout=15)
    refusals = [l for l in log if "refused" in l]
    check(refusals == ["WAR connections from 127.0.0.2 refused: 20 handshakes from it pending, the most one "
                       "address may hold", refusals[-1]], "one line, then one summary: %r" % refusals)
    refused = scrape_metrics(metrics).get('orvane_connection_failures_total{reason="pending_cap"}')
    check(refused == 30, "the metrics count each refusal: %r" % refused)
    for s in held + extra:
        s.close()


@case
def descriptor_shortage(w):
    """With 200 descriptors and an attacker holding far more silent peers and half handshakes than
    fit, the oldest of the attacker's are shed: a client from another address is served close to its normal time on
    every try, the attacker's connections are closed, the log stays small, and once the wave is
    over the memory of its handshakes goes back to the system."""
    port, server = start_server(w, w.service(echo), nofile=200)
    baseline = min(echo_round(w, port) for _ in range(3))
    rss_before = rss_kib(server.pid)
    attack = []
    for i in range(400):
        try:  # a slowloris wave: silent peers and half ClientHellos
            attack.append(raw(port, ATTACKER, HALF_HELLO if i % 2 else b""))
        except OSError:
            break
    time.sleep(0.5)
    times = [echo_round(w, port) for _ in range(3)]
    check(max(times) < baseline + 1.5, "client times %r (baseline %.2f s)" % (times, baseline))
    shed = closed_count(attack)
    check(shed >= 150, "the attacker's oldest handshakes were closed: %d of %d" % (shed, len(attack)))
    peak = rss_kib(server.pid)
    for s in attack:
        s.close()
    wait_for(lambda: len(os.listdir("/proc/%d/fd" % server.pid)) < 20, 15, "the wave to drain")
    if not sanitized(server.pid):  # a sanitizer's allocator keeps freed blocks in quarantine
        wait_for(lambda: rss_kib(server.pid) < rss_before + 4096, 15,
                 "memory back near its baseline (%d KiB before, %d KiB at the peak, %d KiB now)"
                 % (rss_before, peak, rss_kib(server.pid)))
    log = w.wait_lines(r"^WAR \d+ more pending handshakes from 127\.0\.0\.2 closed for descriptors in the last 10 "
                       r"seconds$", name="orvserver.log", timeout=15)
    check(any(l.startswith("WAR descriptors running short: closing the oldest pending handshakes from 127.0.0.2")
              for l in log), "the shedding is said: %r" % log[:20])
    check(len(w.read("orvserver.log")) < 20000, "the log stays small: %d bytes" % len(w.read("orvserver.log")))


@case
def handshake_failure_summary(w):
    """A flood of handshakes without a certificate from one address: its first five failures are
    logged as before, the rest in one summary line per interval; a legitimate client's lines are
    written as always; the metrics count every connection, the quiet ones too."""
    metrics = free_port()
    port, _ = start_server(w, w.service(echo), extra="metrics=127.0.0.1:%d" % metrics)
    nocert = client_context(w, cert=None)
    for _ in range(40):
        try:
            s = nocert.wrap_socket(raw(port, ATTACKER))
            s.settimeout(5)
            s.recv(10)  # TLS 1.3: the refusal comes after the client's side of the handshake
            s.close()
        except (ssl.SSLError, OSError):
            pass
    echo_round(w, port)
    log = w.wait_lines(r"^INF 35 more handshake failures from 127\.0\.0\.2 in the last 10 seconds$",
                       name="orvserver.log", timeout=15)
    failures = [l for l in log if l.startswith("SSL handshake failed")]
    check(len(failures) == 5, "five failures logged line by line: %r" % failures)
    check(len([l for l in log if l.startswith("INF DISCONNECT") and "127.0.0.2" in l]) == 5,
          "five disconnect lines of the attacker: %r" % log)
    check(len([l for l in log if l.startswith("INF DISCONNECT") and "127.0.0.3" in l]) == 1,
          "the client's lines as always: %r" % log)
    counters = scrape_metrics(metrics)
    seen = {k: counters.get("orvane_" + k) for k in ('connection_failures_total{reason="handshake"}',
                                                    "connections_accepted_total", "connections_ended_total")}
    check(seen == {'connection_failures_total{reason="handshake"}': 40, "connections_accepted_total": 41,
                   "connections_ended_total": 41}, "the flood counted whole: %r" % seen)


@case
def renegotiation_refused(w):
    """A client that asks to renegotiate its TLS 1.2 session is refused, and the line says that,
    not the "sslv3 alert handshake failure" its answering alert would suggest."""
    port, _ = start_server(w, w.service(echo))
    p = subprocess.Popen(["openssl", "s_client", "-connect", "127.0.0.1:%d" % port, "-tls1_2",
                          "-cert", w.path("user.crt"), "-key", w.path("user.key"), "-CAfile", w.path("ca.crt")],
                         stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    w.procs.append(p)
    w.wait_lines(r"^INF CONNECT .*dname: /O=OrvTest/CN=user1", name="orvserver.log")
    p.stdin.write(b"R\n")  # s_client's command to renegotiate
    p.stdin.flush()
    log = w.wait_lines(r"^INF DISCONNECT", name="orvserver.log")
    check(any(l.startswith("connection from 127.0.0.1:") and l.endswith(": it asked to renegotiate TLS, which is refused")
              for l in log), "the refusal is named: %r" % log)
    check(not any("handshake failure" in l for l in log), "no handshake failure line: %r" % log)


@case
def held_connections_and_garbage(w):
    """3,000 half handshakes held from ten addresses (each under its cap) leave a client from
    another address at its normal time; random bytes, a garbage channel header and an unannounced
    data header are refused, and once all have gone the descriptors are back where they were."""
    port, server = start_server(w, w.service(echo), extra="login=ftp")
    fds = len(os.listdir("/proc/%d/fd" % server.pid))

    def header_round():  # a control header, then a command line the echo returns
        return echo_round(w, port, header=bytes([1]) + bytes(7), message=b"NOOP\r\n")

    baseline = min(header_round() for _ in range(3))
    held = [raw(port, "127.0.0.%d" % (10 + i % 10), HALF_HELLO) for i in range(3000)]
    wait_for(lambda: len(os.listdir("/proc/%d/fd" % server.pid)) >= fds + 2900, 30, "the held handshakes accepted")
    during = max(header_round() for _ in range(3))
    check(during < baseline + 0.5, "the client took %.2f s (baseline %.2f s)" % (during, baseline))
    # (Those held past the set-up bound on a slow machine are closed by it, rightly.)
    check(not [l for l in w.lines("orvserver.log") if l.startswith("WAR ")], "none was shed or refused")
    for s in held:
        s.close()
    refused = [raw(port, ATTACKER, os.urandom(300))]
    for header in (b"\xff" * 8, bytes([0, 1, 127, 0, 0, 1, 0, 21])):
        s = client_context(w).wrap_socket(raw(port, CLIENT))
        s.sendall(header + b"data")
        refused.append(s)
    check(all(closed_within(s, 10) for s in refused), "random bytes and bad headers refused")
    for s in refused:
        s.close()
    wait_for(lambda: len(os.listdir("/proc/%d/fd" % server.pid)) <= fds, 15, "the descriptors back to %d" % fds)
    log = w.lines("orvserver.log")
    check(any("invalid channel header" in l for l in log), "the garbage header is logged: %r" % log[-10:])
    check(any("was not announced" in l for l in log), "the unannounced header is logged: %r" % log[-10:])


@case
def client_listener_cap(w):
    """orvclient's listener has the same caps: with a far agent that accepts but never answers,
    local connections wait in set-up; past the per-source cap (3 here) new ones from that address
    are closed at once with the line, while one from another address is still taken in."""
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen(64)
    conf, port = w.standard_config(far_port=silent.getsockname()[1], extra="multicall=1 pending=100,3")
    w.agent(conf, "s1", wait_port=port)
    held = [raw(port, ATTACKER, b"x") for _ in range(3)]
    wait_for(lambda: len([l for l in w.lines() if l.startswith("INF CONNECT")]) >= 3, 10, "three connections")
    extra = raw(port, ATTACKER, b"x")
    check(closed_within(extra, 3), "the fourth from the attacker is closed at once")
    other = raw(port, CLIENT, b"x")
    check(not closed_within(other, 1), "one from another address waits for its tunnel as usual")
    w.wait_lines(r"^WAR connections from 127\.0\.0\.2 refused: 3 handshakes from it pending")
    check(closed_count(held) == 0, "the admitted ones still wait")
    for s in held + [extra, other]:
        s.close()
    silent.close()


if __name__ == "__main__":
    main()
