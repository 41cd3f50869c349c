"""Reloads (SIGHUP) of a running orvclient, with stunnel or orvserver as the far agent: open
connections keep flowing byte for byte through every reload, new connections use the new
configuration, a refused reload leaves the running one in service, a moved listener listens
before the old one closes; the operator's other signals kill nothing; certificates that expire
are warned about before and named after."""
import datetime
import hashlib
import os
import re
import signal
import socket
import sys
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from orvtest import (CONFIG_STATUS, case, check, connect, echo, free_port, listening, main,  # noqa: E402
                     pattern_bytes, recv_exact, reload, wait_for)

class Pump:
    """One connection through the tunnel that sends `total` bytes to an echo service in small
    pieces over about `seconds`, while reading the echo: both directions are compared by SHA-256."""

    def __init__(self, port, seed, total=1 << 20, seconds=8.0):
        self.sock = connect(port)
        self.sock.settimeout(30)
        self.data = pattern_bytes("pump %d" % seed, total)
        self.seconds = seconds
        self.received = hashlib.sha256()
        self.got = 0
        self.error = None
        self.threads = [threading.Thread(target=self.send, daemon=True),
                        threading.Thread(target=self.receive, daemon=True)]
        for t in self.threads:
            t.start()

    def send(self):
        try:
            piece = 16384
            pause = self.seconds / (len(self.data) / piece)
            for i in range(0, len(self.data), piece):
                self.sock.sendall(self.data[i:i + piece])
                time.sleep(pause)
            self.sock.shutdown(socket.SHUT_WR)
        except OSError as e:
            self.error = "send: %r" % e

    def receive(self):
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    return
                self.received.update(chunk)
                self.got += len(chunk)
        except OSError as e:
            self.error = "receive: %r" % e

    def finish(self, timeout=60):
        for t in self.threads:
            t.join(timeout)
        self.sock.close()
        return self.error is None and self.got == len(self.data) and \
            self.received.digest() == hashlib.sha256(self.data).digest()


def round_trip(port, text=b"ping"):
    """One new connection through the tunnel echoes `text`."""
    with connect(port, timeout=20) as s:
        s.sendall(text)
        return recv_exact(s, len(text)) == text


def damaged(path):
    """Flips bytes in the middle of the file; returns its old contents."""
    with open(path, "rb") as f:
        good = f.read()
    bad = bytearray(good)
    for i in range(len(bad) // 2, len(bad) // 2 + 16):
        bad[i] ^= 0x5A
    with open(path, "wb") as f:
        f.write(bad)
    return good


def far_agent_saw(w, subject):
    """True once the far agent has logged a client certificate with this subject."""
    if w.far_kind == "orvserver":
        return any("dname: " + subject in l for l in w.lines("orvserver.log"))
    # stunnel at debug = info names the peer certificate it accepted.
    cn = subject.rsplit("CN=", 1)[1]
    return any("CN=" + cn in l and "depth=0" in l for l in w.lines("stunnel.log"))


@case(orvserver_too=True)
def reload_under_load(w):
    """Ten connections pump data both ways through five reloads, among them a certificate rotation
    and a refused one (a damaged file): nothing is cut, nothing lost, and each reload says what it
    did in one line."""
    port, agent, _, _ = w.tunnel(echo)
    w.make_cert("user2", "/O=OrvTest/CN=user2", "ca")
    conf = w.path("conf.orv")
    pumps = [Pump(port, seed) for seed in range(10)]
    time.sleep(0.5)
    check(reload(w, agent, 1) == "INF configuration reloaded: nothing changed", "an unchanged reload")
    w.config("key k1 user2.key\ncert c1 user2.crt\n")
    check(reload(w, agent, 2) == "INF configuration reloaded: certificate, key", "rotation: %r" % w.lines())
    check(round_trip(port), "a new connection after the rotation")
    wait_for(lambda: far_agent_saw(w, "/O=OrvTest/CN=user2"), 20, "the far agent to see the new certificate")
    good = damaged(conf)
    line = reload(w, agent, 3)
    check(line == "configuration reload refused, the running configuration stays in service: "
          "Unable to read secure config file %s" % conf, "a damaged file is refused: %r" % line)
    with open(conf, "wb") as f:
        f.write(good)
    check(round_trip(port), "the running configuration serves after the refusal")
    w.config("set s1 timeout 600\n")
    check(reload(w, agent, 4) == "INF configuration reloaded: timeout", "timeout: %r" % w.lines())
    w.config("partner s1 /O=OrvTest/CN=far1\n")
    check(reload(w, agent, 5) == "INF configuration reloaded: partners", "partners: %r" % w.lines())
    check(round_trip(port), "a new connection after the last reload")
    for i, p in enumerate(pumps):
        check(p.finish(), "pump %d: %s, %d of %d bytes, digest %s" % (i, p.error, p.got, len(p.data),
              "ok" if p.received.digest() == hashlib.sha256(p.data).digest() else "differs"))
    check(agent.poll() is None, "the agent runs")
    lines = w.wait_lines("DISCONNECT", 13)
    big = [l for l in lines if l.startswith("INF DISCONNECT") and "bytes in: %d," % (1 << 20) in l]
    check(len(big) == 10, "ten pumps ended with all their bytes counted: %r" % lines)


@case
def reload_burst_and_moved_listener(w):
    """Connections opened in a burst while reloads run are all served; a changed port listens
    before the old one closes, and connections open on the old port go on."""
    port, agent, _, _ = w.tunnel(echo)
    failures = []
    done = threading.Event()

    def burst():
        while not done.is_set():
            try:
                if not round_trip(port):
                    failures.append("no echo")
            except OSError as e:
                failures.append(repr(e))

    workers = [threading.Thread(target=burst, daemon=True) for _ in range(4)]
    for t in workers:
        t.start()
    for i in range(1, 6):
        time.sleep(0.4)
        reload(w, agent, i)
    time.sleep(0.4)
    done.set()
    for t in workers:
        t.join(30)
    check(not failures, "connections refused or broken during reloads: %r" % failures[:5])
    served = len([l for l in w.lines() if l.startswith("INF DISCONNECT")])
    check(served >= 10, "a burst was served: %d connections" % served)
    # The listener moves.
    held = Pump(port, 99, total=1 << 18, seconds=3)
    new_port = free_port()
    w.config("set s1 port %d\n" % new_port)
    check(reload(w, agent, 6) == "INF configuration reloaded: port", "moved: %r" % w.lines())
    check(listening(new_port) and not listening(port), "the new port listens, the old one is closed")
    check(round_trip(new_port), "a connection to the new port")
    check(held.finish(), "the connection from before the move: %s" % held.error)
    # A port that cannot be bound leaves the old listener in service.
    blocker = socket.socket()
    blocker.bind(("127.0.0.1", port))
    blocker.listen(1)
    w.config("set s1 port %d\n" % port)
    line = reload(w, agent, 7)
    blocker.close()
    check(line == "configuration reload refused, the running configuration stays in service: "
          "unable to bind:98:Address already in use", "a port in use is refused: %r" % line)
    check(round_trip(new_port), "the running listener still serves")


@case
def signals_kill_nothing(w):
    """SIGUSR1 lists the open connections, SIGUSR2 is ignored, SIGHUP reloads: the agent and its
    open connection live through all of them, also with multicall 0 and a session that has since
    become invalid (the reload is refused)."""
    port, agent, _, _ = w.tunnel(echo, extra="multicall=0")
    s = connect(port)
    s.sendall(b"abc")
    check(recv_exact(s, 3) == b"abc", "echo")
    os.kill(agent.pid, signal.SIGUSR1)
    lines = w.wait_lines(r"^INF OPEN session: s1, ", 1)
    check("INF open connections: 1" in lines, "the count comes first: %r" % lines)
    check(any(re.match(r"INF OPEN session: s1, client: 127\.0\.0\.1:\d+, server: 127\.0\.0\.1:\d+, .*"
                       r"seconds: \d+, bytes in: 3, bytes out: 3$", l) for l in lines), "the open line: %r" % lines)
    os.kill(agent.pid, signal.SIGUSR2)
    w.config("del s1 cert\n")
    line = reload(w, agent, 1)
    check(line.startswith("configuration reload refused, the running configuration stays in service: invalid "
                          "session"), "an invalid session is refused: %r" % line)
    time.sleep(0.3)
    check(agent.poll() is None, "alive after SIGUSR1, SIGUSR2 and SIGHUP")
    s.sendall(b"def")
    check(recv_exact(s, 3) == b"def", "the open connection goes on")
    s.close()
    # The next pass of a multicall 0 session reads the file again: now it cannot start.
    check(agent.wait(20) == CONFIG_STATUS, "the next pass refuses the invalid session")


def utc_text(seconds_from_now):
    t = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=seconds_from_now)
    return t.strftime("%Y%m%d%H%M%SZ")


@case
def certificate_expiry(w):
    """A user certificate that expires within 30 days gets a warning at start; once it has
    expired, a refused handshake and a reload name it."""
    w.standard_pki()
    lifetime = 12
    w.make_cert("short", "/O=OrvTest/CN=short", "ca", end=utc_text(lifetime))
    made = time.monotonic()
    far_port, _ = w.far_agent(w.service(echo))
    conf, port = w.standard_config(far_port=far_port, extra="multicall=1")
    w.config("key k1 short.key\ncert c1 short.crt\n")
    agent = w.agent(conf, "s1", wait_port=port)
    warning = w.wait_lines(r"^WAR user certificate c1 expires on ", 1)
    check(any(re.match(r"WAR user certificate c1 expires on \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC, in 0 days$", l)
              for l in warning), "the warning: %r" % warning)
    check(round_trip(port), "served while valid")
    time.sleep(max(0.0, lifetime + 1.5 - (time.monotonic() - made)))
    s = connect(port)
    s.sendall(b"x")
    s.settimeout(20)
    try:
        s.recv(10)
    except OSError:
        pass
    s.close()
    lines = w.wait_lines(r"^SSL handshake failed: .*\(our user certificate c1 expired on ", 1)
    check(agent.poll() is None, "running")
    line = reload(w, agent, 1)
    check(line == "configuration reload refused, the running configuration stays in service: invalid session: "
          "user certificate has expired", "reload after expiry: %r" % line)
    del lines


if __name__ == "__main__":
    main()
