"""Both agents under a service manager (systemd's Type=notify): READY=1 once the session listens,
from the agent's own process and only once, STOPPING=1 when SIGTERM arrives, then exit status 0.
The test plays the service manager: it binds the datagram socket that NOTIFY_SOCKET names."""
import os
import re
import signal
import socket
import struct
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from orvtest import CONFIG_STATUS, PASSWORD, case, check, connect, fail, free_port, listening, main, wait_for  # noqa: E402


def notify_socket(w):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(w.path("notify.sock"))
    # The sender's credentials, as systemd checks them for NotifyAccess=main.
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
    return sock


def receive(sock, timeout):
    """(text, sender pid), or None when nothing came within the time."""
    sock.settimeout(timeout)
    try:
        data, ancillary, _, _ = sock.recvmsg(4096, socket.CMSG_SPACE(12))
    except socket.timeout:
        return None
    pid = None
    for level, kind, payload in ancillary:
        if level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS:
            pid = struct.unpack("iII", payload[:12])[0]
    return data.decode(errors="replace"), pid


def start(w, program, conf, session, log_name):
    env = dict(os.environ, NOTIFY_SOCKET=w.path("notify.sock"))
    return w.spawn([w.program(program), "-f", conf, "-p", PASSWORD, session], log_name, env=env)


@case
def service_notify(w):
    sock = notify_socket(w)
    try:
        far_port, _ = w.far_agent(w.service(lambda s: s.close()))
        # multicall 0: every connection is a pass of its own, which must not announce again.
        conf, client_port = w.standard_config(session="c1", far_port=far_port)
        server_port = free_port()
        w.config("key fk far.key\ncert fc far.crt\nsession srv port=%d server=127.0.0.1 serverport=%d cert=fc key=fk "
                 "root=r1 multicall=1\n" % (server_port, far_port))
        for program, session, port in (("orvclient", "c1", client_port), ("orvserver", "srv", server_port)):
            log = program + ".log"
            p = start(w, program, conf, session, log)
            message = receive(sock, 20)
            check(message is not None, "%s: no READY=1 (log %r)" % (program, w.read(log)))
            check(message == ("READY=1", p.pid), "%s: first message %r from pid %d" % (program, message, p.pid))
            check(listening(port), "%s: READY=1 before the port listens" % program)
            if program == "orvclient":
                connect(port).close()
                w.wait_lines("DISCONNECT", name=log)
                wait_for(lambda: listening(port) or p.poll() is not None, 20, "the next pass to listen")
                check(receive(sock, 0.5) is None, "orvclient: a second pass announced itself again")
            os.kill(p.pid, signal.SIGTERM)
            message = receive(sock, 20)
            check(message == ("STOPPING=1", p.pid), "%s: after SIGTERM %r" % (program, message))
            status = p.wait(20)
            check(status == 0, "%s: exit status %d (log %r)" % (program, status, w.read(log)))
            check(receive(sock, 0.2) is None, "%s: nothing after STOPPING=1" % program)
        # A session that cannot start is never announced as ready.
        p = start(w, "orvclient", conf, "nosuch", "nosuch.log")
        check(p.wait(20) == CONFIG_STATUS, "a failed start ends with the configuration status")
        message = receive(sock, 0.5)
        if message is not None:
            fail("a failed start sent %r" % (message,))
    finally:
        sock.close()


@case
def reload_notify(w):
    """systemctl reload (ExecReload sends SIGHUP): RELOADING=1 with the monotonic time, then READY=1
    once the new configuration is in service, and also after a refused one, from the main pid."""
    sock = notify_socket(w)
    try:
        conf, port = w.standard_config(extra="multicall=1")
        p = start(w, "orvclient", conf, "s1", "agent.log")
        check(receive(sock, 20) == ("READY=1", p.pid), "ready")
        for count, change in ((1, None), (2, "del s1 cert\n")):
            if change:
                w.config(change)
            os.kill(p.pid, signal.SIGHUP)
            text, pid = receive(sock, 20) or ("", 0)
            check(pid == p.pid and re.match(r"RELOADING=1\nMONOTONIC_USEC=\d+$", text), "reloading: %r" % text)
            check(receive(sock, 20) == ("READY=1", p.pid), "ready after reload %d" % count)
            check(listening(port), "still listening")
        check(any(l.startswith("configuration reload refused") for l in w.lines()), "the second was refused")
        os.kill(p.pid, signal.SIGTERM)
        check(receive(sock, 20) == ("STOPPING=1", p.pid), "stopping")
        check(p.wait(20) == 0, "exit status 0")
    finally:
        sock.close()


if __name__ == "__main__":
    main()
