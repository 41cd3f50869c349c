"""cmake --install into a scratch prefix: the three programs, the systemd units naming them there,
the sysusers.d file and the documentation. Each unit passes `systemd-analyze verify` (which also
checks that ExecStart names an executable) and `systemd-analyze security` rates its exposure
below MAX_EXPOSURE.

Arguments: the cmake command, the build directory."""
import os
import re
import shutil
import subprocess
import sys
import tempfile

# systemd rates 0.0 to 10.0; below 2.0 is "OK" and below 1.0 "SAFE".
MAX_EXPOSURE = 2.0
UNITS = {"orvclient@.service": "orvclient", "orvserver@.service": "orvserver"}
INSTALLED = ["bin/orvclient", "bin/orvserver", "bin/orvconf", "lib/systemd/system/orvclient@.service",
             "lib/systemd/system/orvserver@.service", "lib/sysusers.d/orvane.conf", "share/doc/orvane/copyright",
             "share/doc/orvane/changelog.Debian.gz"]


def run(args, timeout=120):
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout)


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def verify(unit_path):
    """Fails on anything systemd-analyze verify says about the unit; --man=no: the manual pages
    are not installed where man looks."""
    r = run(["systemd-analyze", "verify", "--man=no", unit_path])
    name = os.path.basename(unit_path).replace("@.service", "@")
    remarks = [line for line in (r.stdout + r.stderr).splitlines() if unit_path in line or name in line]
    check(r.returncode == 0 and not remarks, "verify %s: %d\n%s%s" % (unit_path, r.returncode, r.stdout, r.stderr))


def exposure(unit_path):
    r = run(["systemd-analyze", "security", "--offline=yes", "--no-pager", unit_path])
    m = re.search(r"Overall exposure level for \S+: (\d+\.\d+) (\S+)", r.stdout)
    check(m, "no exposure figure for %s: %s%s" % (unit_path, r.stdout, r.stderr))
    return float(m.group(1)), m.group(2), r.stdout


def main():
    cmake, build_dir = sys.argv[1], sys.argv[2]
    if not shutil.which("systemd-analyze"):
        print("systemd-analyze is missing (Debian package systemd); skipped")
        return 77
    prefix = tempfile.mkdtemp(prefix="orvinstall-")
    try:
        r = run([cmake, "--install", build_dir, "--prefix", prefix])
        check(r.returncode == 0, "cmake --install: %s%s" % (r.stdout, r.stderr))
        for path in INSTALLED:
            check(os.path.isfile(os.path.join(prefix, path)), "not installed: " + path)
        for path in INSTALLED[:3]:
            check(os.access(os.path.join(prefix, path), os.X_OK), "not executable: " + path)
        unit_dir = os.path.join(prefix, "lib/systemd/system")
        for unit, program in UNITS.items():
            path = os.path.join(unit_dir, unit)
            with open(path) as f:
                text = f.read()
            start = re.search(r"^ExecStart=(\S+)", text, re.M)
            check(start and start.group(1) == os.path.join(prefix, "bin", program),
                  "%s starts %r" % (unit, start and start.group(1)))
            check(re.search(r"^ExecReload=/bin/kill -HUP \$MAINPID$", text, re.M), "%s: no ExecReload" % unit)
            check(re.search(r"^RestartPreventExitStatus=78$", text, re.M), "%s: restarts a broken configuration" % unit)
            verify(path)
            figure, word, report = exposure(path)
            print("%s: exposure %.1f %s" % (unit, figure, word))
            check(figure < MAX_EXPOSURE, "%s exposure %.1f is not below %.1f:\n%s" % (unit, figure, MAX_EXPOSURE, report))
        # The check tells a broken unit apart: an ExecStart that names nothing fails verify.
        broken = os.path.join(prefix, "broken@.service")
        with open(os.path.join(unit_dir, "orvclient@.service")) as f:
            text = f.read()
        with open(broken, "w") as f:
            f.write(text.replace(os.path.join(prefix, "bin", "orvclient"), os.path.join(prefix, "bin", "nothing")))
        try:
            verify(broken)
        except AssertionError:
            pass
        else:
            raise AssertionError("verify accepted a unit whose program does not exist")
    finally:
        shutil.rmtree(prefix, ignore_errors=True)
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
