"""orvserver, the far agent, end to end on 127.0.0.1: plain sessions behind orvclient (log lines,
partner list, foreign certificates, no client authentication), start-up and signals; the channel
header's security (unannounced and foreign data headers are refused and reach nothing); the FTP
far side against pyftpdlib and a scripted FTP server (passive, active in both arrival orders)."""
import os
import re
import signal
import socket
import ssl
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from orvtest import (CONFIG_STATUS, CONTROL_HEADER, PASSWORD, FtpControlLines, case, channel_header, check, curl, echo,  # noqa: E402
                     free_port, http_reply, http_response, main, read_to_end, recv_exact, reload, scrape_metrics)

BODY = b"hello through orvserver\n"
ADDR = r"127\.0\.0\.1:\d+"
USER_SUBJECT = "/O=OrvTest/CN=user1"


def plain_chain(w, far_extra="", partners=(), client_extra="multicall=1", client_cert="user"):
    """orvclient -> orvserver -> HTTP service; returns (client port, orvclient, orvserver)."""
    service = w.service(http_reply(BODY))
    far_port, server = w.orvserver_agent(service, extra=far_extra, partners=partners)
    w.far_port = far_port
    w.standard_pki()
    port = free_port()
    w.config("key k1 %s.key\ncert c1 %s.crt\nroot r1 ca.crt\n"
             "session s1 port=%d server=127.0.0.1 serverport=%d cert=c1 root=r1 key=k1 %s\n"
             % (client_cert, client_cert, port, far_port, client_extra))
    agent = w.agent(w.path("conf.orv"), "s1", wait_port=port)
    return port, agent, server


def expected_lines(session, dname, server_addr=ADDR):
    return [
        r"INF CONNECT session: %s, client: %s, server: N/A, type: data connection\. dname: N/A, cipher: N/A$"
        % (session, ADDR),
        r"INF CONNECT session: %s, client: %s, server: %s, type: data connection\. dname: %s, cipher: [A-Z0-9_-]+$"
        % (session, ADDR, server_addr, re.escape(dname)),
        r"INF DISCONNECT session: %s, client: %s, server: %s, type: data connection\. dname: %s, "
        r"cipher: [A-Z0-9_-]+\. seconds: \d+, bytes in: (\d+), bytes out: (\d+)$"
        % (session, ADDR, server_addr, re.escape(dname)),
    ]


def check_lines(lines, patterns, what):
    check(len(lines) == len(patterns), "%s: %d lines: %r" % (what, len(patterns), lines))
    for rx, line in zip(patterns, lines):
        check(re.match(rx, line), "%s: line %r does not match %r" % (what, line, rx))


# ---- plain sessions -----------------------------------------------------------------------------

@case
def connection_log(w):
    """orvclient -> orvserver -> HTTP: both logs have the three lines, orvserver's naming the
    client certificate and the service, with the byte counts of both directions."""
    port, agent, _ = plain_chain(w)
    status, out, err = curl(port)
    check(status == 0 and out.endswith(BODY), "curl: %d %r %r" % (status, out, err))
    server_lines = w.wait_lines("DISCONNECT", name="orvserver.log")
    check_lines(server_lines, expected_lines("far", USER_SUBJECT), "orvserver")
    m = re.match(expected_lines("far", USER_SUBJECT)[2], server_lines[2])
    check(int(m.group(1)) == len(http_response(BODY)), "bytes in: what went to the client: %s" % m.group(1))
    check(int(m.group(2)) > 0, "bytes out: the request sent to the service")
    check(len({re.search(r"client: (\S+),", l).group(1) for l in server_lines}) == 1, "one client in all three")
    check_lines(w.wait_lines("DISCONNECT"), expected_lines("s1", "/O=OrvTest/CN=far1"), "orvclient")
    # orvclient's server column names the far agent it reached: orvserver's port.
    client_side = re.search(r"server: (\S+),", w.lines()[2]).group(1)
    check(client_side == "127.0.0.1:%d" % w.far_port, "orvclient's server column: %s" % client_side)
    status, out, _ = curl(port)
    check(status == 0 and out.endswith(BODY), "second connection")
    w.wait_lines("DISCONNECT", 2, name="orvserver.log")


@case
def partner_refusal(w):
    """A partner list that refuses the client's subject: access denied, nothing reaches the
    service; a list that names it lets it through."""
    hits = []
    service = w.service(lambda s: hits.append(1) or http_reply(BODY)(s))
    far_port, _ = w.orvserver_agent(service, partners=("!/O=OrvTest/CN=user1",))
    conf, port = w.standard_config(far_port=far_port, extra="multicall=1")
    w.agent(conf, "s1", wait_port=port)
    status, out, _ = curl(port)
    check(out == b"", "refused client gets nothing: %r" % out)
    lines = w.wait_lines("DISCONNECT", name="orvserver.log")
    check("access denied to /O=OrvTest/CN=user1 by partner list" in lines, "refusal logged: %r" % lines)
    check(re.match(r"INF DISCONNECT session: far, client: %s, server: N/A, .*dname: /O=OrvTest/CN=user1" % ADDR,
                   lines[-1]), "disconnect without a service: %r" % lines[-1])
    check(not hits, "nothing reached the service")
    far2, _ = w.orvserver_agent(service, partners=("/O=OrvTest/CN=user*",), name="allowing")
    conf2, port2 = w.standard_config(session="s2", far_port=far2, extra="multicall=1", name="c2.orv")
    w.agent(conf2, "s2", log_name="agent2.log", wait_port=port2)
    status, out, _ = curl(port2)
    check(status == 0 and out.endswith(BODY), "a prefix entry admits user1")


def refused(sock):
    """True when the server ends the connection without sending data (TLS 1.3 clients see the
    refusal on their first read)."""
    try:
        sock.sendall(b"GET / HTTP/1.0\r\n\r\n")
        return sock.recv(100) == b""
    except (ssl.SSLError, OSError):
        return True


@case
def client_certificates(w):
    """A certificate from another CA and no certificate at all are refused in the handshake and
    logged; with noclientauth a client without certificate is served and named N/A."""
    w.standard_pki()
    w.make_ca("other", "/O=Other/CN=Other CA")
    w.make_cert("stranger", "/O=Other/CN=stranger", "other")
    hits = []
    service = w.service(lambda s: hits.append(1) or http_reply(BODY)(s))
    far_port, _ = w.orvserver_agent(service)
    for cert in ("stranger", None):
        try:
            s = w.tls_client(far_port, cert=cert)
            check(refused(s), "%s refused" % cert)
            s.close()
        except (ssl.SSLError, OSError):
            pass
    lines = w.wait_lines("DISCONNECT", 2, name="orvserver.log")
    check(any(l.startswith("SSL handshake failed: ") and "unable to get local issuer certificate" in l for l in lines)
          or any("SSL handshake failed: " in l for l in lines), "handshake failures logged: %r" % lines)
    check(len([l for l in lines if l.startswith("SSL handshake failed: ")]) == 2, "two failures: %r" % lines)
    check(not hits, "nothing reached the service")
    # noclientauth: served without a certificate.
    open_port, _ = w.orvserver_agent(service, verify=False, name="open")
    s = w.tls_client(open_port, cert=None)
    s.sendall(b"GET / HTTP/1.0\r\n\r\n")
    data = read_to_end(s)
    check(data.endswith(BODY), "noclientauth serves: %r" % data)
    s.close()
    lines = w.wait_lines("DISCONNECT", name="open.log")
    check("dname: N/A, cipher: TLS" in lines[-1], "no subject, a cipher: %r" % lines[-1])


USAGE = ("Orvane server agent version 1.2.5\n"
         "===============================================\n"
         "orvserver [-p <password>] [-d] -f <conffile> <session name>\n"
         "-d -- daemon mode\n")


@case
def startup(w):
    """Usage, password input, configuration failures: the same rules and messages as orvclient."""
    conf, port = w.standard_config()
    for args in (["-h"], ["-f", conf, "-p", PASSWORD], [], ["-f", conf, "-p", PASSWORD, "s1", "-d"]):
        status, err = w.run("orvserver", args)
        check(status == 1 and err == USAGE, "usage for %r: %d %r" % (args, status, err))
    status, err = w.run("orvserver", ["-f", conf, "-p", "x" * 300, "s1"])
    check(status == 1 and err == "Error during password input\n", "overlong password: %r" % err)
    status, err = w.run("orvserver", ["-f", conf, "s1"])
    check(status == 1 and ('Enter password for "%s":' % conf) in err and "Error during password input" in err,
          "no password: %r" % err)
    w.config("session bad port=99999 server=127.0.0.1 serverport=2 cert=c1 root=r1 key=k1\n")
    cases = [
        (["-f", w.path("missing.orv"), "-p", PASSWORD, "s1"], ["unable to open configuration file %s"
                                                                 % w.path("missing.orv")]),
        (["-f", conf, "-p", "wrong", "s1"], ["unable to open configuration file %s" % conf]),
        (["-f", conf, "-p", PASSWORD, "nosuch"],
         ["invalid session: required parameter is missing", "unable to create connection_data structure"]),
        (["-f", conf, "-p", PASSWORD, "bad"],
         ["configuration error. invalid port: 99999", "unable to create connection_data structure"]),
    ]
    for args, expected in cases:
        status, err = w.run("orvserver", args)
        check(status == CONFIG_STATUS and err.splitlines()[-len(expected):] == expected,
              "%r: %d %r" % (args, status, err))
    # A typed password works like -p; a port in use ends the program with status 1.
    blocker = socket.socket()
    blocker.bind(("127.0.0.1", port))
    blocker.listen(1)
    status, err = w.run("orvserver", ["-f", conf, "s1"], input=PASSWORD + "\n")
    blocker.close()
    check(status == 1 and "Address already in use" in err, "port in use: %d %r" % (status, err))


@case
def termination_signals(w):
    """SIGTERM and SIGINT: status 0 and a DISCONNECT line for each open connection."""
    service = w.service(echo)
    for sig in (signal.SIGTERM, signal.SIGINT):
        name = sig.name.lower()
        far_port, server = w.orvserver_agent(service, name=name)
        clients = []
        for i in range(3):
            s = w.tls_client(far_port)
            s.sendall(b"%d" % i)
            check(recv_exact(s, 1) == b"%d" % i, "%s: relayed" % name)
            clients.append(s)
        os.kill(server.pid, sig)
        try:
            status = server.wait(5)
        except subprocess.TimeoutExpired:
            status = None
        check(status == 0, "%s: status %r" % (name, status))
        ended = w.disconnects(name + ".log")
        check(len(ended) == 3, "%s: three DISCONNECT lines: %r" % (name, ended))
        for s in clients:
            s.close()


# ---- channel header security --------------------------------------------------------------------

def recorder(w):
    """A local service that only records that somebody connected."""
    hits = []
    port = w.service(lambda s: hits.append(s.getpeername()))
    return port, hits


class Ftp(FtpControlLines):
    """The client's side of an FTP control connection over TLS (what orvclient would relay)."""

    def __init__(self, w, port, cert="user"):
        s = w.tls_client(port, cert=cert)
        s.sendall(CONTROL_HEADER)
        self.start(s)


def ftp_dir(w):
    d = w.path("ftproot")
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "listed-file.txt"), "w") as f:
        f.write("x" * 100)
    return d


@case
def partner_revoked_by_reload(w):
    """A "!" partner entry added and reloaded refuses the client's next connection (revocation
    without a restart); the connection it already has goes on to its end."""
    far_port, server = w.orvserver_agent(w.service(echo), partners=("/O=OrvTest/CN=user*",))
    open_one = w.tls_client(far_port)
    open_one.sendall(b"before")
    check(recv_exact(open_one, 6) == b"before", "served before the revocation")
    w.config("partner far !/O=OrvTest/CN=user1\n", name="orvserver.orv")
    check(reload(w, server, 1, log="orvserver.log") == "INF configuration reloaded: partners", "the reload line")
    check(refused(w.tls_client(far_port)), "the next connection is refused")
    w.wait_lines("access denied to /O=OrvTest/CN=user1 by partner list", name="orvserver.log")
    open_one.sendall(b"after")
    check(recv_exact(open_one, 5) == b"after", "the open connection goes on")
    open_one.close()


@case
def ftp_announcement_across_reload(w):
    """A passive data connection announced before a reload is honoured after it."""
    ftp_port = w.pyftpdlib(ftp_dir(w))
    far_port, server = w.orvserver_agent(ftp_port, extra="login=ftp accept_timeout=30")
    ctl = Ftp(w, far_port)
    ctl.login()
    m = re.match(r"227 .*\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)", ctl.cmd("PASV"))
    check(m, "227")
    w.config("set far timeout 600\n", name="orvserver.orv")
    check(reload(w, server, 1, log="orvserver.log") == "INF configuration reloaded: timeout", "the reload line")
    data = w.tls_client(far_port)
    data.sendall(channel_header(0, 1, ".".join(m.group(i) for i in range(1, 5)), int(m.group(5)) * 256 + int(m.group(6))))
    check(ctl.cmd("LIST").startswith("150"), "LIST")
    check(b"listed-file.txt" in read_to_end(data), "the listing over the data connection announced before")
    check(ctl.reply().startswith("226"), "226")


@case
def unannounced_header(w):
    """A valid client that sends a data header nobody announced, naming a local service, is refused
    with the reason logged, and the service sees no connection; nor does a passive header naming
    the FTP server itself or an active one."""
    target, hits = recorder(w)
    ftp_port = w.pyftpdlib(ftp_dir(w))
    far_port, _ = w.orvserver_agent(ftp_port, extra="login=ftp accept_timeout=10")
    for h in (channel_header(0, 1, "127.0.0.1", target), channel_header(0, 0, "127.0.0.1", target),
              channel_header(0, 1, "0.0.0.0", target)):
        s = w.tls_client(far_port)
        s.sendall(h + b"payload")
        check(read_to_end(s) == b"", "refused connection sends nothing")
        s.close()
    lines = w.wait_lines("DISCONNECT", 3, name="orvserver.log")
    want = "refused data connection from %s: 127.0.0.1:%d was not announced" % (USER_SUBJECT, target)
    check(lines.count(want) == 2, "refusals logged: %r" % lines)
    check("refused data connection from %s: 0.0.0.0:%d was not announced" % (USER_SUBJECT, target) in lines,
          "address 0 refused too: %r" % lines)
    time.sleep(0.5)
    check(not hits, "nothing reached the named service: %r" % hits)


@case
def foreign_announcement(w):
    """A 227 announced on user1's control connection does not serve user2's data header (refused,
    logged, and the announcement stays for user1, whose data connection then gets the LIST)."""
    w.standard_pki()
    w.make_cert("user2", "/O=OrvTest/CN=user2", "ca")
    ftp_port = w.pyftpdlib(ftp_dir(w))
    far_port, _ = w.orvserver_agent(ftp_port, extra="login=ftp accept_timeout=10")
    ctl = Ftp(w, far_port)
    ctl.login()
    reply = ctl.cmd("PASV")
    m = re.match(r"227 .*\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)", reply)
    check(m, "227 relayed unchanged: %r" % reply)
    addr = ".".join(m.group(i) for i in range(1, 5))
    port = int(m.group(5)) * 256 + int(m.group(6))
    other = w.tls_client(far_port, cert="user2")
    other.sendall(channel_header(0, 1, addr, port))
    check(read_to_end(other) == b"", "user2 refused")
    w.wait_lines("was announced to another client", name="orvserver.log")
    data = w.tls_client(far_port)
    data.sendall(channel_header(0, 1, addr, port))
    check(ctl.cmd("LIST").startswith("150"), "LIST accepted")
    listing = read_to_end(data)
    check(b"listed-file.txt" in listing, "user1's data connection gets the listing: %r" % listing)
    check(ctl.reply().startswith("226"), "transfer complete")
    # Used once: the same header again is refused.
    again = w.tls_client(far_port)
    again.sendall(channel_header(0, 1, addr, port))
    check(read_to_end(again) == b"", "an announcement serves one connection")
    lines = w.wait_lines("refused data connection .* was not announced", name="orvserver.log")
    check(any("CN=user2: %s:%d was announced to another client" % (addr, port) in l for l in lines), "%r" % lines)


@case
def ftp_passive(w):
    """Control header, login, PASV and EPSV: replies come unchanged; data headers (0,1,S,Q) and
    (0,1,0,Q) get the LIST output; a data connection after the control connection has ended is
    refused."""
    ftp_port = w.pyftpdlib(ftp_dir(w))
    metrics = free_port()
    far_port, _ = w.orvserver_agent(ftp_port, extra="login=ftp metrics=127.0.0.1:%d" % metrics)
    ctl = Ftp(w, far_port)
    check(ctl.greeting.startswith("220"), "greeting: %r" % ctl.greeting)
    ctl.login()
    m = re.match(r"227 Entering passive mode \((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)\.$", ctl.cmd("PASV"))
    check(m, "227 unchanged")
    addr = ".".join(m.group(i) for i in range(1, 5))
    data = w.tls_client(far_port)
    data.sendall(channel_header(0, 1, addr, int(m.group(5)) * 256 + int(m.group(6))))
    check(ctl.cmd("LIST").startswith("150"), "LIST")
    check(b"listed-file.txt" in read_to_end(data), "listing over the passive data connection")
    check(ctl.reply().startswith("226"), "226")
    epsv = ctl.cmd("EPSV")
    m = re.match(r"229 .*\(\|\|\|(\d+)\|\)", epsv)
    check(m, "229 unchanged: %r" % epsv)
    data = w.tls_client(far_port)
    data.sendall(channel_header(0, 1, "0.0.0.0", int(m.group(1))))
    check(ctl.cmd("NLST").startswith("150"), "NLST")
    check(b"listed-file.txt" in read_to_end(data), "listing over the EPSV data connection")
    check(ctl.reply().startswith("226"), "226")
    # An announcement whose control connection has gone serves nothing.
    m = re.match(r"229 .*\(\|\|\|(\d+)\|\)", ctl.cmd("EPSV"))
    ctl.s.close()
    time.sleep(0.5)
    late = w.tls_client(far_port)
    late.sendall(channel_header(0, 1, "0.0.0.0", int(m.group(1))))
    check(read_to_end(late) == b"", "refused after the control connection ended")
    w.wait_lines("announced on a control connection that has ended", name="orvserver.log")
    # The metrics count the three announcements, the two honoured and the one refused.
    m = scrape_metrics(metrics)
    for outcome, n in (("made", 3), ("honoured", 2), ("refused", 1)):
        got = m['orvane_announcements_total{protocol="ftp",outcome="%s"}' % outcome]
        check(got == n, "%s: %r" % (outcome, got))
    check(m['orvane_connection_failures_total{reason="unannounced"}'] == 1, "the refusal counted: %r" % m)


@case
def ftp_active_server_first(w):
    """PORT and EPRT are rewritten to a listener of orvserver; pyftpdlib connects to it at once, and
    the later (0,0,A,P) data connection is joined to that connection."""
    ftp_port = w.pyftpdlib(ftp_dir(w))
    far_port, _ = w.orvserver_agent(ftp_port, extra="login=ftp")
    ctl = Ftp(w, far_port)
    ctl.login()
    for command, a, p in (("PORT 10,1,2,3,17,213", "10.1.2.3", 17 * 256 + 213), ("EPRT |1|10.9.8.7|4999|", "10.9.8.7",
                                                                                4999)):
        reply = ctl.cmd(command)
        check(reply.startswith("200"), "%s accepted (pyftpdlib reached our listener): %r" % (command, reply))
        data = w.tls_client(far_port)
        data.sendall(channel_header(0, 0, a, p))
        reply = ctl.cmd("LIST")
        check(reply.startswith("150") or reply.startswith("125"), "LIST: %r" % reply)
        check(b"listed-file.txt" in read_to_end(data), "listing over the joined data connection")
        data.close()
        check(ctl.reply().startswith("226"), "226")
    check(ctl.cmd("PORT 1,2,3").startswith("501"), "a malformed PORT is answered, never passed on")
    lines = w.wait_lines("DISCONNECT", 2, name="orvserver.log")
    check(not any("refused" in l for l in lines), "nothing refused: %r" % lines)


def scripted_ftp(w, seen):
    """An FTP server that answers PORT without connecting and connects only on LIST."""
    def serve(sock):
        f = sock.makefile("rb")
        sock.sendall(b"220 scripted\r\n")
        target = None
        for raw in f:
            line = raw.decode().strip()
            seen.append(line)
            if line.startswith("PORT "):
                n = [int(x) for x in line[5:].split(",")]
                target = ("%d.%d.%d.%d" % tuple(n[:4]), n[4] * 256 + n[5])
                sock.sendall(b"200 ok\r\n")
            elif line == "LIST":
                sock.sendall(b"150 here\r\n")
                d = socket.create_connection(target, timeout=10)
                d.sendall(b"scripted-listing\r\n")
                d.close()
                sock.sendall(b"226 done\r\n")
            else:
                sock.sendall(b"230 ok\r\n")
    return w.service(serve)


@case
def ftp_active_client_first(w):
    """The data connection arrives before the FTP server connects: it waits, and is joined when the
    server connects on LIST. The server saw a PORT naming orvserver's listener, not the client's."""
    seen = []
    far_port, _ = w.orvserver_agent(scripted_ftp(w, seen), extra="login=ftp")
    ctl = Ftp(w, far_port)
    check(ctl.cmd("PORT 10,1,2,3,17,213").startswith("200"), "PORT")
    port_line = [l for l in seen if l.startswith("PORT ")][0]
    n = [int(x) for x in port_line[5:].split(",")]
    check(n[:4] == [127, 0, 0, 1] and n[4] * 256 + n[5] != 17 * 256 + 213, "rewritten: %r" % port_line)
    data = w.tls_client(far_port)
    data.sendall(channel_header(0, 0, "10.1.2.3", 17 * 256 + 213))
    time.sleep(0.5)  # the data connection is now waiting for the server's
    check(ctl.cmd("LIST").startswith("150"), "LIST")
    check(read_to_end(data) == b"scripted-listing\r\n", "joined")
    check(ctl.reply().startswith("226"), "226")


@case
def overlong_control_line(w):
    """A command line past 4096 bytes closes the control connection with a message."""
    seen = []
    far_port, _ = w.orvserver_agent(scripted_ftp(w, seen), extra="login=ftp")
    ctl = Ftp(w, far_port)
    ctl.s.sendall(b"NOOP " + b"x" * 5000)
    check(read_to_end(ctl.s) == b"", "closed")
    w.wait_lines("FTP control line from .* longer than 4096 bytes, control connection closed", name="orvserver.log")



@case
def unknown_login(w):
    """A session whose login orvserver does not know (a typo, or the wrong case) refuses every
    connection with a configuration error instead of passing a client's header to the service."""
    hits = []
    service = w.service(lambda sock: hits.append(sock.getpeername()))
    far_port, server = w.orvserver_agent(service, extra="login=FTP")
    for _ in range(2):
        try:
            s = socket.create_connection(("127.0.0.1", far_port), timeout=10)
            s.settimeout(10)
            check(s.recv(100) == b"", "a refused connection gets nothing")
            s.close()
        except OSError:
            pass
    w.wait_lines(r"configuration error\. unknown protocol: FTP", 2, name="orvserver.log")
    check(server.poll() is None, "orvserver goes on")
    check(not hits, "nothing reached the service: %r" % hits)


if __name__ == "__main__":
    main()
