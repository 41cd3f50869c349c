"""orvclient relaying plain sessions through stunnel: the connection log, multicall, session
cache, client authentication, partner list, channel header, logins and the HTTPS proxy."""
import os
import re
import signal
import socket
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from orvtest import (CONFIG_STATUS, PASSWORD, case, check, connect, curl, echo, free_port, http_reply, http_response,  # noqa: E402
                     listening, main, orv_environment, recv_exact, wait_for)

BODY = b"hello through the tunnel\n"
FAR_SUBJECT = "/O=OrvTest/CN=far1"
ADDR = r"127\.0\.0\.1:\d+"


@case
def nodelay(w):
    """nodelay 1 sets TCP_NODELAY on both sides of a connection; nodelay 0 sets it nowhere."""
    service = w.service(echo)
    far_port, _ = w.far_agent(service)
    for flag in (1, 0):
        name = "nd%d" % flag
        conf, port = w.standard_config(session=name, far_port=far_port, extra="multicall=1 nodelay=%d" % flag,
                                       name=name + ".orv")
        trace = w.path(name + ".trace")
        # A sanitizer build's leak check cannot run under ptrace; what is checked here is the
        # socket options, so it stays off for the traced agent.
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
        agent = w.spawn(["strace", "-f", "-e", "trace=setsockopt", "-o", trace,
                         w.program("orvclient"), "-f", conf, "-p", PASSWORD, name], name + ".log", env=env)
        wait_for(lambda: listening(port), 30, "the agent to listen")
        s = connect(port)
        s.sendall(b"ping")
        check(recv_exact(s, 4) == b"ping", "relayed")
        s.close()
        w.wait_lines("DISCONNECT", name=name + ".log")
        # Stop the traced agent; strace then ends by itself.
        with open("/proc/%d/task/%d/children" % (agent.pid, agent.pid)) as f:
            for child in f.read().split():
                os.kill(int(child), signal.SIGTERM)
        agent.wait(20)
        with open(trace) as f:
            count = sum("TCP_NODELAY" in line for line in f)
        check(count == 2 * flag, "nodelay %d: TCP_NODELAY set %d times" % (flag, count))


@case(may_skip=True)
def editor_to_tunnel(w):
    """From nothing to a working tunnel with the two programs: orvconf makes the key and the
    request, the CA signs it, orvconf stores certificate, root and session; orvclient relays."""
    if not w.orvconf_path():
        print("orvconf is not built here; skipped")
        raise SystemExit(77)
    service = w.service(http_reply(BODY))
    far_port, _ = w.far_agent(service)
    port = free_port()
    w.orvconf("-key", "-gen", "-N", "k1", "-K", "2048")
    w.orvconf("-key", "-Req", "-N", "k1", "-D", "/O=OrvTest/CN=editor user", "-O", "user.req")
    w.openssl("ca", "-batch", "-config", w.path("ca.ca/ca.cnf"), "-notext", "-cert", "ca.crt", "-keyfile", "ca.key",
              "-in", "user.req", "-out", "edited.crt", "-extensions", "v3_leaf", "-days", "365")
    w.orvconf("-cert", "-insert", "-N", "c1", "-I", "edited.crt")
    w.orvconf("-root", "-insert", "-N", "r1", "-I", "ca.crt")
    w.orvconf("-session", "-insert", "-N", "s1", "-L", str(port), "-H", "127.0.0.1", "-P", str(far_port),
              "-B", "c1", "-A", "k1", "-X", "r1", "-M", "-Z", "1")
    w.orvconf("-partner", "-insert", "-N", "s1", "-J", FAR_SUBJECT)
    agent = w.agent(w.path("conf.orv"), "s1", wait_port=port)
    status, out, _ = curl(port)
    check(status == 0 and out.endswith(BODY), "relayed through the edited session")
    lines = w.wait_lines("DISCONNECT")
    check(len(lines) == 3 and FAR_SUBJECT in lines[1], "log: %r" % lines)
    check("CN=editor user" in w.read("stunnel.log"), "the far agent saw the edited certificate")
    check(agent.poll() is None, "agent still running")


@case(orvserver_too=True)
def connection_log(w):
    """A working connection logs the first CONNECT line, the complete one, then DISCONNECT."""
    port, agent, _, _ = w.tunnel(http_reply(BODY))
    status, out, err = curl(port)
    check(status == 0 and out.endswith(BODY), "curl: %d %r %r" % (status, out, err))
    lines = w.wait_lines("DISCONNECT")
    expected = [
        r"INF CONNECT session: s1, client: %s, server: N/A, type: data connection\. dname: N/A, cipher: N/A$" % ADDR,
        r"INF CONNECT session: s1, client: %s, server: %s, type: data connection\. dname: %s, cipher: [A-Z0-9_-]+$"
        % (ADDR, ADDR, re.escape(FAR_SUBJECT)),
        r"INF DISCONNECT session: s1, client: %s, server: %s, type: data connection\. dname: %s, "
        r"cipher: [A-Z0-9_-]+\. seconds: \d+, bytes in: (\d+), bytes out: (\d+)$" % (ADDR, ADDR, re.escape(FAR_SUBJECT)),
    ]
    check(len(lines) == 3, "three lines: %r" % lines)
    for rx, line in zip(expected, lines):
        check(re.match(rx, line), "line %r does not match %r" % (line, rx))
    m = re.search(expected[2], lines[2])
    check(int(m.group(1)) == len(http_response(BODY)), "bytes in counts the reply: %s" % m.group(1))
    check(int(m.group(2)) > 0, "bytes out counts the request")
    # The same client port in all three lines.
    clients = {re.search(r"client: (\S+),", l).group(1) for l in lines}
    check(len(clients) == 1, "one client: %r" % clients)
    # multicall 1 keeps listening and serves the next connection too.
    status, out, _ = curl(port)
    check(status == 0 and out.endswith(BODY), "second curl")
    w.wait_lines("DISCONNECT", 2)
    check(agent.poll() is None, "agent still running")


@case
def single_connection(w):
    """multicall 0: one connection per pass, and the file is read again before the next."""
    port, agent, _, _ = w.tunnel(echo, extra="multicall=0")
    first = connect(port)
    first.sendall(b"one")
    check(recv_exact(first, 3) == b"one", "first connection relays")
    check(not listening(port), "no second listener while the first connection lasts")
    # Change the session in the file: the next pass must see it (refuse every far agent).
    w.config("partner s1 /O=Nobody\n")
    first.close()
    wait_for(lambda: listening(port), 20, "the next pass to listen")
    second = connect(port)
    second.sendall(b"two")
    second.settimeout(20)
    check(second.recv(10) == b"", "the re-read partner list refuses the far agent")
    w.wait_lines("access denied to %s by partner list" % re.escape(FAR_SUBJECT))
    # Without its session the next pass cannot be built, and the program ends (in a sanitizer
    # build this is where leaks of the earlier passes are reported).
    # (The refusal already ended that pass; the one listening now is ended by a third client.)
    second.close()
    wait_for(lambda: listening(port), 20, "the third pass to listen")
    w.config("del s1 port\n")
    third = connect(port)
    third.settimeout(20)
    check(third.recv(10) == b"", "refused again")
    third.close()
    check(agent.wait(20) == CONFIG_STATUS, "the program ends after a failed pass")
    check(w.lines()[-2:] == ["invalid session: required parameter is missing",
                             "unable to create connection_data structure"], "last lines: %r" % w.lines()[-3:])


@case
def session_cache(w):
    """cache 1 resumes the TLS session on later connections; cache 0 never does."""
    for cache in (1, 0):
        service = w.service(echo)
        far_port, far = w.far_agent(service, name="far%d" % cache)
        conf, port = w.standard_config(session="c%d" % cache, far_port=far_port,
                                       extra="multicall=1 cache=%d" % cache, name="c%d.orv" % cache)
        agent = w.agent(conf, "c%d" % cache, log_name="c%d.log" % cache, wait_port=port)
        for i in range(3):
            s = connect(port)
            s.sendall(b"x%d" % i)
            check(recv_exact(s, 2) == b"x%d" % i, "echo")
            s.close()
            w.wait_lines("DISCONNECT", i + 1, name="c%d.log" % cache)
        reused = len(re.findall(r"previous session reused", w.read("far%d.log" % cache)))
        if cache:
            check(reused >= 2, "later connections resume the session: %d" % reused)
        else:
            check(reused == 0, "no resumption without cache: %d" % reused)
        w.stop(agent)


@case
def client_authentication(w):
    """noclientauth talks to a far agent that asks for no certificate; without it the agent's
    certificate is required there, and a far agent outside the root is refused."""
    service = w.service(http_reply(BODY))
    open_port, _ = w.far_agent(service, verify=False, name="open")
    conf, port = w.standard_config(session="na", far_port=open_port, extra="multicall=1 noclientauth=1",
                                   name="na.orv")
    agent = w.agent(conf, "na", log_name="na.log", wait_port=port)
    status, out, _ = curl(port)
    check(status == 0 and out.endswith(BODY), "noclientauth relays")
    w.stop(agent)

    strict_port, _ = w.far_agent(service, name="strict")
    conf, port = w.standard_config(session="na2", far_port=strict_port, extra="multicall=1 noclientauth=1",
                                   name="na2.orv")
    agent = w.agent(conf, "na2", log_name="na2.log", wait_port=port)
    status, out, _ = curl(port, timeout=10)
    check(out == b"", "no certificate, no service")
    lines = w.wait_lines("DISCONNECT", name="na2.log")
    # With TLS 1.3 the far agent refuses the missing certificate after the client has finished
    # its handshake, so the failure shows as an alert and nothing relayed.
    check(any("certificate required" in l for l in lines), "refusal reported: %r" % lines)
    check(re.search(r"bytes in: 0, bytes out: \d+$", lines[-1]), "nothing came back: %r" % lines[-1])
    w.stop(agent)

    w.make_ca("rogue", "/O=Rogue/CN=Rogue CA")
    w.make_cert("roguefar", "/O=Rogue/CN=far", "rogue")
    rogue_port, _ = w.far_agent(service, cert="roguefar", name="roguefar")
    conf, port = w.standard_config(session="r", far_port=rogue_port, extra="multicall=1", name="r.orv")
    agent = w.agent(conf, "r", log_name="r.log", wait_port=port)
    status, out, _ = curl(port, timeout=10)
    check(out == b"", "untrusted far agent gets nothing")
    lines = w.wait_lines("DISCONNECT", name="r.log")
    check(any(l.startswith("SSL handshake failed: ") for l in lines), "verification failure reported: %r" % lines)


@case
def partner_list(w):
    """Partner entries that accept and refuse the far agent's subject."""
    service = w.service(http_reply(BODY))
    far_port, _ = w.far_agent(service)
    table = [
        ("exact", ["/O=OrvTest/CN=far1"], True),
        ("prefix", ["!/O=OrvTest*", "/O=OrvTest/CN=far*"], True),
        ("refused", ["/O=OrvTest/CN=other"], False),
        ("bang", ["/O=OrvTest*", "!/O=OrvTest/CN=far1"], False),
    ]
    for name, entries, accepted in table:
        conf, port = w.standard_config(session=name, far_port=far_port, extra="multicall=1", name=name + ".orv")
        w.config("".join("partner %s %s\n" % (name, e) for e in entries), name=name + ".orv")
        log = name + ".log"
        agent = w.agent(conf, name, log_name=log, wait_port=port)
        status, out, _ = curl(port, timeout=10)
        lines = w.wait_lines("DISCONNECT", name=log)
        if accepted:
            check(status == 0 and out.endswith(BODY), "%s: relayed" % name)
            check(not any("access denied" in l for l in lines), "%s: %r" % (name, lines))
        else:
            check(out == b"", "%s: nothing relayed" % name)
            check(len(lines) == 4 and "cipher: N/A" not in lines[1]
                  and lines[2] == "access denied to %s by partner list" % FAR_SUBJECT
                  and lines[3].startswith("INF DISCONNECT"), "%s: %r" % (name, lines))
        w.stop(agent)


@case
def channel_header(w):
    """"ftp", "progress" and "oracle" sessions open every SSL connection with the control header;
    plain ones ("", "http", "mssql") send the client's bytes first."""
    first_bytes = {}

    def record(sock):
        # Read everything that comes (20 bytes with a header, 12 without): closing with unread
        # bytes would reset the connection and lose the reply.
        data = recv_exact(sock, 12)
        sock.settimeout(1)
        try:
            data += recv_exact(sock, 8)
        except socket.timeout:
            pass
        first_bytes[sock.getpeername()[1]] = data
        sock.sendall(b"done")

    service = w.service(record)
    far_port, _ = w.far_agent(service)
    for login in ("ftp", "progress", "oracle", "", "http", "mssql"):
        name = login or "plain"
        extra = "multicall=1" + (" login=" + login if login else "")
        conf, port = w.standard_config(session=name, far_port=far_port, extra=extra, name=name + ".orv")
        agent = w.agent(conf, name, log_name=name + ".log", wait_port=port)
        first_bytes.clear()
        s = connect(port)
        # One complete line: an "ftp" session hands control lines on once their CR LF has come.
        s.sendall(b"ABCDEFGHIJ\r\n")  # sent at once, before the handshake is done
        check(recv_exact(s, 4) == b"done", "%s: service answered" % name)
        s.close()
        data = list(first_bytes.values())[0]
        if login in ("ftp", "progress", "oracle"):
            check(data == b"\x01" + b"\x00" * 7 + b"ABCDEFGHIJ\r\n", "%s: header first: %r" % (name, data))
        else:
            check(data == b"ABCDEFGHIJ\r\n", "%s: no header: %r" % (name, data))
        w.stop(agent)


@case
def unknown_login(w):
    """An unknown login is reported for every connection, which is closed; the agent goes on."""
    port, agent, _, _ = w.tunnel(echo, extra="multicall=1 login=FTP")
    for _ in range(2):
        s = connect(port)
        s.settimeout(10)
        check(s.recv(10) == b"", "closed at once")
        s.close()
    w.wait_lines("configuration error. unknown protocol: FTP", 2)
    check(agent.poll() is None and listening(port), "still listening")


@case
def far_agent_unreachable(w):
    """A far agent that refuses the connection ends only that connection."""
    conf, port = w.standard_config(far_port=free_port(), extra="multicall=1")
    agent = w.agent(conf, "s1", wait_port=port)
    s = connect(port)
    s.settimeout(10)
    check(s.recv(10) == b"", "closed")
    lines = w.wait_lines("DISCONNECT")
    check(lines[0].startswith("INF CONNECT") and "server: N/A" in lines[0], "first line %r" % lines)
    check(re.search(r"server: N/A, type: data connection\. dname: N/A, cipher: N/A\. seconds: \d+, "
                    r"bytes in: 0, bytes out: 0$", lines[-1]), "DISCONNECT %r" % lines[-1])
    check(agent.poll() is None, "agent still running")


@case
def https_proxy(w):
    """ORV_PROXY and ORV_PROXYPORT send the SSL connection through tinyproxy; ORV_DIRECT and a
    missing ORV_PROXYPORT bypass it."""
    service = w.service(http_reply(BODY))
    far_port, _ = w.far_agent(service)
    proxy_port = w.tinyproxy(far_port, port=free_port())

    def connects():
        return len(re.findall(r"CONNECT", w.read("tinyproxy.log")))

    cases = [
        ("proxied", {"ORV_PROXY": "127.0.0.1", "ORV_PROXYPORT": str(proxy_port)}, True),
        ("direct", {"ORV_PROXY": "127.0.0.1", "ORV_PROXYPORT": str(proxy_port),
                    "ORV_DIRECT": " 10.0.0.5 ; 127.0.0.1 "}, False),
        ("noport", {"ORV_PROXY": "127.0.0.1"}, False),
    ]
    for name, env, through_proxy in cases:
        conf, port = w.standard_config(session=name, far_port=far_port, extra="multicall=1", name=name + ".orv")
        before = connects()
        agent = w.agent(conf, name, log_name=name + ".log", env=orv_environment(env), wait_port=port)
        status, out, _ = curl(port)
        check(status == 0 and out.endswith(BODY), "%s: relayed (%r)" % (name, w.lines(name + ".log")))
        w.wait_lines("DISCONNECT", name=name + ".log")
        time.sleep(0.3)
        check((connects() > before) == through_proxy, "%s: proxy used %d -> %d" % (name, before, connects()))
        w.stop(agent)


if __name__ == "__main__":
    main()
