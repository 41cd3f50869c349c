"""orvclient -d: the log goes to syslog with the ident "orvng", the daemon facility and the
priority its prefix names (INF information, WAR warning, anything else error). The test runs
the agent in a private mount namespace whose /dev/log is a datagram socket the test reads."""
import os
import re
import socket
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from orvtest import PASSWORD, case, check, connect, http_reply, listening, main, wait_for  # noqa: E402

LOG_DAEMON = 3 << 3
LOG_ERR, LOG_WARNING, LOG_INFO = 3, 4, 6


def daemon_agent(w, log_socket, conf, session, log_name):
    orvclient = w.program("orvclient")
    script = ("mount --make-rprivate / && mount -t tmpfs none /dev && ln -s %s /dev/log && exec %s -d -f %s -p '%s' %s"
              % (log_socket, orvclient, conf, PASSWORD, session))
    return w.spawn(["unshare", "-m", "sh", "-c", script], log_name)


def receive(sock, count, timeout=20):
    messages = []
    sock.settimeout(timeout)
    while len(messages) < count:
        messages.append(sock.recv(4096).decode(errors="replace"))
    return messages


def parse(message):
    m = re.match(r"<(\d+)>.*? orvng\[(\d+)\]: (.*)$", message, re.S)
    check(m, "syslog line from orvng: %r" % message)
    return int(m.group(1)), int(m.group(2)), m.group(3).rstrip("\n")


@case(may_skip=True)
def syslog_lines(w):
    if os.geteuid() != 0:
        print("needs root for a private mount namespace; skipped")
        raise SystemExit(77)
    log_socket = w.path("log.sock")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(log_socket)
    try:
        far_port, _ = w.far_agent(w.service(http_reply(b"daemon\n")))
        conf, port = w.standard_config(far_port=far_port, extra="multicall=1 sslmode=0")
        agent = daemon_agent(w, log_socket, conf, "s1", "daemon.out")
        priority, pid, text = parse(receive(sock, 1)[0])
        check((priority, text) == (LOG_DAEMON | LOG_WARNING,
                                   "configuration file specifies SSL version 2; TLS is negotiated instead"),
              "warning: %r" % ((priority, text),))
        wait_for(lambda: listening(port), 20, "the agent to listen")
        s = connect(port)
        s.sendall(b"GET / HTTP/1.0\r\n\r\n")
        s.settimeout(20)
        while s.recv(4096):
            pass
        s.close()
        lines = [parse(m) for m in receive(sock, 3)]
        check([p for p, _, _ in lines] == [LOG_DAEMON | LOG_INFO] * 3, "information lines: %r" % lines)
        check(lines[0][2].startswith("CONNECT session: s1, client: ") and "server: N/A" in lines[0][2]
              and lines[1][2].startswith("CONNECT session: s1, ") and "dname: /O=OrvTest/CN=far1" in lines[1][2]
              and lines[2][2].startswith("DISCONNECT session: s1, "), "connection log: %r" % lines)
        check(w.read("daemon.out") == "", "nothing on standard error: %r" % w.read("daemon.out"))
        w.stop(agent)

        # A start-up failure is an error line; so are the library's queued errors before it.
        failing = daemon_agent(w, log_socket, conf, "nosuch", "failing.out")
        failing.wait(20)
        lines = [parse(m) for m in receive(sock, 2)]
        check(lines == [(LOG_DAEMON | LOG_ERR, lines[0][1], "invalid session: required parameter is missing"),
                        (LOG_DAEMON | LOG_ERR, lines[0][1], "unable to create connection_data structure")],
              "error lines: %r" % lines)
    finally:
        sock.close()



if __name__ == "__main__":
    main()
