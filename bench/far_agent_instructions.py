#!/usr/bin/env python3
"""orvserver's instructions per relayed byte, counted by callgrind, for one or more builds:

  python3 bench/far_agent_instructions.py build [other-build ...]

Wall-clock figures on two shared cores move by 10 % or more from run to run; instruction counts do
not. Each direction is measured by two iperf3 transfers of different lengths through orvclient and
orvserver (under callgrind), so that start-up and handshakes cancel out of the difference. Needs
valgrind, iperf3 and openssl; runs on 127.0.0.1 and stops what it started by PID."""
import json
import os
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import far_agent_bench as fb  # noqa: E402

def run(build, seconds, reverse):
    b = fb.Bench(build)
    try:
        b.pki()
        ip = fb.free_port()
        b.spawn(["iperf3", "-s", "-p", str(ip)], "iperf3.log")
        fb.wait_listening(ip)
        port = fb.free_port()
        conf = b.config("server", "far", "port=%d server=127.0.0.1 serverport=%d multicall=1 cache=1 nodelay=1" % (port, ip))
        out = b.path("cg.out")
        far = b.spawn(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                       os.path.join(b.build, "server", "orvserver"), "-f", conf, "-p", fb.PASSWORD, "far"], "orvserver.log")
        fb.wait_listening(port, 60)
        cport, client = b.client(port)
        o = subprocess.run(["iperf3", "-c", "127.0.0.1", "-p", str(cport), "-t", str(seconds), "-J"] + (["-R"] if reverse else []),
                           capture_output=True, text=True, timeout=seconds + 60).stdout
        got = json.loads(o)["end"]["sum_received"]["bytes"]
        b.stop(client)
        far.send_signal(15); far.wait(60)
        ir = None
        for line in open(out):
            if line.startswith("summary:") or line.startswith("totals:"):
                ir = int(line.split()[1])
        return got, ir
    finally:
        b.close()

if len(sys.argv) < 2:
    sys.exit(__doc__)
for build in sys.argv[1:]:
    for reverse in (True, False):
        a = run(build, 2, reverse); c = run(build, 6, reverse)
        print(build, "down" if reverse else "up", "bytes", a[0], c[0], "Ir", a[1], c[1],
              "Ir/byte %.3f" % ((c[1] - a[1]) / (c[0] - a[0])), flush=True)
