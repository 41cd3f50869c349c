"""orvclient start-up: usage, password, configuration file and session checks, SSL method."""
import os
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from dumpable import as_nobody_if_root, is_dumpable, open_to_nobody  # noqa: E402
from orvtest import CONFIG_STATUS, PASSWORD, case, check, connect, free_port, listening, main, wait_for  # noqa: E402

USAGE = ("Orvane client forwarder version 1.2.5\n"
         "===============================================\n"
         "orvclient [-p <password>] [-d] -f <conffile> <session name>\n"
         "-d -- daemon mode\n"
         "\n"
         "In order to use HTTPS proxy set the environment variables:\n"
         "ORV_PROXY -- name or IP address of the proxy\n"
         "ORV_PROXYPORT -- TCP port of the HTTPS proxy\n"
         "ORV_DIRECT -- list of the directly accessible servers\n"
         "              (seprator is ;)\n")


@case
def command_line(w):
    conf, _ = w.standard_config()
    # Options end at the session name: an option after it is an extra operand, not an option.
    for args in (["-h"], ["-f", conf, "-p", PASSWORD], ["-f", conf, "-p", PASSWORD, "s1", "s2"], [],
                 ["-f", conf, "s1", "-d"], ["-f", conf, "-p", PASSWORD, "s1", "-d"], ["s1", "-f", conf]):
        status, err = w.run("orvclient", args)
        check(status == 1 and err == USAGE, "usage for %r: %d %r" % (args, status, err))
    status, err = w.run("orvclient", ["-x", "-f", conf, "s1"])
    check(status == 1 and err.endswith(USAGE) and err != USAGE, "unknown option: %d %r" % (status, err))


@case
def password_input(w):
    conf, _ = w.standard_config()
    # Without a terminal the password reader falls back to standard input; an empty answer and
    # an empty -p value both count as no password.
    for args in (["-f", conf, "s1"], ["-f", conf, "-p", "", "s1"]):
        status, err = w.run("orvclient", args)
        check(status == 1 and "Error during password input\n" in err, "no password %r: %d %r" % (args, status, err))
        check(('Enter password for "%s":' % conf) in err, "prompt names the file: %r" % err)
    status, err = w.run("orvclient", ["-f", conf, "-p", "x" * 300, "s1"])
    check(status == 1 and err == "Error during password input\n", "overlong password: %r" % err)
    # A password typed at the prompt is used like one given with -p.
    status, err = w.run("orvclient", ["-f", conf, "nosuch"], input=PASSWORD + "\n")
    check("invalid session: required parameter is missing\n" in err, "typed password: %r" % err)


@case
def password_file(w):
    """Without -p, ORV_PASSWORD_FILE names a file holding the password (a systemd credential)."""
    conf, _ = w.standard_config()
    opened = "invalid session: required parameter is missing\n"  # the file opened; no such session

    def run_with(file, args=("-f", conf, "nosuch"), **kw):
        return w.run("orvclient", list(args), env=dict(os.environ, ORV_PASSWORD_FILE=file), **kw)

    def write(name, data, mode=0o600):
        with open(w.path(name), "wb") as f:
            f.write(data)
        os.chmod(w.path(name), mode)
        return w.path(name)

    good = write("good.pw", PASSWORD.encode() + b"\n")
    status, err = run_with(good)
    check(status == CONFIG_STATUS and opened in err and "Enter password" not in err, "password file: %d %r" % (status, err))
    wrong = write("wrong.pw", b"wrong\n")
    status, err = run_with(wrong)
    check(status == CONFIG_STATUS and err.endswith("unable to open configuration file %s\n" % conf), "wrong password: %r" % err)
    # What the file must hold is checked before the configuration is opened.
    cases = [
        (write("two.pw", PASSWORD.encode() + b"\nsecond\n"), "must hold one line of 1 to 255 characters"),
        (w.path("missing.pw"), "unable to read password file %s: No such file or directory" % w.path("missing.pw")),
        (w.dir, "unable to read password file %s: Is a directory" % w.dir),
    ]
    # A file that group or others may read or write is refused unread, whatever it holds.
    for mode in (0o640, 0o604, 0o620, 0o602):
        name = "open%o.pw" % mode
        cases.append((write(name, PASSWORD.encode() + b"\n", mode),
                      "password file %s has mode 0%o: it must not be readable or writable by group or others "
                      "(chmod 600 it)" % (w.path(name), mode)))
    for file, message in cases:
        status, err = run_with(file)
        check(status == 1 and message in err and err.endswith("Error during password input\n"),
              "%s: %d %r" % (file, status, err))
    # -p comes first; an empty variable leaves the terminal or standard input.
    status, err = run_with(w.path("missing.pw"), args=("-f", conf, "-p", PASSWORD, "nosuch"))
    check(status == CONFIG_STATUS and opened in err, "-p before the file: %r" % err)
    status, err = run_with("", input=PASSWORD + "\n")
    check(status == CONFIG_STATUS and opened in err and "Enter password" in err, "empty variable: %r" % err)


@case
def configuration_file_writable_by_others(w):
    """Both agents warn once at start when others may write the configuration file, and go on;
    a file only others may read (the keys stay sealed by the password) gives no line."""
    conf, port = w.standard_config(extra="multicall=1")
    w.config("key fk far.key\ncert fc far.crt\nsession far port=%d server=127.0.0.1 serverport=9 cert=fc key=fk "
             "root=r1 multicall=1\n" % free_port())
    for mode, warned in ((0o666, True), (0o602, True), (0o644, False)):
        os.chmod(conf, mode)
        for program, session in (("orvclient", "s1"), ("orvserver", "far")):
            log = "%s-%o.log" % (program, mode)
            p = w.spawn([w.program(program), "-f", conf, "-p", PASSWORD, session], log)
            wait_for(lambda: w.lines(log) or p.poll() is not None, 5, "a line") if warned else time.sleep(1)
            check(p.poll() is None, "%s goes on: %r" % (program, w.lines(log)))
            want = ["WAR configuration file %s is writable by others (mode 0%o)" % (conf, mode)] if warned else []
            check(w.lines(log) == want, "%s, mode %o: %r" % (program, mode, w.lines(log)))
            w.stop(p)


@case
def configuration_failures(w):
    conf, port = w.standard_config()
    w.config("session nokey port=1 server=127.0.0.1 serverport=2 cert=c1 root=r1 key=k1\n"
             "del nokey serverport\n")
    missing = w.path("missing.orv")
    cases = [
        (["-f", missing, "-p", PASSWORD, "s1"], ["unable to open configuration file %s" % missing]),
        (["-f", conf, "-p", "wrong", "s1"], ["unable to open configuration file %s" % conf]),
        (["-f", conf, "-p", PASSWORD, "nosuch"],
         ["invalid session: required parameter is missing", "unable to create connection_data structure"]),
        (["-f", conf, "-p", PASSWORD, "nokey"],
         ["invalid session: required parameter is missing", "unable to create connection_data structure"]),
        (["-f", conf, "-p", PASSWORD, ""],
         ["unspecified session name", "unable to create connection_data structure"]),
    ]
    for args, expected in cases:
        status, err = w.run("orvclient", args)
        lines = err.splitlines()
        check(status == CONFIG_STATUS, "%r: status %d" % (args, status))
        check(lines[-len(expected):] == expected, "%r: %r" % (args, err))
    # Port and bind address texts that would listen or connect somewhere else are refused.
    endpoint_cases = [
        ("pabc", "port=abc", "invalid port: abc"),
        ("pneg", "port=-1", "invalid port: -1"),
        ("pbig", "port=99999", "invalid port: 99999"),
        ("pzero", "port=0", "invalid port: 0"),
        ("spbig", "port=%d serverport=65536" % port, "invalid server port: 65536"),
        ("spname", "port=%d serverport=no-such-service" % port, "invalid server port: no-such-service"),
        ("bname", "port=%d bindaddr=no-such-host.invalid" % port, "invalid bind address: no-such-host.invalid"),
        ("bdots", "port=%d bindaddr=1.2.3.4.5" % port, "invalid bind address: 1.2.3.4.5"),
        ("caps", "port=%d pending=100" % port, "invalid pending handshake caps: 100"),
    ]
    for name, values, message in endpoint_cases:
        if "serverport" not in values:
            values += " serverport=2"
        w.config("session %s server=127.0.0.1 cert=c1 root=r1 key=k1 %s\n" % (name, values))
        status, err = w.run("orvclient", ["-f", conf, "-p", PASSWORD, name])
        check(status == CONFIG_STATUS and err.splitlines()[-2:] ==
              ["configuration error. " + message, "unable to create connection_data structure"],
              "%s: %d %r" % (name, status, err))
    # A server name that does not resolve yet is left to each connection.
    w.config("session latedns port=%d server=no-such-host.invalid serverport=2 cert=c1 root=r1 key=k1\n" % port)
    p = w.agent(conf, "latedns", log_name="latedns.log", wait_port=port)
    w.stop(p)
    # The default file is $HOME/.orvrc.
    status, err = w.run("orvclient", ["-p", PASSWORD, "s1"], env=dict(os.environ, HOME=w.dir))
    check("unable to open configuration file %s/.orvrc\n" % w.dir in err, "default path: %r" % err)
    # A port in use ends the program after the socket's own message.
    _, port = w.standard_config(session="busy")
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", port))
        s.listen(1)
        status, err = w.run("orvclient", ["-f", conf, "-p", PASSWORD, "busy"])
    check(status == 1 and err.splitlines()[-1] == "unable to create main acceptor", "port in use: %r" % err)
    check(err.startswith("unable to bind:98:"), "bind failure reported with its error: %r" % err)


@case
def session_statuses(w):
    """Each validation status of a session reaches the start-up message."""
    w.standard_pki()
    w.make_cert("other", "/O=OrvTest/CN=other", "ca")
    w.make_ca("young_ca", "/O=OrvTest/CN=Young CA", start="20440101000000Z", end="20450101000000Z")
    w.make_ca("old_ca", "/O=OrvTest/CN=Old CA", start="20000101000000Z", end="20010101000000Z")
    w.make_cert("young", "/O=OrvTest/CN=young", "ca", start="20440101000000Z", end="20450101000000Z")
    w.make_cert("old", "/O=OrvTest/CN=old", "ca", start="20000101000000Z", end="20010101000000Z")
    w.config("key k1 user.key\nkey kother other.key\nkey kyoung young.key\nkey kold old.key\n"
             "cert c1 user.crt\ncert cyoung young.crt\ncert cold old.crt\n"
             "root r1 ca.crt\nroot rleaf user.crt\nroot ryoung young_ca.crt\nroot rold old_ca.crt\n")
    table = [
        ("badroot", "cert=c1 root=rleaf key=k1", "invalid root certificate"),
        ("nocert", "cert=cnone root=r1 key=k1", "invalid user certificate"),
        ("mismatch", "cert=c1 root=r1 key=kother", "user certificate does'nt match key"),
        ("rootyoung", "cert=c1 root=ryoung key=k1", "root certificate is not yet valid"),
        ("rootold", "cert=c1 root=rold key=k1", "root certificate has expired"),
        ("useryoung", "cert=cyoung root=r1 key=kyoung", "user certificate is not yet valid"),
        ("userold", "cert=cold root=r1 key=kold", "user certificate has expired"),
    ]
    conf = w.config("".join("session %s port=1 server=127.0.0.1 serverport=2 %s\n" % (n, v) for n, v, _ in table))
    for name, _, text in table:
        status, err = w.run("orvclient", ["-f", conf, "-p", PASSWORD, name])
        # The library's queued errors (a failed signature check, say) may come first.
        check(status == CONFIG_STATUS and err.endswith("invalid session: %s\nunable to create connection_data structure\n"
                                           % text), "%s: %d %r" % (name, status, err))


@case
def ssl_modes(w):
    """sslmode 0 and 2 are warned about and run on TLS; 3 is refused."""
    for mode, expected in ((0, 2), (2, 3)):
        conf, port = w.standard_config(session="m%d" % mode, extra="sslmode=%d" % mode, name="m%d.orv" % mode)
        p = w.agent(conf, "m%d" % mode, log_name="m%d.log" % mode, wait_port=port)
        warning = "WAR configuration file specifies SSL version %d; TLS is negotiated instead" % expected
        check(w.lines("m%d.log" % mode) == [warning], "sslmode %d: %r" % (mode, w.lines("m%d.log" % mode)))
        # multicall 0 rebuilds the session for every connection; the warning still comes once.
        for i in range(2):
            connect(port).close()
            w.wait_lines("DISCONNECT", count=i + 1, name="m%d.log" % mode)
            wait_for(lambda: listening(port) or p.poll() is not None, 20, "the next pass to listen")
        log = w.lines("m%d.log" % mode)
        check(log.count(warning) == 1, "sslmode %d warned once in two passes: %r" % (mode, log))
        w.stop(p)
    conf, port = w.standard_config(session="m3", extra="sslmode=3", name="m3.orv")
    status, err = w.run("orvclient", ["-f", conf, "-p", PASSWORD, "m3"])
    check(status == CONFIG_STATUS and err == "configuration file specifies unknown SSL method 3\n"
          "unable to create connection_data structure\n", "sslmode 3: %r" % err)
    # No warning for sslmode 1 either.
    conf, port = w.standard_config(session="m1", extra="sslmode=1", name="m1.orv")
    p = w.agent(conf, "m1", log_name="m1.log", wait_port=port)
    check(w.lines("m1.log") == [], "sslmode 1 is quiet: %r" % w.lines("m1.log"))
    # The -p value does not stay readable in the process list, nor does a gap of its length.
    with open("/proc/%d/cmdline" % p.pid, "rb") as f:
        shown = f.read()
    check(PASSWORD.encode() not in shown, "password wiped from the command line")
    want = " ".join([w.program("orvclient"), "-f", conf, "-p", "", "m1"]).encode()
    check(shown.rstrip(b"\0") == want, "the arguments without the password: %r" % shown)
    w.stop(p)


@case
def bind_address(w):
    """Without bindaddr the agent listens on 127.0.0.1 only; a service name works as the port."""
    conf, port = w.standard_config()
    p = w.agent(conf, "s1", wait_port=port)
    with open("/proc/net/tcp") as f:
        rows = [l.split() for l in f.readlines()[1:]]
    addresses = [r[1] for r in rows if r[3] == "0A" and r[1].endswith(":%04X" % port)]
    check(addresses == ["0100007F:%04X" % port], "listening on %r" % addresses)
    w.stop(p)
    w.config("session svc port=sieve server=127.0.0.1 serverport=2 cert=c1 root=r1 key=k1 bindaddr=127.0.0.1\n")
    p = w.agent(conf, "svc", log_name="svc.log", wait_port=4190)
    w.stop(p)


@case
def not_dumpable(w):
    """The running agent holds the password and the decrypted keys: no core file, and no reading
    of its memory by other processes of its user."""
    conf, port = w.standard_config()
    open_to_nobody(w.dir, conf)
    cmd = [w.program("orvclient"), "-f", conf, "-p", PASSWORD, "s1"]
    p = w.spawn(cmd, "agent.log", preexec_fn=as_nobody_if_root)
    wait_for(lambda: listening(port) or p.poll() is not None, 20, "the agent to listen")
    check(p.poll() is None, "agent ended: " + w.read("agent.log"))
    check(not is_dumpable(p.pid), "the agent is dumpable")
    w.stop(p)
    # The check itself tells a dumpable process apart.
    sleeper = w.spawn(["sleep", "30"], "sleep.log", preexec_fn=as_nobody_if_root)

    def sleep_runs():
        # Until the exec the child has just changed its user, which also makes it non-dumpable.
        with open("/proc/%d/comm" % sleeper.pid) as f:
            return f.read() == "sleep\n"

    wait_for(sleep_runs, 5, "sleep to run")
    check(is_dumpable(sleeper.pid), "a plain program is dumpable")
    w.stop(sleeper)


if __name__ == "__main__":
    main()
