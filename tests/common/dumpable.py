"""Whether a running process is dumpable, seen from outside through /proc.

The /proc/PID entries of a non-dumpable process belong to root; those of a dumpable one to the
process's own user. That tells the two apart only for a process that does not run as root, so a
test running as root starts the program as nobody (as_nobody_if_root, a preexec_fn)."""
import os

NOBODY = 65534


def as_nobody_if_root():
    if os.getuid() == 0:
        os.setgid(NOBODY)
        os.setgroups([])
        os.setuid(NOBODY)


def open_to_nobody(*paths):
    """Lets a program started as nobody reach the given files and directories."""
    if os.getuid() == 0:
        for p in paths:
            os.chmod(p, 0o755 if os.path.isdir(p) else 0o644)


def is_dumpable(pid):
    with open('/proc/%d/status' % pid) as f:
        uid = next(int(line.split()[1]) for line in f if line.startswith('Uid:'))
    if uid == 0:
        raise AssertionError('process %d runs as root: /proc cannot tell whether it is dumpable' % pid)
    return os.stat('/proc/%d/status' % pid).st_uid == uid
