"""A small DNS server for tests: A and AAAA records (an address with a colon is an AAAA one) from a table the test changes as it runs, each with a
time-to-live and an optional delay before the answer, or no answer at all. It listens on UDP port
53 of a loopback address of its own (the first free one of 127.53.0.1 to 127.53.0.254, so that
tests running side by side each have theirs), and a program started through `isolated()` sees it
as its only name server: a private mount namespace whose /etc/resolv.conf is bind-mounted over
the system's."""
import socket
import struct
import threading
import time



A, AAAA = 1, 28


class Record:
    def __init__(self, addresses, ttl=1, delay=0.0, silent=False, silent_types=()):
        self.addresses = list(addresses)
        self.ttl = ttl
        self.delay = delay
        # silent: no answer at all; silent_types: none for those query types (A, AAAA) only.
        self.silent_types = {A, AAAA} if silent else set(silent_types)


class FakeDns:
    def __init__(self):
        self.records = {}  # name: Record
        self.queries = []  # (time, name) of every question, for checks
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        for last in range(1, 255):
            self.address = "127.53.0.%d" % last
            try:
                self.sock.bind((self.address, 53))
                break
            except PermissionError:
                self.sock.close()
                raise
            except OSError:
                continue
        else:
            self.sock.close()
            raise OSError("no free loopback address for the fake DNS server")
        self.sock.settimeout(0.2)
        self.running = True
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def close(self):
        self.running = False
        self.thread.join(5)
        self.sock.close()

    def set(self, name, *addresses, ttl=1, delay=0.0, silent=False, silent_types=()):
        self.records[name.lower().rstrip(".")] = Record(addresses, ttl, delay, silent, silent_types)

    def serve(self):
        while self.running:
            try:
                packet, peer = self.sock.recvfrom(512)
            except socket.timeout:
                continue
            except OSError:
                return
            reply, delay = self.answer(packet)
            if reply is None:
                continue
            if delay > 0:
                threading.Timer(delay, self.send, (reply, peer)).start()
            else:
                self.send(reply, peer)

    def send(self, reply, peer):
        try:
            self.sock.sendto(reply, peer)
        except OSError:
            pass

    def answer(self, packet):
        """(reply, delay), or (None, 0) for no reply."""
        if len(packet) < 12:
            return None, 0
        ident, _, qdcount = struct.unpack("!HHH", packet[:6])
        if qdcount != 1:
            return None, 0
        pos, labels = 12, []
        while pos < len(packet) and packet[pos] != 0:
            n = packet[pos]
            labels.append(packet[pos + 1:pos + 1 + n].decode(errors="replace"))
            pos += 1 + n
        question_end = pos + 5
        if question_end > len(packet):
            return None, 0
        qtype = struct.unpack("!H", packet[pos + 1:pos + 3])[0]
        name = ".".join(labels).lower()
        self.queries.append((time.monotonic(), name))
        question = packet[12:question_end]
        record = self.records.get(name)
        if record is not None and qtype in record.silent_types:
            return None, 0
        rcode = 0 if record is not None else 3  # NXDOMAIN for names it does not know
        answers = b""
        count = 0
        if record is not None and qtype in (A, AAAA):
            for a in record.addresses:
                if (":" in a) != (qtype == AAAA):
                    continue
                data = socket.inet_pton(socket.AF_INET6 if qtype == AAAA else socket.AF_INET, a)
                answers += struct.pack("!HHHIH", 0xC00C, qtype, 1, record.ttl, len(data)) + data
                count += 1
        header = struct.pack("!HHHHHH", ident, 0x8180 | rcode, 1, count, 0, 0)
        return header + question + answers, (record.delay if record is not None else 0.0)


def isolated(command, resolv_conf):
    """`command` (a list) run with `resolv_conf` as /etc/resolv.conf, in a mount namespace of its
    own; the program keeps the PID of the wrapper (unshare and sh exec it)."""
    return ["unshare", "-m", "sh", "-c", 'mount --bind "$0" /etc/resolv.conf && exec "$@"', resolv_conf, *command]
