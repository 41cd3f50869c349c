"""Shared pieces of the end-to-end tests of every folder and of the benchmarks: certificates made
with the openssl command, configuration files, a far agent (stunnel in server mode, or orvserver),
small services, the agent itself.

Everything runs on 127.0.0.1 inside one temporary directory. Every process a test starts is
recorded and stopped by its PID when the test ends; every wait is bounded.
"""
import hashlib
import os
import re
import shutil
import signal
import socket
import socketserver
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

PASSWORD = "s3cret pass"
# The agents' exit status for a configuration that cannot work until someone changes it (the
# file cannot be read with the password, the session does not validate): no service restart.
CONFIG_STATUS = 78
SYSTEM_PYTHON = "/usr/bin/python3"  # Debian's interpreter has python3-pyftpdlib; the one running a test may not
PROGRAMS = {"orvclient": "agent", "orvserver": "server", "orvconf": "editor"}  # folders in the build


def fail(message):
    if len(message) > 3000:
        message = message[:3000] + "... (cut)"
    raise AssertionError(message)


def check(condition, message):
    if not condition:
        fail(message)


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    fail("timed out waiting for " + what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port, host=None):
    """True when something listens on port (on HOST when given; any address otherwise), seen
    without connecting, which would use up the single connection of a one-connection session."""
    want = ":%04X" % port
    tables = ("/proc/net/tcp", "/proc/net/tcp6")
    if host and ":" in host:  # an IPv6 address: any listener of that family
        tables = ("/proc/net/tcp6",)
    elif host:  # an IPv4 address
        want = "%08X" % struct.unpack("<I", socket.inet_aton(host))[0] + want
        tables = ("/proc/net/tcp",)
    for table in tables:
        with open(table) as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                if fields[1].endswith(want) and fields[3] == "0A":
                    return True
    return False


class World:
    """One test's directory, processes and services."""

    def __init__(self, bin_dir):
        self.bin_dir = bin_dir
        self.dir = tempfile.mkdtemp(prefix="orvtest-")
        self.procs = []
        self.servers = []
        self.pki = None
        # The far agent the agent tests run against; the server's tests set it to orvserver.
        self.far_kind = os.environ.get("ORVTEST_FAR_AGENT", "stunnel")

    # ---- lifetime ----------------------------------------------------------------------------

    def close(self):
        for p in self.procs:
            if p.poll() is None:
                # A wrapper's child (strace's agent, say) goes first: it would outlive the wrapper.
                try:
                    with open("/proc/%d/task/%d/children" % (p.pid, p.pid)) as f:
                        for child in f.read().split():
                            os.kill(int(child), signal.SIGKILL)
                except OSError:
                    pass
                try:
                    os.kill(p.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    pass
        for s in self.servers:
            s.shutdown()
            s.server_close()
        if os.environ.get("ORVTEST_KEEP"):
            print("kept", self.dir)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)

    def check_sanitizers(self):
        """Fails when a sanitizer build of a program wrote a report into one of the logs."""
        for name in os.listdir(self.dir):
            if name.endswith((".log", ".out")):
                text = self.read(name)
                for marker in ("AddressSanitizer", "LeakSanitizer", "runtime error:"):
                    check(marker not in text, "%s in %s: %s" % (marker, name, text[text.find(marker) - 200:][:3000]))

    def path(self, name):
        return os.path.join(self.dir, name)

    def spawn(self, args, log_name, env=None, **kw):
        log = open(self.path(log_name), "wb")
        p = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                             env=env, **kw)
        log.close()
        self.procs.append(p)
        return p

    def stop(self, p, sig=signal.SIGTERM):
        if p.poll() is None:
            os.kill(p.pid, sig)
        p.wait(timeout=20)

    # ---- certificates ------------------------------------------------------------------------

    def openssl(self, *args):
        r = subprocess.run(["openssl", *args], cwd=self.dir, capture_output=True, text=True, timeout=60)
        check(r.returncode == 0, "openssl %s failed: %s" % (" ".join(args), r.stderr))

    def ca_dir(self, name):
        """The openssl ca directory for signing with NAME's key."""
        d = self.path(name + ".ca")
        os.makedirs(d + "/newcerts", exist_ok=True)
        open(d + "/index.txt", "w").close()
        with open(d + "/serial", "w") as f:
            f.write("%02X\n" % (len(os.listdir(self.dir)) + 16))
        with open(d + "/ca.cnf", "w") as f:
            f.write(CA_CONFIG.replace("@DIR@", d))
        return d

    def make_ca(self, name, subject, start="20200101000000Z", end="20450101000000Z"):
        d = self.ca_dir(name)
        self.openssl("genrsa", "-out", name + ".key", "2048")
        self.openssl("req", "-new", "-key", name + ".key", "-subj", subject, "-out", name + ".csr")
        self.openssl("ca", "-batch", "-config", d + "/ca.cnf", "-notext", "-selfsign", "-keyfile", name + ".key",
                     "-in", name + ".csr", "-out", name + ".crt", "-extensions", "v3_ca",
                     "-startdate", start, "-enddate", end)
        return name

    def make_sub_ca(self, name, subject, ca):
        """An intermediate CA signed by ca, ready to sign with make_cert."""
        self.ca_dir(name)
        return self.make_cert(name, subject, ca, extensions="v3_ca")

    def make_cert(self, name, subject, ca, start="20200101000000Z", end="20450101000000Z", extensions="v3_leaf"):
        d = self.path(ca + ".ca")
        self.openssl("genrsa", "-out", name + ".key", "2048")
        self.openssl("req", "-new", "-key", name + ".key", "-subj", subject, "-out", name + ".csr")
        self.openssl("ca", "-batch", "-config", d + "/ca.cnf", "-notext", "-cert", ca + ".crt", "-keyfile",
                     ca + ".key", "-in", name + ".csr", "-out", name + ".crt", "-extensions", extensions,
                     "-startdate", start, "-enddate", end)
        return name

    def standard_pki(self):
        """A CA, a far agent certificate and a user certificate signed by it."""
        if not self.pki:
            self.make_ca("ca", "/O=OrvTest/CN=Test CA")
            self.make_cert("far", "/O=OrvTest/CN=far1", "ca")
            self.make_cert("user", "/O=OrvTest/CN=user1", "ca")
            self.pki = True

    # ---- configuration -----------------------------------------------------------------------

    def config(self, commands, name="conf.orv", password=PASSWORD):
        """Applies make_config commands to the file (created when missing)."""
        path = self.path(name)
        tool = os.environ.get("MAKE_CONFIG") or os.path.join(self.bin_dir, "..", "tests", "agent", "make_config")
        r = subprocess.run([tool, path, password], input=commands,
                           cwd=self.dir, capture_output=True, text=True, timeout=60)
        check(r.returncode == 0, "make_config failed: " + r.stderr)
        return path

    def standard_config(self, session="s1", far_port=1, extra="", name="conf.orv", server="127.0.0.1"):
        """Key, certificates and one session to the far agent at SERVER:far_port; returns (path,
        local port)."""
        self.standard_pki()
        port = free_port()
        self.config("key k1 user.key\ncert c1 user.crt\nroot r1 ca.crt\n"
                    "session %s port=%d server=%s serverport=%d cert=c1 root=r1 key=k1 %s\n"
                    % (session, port, server, far_port, extra), name=name)
        return self.path(name), port

    def program(self, name):
        """The path of orvclient, orvserver or orvconf in this build."""
        return os.path.join(self.bin_dir, "..", PROGRAMS[name], name)

    def run(self, program, args, input=None, env=None, timeout=30):
        """Runs orvclient or orvserver to its end, in a session of its own and without a terminal
        (input: text for its standard input); returns (status, standard error text)."""
        r = subprocess.run([self.program(program), *args], stdin=None if input is not None else subprocess.DEVNULL,
                           input=input, capture_output=True, text=True, env=env, timeout=timeout,
                           start_new_session=True, cwd=self.dir)
        return r.returncode, r.stderr

    def orvconf_path(self):
        """The editor when this build has it (it comes from the editor's branch), else None."""
        path = self.program("orvconf")
        return path if os.access(path, os.X_OK) else None

    def orvconf(self, *args, name="conf.orv"):
        r = subprocess.run([self.orvconf_path(), "-f", self.path(name), "-z", PASSWORD, *args], cwd=self.dir,
                           capture_output=True, text=True, timeout=120)
        check(r.returncode == 0 and "operation failed" not in r.stderr,
              "orvconf %s: %d %s" % (" ".join(args), r.returncode, r.stderr))
        return r.stdout

    # ---- peers -------------------------------------------------------------------------------

    def far_agent(self, service_port, verify=True, port=None, cert="far", name=None, kind=None, extra="", ca="ca",
                  host="127.0.0.1"):
        """The far agent: stunnel in server mode, or orvserver (kind="orvserver") with a session of
        its own file (extra: more session values, "login=ftp" say). Requires the client certificate
        and verifies it against CA unless told not. stunnel listens on HOST. Returns (port, process)."""
        if (kind or self.far_kind) == "orvserver":
            return self.orvserver_agent(service_port, verify=verify, port=port, cert=cert, name=name or "orvserver",
                                        extra=extra, ca=ca)
        name = name or "stunnel"
        self.standard_pki()
        port = port or free_port()
        conf = self.path(name + ".conf")
        with open(conf, "w") as f:
            f.write("foreground = yes\npid =\ndebug = info\n\n[far]\n")
            f.write("accept = %s:%d\nconnect = 127.0.0.1:%d\n" % (host, port, service_port))
            f.write("cert = %s\nkey = %s\n" % (self.path(cert + ".crt"), self.path(cert + ".key")))
            if verify:
                f.write("CAfile = %s\nverifyChain = yes\n" % self.path(ca + ".crt"))
        p = self.spawn(["stunnel4", conf], name + ".log")
        wait_for(lambda: listening(port, host) or p.poll() is not None, 20, "stunnel to listen")
        check(p.poll() is None, "stunnel ended: " + self.read(name + ".log"))
        return port, p

    def orvserver_agent(self, service_port, verify=True, port=None, cert="far", name="orvserver", extra="",
                        session="far", partners=(), ca="ca", service_host="127.0.0.1"):
        """orvserver relaying to service_host:service_port, with key and certificate `cert` and
        CA's certificate as root, from a file of its own (NAME.orv); its log is NAME.log."""
        self.standard_pki()
        port = port or free_port()
        conf = self.config("key fk %s.key\ncert fc %s.crt\nroot r1 %s.crt\n"
                           "session %s port=%d server=%s serverport=%d cert=fc key=fk root=r1 multicall=1 "
                           "noclientauth=%d %s\n"
                           % (cert, cert, ca, session, port, service_host, service_port, 0 if verify else 1, extra)
                           + "".join("partner %s %s\n" % (session, p) for p in partners), name=name + ".orv")
        p = self.spawn([self.program("orvserver"), "-f", conf, "-p", PASSWORD, session], name + ".log")
        bindaddr = re.search(r"\bbindaddr=(\S+)", extra)
        host = bindaddr.group(1) if bindaddr and ":" in bindaddr.group(1) else None
        wait_for(lambda: listening(port, host) or p.poll() is not None, 20, "orvserver to listen")
        check(p.poll() is None, "orvserver ended: " + self.read(name + ".log"))
        return port, p

    def pyftpdlib(self, root, *options):
        """pyftpdlib serving the directory root, writable, on 127.0.0.1 (options: more of its
        command line); its log is pyftpdlib.log. Returns its port."""
        port = free_port()
        p = self.spawn([SYSTEM_PYTHON, "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", str(port), "-d", root, "-w",
                        *options], "pyftpdlib.log")
        wait_for(lambda: listening(port) or p.poll() is not None, 20, "pyftpdlib to listen")
        check(p.poll() is None, "pyftpdlib ended: " + self.read("pyftpdlib.log"))
        return port

    def tinyproxy(self, far_port, port=None, host="127.0.0.1"):
        """tinyproxy on HOST (127.0.0.1 or ::1) allowing CONNECT to far_port only; its log is
        tinyproxy.log. Returns its port."""
        port = port or free_port()
        with open(self.path("tinyproxy.conf"), "w") as f:
            f.write('Port %d\nListen %s\nTimeout 30\nLogFile "%s"\nLogLevel Info\nMaxClients 50\n'
                    'Allow %s\nConnectPort %d\n' % (port, host, self.path("tinyproxy.log"), host, far_port))
        open(self.path("tinyproxy.log"), "w").close()
        # tinyproxy drops its privileges: it must reach its log.
        os.chmod(self.dir, 0o755)
        os.chmod(self.path("tinyproxy.log"), 0o666)
        proxy = self.spawn(["tinyproxy", "-d", "-c", self.path("tinyproxy.conf")], "tinyproxy.out")
        wait_for(lambda: listening(port, host) or proxy.poll() is not None, 20, "tinyproxy")
        check(proxy.poll() is None, "tinyproxy ended: " + self.read("tinyproxy.out"))
        return port

    def service(self, handler, host="127.0.0.1"):
        """A threaded TCP service on HOST (127.0.0.1, or ::1) calling handler(sock) per
        connection."""

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                try:
                    handler(self.request)
                except OSError:
                    pass

        class Server(socketserver.ThreadingTCPServer):
            daemon_threads = True
            allow_reuse_address = True
            request_queue_size = 1024
            address_family = socket.AF_INET6 if ":" in host else socket.AF_INET

        server = Server((host, 0), Handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.servers.append(server)
        return server.server_address[1]

    def agent(self, conf, session, log_name="agent.log", args=(), env=None, wait_port=None, **kw):
        """kw goes to spawn (preexec_fn for resource limits, say)."""
        cmd = [self.program("orvclient"), "-f", conf, "-p", PASSWORD, *args, session]
        p = self.spawn(cmd, log_name, env=env, **kw)
        if wait_port:
            wait_for(lambda: listening(wait_port) or p.poll() is not None, 20, "the agent to listen")
            check(p.poll() is None, "agent ended: " + self.read(log_name))
        return p

    def tunnel(self, handler, extra="multicall=1", log_name="agent.log", **kw):
        """orvclient (session s1) -> the far agent -> a service calling handler(sock) per
        connection; kw goes to agent. Returns (local port, agent, far agent, far agent's port)."""
        far_port, far = self.far_agent(self.service(handler))
        conf, port = self.standard_config(far_port=far_port, extra=extra)
        agent = self.agent(conf, "s1", log_name=log_name, wait_port=port, **kw)
        return port, agent, far, far_port

    def tls_client(self, port, cert="user", timeout=20, version=None, host="127.0.0.1"):
        """A TLS connection to HOST:port that trusts the test CA, with CERT.crt as the client
        certificate (cert=None: none) and, when given, only that ssl.TLSVersion."""
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.load_verify_locations(self.path("ca.crt"))
        if cert:
            ctx.load_cert_chain(self.path(cert + ".crt"), self.path(cert + ".key"))
        if version:
            ctx.minimum_version = ctx.maximum_version = version
        return ctx.wrap_socket(socket.create_connection((host, port), timeout=timeout))

    def tls_server_context(self, cert="far"):
        """The TLS context of a scripted far agent: CERT.crt, and a client certificate of the test
        CA required."""
        self.standard_pki()
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(self.path(cert + ".crt"), self.path(cert + ".key"))
        ctx.load_verify_locations(self.path("ca.crt"))
        ctx.verify_mode = ssl.CERT_REQUIRED
        return ctx

    def read(self, name):
        with open(self.path(name), errors="replace") as f:
            return f.read()

    def lines(self, name="agent.log"):
        """The whole lines of a log so far. A line being written may be read in part (a write that
        crosses a page is not seen at once), so an unended last line is left for the next read."""
        text = self.read(name)
        return text[:text.rfind("\n") + 1].splitlines()

    def wait_lines(self, pattern, count=1, name="agent.log", timeout=30):
        rx = re.compile(pattern)
        return wait_for(lambda: len([l for l in self.lines(name) if rx.search(l)]) >= count
                        and self.lines(name), timeout, "%d lines matching %r in %s" % (count, pattern, name))

    def disconnects(self, name="agent.log"):
        """The DISCONNECT lines of a log so far."""
        return [l for l in self.lines(name) if l.startswith("INF DISCONNECT ")]


# ---- FTP control connections ------------------------------------------------------------------

class FtpControlLines:
    """Replies and commands over an FTP control connection; a subclass opens the socket and calls
    start() with it."""

    def start(self, sock):
        self.s = sock
        self.buf = b""
        self.greeting = self.reply()

    def line(self):
        while b"\r\n" not in self.buf:
            chunk = self.s.recv(4096)
            if not chunk:
                raise EOFError("control connection ended; had %r" % self.buf)
            self.buf += chunk
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line.decode()

    def reply(self):
        """The final line of the next reply (the lines of a multi-line reply before it skipped)."""
        line = self.line()
        while not (line[:3].isdigit() and line[3:4] == " "):
            line = self.line()
        return line

    def cmd(self, text):
        self.s.sendall(text.encode() + b"\r\n")
        return self.reply()

    def login(self):
        check(self.cmd("USER anonymous").startswith("331"), "USER")
        check(self.cmd("PASS x@y").startswith("230"), "PASS")


# ---- services ---------------------------------------------------------------------------------

RELOAD_LINE = r"^INF configuration reloaded: |^configuration reload refused"


def reload(w, agent, count, log="agent.log"):
    """SIGHUP to an agent, then the line of its count-th reload (taken or refused)."""
    os.kill(agent.pid, signal.SIGHUP)
    lines = w.wait_lines(RELOAD_LINE, count, name=log)
    return [l for l in lines if re.search(RELOAD_LINE, l)][count - 1]


def echo(sock):
    while True:
        data = sock.recv(65536)
        if not data:
            return
        sock.sendall(data)


def http_response(body):
    return (b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n%s"
            % (len(body), body))


def recv_until(sock, marker):
    """What the peer sends up to and including `marker`; None when it ends before."""
    data = b""
    while marker not in data:
        chunk = sock.recv(4096)
        if not chunk:
            return None
        data += chunk
    return data


def http_reply(body):
    def serve(sock):
        if recv_until(sock, b"\r\n\r\n") is not None:
            sock.sendall(http_response(body))
    return serve


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def read_to_end(sock, timeout=None, reset_ends=False):
    """Everything the peer sends until its end of stream. `timeout` (seconds) replaces the
    socket's own; with `reset_ends` a reset or a TLS failure counts as the end too."""
    if timeout is not None:
        sock.settimeout(timeout)
    data = bytearray()
    _read_into(data, sock, reset_ends)
    return bytes(data)


def read_until_end(sock, timeout):
    """(bytes, ended): everything the peer sends until its end of stream, a reset or a TLS
    failure (ended True), or until `timeout` seconds pass without data (ended False)."""
    sock.settimeout(timeout)
    data = bytearray()
    try:
        _read_into(data, sock, reset_ends=True)
    except socket.timeout:
        return bytes(data), False
    return bytes(data), True


def _read_into(data, sock, reset_ends):
    try:
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                return
            data += chunk
    except (ConnectionError, ssl.SSLError):
        if not reset_ends:
            raise


def pattern_bytes(seed, size):
    """Deterministic bytes: a repeated SHA-256 chain, cheap to make and to check."""
    block = b""
    h = hashlib.sha256(seed.encode()).digest()
    for _ in range(2048):
        h = hashlib.sha256(h).digest()
        block += h
    return (block * (size // len(block) + 1))[:size]


def connect(port, timeout=30):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    return s


def curl(port, timeout=20):
    r = subprocess.run(["curl", "-s", "-S", "--max-time", str(timeout), "http://127.0.0.1:%d/" % port],
                       capture_output=True, timeout=timeout + 10)
    return r.returncode, r.stdout, r.stderr


def http_get(port, path, host="127.0.0.1", timeout=10):
    """(status, body text) of GET path at HOST:port (an agent's metrics endpoint, say)."""
    url = "http://%s:%d%s" % ("[%s]" % host if ":" in host else host, port, path)
    try:
        with urllib.request.urlopen(url, timeout=timeout) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


METRIC_SAMPLE = re.compile(r"^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[^}]*\})? (\S+)$")


def scrape_metrics(port, host="127.0.0.1"):
    """{'name{labels}': value} of an agent's /metrics."""
    status, text = http_get(port, "/metrics", host)
    check(status == 200, "metrics answered %d" % status)
    out = {}
    for line in text.splitlines():
        m = METRIC_SAMPLE.match(line)
        if m:
            out[m.group(1) + (m.group(2) or "")] = float(m.group(3))
    return out


def channel_header(control, passive, address, port):
    """The 8 bytes that open every TLS connection of an ftp, progress or oracle session."""
    return bytes([control, passive]) + socket.inet_aton(address) + port.to_bytes(2, "big")


CONTROL_HEADER = channel_header(1, 0, "0.0.0.0", 0)


def orv_environment(values):
    """This process's environment with the ORV_ variables in values instead of those of whoever
    runs the tests."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("ORV_")}
    env.update(values)
    return env


def open_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(next(l for l in f if l.startswith("VmRSS:")).split()[1])


def sanitized(pid):
    """True for a process of a sanitizer build, whose allocator keeps freed blocks in quarantine."""
    with open("/proc/%d/maps" % pid) as f:
        return "libasan" in f.read()


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


CA_CONFIG = """
[ ca ]
default_ca = CA_default
[ CA_default ]
dir = @DIR@
database = @DIR@/index.txt
new_certs_dir = @DIR@/newcerts
serial = @DIR@/serial
default_md = sha256
policy = policy_any
unique_subject = no
copy_extensions = none
[ policy_any ]
countryName = optional
organizationName = optional
commonName = supplied
[ v3_ca ]
basicConstraints = critical,CA:true
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[ v3_leaf ]
basicConstraints = CA:false
keyUsage = digitalSignature,keyEncipherment
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""


# ---- cases ------------------------------------------------------------------------------------

CASES = {}  # name: (function, tags), in the order of definition
TAGS = ("may_skip", "orvserver_too")


def case(function=None, **tags):
    """Registers an end-to-end case under its function's name, as @case or @case(tag=True, ...).
    CTest learns the cases from `script --list` (see tests/CMakeLists.txt), so a case is named
    only here. Tags: may_skip, the case may exit 77 when something it needs is missing;
    orvserver_too, tests/server runs it again with orvserver as the far agent."""
    check(set(tags) <= set(TAGS), "unknown tags %r" % sorted(set(tags) - set(TAGS)))

    def register(f):
        check(f.__name__ not in CASES, "two cases named " + f.__name__)
        CASES[f.__name__] = (f, {tag for tag, on in tags.items() if on})
        return f
    return register(function) if function else register


def main():
    """`script --list [TAG]` prints the names of the cases (those with TAG), one a line.
    Otherwise runs the named case (argv[2]) with a fresh World; argv[1] is the directory of the
    binaries, argv[3] (optional) the seconds the harness allows."""
    if len(sys.argv) > 1 and sys.argv[1] == "--list":
        tag = sys.argv[2] if len(sys.argv) > 2 else None
        print("\n".join(name for name, (_, tags) in CASES.items() if tag is None or tag in tags))
        return
    bin_dir, name = os.path.abspath(sys.argv[1]), sys.argv[2]
    check(name in CASES, "no case %r; the cases are %s" % (name, ", ".join(CASES)))
    # Each case bounds its own time below the harness's limit, so that its clean-up still runs
    # and stops every process it started; a harness that terminates it gets the same.
    budget = int(sys.argv[3]) if len(sys.argv) > 3 else 300

    def out_of_time(signum, frame):
        raise AssertionError("case %s ran out of time (signal %d)" % (name, signum))

    signal.signal(signal.SIGALRM, out_of_time)
    signal.signal(signal.SIGTERM, out_of_time)
    signal.alarm(max(budget - 15, 10))
    world = World(bin_dir)
    try:
        CASES[name][0](world)
        world.check_sanitizers()
    finally:
        world.close()
    print("ok", name)
