"""Several far agents: a session's further far agents (faragents) are tried in turn when one
refuses the connect, stays silent or fails the handshake, within the set-up bound; the failed one
is passed over for 30 s (one line) and taken back once it works again (one line). Round robin
(failover=rr) spreads connections evenly; FTP data connections follow their control
connection's far agent, the only one that knows their announcement."""
import os
import re
import socket
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from orvtest import case, check, connect, echo, free_port, main, recv_exact, wait_for  # noqa: E402

# The session's inactivity timeout bounds the set-up too: 6 s, so each of two far agents gets 3 s.
BOUND = 6


class SilentListener:
    """Accepts connections and never says a word (a far agent that hangs mid-restart); the
    World closes it with its services."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.held = []
        threading.Thread(target=self.run, daemon=True).start()

    def run(self):
        while True:
            try:
                self.held.append(self.sock.accept()[0])
            except OSError:
                return

    def shutdown(self):
        self.sock.close()

    def server_close(self):
        for c in self.held:
            c.close()


def silent_listener(w):
    listener = SilentListener()
    w.servers.append(listener)
    return listener.port


def first_far_agent(w, kind, service):
    if kind == "down":
        return free_port()
    if kind == "silent":
        return silent_listener(w)
    # A certificate from a CA the client does not trust: the handshake fails.
    w.make_ca("other", "/O=Other/CN=Other CA")
    w.make_cert("stranger", "/O=Other/CN=stranger", "other")
    port, _ = w.far_agent(service, cert="stranger", name="stranger")
    return port


def echo_once(port, payload=b"ping"):
    started = time.monotonic()
    with connect(port) as s:
        s.sendall(payload)
        check(recv_exact(s, len(payload)) == payload, "echo through the tunnel")
    return time.monotonic() - started


def servers_used(w):
    return [re.search(r", server: ([^,]+),", l).group(1) for l in w.disconnects()]


def failover_case(kind):
    def run(w):
        w.standard_pki()
        service = w.service(echo)
        first = first_far_agent(w, kind, service)
        second, _ = w.far_agent(service)
        conf, port = w.standard_config(far_port=first,
                                       extra="multicall=1 timeout=%d faragents=127.0.0.1:%d" % (BOUND, second))
        w.agent(conf, "s1", wait_port=port)
        took = echo_once(port)
        check(took < BOUND, "the first connection reached the second far agent in %.2f s" % took)
        w.wait_lines(r"^WAR far agent 127\.0\.0\.1:%d passed over for 30 seconds$" % first)
        # Passed over: the next ones go to the second far agent at once.
        for _ in range(3):
            took = echo_once(port)
            check(took < 1.0, "a later connection took %.2f s" % took)
        w.wait_lines("DISCONNECT", 4)
        check(servers_used(w) == ["127.0.0.1:%d" % second] * 4, "the far agent used: %r" % servers_used(w))
        check(len([l for l in w.lines() if "passed over" in l]) == 1, "one pass-over line")
    run.__name__ = "first_far_agent_" + kind
    return run


for _kind in ("down", "silent", "refusing_handshake"):
    case(failover_case(_kind))


@case
def passed_over_far_agent_is_taken_back(w):
    """A far agent that was down is tried again after 30 s and, once it works, named back."""
    w.standard_pki()
    service = w.service(echo)
    first = free_port()
    second, _ = w.far_agent(service)
    conf, port = w.standard_config(far_port=first, extra="multicall=1 faragents=127.0.0.1:%d" % second)
    w.agent(conf, "s1", wait_port=port)
    echo_once(port)
    w.wait_lines("passed over for 30 seconds")
    passed_at = time.monotonic()
    w.far_agent(service, port=first, name="revived")
    echo_once(port)
    time.sleep(max(0.0, 31 - (time.monotonic() - passed_at)))
    echo_once(port)
    w.wait_lines(r"^INF far agent 127\.0\.0\.1:%d is back$" % first)
    w.wait_lines("DISCONNECT", 3)
    check(servers_used(w) == ["127.0.0.1:%d" % second] * 2 + ["127.0.0.1:%d" % first],
          "second, second (passed over), then first again: %r" % servers_used(w))


@case
def round_robin_spreads_evenly(w):
    """failover=rr: each new connection starts at the next far agent."""
    w.standard_pki()
    service = w.service(echo)
    ports = [w.far_agent(service, name="far%d" % i)[0] for i in range(3)]
    extra = "multicall=1 failover=rr faragents=%s" % ",".join("127.0.0.1:%d" % p for p in ports[1:])
    conf, port = w.standard_config(far_port=ports[0], extra=extra)
    w.agent(conf, "s1", wait_port=port)
    for i in range(9):
        echo_once(port, b"rr%d" % i)
    w.wait_lines("DISCONNECT", 9)
    used = servers_used(w)
    for p in ports:
        check(used.count("127.0.0.1:%d" % p) == 3, "three connections each: %r" % used)


@case
def ftp_data_follows_its_control_connection(w):
    """Round robin over two orvservers in front of one FTP server: each data connection goes to
    the far agent of its control connection (the other would refuse it as unannounced)."""
    root = w.path("ftproot")
    os.makedirs(root, exist_ok=True)
    with open(os.path.join(root, "f.txt"), "w") as f:
        f.write("follow me\n")
    ftp_port = w.pyftpdlib(root)
    a, _ = w.orvserver_agent(ftp_port, name="orvserver_a", extra="login=ftp accept_timeout=20")
    b, _ = w.orvserver_agent(ftp_port, name="orvserver_b", extra="login=ftp accept_timeout=20")
    conf, port = w.standard_config(far_port=a, extra="multicall=1 login=ftp accept_timeout=20 failover=rr "
                                   "faragents=127.0.0.1:%d" % b)
    w.agent(conf, "s1", wait_port=port)
    for mode in ([], ["--disable-epsv"], ["-P", "127.0.0.1"], []):
        r = subprocess.run(["curl", "-s", "-S", "--max-time", "30", *mode, "ftp://127.0.0.1:%d/f.txt" % port],
                           capture_output=True, timeout=60)
        check(r.returncode == 0 and r.stdout == b"follow me\n", "curl %r: %d %r" % (mode, r.returncode, r.stderr))
    # Each data connection in orvclient's log went where its control connection went.
    w.wait_lines("DISCONNECT", 8)
    control = data = None
    pairs = set()
    for l in w.disconnects():
        m = re.search(r", server: ([^,]+),", l)
        check(m is not None, "a DISCONNECT line names its far agent: %r" % l)
        server = m.group(1)
        if "type: FTP data connection" in l:
            data = server
        elif "type: FTP control connection" in l:
            control = server
            pairs.add((control, data))
    check(len(pairs) == 2 and all(c == d for c, d in pairs), "data with its control, on both far agents: %r" % pairs)
    for name in ("orvserver_a.log", "orvserver_b.log"):
        check("not announced" not in w.read(name) and "another client" not in w.read(name),
              "no refused data connection in %s" % name)


if __name__ == "__main__":
    main()
