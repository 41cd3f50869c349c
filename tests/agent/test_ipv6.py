"""IPv6 listeners: orvclient and orvserver on ::1 (and on ::, which takes IPv4 clients too), with
the log naming IPv6 peers as [addr]:port and IPv4 ones byte for byte as before. An FTP control
connection over IPv6 uses EPSV and EPRT |2| (a 227 reply cannot name an IPv6 rendezvous: PASV is
answered 425)."""
import os
import re
import socket
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from orvtest import case, check, curl, echo, http_reply, main, orv_environment, recv_exact, recv_until, wait_for  # noqa: E402


def connect6(port, timeout=20):
    return socket.create_connection(("::1", port), timeout=timeout)


def listening6(port):
    want = ":%04X" % port
    with open("/proc/net/tcp6") as f:
        return any(l.split()[1].endswith(want) and l.split()[3] == "0A" for l in f.readlines()[1:])


def has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def needs_ipv6(test):
    def run(w):
        if not has_ipv6_loopback():
            print("no ::1 here; skipped")
            sys.exit(77)
        test(w)
    run.__name__ = test.__name__
    run.__doc__ = test.__doc__
    return run


def tunnel_on(w, bindaddr, service=echo, extra=""):
    """orvclient listening on BINDADDR (IPv6), through the far agent to SERVICE; returns (far
    agent's port, orvclient's port)."""
    far_port, _ = w.far_agent(w.service(service))
    conf, port = w.standard_config(far_port=far_port, extra="multicall=1 bindaddr=%s %s" % (bindaddr, extra))
    agent = w.agent(conf, "s1")
    wait_for(lambda: listening6(port) or agent.poll() is not None, 20, "orvclient on %s" % bindaddr)
    check(agent.poll() is None, "orvclient ended: %s" % w.read("agent.log"))
    return far_port, port


@case(may_skip=True)
@needs_ipv6
def orvclient_on_ipv6_loopback(w):
    """bindaddr ::1: an IPv6 client is relayed, and the log names it [::1]:port."""
    far_port, port = tunnel_on(w, "::1")
    with connect6(port) as s:
        s.sendall(b"six")
        check(recv_exact(s, 3) == b"six", "echo over IPv6")
    lines = w.wait_lines("DISCONNECT")
    check(any(re.match(r"INF DISCONNECT session: s1, client: \[::1\]:\d+, server: 127\.0\.0\.1:%d, " % far_port, l)
              for l in lines), "the IPv6 client in the log: %r" % lines)


@case(may_skip=True)
@needs_ipv6
def wildcard_listener_takes_both_families(w):
    """bindaddr ::: IPv6 and IPv4 clients both come in; an IPv4 one is logged as a.b.c.d:port."""
    _, port = tunnel_on(w, "::")
    for family, host in ((socket.AF_INET6, "::1"), (socket.AF_INET, "127.0.0.1")):
        with socket.create_connection((host, port), timeout=20) as s:
            s.sendall(b"x")
            check(recv_exact(s, 1) == b"x", "echo from %s" % host)
    lines = w.wait_lines("DISCONNECT", 2)
    check(any(", client: [::1]:" in l for l in lines) and
          any(re.search(r", client: 127\.0\.0\.1:\d+, ", l) for l in lines if l.startswith("INF DISCONNECT")),
          "both families in the log: %r" % lines)


@case(may_skip=True)
@needs_ipv6
def orvserver_on_ipv6_loopback(w):
    """orvserver with bindaddr ::1 serves a TLS client over IPv6, named [::1]:port in its log."""
    far_port, _ = w.orvserver_agent(w.service(echo), extra="bindaddr=::1")
    with w.tls_client(far_port, host="::1") as s:
        s.sendall(b"tls6")
        check(recv_exact(s, 4) == b"tls6", "echo through orvserver over IPv6")
    lines = w.wait_lines("DISCONNECT", name="orvserver.log")
    check(any(re.match(r"INF DISCONNECT session: far, client: \[::1\]:\d+, ", l) for l in lines),
          "the IPv6 client in orvserver's log: %r" % lines)


@case(may_skip=True)
@needs_ipv6
def whole_tunnel_over_ipv6(w):
    """orvclient on ::1 to orvserver on ::1 (server ::1) to an HTTP service on ::1: curl gets its
    page, and both logs name every peer in the IPv6 form."""
    service = w.service(http_reply(b"six all the way\n"), host="::1")
    far_port, _ = w.orvserver_agent(service, extra="bindaddr=::1", service_host="::1")
    conf, port = w.standard_config(far_port=far_port, server="::1", extra="multicall=1 bindaddr=::1")
    agent = w.agent(conf, "s1")
    wait_for(lambda: listening6(port) or agent.poll() is not None, 20, "orvclient on ::1")
    r = subprocess.run(["curl", "-s", "-S", "-g", "--max-time", "20", "http://[::1]:%d/" % port],
                       capture_output=True, timeout=30)
    check(r.returncode == 0 and r.stdout == b"six all the way\n", "curl over IPv6: %d %r" % (r.returncode, r.stderr))
    client = w.wait_lines("^INF DISCONNECT ")[-1]
    check(re.match(r"INF DISCONNECT session: s1, client: \[::1\]:\d+, server: \[::1\]:%d, " % far_port, client),
          "orvclient's line: %s" % client)
    far = w.wait_lines("^INF DISCONNECT ", name="orvserver.log")[-1]
    check(re.match(r"INF DISCONNECT session: far, client: \[::1\]:\d+, server: \[::1\]:%d, " % service, far),
          "orvserver's line: %s" % far)


@case(may_skip=True)
@needs_ipv6
def https_proxy_on_ipv6(w):
    """ORV_PROXY ::1: the tunnel crosses tinyproxy listening on the IPv6 loopback."""
    far_port, _ = w.far_agent(w.service(http_reply(b"proxied six\n")))
    proxy_port = w.tinyproxy(far_port, host="::1")
    conf, port = w.standard_config(far_port=far_port, extra="multicall=1")
    w.agent(conf, "s1", env=orv_environment({"ORV_PROXY": "::1", "ORV_PROXYPORT": str(proxy_port)}), wait_port=port)
    status, out, _ = curl(port)
    check(status == 0 and out.endswith(b"proxied six\n"), "relayed through the proxy: %r" % w.lines())
    check("CONNECT" in w.read("tinyproxy.log"), "tinyproxy carried it")


def ftp_service(sock):
    """Greets, and answers a PASV with a 227 (after the channel header and the command)."""
    sock.sendall(b"220 hi\r\n")
    if recv_until(sock, b"PASV") is None:
        return
    sock.sendall(b"227 Entering Passive Mode (127,0,0,1,4,1).\r\n")
    if recv_until(sock, b"NOOP") is not None:
        sock.sendall(b"200 still here\r\n")
    sock.recv(100)


@case(may_skip=True)
@needs_ipv6
def ftp_pasv_over_ipv6_is_answered_425(w):
    """A 227 reply cannot name an IPv6 rendezvous: PASV over an IPv6 control connection is answered
    425 (use EPSV), with a line, and the control connection goes on."""
    _, port = tunnel_on(w, "::1", service=ftp_service, extra="login=ftp")
    with connect6(port) as s:
        check(s.recv(100).startswith(b"220"), "greeting")
        s.sendall(b"PASV\r\n")
        check(recv_until(s, b"\r\n").startswith(b"425 Use EPSV"), "425 instead of a 227")
        s.sendall(b"NOOP\r\n")
        check(recv_until(s, b"\r\n").startswith(b"200"), "the control connection goes on")
    w.wait_lines("^INF PASV over an IPv6 control connection answered with 425: EPSV is needed$")


@case(may_skip=True)
@needs_ipv6
def ftp_over_ipv6_with_curl(w):
    """curl to orvclient on ::1, through orvserver, to an FTP server: EPSV and EPRT |2| work; the
    active data connection is named 0.0.0.0 in its channel header and accepted only as announced."""
    root = w.path("ftproot")
    os.makedirs(root, exist_ok=True)
    with open(os.path.join(root, "f.txt"), "w") as f:
        f.write("over six\n")
    ftp_port = w.pyftpdlib(root)
    far_port, _ = w.orvserver_agent(ftp_port, extra="login=ftp accept_timeout=20")
    conf, port = w.standard_config(far_port=far_port, extra="multicall=1 login=ftp accept_timeout=20 bindaddr=::1")
    agent = w.agent(conf, "s1")
    wait_for(lambda: listening6(port) or agent.poll() is not None, 20, "orvclient on ::1")
    for mode in ([], ["-P", "::1"]):
        r = subprocess.run(["curl", "-s", "-S", "-g", "--max-time", "30", *mode, "ftp://[::1]:%d/f.txt" % port],
                           capture_output=True, timeout=60)
        check(r.returncode == 0 and r.stdout == b"over six\n", "curl %r: %d %r" % (mode, r.returncode, r.stderr))
    data = [l for l in w.disconnects() if "type: FTP data connection" in l]
    check(len(data) == 2 and all(", client: [::1]:" in l for l in data), "two IPv6 data connections: %r" % data)
    check("refused" not in w.read("orvserver.log"), "nothing refused: %s" % w.read("orvserver.log")[-500:])


if __name__ == "__main__":
    main()
