"""The metrics endpoints of orvclient and orvserver: their text passes promtool, a real Prometheus
reads the counters, the counters agree with the connection log, and an abused endpoint leaves the
relay at full pace."""
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from orvtest import (case, check, connect, echo, free_port, http_get, listening, main, orv_environment,  # noqa: E402
                     recv_exact, reload, scrape_metrics, wait_for)


def chain(w, server_extra="", client_extra="multicall=1", partners=(), server_host="127.0.0.1"):
    """orvclient -> orvserver -> echo, both with a metrics endpoint (orvserver's on server_host);
    returns a dict of ports and processes."""
    c = {"server_metrics": free_port(), "client_metrics": free_port()}
    at = "[::1]" if server_host == "::1" else server_host
    c["far_port"], c["server"] = w.orvserver_agent(
        w.service(echo), extra="metrics=%s:%d %s" % (at, c["server_metrics"], server_extra), partners=partners)
    conf, c["port"] = w.standard_config(far_port=c["far_port"],
                                        extra="metrics=127.0.0.1:%d %s" % (c["client_metrics"], client_extra))
    c["conf"] = conf
    c["client"] = w.agent(conf, "s1", wait_port=c["port"])
    wait_for(lambda: listening(c["client_metrics"]) and listening(c["server_metrics"], server_host), 20,
             "the endpoints")
    return c


def echo_through(port, payload):
    s = connect(port)
    s.sendall(payload)
    got = recv_exact(s, len(payload))
    s.close()
    check(got == payload, "echoed %d bytes" % len(payload))


def refused_client(w, far_port):
    """A TLS client without a certificate: orvserver refuses it in the handshake."""
    try:
        s = w.tls_client(far_port, cert=None)
        s.sendall(b"x")
        s.recv(10)
        s.close()
    except OSError:
        pass


RULES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging", "monitoring",
                     "orvane-rules.yml")


def promtool_check(w, text, what):
    path = w.path(what + ".prom")
    with open(path, "w") as f:
        f.write(text)
    with open(path) as f:
        r = subprocess.run(["promtool", "check", "metrics"], stdin=f, capture_output=True, text=True, timeout=60)
    check(r.returncode == 0 and not r.stdout.strip() and not r.stderr.strip(),
          "promtool on %s: %d %s %s" % (what, r.returncode, r.stdout, r.stderr))


@case
def promtool_and_paths(w):
    """After traffic, a refusal, a reload taken and one refused, both agents' /metrics pass
    `promtool check metrics` without a complaint; /healthz says ok, other paths get 404, a POST 405;
    a reload that moves the endpoint listens on the new port and closes the old. orvserver's
    endpoint listens on ::1."""
    c = chain(w, server_host="::1")
    for size in (10, 1000, 100000):
        echo_through(c["port"], os.urandom(size))
    refused_client(w, c["far_port"])
    w.wait_lines("DISCONNECT", 3)
    check(reload(w, c["client"], 1) == "INF configuration reloaded: nothing changed", "reload taken")
    # A reload of a file that no longer opens with the password is refused.
    os.rename(c["conf"], c["conf"] + ".kept")
    with open(c["conf"], "w") as f:
        f.write("damaged\n")
    check(reload(w, c["client"], 2).startswith("configuration reload refused"), "reload refused")
    os.replace(c["conf"] + ".kept", c["conf"])
    check(reload(w, c["server"], 1, log="orvserver.log") == "INF configuration reloaded: nothing changed",
          "orvserver's reload taken")
    for port, host, what in ((c["client_metrics"], "127.0.0.1", "orvclient"),
                             (c["server_metrics"], "::1", "orvserver")):
        status, text = http_get(port, "/metrics", host)
        check(status == 200, "%s metrics: %d" % (what, status))
        promtool_check(w, text, what)
        check('orvane_build_info{program="%s",version="1.2.5"} 1' % what in text, "build info of " + what)
        check(http_get(port, "/healthz", host) == (200, "ok\n"), "%s healthy" % what)
        check(http_get(port, "/nothing", host)[0] == 404, "404 elsewhere")
        req = urllib.request.Request("http://[::1]:%d/metrics" % port if host == "::1" else
                                     "http://%s:%d/metrics" % (host, port), data=b"x", method="POST")
        try:
            urllib.request.urlopen(req, timeout=10)
            check(False, "POST served")
        except urllib.error.HTTPError as e:
            check(e.code == 405, "POST: %d" % e.code)
    # The alert rules the README shows are rules Prometheus takes.
    r = subprocess.run(["promtool", "check", "rules", RULES], capture_output=True, text=True, timeout=60)
    check(r.returncode == 0, "promtool check rules: %s %s" % (r.stdout, r.stderr))
    m = scrape_metrics(c["client_metrics"])
    check(m['orvane_reloads_total{result="done"}'] == 1 and m['orvane_reloads_total{result="refused"}'] == 1,
          "reloads counted: %r" % m)
    s = scrape_metrics(c["server_metrics"], "::1")
    check(s['orvane_connection_failures_total{reason="handshake"}'] == 1, "refused client counted: %r" % s)
    check(s['orvane_reloads_total{result="done"}'] == 1, "orvserver's reload counted: %r" % s)
    check(s['orvane_tls_sessions_total{kind="full"}'] + s['orvane_tls_sessions_total{kind="resumed"}'] == 3,
          "three handshakes: %r" % s)
    # The endpoint follows a reload to a new address.
    moved = free_port()
    w.config("session s1 port=%d server=127.0.0.1 serverport=%d cert=c1 root=r1 key=k1 multicall=1 "
             "metrics=127.0.0.1:%d\n" % (c["port"], c["far_port"], moved))
    check(reload(w, c["client"], 3) == "INF configuration reloaded: metrics", "reload moves the endpoint")
    check(http_get(moved, "/healthz")[0] == 200, "new endpoint serves")
    check(not listening(c["client_metrics"]), "old endpoint closed")
    echo_through(c["port"], b"still relaying")


def start_prometheus(w, targets):
    """A Prometheus server on 127.0.0.1 scraping each job's target once a second, its storage in
    the test's directory; returns its port."""
    port = free_port()
    with open(w.path("prometheus.yml"), "w") as f:
        f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n")
        for job, target in targets.items():
            f.write("  - job_name: %s\n    static_configs:\n      - targets: ['127.0.0.1:%d']\n" % (job, target))
    p = w.spawn(["prometheus", "--config.file=" + w.path("prometheus.yml"),
                 "--storage.tsdb.path=" + w.path("tsdb"), "--web.listen-address=127.0.0.1:%d" % port,
                 "--log.level=warn"], "prometheus.out")
    wait_for(lambda: listening(port) or p.poll() is not None, 30, "Prometheus to listen")
    check(p.poll() is None, "prometheus ended: " + w.read("prometheus.out"))
    return port


def prometheus_value(port, query):
    """The single value of an instant query, None when it has none yet."""
    url = "http://127.0.0.1:%d/api/v1/query?%s" % (port, urllib.parse.urlencode({"query": query}))
    with urllib.request.urlopen(url, timeout=10) as r:
        answer = json.load(r)
    result = answer["data"]["result"]
    return float(result[0]["value"][1]) if len(result) == 1 else None


@case
def prometheus_reads_both(w):
    """A real Prometheus scrapes both agents: the connection count and the bytes it reads match what
    the test sent, and a client refused by orvserver shows in its failure family as a handshake
    failure."""
    c = chain(w)
    prom = start_prometheus(w, {"orvclient": c["client_metrics"], "orvserver": c["server_metrics"]})
    sizes = [1, 100, 5000, 70000, 300000]
    for size in sizes:
        echo_through(c["port"], os.urandom(size))
    refused_client(w, c["far_port"])
    w.wait_lines("DISCONNECT", len(sizes))
    w.wait_lines("DISCONNECT", len(sizes) + 1, name="orvserver.log")
    expect = {
        'orvane_connections_ended_total{job="orvclient"}': len(sizes),
        'orvane_connections_established_total{job="orvclient"}': len(sizes),
        'orvane_relayed_bytes_total{job="orvclient",direction="in"}': sum(sizes),
        'orvane_relayed_bytes_total{job="orvclient",direction="out"}': sum(sizes),
        'orvane_connections_ended_total{job="orvserver"}': len(sizes) + 1,
        'orvane_connection_failures_total{job="orvserver",reason="handshake"}': 1,
        'orvane_connection_failures_total{job="orvclient",reason="handshake"}': 0,
        'orvane_connections_open{job="orvclient"}': 0,
        'up{job="orvclient"}': 1,
        'up{job="orvserver"}': 1,
    }
    seen = {}

    def all_match():
        for q, v in expect.items():
            seen[q] = prometheus_value(prom, q)
        return all(seen[q] == v for q, v in expect.items())
    try:
        wait_for(all_match, 40, "Prometheus to read the counters")
    except AssertionError:
        check(False, "Prometheus read %r, expected %r" % (seen, expect))


LINE_COUNTS = {
    "handshake": r"SSL handshake failed: (?!timed out|nothing received)|asked to renegotiate TLS",
    "partner_refused": r"access denied to .* by partner list",
    "inactivity_timeout": r"INF connection inactive for \d+ seconds, closed",
    "connect": r"connect failed|unable to connect$",
    "proxy": r"proxy gave error|unable to read proxy response",
    "setup_timeout": r"SSL handshake failed: (timed out|nothing received)|connect failed:110:|proxy response. timed out"
                     r"|closed before its channel header: timed out",
}


def log_totals(lines):
    """Connections ended and their byte counts, as the DISCONNECT lines give them."""
    ends = [l for l in lines if l.startswith("INF DISCONNECT ")]
    total_in = sum(int(re.search(r"bytes in: (\d+)", l).group(1)) for l in ends)
    total_out = sum(int(re.search(r"bytes out: (\d+)", l).group(1)) for l in ends)
    return len(ends), total_in, total_out


@case
def counters_agree_with_log(w):
    """After a mixed run (good connections, an inactivity time-out, far agents refused by the
    partner list, a far agent that refuses the connect, a proxy that refuses, a handshake that
    times out), each agent's counters agree with its connection log: the same
    connections, the same byte counts, the same failures."""
    c = chain(w, client_extra="multicall=1 timeout=2")
    for size in (5, 50000):
        echo_through(c["port"], os.urandom(size))
    idle = connect(c["port"])
    idle.sendall(b"wake")
    recv_exact(idle, 4)
    w.wait_lines("connection inactive", 1, timeout=20)
    idle.close()
    w.wait_lines("DISCONNECT", 3)
    w.wait_lines("DISCONNECT", 3, name="orvserver.log")
    check_agreement(w, "agent.log", scrape_metrics(c["client_metrics"]))
    check_agreement(w, "orvserver.log", scrape_metrics(c["server_metrics"]))
    # Clients of their own: one whose partner list refuses the far agent, one toward a dead port,
    # one through an HTTPS proxy that refuses the far agent's port, one toward a far agent that
    # accepts and never answers the handshake (the set-up bound is the 2 s inactivity timeout).
    check_failures_through(w, c["far_port"], "partner_refused", "!/O=OrvTest/CN=far1")
    check_failures_through(w, free_port(), "connect")
    proxy = w.tinyproxy(free_port())
    check_failures_through(w, c["far_port"], "proxy",
                           env=orv_environment({"ORV_PROXY": "127.0.0.1", "ORV_PROXYPORT": str(proxy)}))
    check_failures_through(w, w.service(lambda s: s.recv(100) and time.sleep(5)), "setup_timeout", extra="timeout=2")


def failing_connection(port):
    """A connection that sends a byte and waits for whatever comes, its end or an error."""
    s = connect(port)
    s.sendall(b"x")
    try:
        s.recv(10)
    except OSError:
        pass
    s.close()


def check_failures_through(w, far_port, reason, partner=None, env=None, extra=""):
    """An orvclient of its own toward far_port (with one partner entry, the environment and more
    session values, when given): two connections that fail for `reason`, its counters and its log
    agree."""
    name = "c" + reason
    mport = free_port()
    conf, port = w.standard_config(session=name, far_port=far_port, name=name + ".orv",
                                   extra="multicall=1 metrics=127.0.0.1:%d %s" % (mport, extra))
    if partner:
        w.config("partner %s %s\n" % (name, partner), name=name + ".orv")
    w.agent(conf, name, log_name=name + ".log", wait_port=port, env=env)
    wait_for(lambda: listening(mport), 20, "the endpoint")
    for _ in range(2):
        failing_connection(port)
    w.wait_lines("DISCONNECT", 2, name=name + ".log")
    m = scrape_metrics(mport)
    check(m['orvane_connection_failures_total{reason="%s"}' % reason] == 2, "%s counted: %r" % (reason, m))
    check_agreement(w, name + ".log", m)


def check_agreement(w, log, m):
    lines = w.lines(log)
    ends, total_in, total_out = log_totals(lines)
    check(m["orvane_connections_ended_total"] == ends, "%s: %d ends, counted %r" % (log, ends, m))
    check(m['orvane_relayed_bytes_total{direction="in"}'] == total_in, "%s: bytes in %d, %r" % (log, total_in, m))
    check(m['orvane_relayed_bytes_total{direction="out"}'] == total_out, "%s: bytes out %d, %r" % (log, total_out, m))
    check(m["orvane_connections_accepted_total"] == ends, "%s: every accepted connection ended: %r" % (log, m))
    for reason, rx in LINE_COUNTS.items():
        logged = len([l for l in lines if re.search(rx, l)])
        counted = m['orvane_connection_failures_total{reason="%s"}' % reason]
        check(logged == counted, "%s: %d %r lines, counted %r" % (log, logged, reason, counted))


@case
def health_follows_far_agents(w):
    """/healthz says 503 with its reason once every far agent of the session is passed over, and the
    far agent families say which."""
    mport = free_port()
    conf, port = w.standard_config(far_port=free_port(), extra="multicall=1 faragents=127.0.0.1:%d metrics=127.0.0.1:%d"
                                   % (free_port(), mport))
    w.agent(conf, "s1", wait_port=port)
    wait_for(lambda: listening(mport), 20, "the endpoint")
    check(http_get(mport, "/healthz") == (200, "ok\n"), "healthy before any failure")
    failing_connection(port)
    w.wait_lines("DISCONNECT")
    check(http_get(mport, "/healthz") == (503, "every far agent is passed over\n"), "unhealthy")
    m = scrape_metrics(mport)
    check(m['orvane_far_agents{state="passed_over"}'] == 2 and m['orvane_far_agents{state="up"}'] == 0,
          "both passed over: %r" % m)
    check(m["orvane_far_agent_pass_overs_total"] == 2, "two pass-overs: %r" % m)
    check(m['orvane_connection_failures_total{reason="connect"}'] == 1, "one failed connection: %r" % m)


def echo_rounds(port, seconds):
    """Round trips of 4 KiB through one tunnelled connection: (per second, the longest in seconds)."""
    s = connect(port)
    block = os.urandom(4096)
    rounds = 0
    longest = 0.0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        t = time.monotonic()
        s.sendall(block)
        recv_exact(s, len(block))
        longest = max(longest, time.monotonic() - t)
        rounds += 1
    s.close()
    return rounds / seconds, longest


def abuse(ports):
    """Slow, huge and garbage requests at the endpoints, until the process is stopped. It runs as a
    process of its own, so that it does not share the measuring process's interpreter lock. Some
    hundreds of requests a second per endpoint: enough to show a stall, not so many that the
    abuser's own CPU use (on two cores, beside another test) is what the echo's pace measures."""
    def garbage(port):
        while True:
            for payload in (os.urandom(2000), b"GET /metrics HTTP/1.1\r\nX: " + b"a" * 1000000,
                            b"\x16\x03\x01\x00\xff" + os.urandom(300), b"GET /healthz HTTP/1.1\r\n\r\n"):
                try:
                    s = socket.create_connection(("127.0.0.1", port), timeout=2)
                    s.sendall(payload)
                    s.close()
                except OSError:
                    pass
                time.sleep(0.002)
    for port in ports:
        threading.Thread(target=garbage, args=(port,), daemon=True).start()
    slow = []
    while True:
        # Slow requests: a byte now and then, never finished.
        for port in ports:
            try:
                s = socket.create_connection(("127.0.0.1", port), timeout=2)
                s.sendall(b"G")
                slow.append(s)
            except OSError:
                pass
        for s in slow[-40:]:
            try:
                s.sendall(b"E")
            except OSError:
                pass
        del slow[:-200]
        time.sleep(0.05)


@case
def endpoint_abuse(w):
    """Slow, huge and garbage requests at both endpoints leave an echo through the tunnel at its
    pace, without a stall, and the endpoints serve again afterwards; an oversized or garbage head
    is closed unanswered at once, an unfinished one after its 5 s."""
    c = chain(w)
    # The abuser takes CPU from the same two cores; the relay must keep most of its pace and never
    # wait for the endpoint (a request or a time-out of 5 s would show as a long round trip). A
    # test started beside this one can take the cores for a while too: the pace gets three tries,
    # each measured against the pace just before it; a stall fails at once.
    paces = []
    for _ in range(3):
        before, longest_before = echo_rounds(c["port"], 3)
        abuser = w.spawn([sys.executable, os.path.abspath(__file__), "--abuse", str(c["client_metrics"]),
                          str(c["server_metrics"])], "abuser.out")
        time.sleep(1)
        during, longest = echo_rounds(c["port"], 3)
        w.stop(abuser, signal.SIGKILL)
        print("echo round trips per second: %.0f before, %.0f while the endpoints are abused; longest %.3f s, %.3f s"
              % (before, during, longest_before, longest))
        check(longest < 1.0, "the longest round trip under abuse took %.3f s" % longest)
        paces.append((before, during))
        if during >= 0.5 * before:
            break
    check(paces[-1][1] >= 0.5 * paces[-1][0], "echo pace under abuse, before: %r" % paces)
    for port in (c["client_metrics"], c["server_metrics"]):
        wait_for(lambda: http_get(port, "/healthz")[0] == 200, 20, "the endpoint to serve again")
    check(c["client"].poll() is None and c["server"].poll() is None, "both agents run")
    # An oversized head and garbage are closed unanswered at once, a request that never ends when its
    # 5 s are over.
    for payload in (b"GET /metrics HTTP/1.1\r\nX: " + b"a" * 5000, b"\x16\x03\x01\x00\xff\r\n\r\n"):
        s = socket.create_connection(("127.0.0.1", c["client_metrics"]), timeout=3)
        s.sendall(payload)
        check(read_answer(s) == b"", "closed unanswered: %r" % payload[:20])
        s.close()
    s = socket.create_connection(("127.0.0.1", c["client_metrics"]), timeout=10)
    start = time.monotonic()
    s.sendall(b"GET /metrics HTTP/1.1\r\n")
    check(read_answer(s) == b"", "an unfinished request gets no answer")
    took = time.monotonic() - start
    check(4 <= took <= 8, "an unfinished request was closed after %.1f s" % took)
    s.close()


def read_answer(s):
    """Everything the endpoint sends before it closes (a reset counts as a close)."""
    got = b""
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return got
            got += chunk
    except ConnectionResetError:
        return got


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--abuse":
        abuse([int(p) for p in sys.argv[2:]])
    main()
