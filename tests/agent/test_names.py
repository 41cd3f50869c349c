"""Names looked up without blocking: the agents run in a private mount namespace whose
/etc/resolv.conf names a fake DNS server (tests/common/fakedns.py) that delays, changes or
withholds its answers. A connection that waits for a name waits alone: an open connection's echo
keeps its pace; a name that moves is followed once its time-to-live has passed; a lookup that
fails or times out ends only its own connection, with the name and the reason."""
import os
import socket
import sys
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from fakedns import FakeDns, isolated  # noqa: E402
from orvtest import PASSWORD, case, check, connect, echo, free_port, listening, main, recv_exact, wait_for  # noqa: E402

DELAY = 2.0


def with_dns(test):
    """Runs test(w, dns) with the fake server up; skipped (77) where namespaces cannot be made or
    port 53 cannot be bound (not root)."""
    def run(w):
        probe = os.system("unshare -m true 2>/dev/null")
        if probe != 0:
            print("unshare -m is not permitted here; skipped")
            sys.exit(77)
        try:
            dns = FakeDns()
        except OSError as e:  # port 53 needs root
            print("the fake DNS server cannot listen (%s); skipped" % e)
            sys.exit(77)
        try:
            test(w, dns)
        finally:
            dns.close()
    run.__name__ = test.__name__
    run.__doc__ = test.__doc__
    return run


def start(w, dns, program, conf, session, port, log):
    resolv = w.path("resolv.conf")
    with open(resolv, "w") as f:
        f.write("nameserver %s\n" % dns.address)
    p = w.spawn(isolated([w.program(program), "-f", conf, "-p", PASSWORD, session], resolv), log)
    wait_for(lambda: listening(port) or p.poll() is not None, 20, "%s to listen" % program)
    check(p.poll() is None, "%s ended: %s" % (program, w.read(log)))
    return p


class Pace:
    """Echoes one byte every 100 ms over `sock` and keeps the longest wait for an echo."""

    def __init__(self, sock):
        self.sock = sock
        self.longest = 0.0
        self.error = None
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        try:
            while not self.done.is_set():
                t = time.monotonic()
                self.sock.sendall(b"p")
                check(recv_exact(self.sock, 1) == b"p", "echo")
                self.longest = max(self.longest, time.monotonic() - t)
                time.sleep(0.1)
        except (OSError, AssertionError) as e:
            self.error = repr(e)

    def stop(self):
        self.done.set()
        self.thread.join(10)


def timed_echo(port, result):
    t = time.monotonic()
    try:
        with connect(port, timeout=20) as s:
            s.sendall(b"n")
            result["ok"] = recv_exact(s, 1) == b"n"
    except OSError as e:
        result["error"] = repr(e)
    result["seconds"] = time.monotonic() - t


def pace_through_slow_lookup(w, dns, name, port):
    """An open connection's pace while a new connection waits DELAY for `name`."""
    first = connect(port)
    first.settimeout(20)
    pace = Pace(first)
    time.sleep(1.2)  # the first answer's time-to-live passes
    dns.set(name, "127.0.0.1", ttl=1, delay=DELAY)
    result = {}
    late = threading.Thread(target=timed_echo, args=(port, result))
    late.start()
    late.join(30)
    pace.stop()
    first.close()
    check(result.get("ok"), "the connection that waited for its name: %r" % result)
    check(result["seconds"] >= DELAY * 0.75, "it waited for the answer: %.2f s" % result["seconds"])
    check(pace.error is None, "the open connection: %s" % pace.error)
    check(pace.longest < DELAY / 4, "the open connection kept its pace: longest echo %.2f s" % pace.longest)


@case(may_skip=True)
@with_dns
def slow_lookup_stalls_only_its_connection(w, dns):
    """orvclient's far agent by name: with an answer that takes 2 s, an open connection's echo
    keeps its pace while the new connection waits for its name."""
    dns.set("far.test", "127.0.0.1", ttl=1)
    far_port, _ = w.far_agent(w.service(echo))
    conf, port = w.standard_config(far_port=far_port, extra="multicall=1")
    w.config("set s1 server far.test\n")
    start(w, dns, "orvclient", conf, "s1", port, "agent.log")
    pace_through_slow_lookup(w, dns, "far.test", port)


@case(may_skip=True)
@with_dns
def slow_service_lookup_at_orvserver(w, dns):
    """orvserver's service by name: the same, behind orvserver."""
    dns.set("svc.test", "127.0.0.1", ttl=1)
    service = w.service(echo)
    w.standard_pki()
    far_port = free_port()
    conf = w.config("key fk far.key\ncert fc far.crt\nroot r1 ca.crt\n"
                    "session far port=%d server=svc.test serverport=%d cert=fc key=fk root=r1 multicall=1\n"
                    % (far_port, service), name="orvserver.orv")
    start(w, dns, "orvserver", conf, "far", far_port, "orvserver.log")
    client_conf, port = w.standard_config(far_port=far_port, extra="multicall=1")
    w.agent(client_conf, "s1", wait_port=port)
    pace_through_slow_lookup(w, dns, "svc.test", port)


def connect_time(port):
    t = time.monotonic()
    with connect(port, timeout=20) as s:
        s.sendall(b"d")
        check(recv_exact(s, 1) == b"d", "echo")
    return time.monotonic() - t


@case(may_skip=True)
@with_dns
def dual_stack_name_with_one_family_silent(w, dns):
    """A name with A and AAAA records where one family's query is never answered: the connection
    goes over the family that answered, at once (Happy Eyeballs), not after the resolver's
    time-out; with both answered IPv6 is tried first."""
    far_port, _ = w.orvserver_agent(w.service(echo), extra="bindaddr=::")
    conf, port = w.standard_config(far_port=far_port, extra="multicall=1")
    agent = None
    # A name per case: a query left unanswered stays under way, and a later lookup of the same
    # name and family rightly waits for it.
    for n, (silent, family) in enumerate((((), "[::1]"), ((28,), "127.0.0.1"), ((1,), "[::1]"))):
        name = "dual%d.test" % n
        dns.set(name, "127.0.0.1", "::1", ttl=0, silent_types=silent)
        w.config("set s1 server %s\n" % name)
        if agent is None:
            agent = start(w, dns, "orvclient", conf, "s1", port, "agent.log")
        else:
            os.kill(agent.pid, 1)  # SIGHUP: the new name
            w.wait_lines("^INF configuration reloaded: server$", n)
        before = len(w.disconnects("orvserver.log"))
        took = connect_time(port)
        check(took < 1.5, "silent %r: connected in %.2f s" % (silent, took))
        w.wait_lines("^INF DISCONNECT ", before + 1, name="orvserver.log")
        last = w.disconnects("orvserver.log")[-1]
        check(", client: %s:" % family in last, "silent %r: came over %s: %s" % (silent, family, last))


def answer_from(port):
    with connect(port, timeout=20) as s:
        s.sendall(b"?")
        return s.recv(10)


@case(may_skip=True)
@with_dns
def name_follows_its_address(w, dns):
    """A far agent that moves to another address is reached there once the old answer's
    time-to-live has passed, without a restart."""
    far_port = free_port()
    for host, reply in (("127.0.0.2", b"A"), ("127.0.0.3", b"B")):
        service = w.service(lambda s, r=reply: s.recv(10) and s.sendall(r))
        w.far_agent(service, port=far_port, host=host, name="stunnel-" + reply.decode())
    dns.set("far.test", "127.0.0.2", ttl=2)
    conf, port = w.standard_config(far_port=far_port, extra="multicall=1")
    w.config("set s1 server far.test\n")
    start(w, dns, "orvclient", conf, "s1", port, "agent.log")
    check(answer_from(port) == b"A", "the first address")
    dns.set("far.test", "127.0.0.3", ttl=2)
    check(answer_from(port) == b"A", "the kept answer while its time-to-live lasts")
    time.sleep(2.5)
    check(answer_from(port) == b"B", "the new address once it has expired")


@case(may_skip=True)
@with_dns
def failed_lookups_end_only_their_connection(w, dns):
    """A name the server does not know, and one it never answers (the resolver gives up after its
    tries, well within the set-up bound), each end only the connection that needed it, with a
    clear line."""
    dns.set("far.test", "127.0.0.1", ttl=1)
    far_port, _ = w.far_agent(w.service(echo))
    conf, port = w.standard_config(far_port=far_port, extra="multicall=1")
    w.config("set s1 server far.test\n")
    agent = start(w, dns, "orvclient", conf, "s1", port, "agent.log")
    first = connect(port)
    first.settimeout(20)
    pace = Pace(first)
    time.sleep(1.2)
    dns.set("far.test", "127.0.0.1", ttl=1, silent=True)
    t = time.monotonic()
    with connect(port) as s:
        s.settimeout(20)
        check(s.recv(10) == b"", "the connection whose name never came is closed")
    waited = time.monotonic() - t
    w.wait_lines("^unable to look up far.test: Timeout while contacting DNS servers$")
    check(waited < 15, "ended by the resolver's time-out: %.1f s" % waited)
    w.config("set s1 server nosuch.test\n")
    os.kill(agent.pid, 1)  # SIGHUP
    w.wait_lines("^INF configuration reloaded: server$")
    with connect(port) as s:
        s.settimeout(20)
        check(s.recv(10) == b"", "the connection to an unknown name is closed")
    w.wait_lines("^unable to look up nosuch.test: Domain name not found$")
    pace.stop()
    check(pace.error is None, "the open connection lived through both: %s" % pace.error)
    first.close()


@case(may_skip=True)
@with_dns
def failed_service_lookup_at_orvserver(w, dns):
    """orvserver's service under a name the server does not know: the connection ends with the
    lookup's reason and orvserver connects nowhere (no connect attempt, no "Network is
    unreachable"), and the next connection is looked up again."""
    w.standard_pki()
    far_port = free_port()
    conf = w.config("key fk far.key\ncert fc far.crt\nroot r1 ca.crt\n"
                    "session far port=%d server=nosuch.test serverport=9 cert=fc key=fk root=r1 multicall=1\n"
                    % far_port, name="orvserver.orv")
    start(w, dns, "orvserver", conf, "far", far_port, "orvserver.log")
    client_conf, port = w.standard_config(far_port=far_port, extra="multicall=1")
    w.agent(client_conf, "s1", wait_port=port)
    for i in range(2):
        with connect(port) as s:
            s.settimeout(20)
            check(s.recv(10) == b"", "the connection is closed")
        w.wait_lines("^unable to look up nosuch.test: Domain name not found$", i + 1, name="orvserver.log")
    log = w.lines("orvserver.log")
    check(not any("connect" in l and not l.startswith("INF ") or "unreachable" in l for l in log),
          "no connect attempt: %r" % log)


if __name__ == "__main__":
    main()
