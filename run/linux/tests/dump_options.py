#!/usr/bin/env python3
"""netquill-run's -s and -e and the dumps of sendfile: a program sends a
file over loopback TCP with sendfile both ways (the file's own offset, then
an offset of its own); each sendfile's dump is the file range it sent, each
cut what the call moved less the bytes shown, -e leaves out what it names;
the stream netquill-pcap makes of the whole trace, as tshark follows it,
is the file."""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "..", "tests", "support"))
from nqtest import check, follow, records, report  # noqa: E402

FILE = bytes((i * 31 + i // 256) & 255 for i in range(70000))
SENT = b"head" + FILE[100:] + FILE[5:1005]
PROGRAM = """import os, select, socket, sys, threading
data = bytes((i * 31 + i // 256) & 255 for i in range(70000))
fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT | os.O_TRUNC)
os.write(fd, data)
srv = socket.create_server(("127.0.0.1", 0))
c = socket.create_connection(srv.getsockname()); s = srv.accept()[0]
got = []
t = threading.Thread(target=lambda: got.extend(iter(lambda: s.recv(65536),
                                                    b"")))
t.start(); c.send(b"head"); os.lseek(fd, 100, 0); at = 5
while os.lseek(fd, 0, 1) < 70000: os.sendfile(c.fileno(), fd, None, 70000)
while at < 1005: at += os.sendfile(c.fileno(), fd, at, 1005 - at)
select.select([], [], [], 0); c.shutdown(socket.SHUT_WR); t.join()
sys.exit(b"".join(got) != b"head" + data[100:] + data[5:1005] or
         os.lseek(fd, 0, 1) != 70000)
"""
# Options, the bytes a dump shows at most, whether the calls seen are right.
CASES = [
    ([], None, lambda seen: {"select", "recv", "sendfile", "send"} <= seen),
    (["-s", "16"], 16, lambda seen: "sendfile" in seen),
    (["-e", "!select,recv", "-s", "0x1000"], 4096,
     lambda seen: not seen & {"select", "recv"} and "sendfile" in seen),
    (["-e", "sendfile,send", "-s", "3"], 3,
     lambda seen: seen == {"sendfile", "send"}),
]


def check_case(nqr, json, trace, options, limit, calls_ok):
    proc = subprocess.run([nqr, "-o", trace, "-f", "4"] + options +
                          [sys.executable, "-c", PROGRAM,
                           trace + ".file"], capture_output=True)
    check(proc.returncode == 0, "%s: exit %d" % (options, proc.returncode),
          proc.stderr)
    recs = [r for r in records(json, trace) if r["type"] == "call"]
    check(calls_ok({r["call"] for r in recs}), "%s: calls %s" % (
        options, sorted({r["call"] for r in recs})))
    at = {True: 100, False: 5}  # where each way's next range starts
    for r in [r for r in recs if r["call"] in ("send", "recv", "sendfile")]:
        moved, dump = r["result"], bytes.fromhex(r.get("dump", ""))
        shown = moved if limit is None else min(moved, limit)
        check(len(dump) == shown and r.get("cut", 0) == moved - shown,
              "%s: %s shows %d, cut %s" % (options, r["text"], len(dump),
                                           r.get("cut")))
        if r["call"] == "sendfile":
            start = at[r["args"][2] == "0x0"]
            at[r["args"][2] == "0x0"] = start + moved
            check(dump == FILE[start:start + shown],
                  "%s: %s dumps other bytes than it sent" % (options,
                                                             r["text"]))


def check_stream(pcap, trace, want):
    capture = trace + ".pcapng"
    subprocess.run([pcap, "-o", capture, trace], capture_output=True)
    got = follow(capture, "tcp", 0)[0]
    check(got == want, "%s: the capture's stream holds %d bytes" % (
        trace, len(got)))


def main():
    nqr, json, pcap = sys.argv[1:4]
    work = tempfile.mkdtemp(prefix="nq-dump-options-")
    try:
        for i, (options, limit, calls_ok) in enumerate(CASES):
            check_case(nqr, json, os.path.join(work, "t%d.log" % i), options,
                       limit, calls_ok)
        check_stream(pcap, os.path.join(work, "t0.log"), SENT)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return report()


if __name__ == "__main__":
    sys.exit(main())
