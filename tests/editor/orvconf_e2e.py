"""End-to-end tests of orvconf: runs the real binary and checks its exact standard output,
standard error, exit status and the files it writes. Certificates are made at test time with
the openssl command. Usage: orvconf_e2e.py PATH_TO_ORVCONF"""

import datetime
import fcntl
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import termios
import time
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'common'))
import orvfile  # noqa: E402
from dumpable import as_nobody_if_root, is_dumpable  # noqa: E402

BIN = None
TMP = None
RUN_TIMEOUT = 120
PW = 'pw-one'

USAGE = """Orvane configuration file editor version 1.2.5
========================================================
orv [-f <conffile>] -y -- replace password
orv [-f <conffile>] -key (-list|-delete|-gen|-Req) ...
orv [-f <conffile>] (-listall|-viewall) ...
orv [-f <conffile>] (-cert|-root|-session) (-list|-delete|-insert|-view) ...
orv [-f <conffile>] -partner (-insert|-delete|-list) ...

Optional parameters:
====================
-N <session name>
-I <certificate file>
-O <certificate request file>
-K <keysize> (for -key -gen only)
-S <randomfile> (for -key -gen only)
-D <distinguished name of the subject> (for -key -Req only)
-L <local listen port> (for -session -insert only)
-H <server host> (for -session -insert only)
-P <server port> (for -session -insert only)
-C <cipher> (for -session -insert only)
-A <session key> (for -session -insert only)
-B <session certificate> (for -session -insert only)
-X <session root certificate> (for -session -insert only)
-M serve multiple connections (for -session -insert only)
-E <command to execute> (for -session -insert only)
-o <server login type> (for -session -insert only)
-e cache sessions (for -session -insert only)
-u <inactivity timeout> (for -session -insert only)
-J <partner name> (for -partner only)
-U <mapped name> (for -partner -insert only)
-b <partner IP address> (for -partner -insert only)
-q <partner netmask> (for -partner -insert only)
-m -- minimize on activation (for -session -insert only)
-a -- autoclose on deactivation (for -session -insert only)
-T <accept timeout> (for -session -insert only)
-j -- no TCP delay (for -session -insert only)
-x -- no client authentication (for -session -insert only)
-Z <ssl mode> (for -session -insert only)
-G <bindaddr> (for -session -insert only)
-W <host:port,...> further far agents (for -session -insert only)
-Y <prio|rr> failover among the far agents (for -session -insert only)
-t <address:port> metrics endpoint, [::1]:port for IPv6 (for -session -insert only)
-V <total,per source> caps on pending handshakes (for -session -insert only)
-F <strong|classic> file format to write (for -y or a new file only)

"""

EMPTY_LISTALL = ("Keys:\n-----\n\nUser Certificates:\n------------------\n\n"
                 "Root Certificates:\n------------------\n\nSessions:\n---------\n\n")

ERROR_QUEUE_LINE = re.compile(r'^[0-9A-F]+:error:[0-9A-F]+:.*$')


def run(conf, *args, password=PW, env=None):
    """Runs orvconf without a terminal; returns (status, stdout, stderr)."""
    cmd = [BIN]
    if conf is not None:
        cmd += ['-f', conf]
    if password is not None:
        cmd += ['-z', password]
    cmd += list(args)
    r = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, timeout=RUN_TIMEOUT,
                       start_new_session=True, cwd=TMP, env=env)
    return r.returncode, r.stdout.decode('latin-1'), r.stderr.decode('latin-1')


def openssl(*args, data=None):
    r = subprocess.run(['openssl'] + list(args), input=data, capture_output=True,
                       timeout=RUN_TIMEOUT, cwd=TMP)
    if r.returncode != 0:
        raise AssertionError('openssl %s failed: %s' % (' '.join(args), r.stderr.decode()))
    return r.stdout


def path(name):
    return os.path.join(TMP, name)


def fresh_conf(name):
    p = path(name)
    for suffix in ('', '.tmp', '.old'):
        if os.path.exists(p + suffix):
            os.unlink(p + suffix)
    return p


def file_bytes(p):
    with open(p, 'rb') as f:
        return f.read()


class pty_session:
    """Runs orvconf with a new pseudo-terminal as its controlling terminal (stdin too);
    stdout and stderr stay pipes, so prompts and echo are what the terminal shows."""

    def __init__(self, args, then=lambda: None):
        """`then` runs in the child after it has taken the terminal, before orvconf starts."""
        self.master, slave = os.openpty()
        self.proc = subprocess.Popen(
            [BIN] + args, stdin=slave, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            start_new_session=True, cwd=TMP,
            preexec_fn=lambda: (fcntl.ioctl(0, termios.TIOCSCTTY, 0), then()))
        os.close(slave)
        self.screen = b''

    def _read(self, timeout):
        ready, _, _ = select.select([self.master], [], [], timeout)
        if not ready:
            return False
        try:
            data = os.read(self.master, 4096)
        except OSError:  # EIO: the terminal's other side has gone
            return None
        if not data:
            return None
        self.screen += data
        return True

    def expect(self, text, timeout=30):
        deadline = time.monotonic() + timeout
        while text.encode() not in self.screen:
            left = deadline - time.monotonic()
            if left <= 0 or self._read(left) is None:
                raise AssertionError('no %r on the terminal; got %r' % (text, self.screen))
        self.screen = self.screen[self.screen.index(text.encode()) + len(text):]

    def echo_is_on(self):
        return bool(termios.tcgetattr(self.master)[3] & termios.ECHO)

    def type(self, data, timeout=30):
        """Types at the prompt once the reader has switched echo off (it does so just after
        showing the prompt)."""
        deadline = time.monotonic() + timeout
        while self.echo_is_on():
            if time.monotonic() > deadline:
                raise AssertionError('the terminal still echoes at the password prompt')
            time.sleep(0.01)
        os.write(self.master, data)

    def finish(self, timeout=RUN_TIMEOUT):
        try:
            out, err = self.proc.communicate(timeout=timeout)
        finally:
            self.close()
        return self.proc.returncode, out.decode(), err.decode()

    def close(self):
        """Stops the process if it still runs (a failed expectation) and drops the terminal."""
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()
        if self.master is not None:
            while self._read(0.2):
                pass
            os.close(self.master)
            self.master = None


class ca_factory:
    """Keys and certificates made with the openssl command, with explicit validity dates."""

    CONFIG = """
[ ca ]
default_ca = testca
[ testca ]
dir = {d}
database = {d}/index.txt
new_certs_dir = {d}/newcerts
serial = {d}/serial
default_md = sha256
policy = policy_any
unique_subject = no
email_in_dn = yes
preserve = yes
[ policy_any ]
countryName = optional
stateOrProvinceName = optional
localityName = optional
organizationName = optional
organizationalUnitName = optional
commonName = optional
emailAddress = optional
[ ext_root ]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[ ext_user ]
basicConstraints = CA:FALSE
[ req ]
distinguished_name = req_dn
[ req_dn ]
"""

    def __init__(self, directory):
        self.d = directory
        os.makedirs(os.path.join(self.d, 'newcerts'))
        open(os.path.join(self.d, 'index.txt'), 'w').close()
        with open(os.path.join(self.d, 'serial'), 'w') as f:
            f.write('1000\n')
        self.cnf = os.path.join(self.d, 'ca.cnf')
        with open(self.cnf, 'w') as f:
            f.write(self.CONFIG.format(d=self.d))

    def p(self, name):
        return os.path.join(self.d, name)

    def key(self, name, bits=1024):
        openssl('genpkey', '-algorithm', 'RSA', '-pkeyopt', 'rsa_keygen_bits:%d' % bits,
                '-out', self.p(name + '.key'))
        return self.p(name + '.key')

    def request(self, name, key, subject):
        openssl('req', '-new', '-config', self.cnf, '-key', key, '-subj', subject,
                '-out', self.p(name + '.csr'))
        return self.p(name + '.csr')

    @staticmethod
    def when(days):
        t = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=days)
        return t.strftime('%Y%m%d%H%M%SZ')

    def sign(self, name, csr, start_days, end_days, issuer=None, ext='ext_user'):
        """Signs `csr`; issuer (cert, key) or None for a self-signed certificate."""
        args = ['ca', '-batch', '-config', self.cnf, '-in', csr, '-out', self.p(name + '.pem'),
                '-startdate', self.when(start_days), '-enddate', self.when(end_days),
                '-extensions', ext, '-notext']
        if issuer is None:
            args += ['-selfsign', '-keyfile', self.p(name + '.key')]
        else:
            args += ['-cert', issuer[0], '-keyfile', issuer[1]]
        openssl(*args)
        return self.p(name + '.pem')

    def root(self, name, start_days, end_days, subject=None):
        key = self.key(name)
        csr = self.request(name, key, subject or '/CN=Root %s' % name)
        return self.sign(name, csr, start_days, end_days, ext='ext_root')

    def der(self, pem):
        out = pem[:-4] + '.der'
        openssl('x509', '-in', pem, '-outform', 'DER', '-out', out)
        return out


def fingerprints(pem):
    """The two fingerprint lines as the editor prints them, from the openssl command."""
    lines = ''
    for md, label in (('-md5', 'MD5'), ('-sha1', 'SHA1')):
        out = openssl('x509', '-in', pem, '-noout', '-fingerprint', md).decode()
        lines += label + ' Fingerprint=' + out.split('=', 1)[1]
    return lines


def certificate_view(pem):
    text = openssl('x509', '-in', pem, '-noout', '-text', '-nameopt', 'compat').decode()
    return text + fingerprints(pem)


class orvconf_test(unittest.TestCase):
    def assert_failed(self, err, *messages):
        """stderr is exactly the messages, "operation failed", then library error lines."""
        head = ''.join(messages) + 'operation failed\n'
        self.assertTrue(err.startswith(head), 'stderr %r does not start with %r' % (err, head))
        for line in err[len(head):].splitlines():
            self.assertRegex(line, ERROR_QUEUE_LINE)

    def assert_ok(self, result, out=''):
        status, stdout, stderr = result
        self.assertEqual((status, stderr), (0, ''))
        if out is not None:
            self.assertEqual(stdout, out)
        return stdout

    def new_conf(self, name):
        return fresh_conf(self._testMethodName + '_' + name)

    def pty(self, args, then=lambda: None):
        session = pty_session(args, then)
        self.addCleanup(session.close)
        return session


class command_line_tests(orvconf_test):
    def test_rejected_command_lines_print_the_usage_and_exit_1(self):
        conf = self.new_conf('conf')
        rejected = [
            [], ['-N', 'x'], ['-cert', '-list', '-key'], ['-key', '-insert'], ['-partner', '-view'],
            ['-key', '-view'], ['-gen', '-key'], ['-c', 'erts', '-list'], ['-kex', '-list'],
            ['-key', '-list', 'operand'], ['-key', '-gen', '-K', '0'], ['-key', '-gen', '-K', 'abc'],
            ['-key', '-gen', '-K', '-1024'], ['-y', '-y'], ['-key', '-list', '-y'],
            ['-listall', '-viewall'], ['-cert', '-listall'], ['-session', '-Req'],
        ]
        for args in rejected:
            with self.subTest(args=args):
                self.assertEqual(run(conf, *args), (1, '', USAGE))
        self.assertFalse(os.path.exists(conf))

    def test_option_parser_diagnostics_come_before_the_usage(self):
        conf = self.new_conf('conf')
        self.assertEqual(run(conf, '-key', '-list', '-Q'),
                         (1, '', BIN + ": invalid option -- 'Q'\n" + USAGE))
        self.assertEqual(run(conf, '-key', '-list', '-N'),
                         (1, '', BIN + ": option requires an argument -- 'N'\n" + USAGE))

    def test_words_split_into_letter_and_argument(self):
        conf = self.new_conf('conf')
        self.assertEqual(run(conf, '-c', 'ert', '-l', 'ist'), (0, '', ''))
        self.assertEqual(run(conf, '-l', 'istall'), (0, EMPTY_LISTALL, ''))

    def test_object_without_sub_command(self):
        conf = self.new_conf('conf')
        status, out, err = run(conf, '-key')
        self.assertEqual((status, out), (0, ''))
        self.assert_failed(err, 'illegal command\n')

    def test_illegal_object_names(self):
        conf = self.new_conf('conf')
        for name in ('default', 'keys', 'certs', 'roots', 'a-b', 'a b', 'x.y'):
            with self.subTest(name=name):
                status, out, err = run(conf, '-session', '-view', '-N', name)
                self.assertEqual((status, out), (0, ''))
                self.assert_failed(err, 'illegal object name: "%s"\n' % name)

    def test_listall_on_a_missing_file_creates_nothing(self):
        conf = self.new_conf('conf')
        self.assertEqual(run(conf, '-listall'), (0, EMPTY_LISTALL, ''))
        self.assertEqual(run(conf, '-viewall'), (0, EMPTY_LISTALL, ''))
        self.assertFalse(os.path.exists(conf))

    def test_default_path_is_home_orvrc(self):
        home = tempfile.mkdtemp(dir=TMP)
        env = dict(os.environ, HOME=home)
        self.assertEqual(run(None, '-key', '-gen', '-N', 'k', '-K', '512', env=env), (0, '', ''))
        self.assertIsNotNone(orvfile.read_sections(os.path.join(home, '.orvrc'), PW))
        env.pop('HOME')
        work = tempfile.mkdtemp(dir=TMP)
        r = subprocess.run([BIN, '-z', PW, '-key', '-gen', '-N', 'k', '-K', '512'], env=env,
                           cwd=work, capture_output=True, timeout=RUN_TIMEOUT,
                           stdin=subprocess.DEVNULL, start_new_session=True)
        self.assertEqual((r.returncode, r.stderr), (0, b''))
        self.assertTrue(os.path.exists(os.path.join(work, '.orvrc')))


class message_tests(orvconf_test):
    """Every failure message of the operations, each followed by "operation failed"."""

    @classmethod
    def setUpClass(cls):
        cls.conf = fresh_conf('messages.orv')
        cls.garbage = path('garbage.bin')
        with open(cls.garbage, 'wb') as f:
            f.write(b'-----BEGIN CERTIFICATE-----\nnot base64 at all\n' + bytes(range(256)))
        cls.empty = path('empty.bin')
        open(cls.empty, 'w').close()
        assert run(cls.conf, '-key', '-gen', '-N', 'k', '-K', '512')[0] == 0

    def test_messages(self):
        missing = path('no/such/file')
        cases = [
            (['-cert', '-insert'], 'insert sub-command requires object name (-N)\n'),
            (['-session', '-insert', '-N', ''], 'insert sub-command requires object name (-N)\n'),
            (['-root', '-delete'], 'delete sub-command requires object name (-N)\n'),
            (['-cert', '-insert', '-N', 'c'], 'input file name (-I) is missing\n'),
            (['-root', '-insert', '-N', 'c', '-I', missing],
             'unable to open input file: %s\n' % missing),
            (['-cert', '-insert', '-N', 'c', '-I', self.garbage],
             'unable to load certificate from file: %s\n' % self.garbage),
            (['-cert', '-insert', '-N', 'c', '-I', self.empty],
             'unable to load certificate from file: %s\n' % self.empty),
            (['-cert', '-insert', '-N', 'c', '-I', TMP],
             'unable to load certificate from file: %s\n' % TMP),
            (['-session', '-insert', '-N', 's'],
             'insert session sub-command requires local port (-L)\n'),
            (['-session', '-insert', '-N', 's', '-L', '1', '-P', '2', '-B', 'c', '-A', 'k'],
             'insert session sub-command requires server name (-H)\n'),
            (['-session', '-insert', '-N', 's', '-L', '1', '-H', 'h'],
             'insert session sub-command requires server port (-P)\n'),
            (['-session', '-insert', '-N', 's', '-L', '1', '-H', 'h', '-P', '2'],
             'insert session sub-command requires name of the user certificate (-B)\n'),
            (['-session', '-insert', '-N', 's', '-L', '1', '-H', 'h', '-P', '2', '-B', 'c'],
             'insert session sub-command requires name of the user key (-A)\n'),
            (['-session', '-insert', '-N', 's', '-L', '1', '-H', 'h', '-P', '2', '-B', 'c',
              '-A', 'k'],
             'insert session sub-command requires name of the root certificate (-X)\n'),
            (['-partner', '-insert', '-N', 's'],
             'insert parent sub-command requires partner name (-J)\n'),
        ]
        # Port and bind address texts that orvclient would refuse; the server host is not checked.
        session = ['-session', '-insert', '-N', 's', '-H', 'no-such-host.invalid', '-B', 'c', '-A', 'k',
                   '-X', 'r']
        cases += [
            (session + ['-L', 'abc', '-P', '2'], 'invalid local port (-L): abc\n'),
            (session + ['-L', '-1', '-P', '2'], 'invalid local port (-L): -1\n'),
            (session + ['-L', '99999', '-P', '2'], 'invalid local port (-L): 99999\n'),
            (session + ['-L', '0', '-P', '2'], 'invalid local port (-L): 0\n'),
            (session + ['-L', '1', '-P', '65536'], 'invalid server port (-P): 65536\n'),
            (session + ['-L', '1', '-P', 'no-such-service'], 'invalid server port (-P): no-such-service\n'),
            (session + ['-L', '1', '-P', '2', '-G', 'no-such-host.invalid'],
             'invalid bind address (-G): no-such-host.invalid\n'),
            (session + ['-L', '1', '-P', '2', '-G', '1.2.3.4.5'], 'invalid bind address (-G): 1.2.3.4.5\n'),
        ]
        cases += [
            (['-partner', '-delete', '-N', 's'],
             'partner delete sub-command requires partner name (-J)\n'),
            (['-partner', '-list'], 'partner list sub-command requires session name (-N)\n'),
            (['-cert', '-view'], 'view sub-command requires object name (-N)\n'),
            (['-session', '-view'], 'view sub-command requires object name (-N)\n'),
            (['-key', '-gen'], 'generate sub-command requires object name (-N)\n'),
            (['-key', '-Req'], 'request sub-command requires object name (-N)\n'),
            (['-key', '-Req', '-N', 'k'], 'output file name (-O) is missing\n'),
            (['-key', '-Req', '-N', 'k', '-O', missing, '-D', '/CN=x'],
             'unable to open output file: %s\n' % missing),
            (['-key', '-Req', '-N', 'nokey', '-O', path('r.csr'), '-D', '/CN=x'],
             'unable to generate certificate request\n'),
            (['-key', '-Req', '-N', 'k', '-O', '/dev/full', '-D', '/CN=x'],
             'unable to save certificate request\n'),
        ]
        before = file_bytes(self.conf)
        for args, message in cases:
            with self.subTest(args=args):
                status, out, err = run(self.conf, *args)
                self.assertEqual((status, out), (0, ''))
                self.assert_failed(err, message)
        # None of these attempted a change, so the file was not rewritten.
        self.assertEqual(file_bytes(self.conf), before)

    def test_malformed_subject_names(self):
        out_file = path('dn.csr')
        for dn in ('CN=x', '', '/', '/C=US/', '/CN', '/CN=', '/Bogus=x', '/C=US//CN=x', '=x'):
            with self.subTest(dn=dn):
                status, out, err = run(self.conf, '-key', '-Req', '-N', 'k', '-O', out_file,
                                       '-D', dn)
                self.assertEqual((status, out), (0, ''))
                self.assert_failed(err, 'invalid distinguished name "%s"\n' % dn)

    def test_request_without_subject_leaves_an_empty_file(self):
        out_file = path('nosubject.csr')
        with open(out_file, 'w') as f:
            f.write('old content')
        status, out, err = run(self.conf, '-key', '-Req', '-N', 'k', '-O', out_file)
        self.assert_failed(err, 'request sub-command requires subject name (-D)\n')
        self.assertEqual(file_bytes(out_file), b'')

    def test_deleting_what_does_not_exist_fails_but_rewrites_the_file(self):
        seed = dict(orvfile.read_sections(self.conf, PW)['default'])['randseed']
        for args in (['-key', '-delete', '-N', 'none'], ['-cert', '-delete', '-N', 'none'],
                     ['-root', '-delete', '-N', 'none'], ['-session', '-delete', '-N', 'none'],
                     ['-partner', '-delete', '-N', 'none', '-J', 'p']):
            with self.subTest(args=args):
                status, out, err = run(self.conf, *args)
                self.assertEqual((status, out), (0, ''))
                self.assert_failed(err)
                new_seed = dict(orvfile.read_sections(self.conf, PW)['default'])['randseed']
                self.assertNotEqual(new_seed, seed)
                self.assertEqual(len(new_seed), 2048)
                seed = new_seed

    def test_wrong_password_leaves_the_file_alone(self):
        before = file_bytes(self.conf)
        for args in (['-key', '-list'], ['-key', '-delete', '-N', 'k'], ['-y']):
            with self.subTest(args=args):
                status, out, err = run(self.conf, *args, password='wrong')
                self.assertEqual((status, out), (0, ''))
                self.assert_failed(err, 'Unable to read secure config file %s\n' % self.conf)
        self.assertEqual(file_bytes(self.conf), before)

    def test_text_that_does_not_parse(self):
        conf = fresh_conf('unparsable.orv')
        orvfile.write_text(conf, PW, b'[ keys ]\nk=00\n[ broken\n')
        status, out, err = run(conf, '-key', '-list')
        self.assertEqual((status, out), (0, ''))
        self.assert_failed(err)
        self.assertIn('missing close square bracket', err)
        orvfile.write_text(conf, PW, b'[ keys ]\nno equal sign here\n')
        self.assertIn('missing equal sign', run(conf, '-key', '-list')[2])

    def test_hand_written_file_is_read(self):
        conf = fresh_conf('handwritten.orv')
        orvfile.write_text(conf, PW, b'sessions=s1\n[roots]\nr1 = 00\n[ keys ]\n'
                                     b'k1=AA\nk2 = $k1\n[s1]\nport=1\n')
        self.assertEqual(run(conf, '-key', '-list'), (0, 'k1\nk2\n', ''))
        self.assertEqual(run(conf, '-root', '-list'), (0, 'r1\n', ''))
        self.assertEqual(run(conf, '-session', '-list'), (0, 's1\n', ''))

    def test_failed_save_is_reported(self):
        conf = path('no/such/dir/conf.orv')
        status, out, err = run(conf, '-key', '-gen', '-N', 'k', '-K', '512')
        self.assertEqual((status, out), (0, ''))
        self.assert_failed(err, 'Unable to set filename\n')

    def test_password_longer_than_the_buffer_is_refused(self):
        before = file_bytes(self.conf)
        self.assertEqual(run(self.conf, '-key', '-list', password='x' * 256),
                         (0, '', 'Error during password input\n'))
        self.assertEqual(file_bytes(self.conf), before)


class key_tests(orvconf_test):
    def stored_key(self, conf, name, password=PW):
        keys = dict(orvfile.read_sections(conf, password)['keys'])
        return orvfile.decrypt_key_der(keys[name], password)

    def key_text(self, der):
        return openssl('rsa', '-inform', 'DER', '-noout', '-text', data=der).decode()

    def test_generated_key_default_size_exponent_and_encryption(self):
        conf = self.new_conf('conf')
        self.assertEqual(run(conf, '-key', '-gen', '-N', 'k1', '-S', '/etc/hostname:/nonexistent'),
                         (0, '', ''))
        self.assertEqual(os.stat(conf).st_mode & 0o777, 0o600)
        self.assertFalse(os.path.exists(conf + '.tmp') or os.path.exists(conf + '.old'))
        der = self.stored_key(conf, 'k1')
        text = self.key_text(der)
        self.assertIn('Private-Key: (2048 bit, 2 primes)', text)
        self.assertIn('publicExponent: 65537 (0x10001)', text)
        # Only the file password opens it.
        keys = dict(orvfile.read_sections(conf, PW)['keys'])
        wrong = orvfile.decrypt_key_der(keys['k1'], 'other')
        self.assertTrue(wrong is None or wrong != der)
        self.assertEqual(run(conf, '-key', '-list'), (0, 'k1\n', ''))

    def test_key_sizes(self):
        conf = self.new_conf('conf')
        status, out, err = run(conf, '-key', '-gen', '-N', 'small', '-K', '383')
        self.assertEqual((status, out), (0, ''))
        self.assert_failed(err)  # no message of its own
        self.assertTrue(os.path.exists(conf))  # the attempt still rewrites the file
        self.assertEqual(run(conf, '-key', '-list'), (0, '', ''))
        # The library generates no RSA key below 512 bits.
        status, out, err = run(conf, '-key', '-gen', '-N', 'k384', '-K', '384')
        self.assert_failed(err)
        self.assertIn('key size too small', err)
        self.assertEqual(run(conf, '-key', '-gen', '-N', 'k512', '-K', '512'), (0, '', ''))
        self.assertIn('(512 bit', self.key_text(self.stored_key(conf, 'k512')))
        status, out, err = run(conf, '-key', '-gen', '-N', 'huge', '-K', '16385')
        self.assert_failed(err)
        self.assertEqual(run(conf, '-key', '-list'), (0, 'k512\n', ''))

    def test_generating_under_an_existing_name_replaces_the_key(self):
        conf = self.new_conf('conf')
        run(conf, '-key', '-gen', '-N', 'k', '-K', '512')
        first = self.stored_key(conf, 'k')
        self.assertEqual(run(conf, '-key', '-gen', '-N', 'k', '-K', '1024'), (0, '', ''))
        second = self.stored_key(conf, 'k')
        self.assertNotEqual(first, second)
        self.assertIn('(1024 bit', self.key_text(second))
        self.assertEqual(run(conf, '-key', '-list'), (0, 'k\n', ''))

    def test_delete_key(self):
        conf = self.new_conf('conf')
        run(conf, '-key', '-gen', '-N', 'a', '-K', '512')
        run(conf, '-key', '-gen', '-N', 'b', '-K', '512')
        self.assertEqual(run(conf, '-key', '-delete', '-N', 'a'), (0, '', ''))
        self.assertEqual(run(conf, '-key', '-list'), (0, 'b\n', ''))
        self.assertEqual(run(conf, '-key', '-delete', '-N', 'b'), (0, '', ''))
        self.assertNotIn('keys', orvfile.read_sections(conf, PW))

    def test_request_text_pem_signature_and_subject_types(self):
        conf = self.new_conf('conf')
        run(conf, '-key', '-gen', '-N', 'k', '-K', '1024')
        before = file_bytes(conf)
        csr = path('types.csr')
        subject = '/C=US/ST=Some State/L=Town/O=Example Co./OU=a_b/CN=some@one/Email=x@example.com'
        self.assertEqual(run(conf, '-key', '-Req', '-N', 'k', '-O', csr, '-D', subject),
                         (0, '', ''))
        self.assertEqual(file_bytes(conf), before)  # a request does not change the store
        text = file_bytes(csr).decode()
        self.assertTrue(text.startswith('Certificate Request:\n'))
        self.assertEqual(text.count('-----BEGIN CERTIFICATE REQUEST-----'), 1)
        self.assertTrue(text.endswith('-----END CERTIFICATE REQUEST-----\n'))
        self.assertLess(text.index('Certificate Request:'), text.index('-----BEGIN'))
        r = subprocess.run(['openssl', 'req', '-in', csr, '-verify', '-noout', '-text',
                            '-nameopt', 'show_type'], capture_output=True, timeout=RUN_TIMEOUT)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b'verify OK', r.stdout + r.stderr)
        shown = r.stdout.decode()
        self.assertIn('Signature Algorithm: sha256WithRSAEncryption', shown)
        self.assertIn('Version: 1 (0x0)', shown)
        self.assertIn('Subject: C=PRINTABLESTRING:US, ST=PRINTABLESTRING:Some State, '
                      'L=PRINTABLESTRING:Town, O=PRINTABLESTRING:Example Co., '
                      'OU=IA5STRING:a_b, CN=T61STRING:some@one, '
                      'emailAddress=IA5STRING:x@example.com', shown)
        # The same types, straight from the DER.
        parsed = openssl('asn1parse', '-in', csr).decode()
        types = re.findall(r'(PRINTABLESTRING|T61STRING|IA5STRING)\s*:(.*)', parsed)
        self.assertEqual(types, [('PRINTABLESTRING', 'US'), ('PRINTABLESTRING', 'Some State'),
                                 ('PRINTABLESTRING', 'Town'), ('PRINTABLESTRING', 'Example Co.'),
                                 ('IA5STRING', 'a_b'), ('T61STRING', 'some@one'),
                                 ('IA5STRING', 'x@example.com')])
        # Its public key is the stored key's.
        der = self.stored_key(conf, 'k')
        key_mod = openssl('rsa', '-inform', 'DER', '-noout', '-modulus', data=der)
        self.assertEqual(openssl('req', '-in', csr, '-noout', '-modulus'), key_mod)

    def test_plain_subject_is_printable(self):
        conf = self.new_conf('conf')
        run(conf, '-key', '-gen', '-N', 'k', '-K', '512')
        csr = path('plain.csr')
        self.assertEqual(run(conf, '-key', '-Req', '-N', 'k', '-O', csr, '-D', '/C=US/CN=Someone'),
                         (0, '', ''))
        subject = openssl('req', '-in', csr, '-noout', '-subject', '-nameopt', 'show_type')
        self.assertEqual(subject, b'subject=C=PRINTABLESTRING:US, CN=PRINTABLESTRING:Someone\n')

    def test_request_with_another_password_fails(self):
        conf = self.new_conf('conf')
        run(conf, '-key', '-gen', '-N', 'k', '-K', '512')
        # A file made under one password whose key was encrypted under another.
        sections = orvfile.read_text(conf, PW)
        orvfile.write_text(conf, 'second', sections)
        status, out, err = run(conf, '-key', '-Req', '-N', 'k', '-O', path('x.csr'), '-D', '/CN=x',
                               password='second')
        self.assert_failed(err, 'unable to generate certificate request\n')


class pki:
    """The test PKI shared by the certificate, session and view tests."""
    made = False

    @classmethod
    def make(cls):
        if cls.made:
            return
        ca = ca_factory(path('ca'))
        cls.ca = ca
        cls.conf = fresh_conf('pki.orv')
        assert run(cls.conf, '-key', '-gen', '-N', 'k1', '-K', '1024')[0] == 0
        csr = path('ca/user.csr')
        assert run(cls.conf, '-key', '-Req', '-N', 'k1', '-O', csr,
                   '-D', '/C=US/O=Test/CN=user one')[0] == 0
        cls.root = ca.root('root', -10, 3650)
        issuer = (cls.root, ca.p('root.key'))
        cls.user = ca.sign('user', csr, -1, 365, issuer)
        cls.user_expired = ca.sign('user_expired', csr, -30, -1, issuer)
        cls.user_future = ca.sign('user_future', csr, 2, 30, issuer)
        other_key = ca.key('other')
        cls.other = ca.sign('other', ca.request('other', other_key, '/CN=other'), -1, 30, issuer)
        cls.root_expired = ca.root('root_expired', -30, -2)
        cls.root_future = ca.root('root_future', 3, 300)
        inter_key = ca.key('inter')
        cls.intermediate = ca.sign('inter', ca.request('inter', inter_key, '/CN=Intermediate'),
                                   -1, 300, issuer, ext='ext_root')
        der = bytearray(file_bytes(ca.der(cls.root)))
        der[-1] ^= 0x01  # the signature no longer verifies
        cls.root_broken = ca.p('root_broken.der')
        with open(cls.root_broken, 'wb') as f:
            f.write(der)
        cls.made = True


class certificate_tests(orvconf_test):
    @classmethod
    def setUpClass(cls):
        pki.make()

    def test_insert_pem_and_der_then_view_with_fingerprints(self):
        conf = self.new_conf('conf')
        self.assertEqual(run(conf, '-cert', '-insert', '-N', 'pem', '-I', pki.user), (0, '', ''))
        self.assertEqual(run(conf, '-cert', '-insert', '-N', 'der', '-I', pki.ca.der(pki.user)),
                         (0, '', ''))
        self.assertEqual(run(conf, '-root', '-insert', '-N', 'r', '-I', pki.root), (0, '', ''))
        self.assertEqual(run(conf, '-cert', '-list'), (0, 'pem\nder\n', ''))
        self.assertEqual(run(conf, '-root', '-list'), (0, 'r\n', ''))
        expected = certificate_view(pki.user)
        self.assertEqual(run(conf, '-cert', '-view', '-N', 'pem'), (0, expected, ''))
        self.assertEqual(run(conf, '-cert', '-view', '-N', 'der'), (0, expected, ''))
        self.assertEqual(run(conf, '-root', '-view', '-N', 'r'),
                         (0, certificate_view(pki.root), ''))
        fp = fingerprints(pki.user).splitlines()
        self.assertRegex(fp[0], r'^MD5 Fingerprint=([0-9A-F]{2}:){15}[0-9A-F]{2}$')
        self.assertRegex(fp[1], r'^SHA1 Fingerprint=([0-9A-F]{2}:){19}[0-9A-F]{2}$')
        # Stored as the DER of the certificate, in hex.
        certs = dict(orvfile.read_sections(conf, PW)['certs'])
        self.assertEqual(bytes.fromhex(certs['der']), file_bytes(pki.ca.der(pki.user)))

    def test_insert_under_an_existing_name_replaces(self):
        conf = self.new_conf('conf')
        run(conf, '-cert', '-insert', '-N', 'c', '-I', pki.user)
        self.assertEqual(run(conf, '-cert', '-insert', '-N', 'c', '-I', pki.other), (0, '', ''))
        self.assertEqual(run(conf, '-cert', '-view', '-N', 'c'),
                         (0, certificate_view(pki.other), ''))
        self.assertEqual(run(conf, '-cert', '-list'), (0, 'c\n', ''))

    def test_view_and_delete_of_missing_certificates(self):
        conf = self.new_conf('conf')
        run(conf, '-root', '-insert', '-N', 'r', '-I', pki.root)
        for args in (['-cert', '-view', '-N', 'r'], ['-root', '-view', '-N', 'nope']):
            with self.subTest(args=args):
                status, out, err = run(conf, *args)
                self.assertEqual((status, out), (0, ''))
                self.assert_failed(err)
        self.assertEqual(run(conf, '-root', '-delete', '-N', 'r'), (0, '', ''))
        self.assertEqual(run(conf, '-root', '-list'), (0, '', ''))

    def test_list_and_view_leave_the_file_untouched(self):
        conf = self.new_conf('conf')
        run(conf, '-cert', '-insert', '-N', 'c', '-I', pki.user)
        before = file_bytes(conf)
        for args in (['-cert', '-list'], ['-cert', '-view', '-N', 'c'], ['-listall'], ['-viewall'],
                     ['-session', '-list'], ['-partner', '-list', '-N', 'x']):
            run(conf, *args)
        self.assertEqual(file_bytes(conf), before)


class session_tests(orvconf_test):
    @classmethod
    def setUpClass(cls):
        pki.make()

    def session_conf(self):
        """A file with the key k1 and every certificate of the test PKI."""
        conf = self.new_conf('conf')
        shutil.copy(pki.conf, conf)
        for kind, name, pem in (
                ('-cert', 'user', pki.user), ('-cert', 'user_expired', pki.user_expired),
                ('-cert', 'user_future', pki.user_future), ('-cert', 'other', pki.other),
                ('-root', 'root', pki.root), ('-root', 'root_expired', pki.root_expired),
                ('-root', 'root_future', pki.root_future),
                ('-root', 'inter', pki.intermediate), ('-root', 'broken', pki.root_broken)):
            self.assertEqual(run(conf, kind, '-insert', '-N', name, '-I', pem), (0, '', ''))
        return conf

    def insert_session(self, conf, name, cert, root, key='k1', *extra):
        self.assertEqual(run(conf, '-session', '-insert', '-N', name, '-L', '9000', '-H',
                             '127.0.0.1', '-P', '9443', '-B', cert, '-X', root, '-A', key, *extra),
                         (0, '', ''))

    def status_of(self, conf, name):
        status, out, err = run(conf, '-session', '-view', '-N', name)
        self.assertEqual((status, err), (0, ''))
        m = re.search(r'^Session status:       (.*)$', out, re.M)
        return m.group(1) if m else None

    def test_validation_codes_in_their_order(self):
        conf = self.session_conf()
        cases = [
            ('ok', 'user', 'root', 'k1', [], 'ok'),
            ('noroot', 'user', 'missing', 'k1', [], 'invalid root certificate'),
            ('interroot', 'user', 'inter', 'k1', [], 'invalid root certificate'),
            ('brokenroot', 'user', 'broken', 'k1', [], 'invalid root certificate'),
            ('nocert', 'missing', 'root', 'k1', [], 'invalid user certificate'),
            ('nocert_noauth', 'missing', 'root', 'missing', ['-x'], 'ok'),
            ('noroot_noauth', 'missing', 'inter', 'k1', ['-x'], 'invalid root certificate'),
            ('otherkey', 'other', 'root', 'k1', [], "user certificate does'nt match key"),
            ('nokey', 'user', 'root', 'missing', [], "user certificate does'nt match key"),
            ('rootfuture', 'user', 'root_future', 'k1', [], 'root certificate is not yet valid'),
            ('rootexpired', 'user', 'root_expired', 'k1', [], 'root certificate has expired'),
            ('userfuture', 'user_future', 'root', 'k1', [], 'user certificate is not yet valid'),
            ('userexpired', 'user_expired', 'root', 'k1', [], 'user certificate has expired'),
            # The first code that applies wins.
            ('order_5_8', 'user_expired', 'root_future', 'k1', [],
             'root certificate is not yet valid'),
            ('order_6_7', 'user_future', 'root_expired', 'k1', [], 'root certificate has expired'),
            ('order_3_6', 'other', 'root_expired', 'k1', [], "user certificate does'nt match key"),
            ('order_2_5', 'missing', 'root_future', 'k1', [], 'invalid user certificate'),
            ('order_1_3', 'other', 'inter', 'k1', [], 'invalid root certificate'),
        ]
        for name, cert, root, key, extra, _ in cases:
            self.insert_session(conf, name, cert, root, key, *extra)
        # A section that is not a complete session: only a partner entry.
        self.assertEqual(run(conf, '-partner', '-insert', '-N', 'partial', '-J', 'p'), (0, '', ''))
        cases.append(('partial', None, None, None, [], 'required parameter is missing'))
        for name, _, _, _, _, expected in cases:
            with self.subTest(session=name):
                self.assertEqual(self.status_of(conf, name), expected)
        self.assertNotIn('partial', run(conf, '-session', '-list')[1].split())

    def test_service_names_and_host_names_are_accepted(self):
        conf = self.session_conf()
        self.assertEqual(run(conf, '-session', '-insert', '-N', 'named', '-L', 'sieve', '-H',
                             'no-such-host.invalid', '-P', 'https', '-G', 'localhost', '-B', 'user',
                             '-X', 'root', '-A', 'k1'), (0, '', ''))
        self.assertEqual(run(conf, '-session', '-insert', '-N', 'nobind', '-L', '65535', '-H', 'h',
                             '-P', '1', '-G', '', '-B', 'user', '-X', 'root', '-A', 'k1'), (0, '', ''))
        out = run(conf, '-session', '-view', '-N', 'named')[1]
        for line in ('Local address:        localhost', 'Local port:           sieve',
                     'Server host:          no-such-host.invalid', 'Server port:          https'):
            self.assertIn(line + '\n', out)
        # IPv6 listening addresses, as the agents take them.
        for address in ('::1', '::'):
            self.assertEqual(run(conf, '-session', '-insert', '-N', 'six', '-L', '9000', '-H', 'h', '-P', '1',
                                 '-G', address, '-B', 'user', '-X', 'root', '-A', 'k1'), (0, '', ''))
            self.assertIn('Local address:        %s\n' % address, run(conf, '-session', '-view', '-N', 'six')[1])

    def test_further_far_agents_and_failover(self):
        conf = self.session_conf()
        self.insert_session(conf, 'plain', 'user', 'root')
        out = run(conf, '-session', '-view', '-N', 'plain')[1]
        self.assertNotIn('Further far agents:', out)  # sessions without them look as before
        self.assertNotIn('Failover:', out)
        self.assertNotIn('Pending handshakes:', out)
        self.assertEqual(run(conf, '-session', '-insert', '-N', 'many', '-L', '9000', '-H', '::1', '-P', '9443',
                             '-W', '[::2]:9001, far.example:https', '-Y', 'rr', '-V', '2000,100', '-B', 'user',
                             '-X', 'root', '-A', 'k1'), (0, '', ''))
        out = run(conf, '-session', '-view', '-N', 'many')[1]
        for line in ('Server host:          ::1', 'Further far agents:   [::2]:9001, far.example:https',
                     'Failover:             rr', 'Pending handshakes:   2000,100'):
            self.assertIn(line + '\n', out)
        for option, value, message in (
                ('-W', 'nohost', 'invalid far agent (-W): nohost'),
                ('-W', 'a:1,::1:2', 'invalid far agent (-W): ::1:2'),
                ('-W', 'a:0', 'invalid far agent (-W): a:0'),
                ('-Y', 'fast', 'invalid failover mode (-Y): fast (prio or rr)'),
                ('-t', '9100', 'invalid metrics endpoint (-t): 9100'),
                ('-t', '::1:9100', 'invalid metrics endpoint (-t): ::1:9100'),
                ('-t', '127.0.0.1:9100,127.0.0.1:9101', 'invalid metrics endpoint (-t): 127.0.0.1:9100,127.0.0.1:9101'),
                ('-V', '100', 'invalid pending handshake caps (-V): 100 (total,per source)'),
                ('-V', '100,0', 'invalid pending handshake caps (-V): 100,0 (total,per source)'),
                ('-V', '-1,5', 'invalid pending handshake caps (-V): -1,5 (total,per source)'),
                ('-V', '10,5x', 'invalid pending handshake caps (-V): 10,5x (total,per source)')):
            status, out, err = run(conf, '-session', '-insert', '-N', 'bad', '-L', '9000', '-H', 'h', '-P', '1',
                                   option, value, '-B', 'user', '-X', 'root', '-A', 'k1')
            self.assertEqual((status, err), (0, message + '\noperation failed\n'), value)

    def test_metrics_endpoint(self):
        conf = self.session_conf()
        self.insert_session(conf, 'plain', 'user', 'root')
        self.assertNotIn('Metrics endpoint:', run(conf, '-session', '-view', '-N', 'plain')[1])
        for name, value in (('four', '127.0.0.1:9100'), ('six', '[::1]:9100')):
            self.assertEqual(run(conf, '-session', '-insert', '-N', name, '-L', '9000', '-H', 'h', '-P', '1',
                                 '-t', value, '-B', 'user', '-X', 'root', '-A', 'k1'), (0, '', ''))
            self.assertIn('Metrics endpoint:     %s\n' % value, run(conf, '-session', '-view', '-N', name)[1])

    def test_session_view_text(self):
        conf = self.session_conf()
        self.insert_session(conf, 's1', 'user', 'root', 'k1', '-G', '127.0.0.2', '-C', 'HIGH',
                            '-M', '-e', '-m', '-a', '-j', '-u', '30', '-T', '5', '-Z', '1',
                            '-E', 'run this', '-o', 'ftp')
        self.assertEqual(run(conf, '-partner', '-insert', '-N', 's1', '-J', 'ab', '-U', 'mapped',
                             '-b', '10.0.0.1', '-q', '255.255.255.0'), (0, '', ''))
        self.assertEqual(run(conf, '-partner', '-insert', '-N', 's1', '-J', 'cd', '-b',
                             '10.0.0.2'), (0, '', ''))
        expected = (
            'Session name:         s1\n'
            '====================================\n'
            'Local address:        127.0.0.2\n'
            'Local port:           9000\n'
            'Server host:          127.0.0.1\n'
            'Server port:          9443\n'
            'Cipher:               HIGH\n'
            'Key:                  k1\n'
            'Certificate:          user\n'
            'Root certificate:     root\n'
            'Multiple connections: yes\n'
            'Cache connections:    yes\n'
            'Minimize/Restore:     yes\n'
            'Close on deactivation:yes\n'
            'Client authentication:yes\n'
            'SSL version:          SSL2+SSL3\n'
            'TCP no delay:         yes\n'
            'Inactivity timeout:   30\n'
            'Accept timeout:       5\n'
            'Command:              run this\n'
            'Map login name:       ftp\n'
            '\n'
            'Session status:       ok\n'
            '====================================\n'
            '\n'
            'Session partners:\n'
            '====================================\n'
            'ab, mapped, 10.0.0.1, 255.255.255.0\n'
            'cd, , 10.0.0.2\n'
            '\n')
        code, out, err = run(conf, '-session', '-view', '-N', 's1')
        # Under the status, the certificates' expiry as it stands today (the days left change).
        expiry = re.findall(r'^(?:User|Root) cert expires:    \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC, in \d+ days\n',
                            out, re.M)
        self.assertEqual(len(expiry), 2, out)
        self.assertIn('Session status:       ok\n' + ''.join(expiry) + '=====', out)
        for line in expiry:
            out = out.replace(line, '', 1)
        self.assertEqual((code, out, err), (0, expected, ''))
        # The stored values, in their fixed order.
        stored = orvfile.read_sections(conf, PW)['s1']
        self.assertEqual([k for k, _ in stored],
                         ['port', 'bindaddr', 'server', 'serverport', 'cipherlist', 'cert', 'root',
                          'multicall', 'nodelay', 'minres', 'autoclose', 'command', 'login',
                          'cache', 'timeout', 'accept_timeout', 'key', 'sslmode', 'noclientauth',
                          'partner6162', 'partner6364'])
        self.assertEqual(dict(stored)['partner6162'], 'ab\tmapped\t10.0.0.1\t255.255.255.0')

    def test_minimal_session_view_defaults(self):
        conf = self.session_conf()
        self.insert_session(conf, 's2', 'user', 'root', 'k1', '-Z', '7')
        out = run(conf, '-session', '-view', '-N', 's2')[1]
        for line in ('Local address:        (null)\n', 'Cipher:               <default>\n',
                     'Multiple connections: no\n', 'SSL version:          unknown\n',
                     'Inactivity timeout:   infinity\n', 'Accept timeout:       infinity\n',
                     'Command:              <none>\n', 'Map login name:       no\n',
                     'Session partners:\n====================================\n\n'):
            self.assertIn(line, out)

    def test_sessions_and_partners_lifecycle(self):
        conf = self.session_conf()
        self.insert_session(conf, 'a', 'user', 'root', 'k1', '-C', 'HIGH')
        self.insert_session(conf, 'b', 'user', 'root')
        self.insert_session(conf, 'ab', 'user', 'root')
        self.assertEqual(run(conf, '-session', '-list'), (0, 'a\nb\nab\n', ''))
        for args in (['-J', 'p1', '-U', 'm1', '-b', '1.2.3.4', '-q', '255.0.0.0'],
                     ['-J', 'p2', '-q', '255.255.0.0'], ['-J', 'p3', '-U', 'm3'], ['-J', 'p4']):
            self.assertEqual(run(conf, '-partner', '-insert', '-N', 'a', *args), (0, '', ''))
        listing = 'p1, m1, 1.2.3.4, 255.0.0.0\np2, , , 255.255.0.0\np3, m3\np4\n'
        self.assertEqual(run(conf, '-partner', '-list', '-N', 'a'), (0, listing, ''))
        # Re-inserting keeps the cipher list and the partners, and changes the given values.
        self.insert_session(conf, 'a', 'user', 'root', 'k1', '-u', '99')
        view = run(conf, '-session', '-view', '-N', 'a')[1]
        self.assertIn('Cipher:               HIGH\n', view)
        self.assertIn('Inactivity timeout:   99\n', view)
        self.assertEqual(run(conf, '-partner', '-list', '-N', 'a'), (0, listing, ''))
        self.assertEqual(run(conf, '-session', '-list'), (0, 'a\nb\nab\n', ''))
        # Partner replace and delete.
        self.assertEqual(run(conf, '-partner', '-insert', '-N', 'a', '-J', 'p1', '-U', 'new'),
                         (0, '', ''))
        self.assertEqual(run(conf, '-partner', '-delete', '-N', 'a', '-J', 'p2'), (0, '', ''))
        self.assertEqual(run(conf, '-partner', '-list', '-N', 'a'), (0, 'p3, m3\np4\np1, new\n', ''))
        self.assert_failed(run(conf, '-partner', '-delete', '-N', 'a', '-J', 'p2')[2])
        self.assertEqual(run(conf, '-partner', '-list', '-N', 'nosuch'), (0, '', ''))
        # Deleting a session takes its partners with it.
        self.assertEqual(run(conf, '-session', '-delete', '-N', 'a'), (0, '', ''))
        self.assertEqual(run(conf, '-session', '-list'), (0, 'b\nab\n', ''))
        self.assertEqual(run(conf, '-partner', '-list', '-N', 'a'), (0, '', ''))
        self.assert_failed(run(conf, '-session', '-view', '-N', 'a')[2])
        run(conf, '-session', '-delete', '-N', 'b')
        run(conf, '-session', '-delete', '-N', 'ab')
        self.assertEqual(dict(orvfile.read_sections(conf, PW)['default'])['sessions'], '')

    def test_listall_and_viewall(self):
        conf = self.session_conf()
        self.insert_session(conf, 's1', 'user', 'root')
        self.insert_session(conf, 's2', 'other', 'inter', 'k1', '-x')
        run(conf, '-partner', '-insert', '-N', 's2', '-J', 'far', '-b', '10.1.1.1')
        run(conf, '-key', '-gen', '-N', 'k2', '-K', '512')
        certs = ['user', 'user_expired', 'user_future', 'other']
        roots = ['root', 'root_expired', 'root_future', 'inter', 'broken']
        expected_list = ('Keys:\n-----\nk1\nk2\n\n'
                         'User Certificates:\n------------------\n' + ''.join(
                             c + '\n' for c in certs) + '\n'
                         'Root Certificates:\n------------------\n' + ''.join(
                             r + '\n' for r in roots) + '\n'
                         'Sessions:\n---------\ns1\ns2\n\n')
        self.assertEqual(run(conf, '-listall'), (0, expected_list, ''))

        pems = {'user': pki.user, 'user_expired': pki.user_expired,
                'user_future': pki.user_future, 'other': pki.other, 'root': pki.root,
                'root_expired': pki.root_expired, 'root_future': pki.root_future,
                'inter': pki.intermediate}
        # The broken root is printed from its DER too; openssl reads it without checking.
        broken_pem = path('broken.pem')
        openssl('x509', '-inform', 'DER', '-in', pki.root_broken, '-out', broken_pem)
        pems['broken'] = broken_pem

        def block(names):
            return ''.join(n + '\n==================\n' + certificate_view(pems[n]) + '\n'
                           for n in names) + '\n'

        sessions = ''.join(run(conf, '-session', '-view', '-N', s)[1] + '\n'
                           for s in ('s1', 's2')) + '\n'
        expected_view = ('Keys:\n-----\nk1\nk2\n\n'
                         'User Certificates:\n------------------\n' + block(certs) +
                         'Root Certificates:\n------------------\n' + block(roots) +
                         'Sessions:\n---------\n' + sessions)
        status, out, err = run(conf, '-viewall')
        self.assertEqual((status, err), (0, ''))
        self.assertEqual(out, expected_view)
        self.assertIn('Session status:       ok\n', out)  # s1
        self.assertIn('Session status:       invalid root certificate\n', out)  # s2


class password_tests(orvconf_test):
    @classmethod
    def setUpClass(cls):
        pki.make()

    def keys_of(self, conf, password):
        sections = orvfile.read_sections(conf, password)
        return None if sections is None else dict(sections.get('keys', []))

    def test_prompt_without_echo(self):
        conf = self.new_conf('conf')
        s = self.pty(['-f', conf, '-key', '-gen', '-N', 'k', '-K', '512'])
        s.expect('Enter password for "%s":' % conf)
        s.type(b'typed-secret\n')
        status, out, err = s.finish()
        self.assertEqual((status, out, err), (0, '', ''))
        self.assertNotIn(b'typed-secret', s.screen)  # not echoed
        self.assertIsNotNone(orvfile.read_sections(conf, 'typed-secret'))
        self.assertIsNone(orvfile.read_sections(conf, PW))

    def test_empty_or_ended_password_input(self):
        conf = self.new_conf('conf')
        for answer in (b'\n', b'\x04'):
            with self.subTest(answer=answer):
                s = self.pty(['-f', conf, '-key', '-gen', '-N', 'k'])
                s.expect('Enter password for "%s":' % conf)
                s.type(answer)
                self.assertEqual(s.finish(), (0, '', 'Error during password input\n'))
        # Without a terminal the library prompts on standard error and reads standard input,
        # here at its end.
        self.assertEqual(run(conf, '-key', '-gen', '-N', 'k', password=None),
                         (0, '', 'Enter password for "%s":\nError during password input\n' % conf))
        self.assertFalse(os.path.exists(conf))

    def test_not_dumpable_while_it_asks(self):
        """From its start orvconf is not dumpable: no core file, no reading of its memory."""
        s = self.pty(['-f', path('never-written.orv'), '-listall'], as_nobody_if_root)
        s.expect('Enter password for "%s":' % path('never-written.orv'))
        self.assertFalse(is_dumpable(s.proc.pid))
        s.close()

    def test_password_from_a_pipe_without_terminal(self):
        conf = self.new_conf('conf')
        r = subprocess.run([BIN, '-f', conf, '-listall'], input=b'piped\n', capture_output=True,
                           timeout=RUN_TIMEOUT, start_new_session=True)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout.decode(), EMPTY_LISTALL)

    def make_keys(self, conf):
        shutil.copy(pki.conf, conf)  # holds k1 under PW
        run(conf, '-key', '-gen', '-N', 'k2', '-K', '512')
        keys = self.keys_of(conf, PW)
        return {n: orvfile.decrypt_key_der(h, PW) for n, h in keys.items()}

    def assert_keys_under(self, conf, password, old_password, clear_keys):
        self.assertIsNone(orvfile.read_sections(conf, old_password))
        keys = self.keys_of(conf, password)
        self.assertEqual(sorted(keys), sorted(clear_keys))
        for name, hex_text in keys.items():
            self.assertEqual(orvfile.decrypt_key_der(hex_text, password), clear_keys[name])
            self.assertNotEqual(orvfile.decrypt_key_der(hex_text, old_password), clear_keys[name])

    def test_replace_password(self):
        conf = self.new_conf('conf')
        clear_keys = self.make_keys(conf)
        s = self.pty(['-f', conf, '-z', PW, '-y'])
        s.expect('Enter new password for "%s":' % conf)
        # The -z password is no longer readable in the process list.
        with open('/proc/%d/cmdline' % s.proc.pid, 'rb') as f:
            cmdline = f.read()
        self.assertNotIn(PW.encode(), cmdline)
        self.assertIn(b'-y', cmdline)
        # Nor a gap as long as it: the arguments show as one line with the value left out.
        self.assertEqual(cmdline.rstrip(b'\0'), ' '.join([BIN, '-f', conf, '-z', '', '-y']).encode())
        s.type(b'\n')  # an empty entry asks again
        s.expect('Enter new password for "%s":' % conf)
        s.type(b'new-secret\n')
        self.assertEqual(s.finish(), (0, '', ''))
        self.assertNotIn(b'new-secret', s.screen)
        self.assert_keys_under(conf, 'new-secret', PW, clear_keys)
        self.assertEqual(run(conf, '-key', '-list', password='new-secret'), (0, 'k1\nk2\n', ''))
        self.assert_failed(run(conf, '-key', '-list')[2],
                           'Unable to read secure config file %s\n' % conf)
        # A request from a re-encrypted key still works under the new password.
        self.assertEqual(run(conf, '-key', '-Req', '-N', 'k1', '-O', path('after.csr'), '-D',
                             '/CN=after', password='new-secret'), (0, '', ''))

    def test_replace_password_with_both_prompts(self):
        conf = self.new_conf('conf')
        clear_keys = self.make_keys(conf)
        s = self.pty(['-f', conf, '-y'])
        s.expect('Enter password for "%s":' % conf)
        s.type(PW.encode() + b'\n')
        s.expect('Enter new password for "%s":' % conf)
        s.type(b'second\n')
        self.assertEqual(s.finish(), (0, '', ''))
        self.assert_keys_under(conf, 'second', PW, clear_keys)

    def test_replace_password_gives_up_after_repeated_failures(self):
        conf = self.new_conf('conf')
        self.make_keys(conf)
        before = file_bytes(conf)
        s = self.pty(['-f', conf, '-z', PW, '-y'])
        for _ in range(3):
            s.expect('Enter new password for "%s":' % conf)
            s.type(b'\n')
        self.assertEqual(s.finish(), (0, '', 'Error during password input\n'))
        self.assertEqual(file_bytes(conf), before)


def main():
    global BIN, TMP
    if len(sys.argv) < 2:
        sys.exit('usage: orvconf_e2e.py PATH_TO_ORVCONF [unittest args]')
    BIN = os.path.abspath(sys.argv.pop(1))
    TMP = tempfile.mkdtemp(prefix='orvconf_e2e.')
    try:
        unittest.main(verbosity=2)
    finally:
        shutil.rmtree(TMP, ignore_errors=True)


if __name__ == '__main__':
    main()
