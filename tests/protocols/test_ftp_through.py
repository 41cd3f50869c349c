"""FTP through the whole tunnel: real clients (Python's ftplib, curl, lftp) through orvclient and
orvserver to a real FTP server (pyftpdlib), in every data-connection mode a current client uses.
Each case lists, downloads and uploads a 10 MB file and checks it by SHA-256."""
import ftplib
import hashlib
import os
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from orvtest import case, check, main, pattern_bytes  # noqa: E402

SIZE = 10 * 1000 * 1000


def sha(data):
    return hashlib.sha256(data).hexdigest()


def tunnel(w):
    """pyftpdlib behind orvserver, orvclient in front; returns (orvclient port, FTP root)."""
    root = w.path("ftproot")
    os.makedirs(root, exist_ok=True)
    with open(os.path.join(root, "big.bin"), "wb") as f:
        f.write(pattern_bytes("down", SIZE))
    ftp_port = w.pyftpdlib(root)
    far_port, _ = w.orvserver_agent(ftp_port, extra="login=ftp accept_timeout=20")
    conf, port = w.standard_config(far_port=far_port, extra="multicall=1 login=ftp accept_timeout=20")
    w.agent(conf, "s1", wait_port=port)
    return port, root


def run(args, timeout=60):
    r = subprocess.run(args, capture_output=True, timeout=timeout)
    check(r.returncode == 0, "%s: %d %s" % (" ".join(args), r.returncode, r.stderr.decode(errors="replace")[-800:]))
    return r.stdout


def with_ftplib(passive):
    def transfer(w, port, root, upload):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", port, timeout=30)
        ftp.login()
        ftp.set_pasv(passive)
        listing = []
        ftp.retrlines("LIST", listing.append)
        got = bytearray()
        ftp.retrbinary("RETR big.bin", got.extend)
        with open(upload, "rb") as f:
            ftp.storbinary("STOR up.bin", f)
        ftp.quit()
        return "\n".join(listing), bytes(got)
    return transfer


def with_curl(*options):
    def transfer(w, port, root, upload):
        base = ["curl", "-s", "-S", "--max-time", "60", *options]
        listing = run(base + ["ftp://127.0.0.1:%d/" % port]).decode()
        got = run(base + ["ftp://127.0.0.1:%d/big.bin" % port])
        run(base + ["-T", upload, "ftp://127.0.0.1:%d/up.bin" % port])
        return listing, got
    return transfer


def with_lftp(passive):
    def transfer(w, port, root, upload):
        target = w.path("lftp.bin")
        script = ("set ftp:passive-mode %s; set net:max-retries 1; set net:timeout 20; set ftp:use-feat no; "
                  "cls -l; get big.bin -o %s; put %s -o up.bin; bye" % ("on" if passive else "off", target, upload))
        listing = run(["lftp", "-u", "anonymous,x", "-p", str(port), "-e", script, "127.0.0.1"]).decode()
        with open(target, "rb") as f:
            return listing, f.read()
    return transfer


MODES = {
    "ftplib_passive": with_ftplib(True),
    "ftplib_active": with_ftplib(False),
    "curl_epsv": with_curl(),
    "curl_pasv": with_curl("--disable-epsv"),
    "curl_eprt": with_curl("-P", "127.0.0.1"),
    "curl_port": with_curl("-P", "127.0.0.1", "--disable-eprt"),
    "lftp_passive": with_lftp(True),
    "lftp_active": with_lftp(False),
}


def mode_case(name):
    def run(w):
        if name.startswith("lftp") and not shutil.which("lftp"):
            sys.exit(77)
        port, root = tunnel(w)
        upload = w.path("up.bin")
        with open(upload, "wb") as f:
            f.write(pattern_bytes("up", SIZE))
        listing, got = MODES[name](w, port, root, upload)
        check("big.bin" in listing, "LIST names the file: %r" % listing[-300:])
        check(len(got) == SIZE and sha(got) == sha(pattern_bytes("down", SIZE)), "RETR: %d bytes" % len(got))
        with open(os.path.join(root, "up.bin"), "rb") as f:
            stored = f.read()
        check(len(stored) == SIZE and sha(stored) == sha(pattern_bytes("up", SIZE)), "STOR: %d bytes" % len(stored))
        # Every data connection crossed the tunnel as a pair of its own, and ended.
        log = w.read("agent.log")
        check("type: FTP data connection" in log, "data connections in orvclient's log")
        check("connection broken" not in log and "refused" not in w.read("orvserver.log"), "no failure lines")
    run.__name__ = name
    return run


# The lftp modes exit 77 where lftp is missing; all modes share that skip code.
for mode in MODES:
    case(may_skip=True)(mode_case(mode))


if __name__ == "__main__":
    main()
