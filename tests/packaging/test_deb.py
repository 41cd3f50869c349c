"""The Debian package: cpack -G DEB from the build tree, its control fields and file list, lintian
without errors, the programs run from the unpacked tree, the packaged units verified. Then, when
the test may act as root (root itself or passwordless sudo) and the machine holds no orvane
installation of its own, a real dpkg -i: the service account and /etc/orvane appear, the
installed programs run; dpkg --purge removes it all again (and the account, when this test made it).
ORVTEST_NO_DPKG_INSTALL=1 leaves the real installation out.

Arguments: the cpack command, the build directory, the package version."""
import fcntl
import glob
import gzip
import os
import pwd
import grp
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time

PROGRAMS = ["orvclient", "orvserver", "orvconf"]
REQUIRED_FILES = ["./usr/bin/orvclient", "./usr/bin/orvserver", "./usr/bin/orvconf",
                  "./usr/lib/systemd/system/orvclient@.service", "./usr/lib/systemd/system/orvserver@.service",
                  "./usr/lib/sysusers.d/orvane.conf", "./usr/share/doc/orvane/copyright",
                  "./usr/share/doc/orvane/changelog.Debian.gz",
                  "./usr/share/doc/orvane/examples/orvane-rules.yml",
                  "./usr/share/doc/orvane/examples/grafana-dashboard.json"]


def run(args, timeout=120, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout, **kw)


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def build_package(cpack, build_dir, out_dir):
    r = run([cpack, "-G", "DEB", "--config", os.path.join(build_dir, "CPackConfig.cmake"), "-B", out_dir],
            timeout=300, cwd=build_dir)
    check(r.returncode == 0, "cpack: %s%s" % (r.stdout, r.stderr))
    debs = glob.glob(os.path.join(out_dir, "*.deb"))
    check(len(debs) == 1, "cpack made %r" % debs)
    return debs[0]


def control_fields(deb, version):
    fields = {}
    for name in ("Package", "Version", "Section", "Priority", "Architecture", "Maintainer", "Depends", "Description"):
        fields[name] = run(["dpkg-deb", "-f", deb, name]).stdout.strip()
    expected = {"Package": "orvane", "Version": version, "Section": "net", "Priority": "optional"}
    for name, value in expected.items():
        check(fields[name] == value, "%s: %r" % (name, fields[name]))
    # Computed by dpkg-shlibdeps from the programs' libraries.
    for library in ("libc6", "libssl3", "libsystemd0", "libstdc++6"):
        check(re.search(r"(^|, )%s( |,|$)" % re.escape(library), fields["Depends"]), "Depends: %r" % fields["Depends"])
    check(fields["Maintainer"] and fields["Description"], "maintainer and description: %r" % fields)
    control = run(["dpkg-deb", "-I", deb]).stdout
    for script in ("postinst", "prerm", "postrm"):
        check(re.search(r"\s%s\s" % script, control), "no %s in %s" % (script, control))


def file_list(deb):
    listing = run(["dpkg-deb", "-c", deb]).stdout.splitlines()
    entries = {line.split()[5]: line.split()[0] for line in listing}
    for path in REQUIRED_FILES:
        check(path in entries, "%s is not in the package:\n%s" % (path, "\n".join(listing)))
    for program in PROGRAMS:
        check(entries["./usr/bin/" + program] == "-rwxr-xr-x", "mode of %s" % program)
    outside = [p for p in entries if not p.startswith("./usr/") or p.startswith("./usr/local")]
    check(not outside, "outside /usr, or in /usr/local: %r" % outside)


def lintian(deb):
    if not shutil.which("lintian"):
        print("lintian is missing (Debian package lintian); the lintian check is skipped")
        return
    r = run(["lintian", "--fail-on", "error", deb], timeout=300)
    tags = [line for line in r.stdout.splitlines() if re.match(r"[EWIPX]: ", line)]
    print("lintian: %d tags" % len(tags))
    for line in tags:
        print("  " + line)
    errors = [line for line in tags if line.startswith("E: ")]
    check(r.returncode == 0 and not errors, "lintian errors: %s%s" % (r.stdout, r.stderr))


def check_programs(bin_dir, work_dir, runner=()):
    """orvclient -h prints its usage; orvconf makes a key in a new file and lists it."""
    r = run([*runner, os.path.join(bin_dir, "orvclient"), "-h"])
    check(r.returncode == 1 and "orvclient [-p <password>] [-d] -f <conffile> <session name>" in r.stderr,
          "orvclient -h: %d %r" % (r.returncode, r.stderr))
    r = run([*runner, os.path.join(bin_dir, "orvserver"), "-h"])
    check(r.returncode == 1 and "orvserver [-p <password>]" in r.stderr, "orvserver -h: %r" % r.stderr)
    conf = os.path.join(work_dir, "try.orv")
    orvconf = [*runner, os.path.join(bin_dir, "orvconf"), "-f", conf, "-z", "pw"]
    r = run(orvconf + ["-key", "-gen", "-N", "k1", "-K", "1024"])
    check(r.returncode == 0 and "operation failed" not in r.stderr, "orvconf -key -gen: %r" % r.stderr)
    r = run(orvconf + ["-key", "-list"])
    check(r.returncode == 0 and r.stdout == "k1\n", "orvconf -key -list: %r %r" % (r.stdout, r.stderr))


def unpacked(deb, work_dir, version):
    root = os.path.join(work_dir, "root")
    r = run(["dpkg-deb", "-x", deb, root])
    check(r.returncode == 0, "dpkg-deb -x: " + r.stderr)
    bin_dir = os.path.join(root, "usr/bin")
    check_programs(bin_dir, work_dir)
    if shutil.which("file"):
        for program in PROGRAMS:
            kind = run(["file", "-b", os.path.join(bin_dir, program)]).stdout
            check(", stripped" in kind, "%s is not stripped: %s" % (program, kind))
    with gzip.open(os.path.join(root, "usr/share/doc/orvane/changelog.Debian.gz"), "rt") as f:
        first = f.readline()
    check(first.startswith("orvane (%s) " % version), "changelog names %r" % first)
    # The packaged units, with ExecStart pointed into the unpacked tree, pass verify.
    for unit in ("orvclient@.service", "orvserver@.service"):
        with open(os.path.join(root, "usr/lib/systemd/system", unit)) as f:
            text = f.read()
        program = unit.split("@")[0]
        check("\nExecStart=/usr/bin/%s " % program in text, "%s does not start /usr/bin/%s" % (unit, program))
        if shutil.which("systemd-analyze"):
            copy = os.path.join(work_dir, unit)
            with open(copy, "w") as f:
                f.write(text.replace("=/usr/bin/", "=%s/" % bin_dir))
            r = run(["systemd-analyze", "verify", "--man=no", copy])
            check(r.returncode == 0 and program + "@" not in r.stdout + r.stderr,
                  "verify %s: %s%s" % (unit, r.stdout, r.stderr))


# ---- the real installation ----------------------------------------------------------------------

def root_runner():
    """The command prefix that runs as root, or None."""
    if os.geteuid() == 0:
        return ()
    if shutil.which("sudo") and subprocess.run(["sudo", "-n", "true"], capture_output=True, timeout=30).returncode == 0:
        return ("sudo", "-n")
    return None


def dpkg(runner, *args):
    """dpkg, waiting up to a minute while another package tool holds its lock."""
    deadline = time.monotonic() + 60
    while True:
        r = run([*runner, "dpkg", *args], timeout=300)
        if r.returncode == 0 or "lock" not in r.stderr or time.monotonic() > deadline:
            return r
        time.sleep(2)


def package_installed():
    r = run(["dpkg-query", "-W", "-f", "${db:Status-Status}", "orvane"])
    return r.returncode == 0 and r.stdout not in ("", "not-installed")


def user_exists(name):
    try:
        pwd.getpwnam(name)
        return True
    except KeyError:
        return False


def installed(deb, work_dir, runner):
    had_user = user_exists("orvane")
    r = dpkg(runner, "-i", deb)
    try:
        check(r.returncode == 0, "dpkg -i: %s%s" % (r.stdout, r.stderr))
        account = pwd.getpwnam("orvane")
        check(account.pw_uid < 1000 and account.pw_shell.endswith("nologin"), "account orvane: %r" % (account,))
        info = os.stat("/etc/orvane")
        check(stat.S_ISDIR(info.st_mode) and stat.S_IMODE(info.st_mode) == 0o750 and info.st_uid == 0
              and grp.getgrgid(info.st_gid).gr_name == "orvane", "/etc/orvane: %o %d:%d" % (info.st_mode, info.st_uid,
                                                                                               info.st_gid))
        check_programs("/usr/bin", work_dir, runner)
    finally:
        r = dpkg(runner, "--purge", "orvane")
        if not had_user and user_exists("orvane"):
            run([*runner, "userdel", "orvane"])
            run([*runner, "groupdel", "orvane"])
    check(r.returncode == 0, "dpkg --purge: %s%s" % (r.stdout, r.stderr))
    for path in ["/usr/bin/" + p for p in PROGRAMS] + ["/etc/orvane", "/usr/lib/systemd/system/orvclient@.service"]:
        check(not os.path.exists(path), "left after purge: " + path)
    print("dpkg -i, the installed programs and dpkg --purge: ok")


def real_installation(deb, work_dir):
    if os.environ.get("ORVTEST_NO_DPKG_INSTALL"):
        print("ORVTEST_NO_DPKG_INSTALL is set: the dpkg -i part is skipped")
        return
    runner = root_runner()
    if runner is None:
        print("neither root nor passwordless sudo: the dpkg -i part is skipped")
        return
    # One test run at a time installs and purges the package on this machine.
    with open(os.path.join(tempfile.gettempdir(), "orvane-dpkg-test.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        own = ["/etc/orvane"] + ["/usr/bin/" + p for p in PROGRAMS]
        if package_installed() or any(os.path.exists(p) for p in own):
            print("this machine has an orvane installation of its own: the dpkg -i part is skipped")
            return
        installed(deb, work_dir, runner)


def main():
    cpack, build_dir, version = sys.argv[1:4]
    for tool in ("dpkg-deb", "dpkg-shlibdeps"):
        if not shutil.which(tool):
            print("%s is missing (Debian package dpkg-dev); skipped" % tool)
            return 77
    work_dir = tempfile.mkdtemp(prefix="orvdeb-")
    try:
        deb = build_package(cpack, build_dir, work_dir)
        control_fields(deb, version)
        file_list(deb)
        lintian(deb)
        unpacked(deb, work_dir, version)
        real_installation(deb, work_dir)
    finally:
        shutil.rmtree(work_dir, ignore_errors=True)
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
