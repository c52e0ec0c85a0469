#!/usr/bin/env python3
"""netquill-run's -s and -e and the dumps of sendfile, on sendfile_probe:
each case's trace read through netquill-json, the bytes of every sendfile
line against the file range it sent, every cut against what the call
moved, the calls -e lets through; and, whole, the stream netquill-pcap
makes of it as tshark follows it."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "..", "tests", "support"))
from nqtest import check, records, report  # noqa: E402

FILE_SIZE, FROM, OWN_FROM = 70000, 100, 5  # as sendfile_probe.c
FILE = bytes((i * 31 + i // 256) & 0xFF for i in range(FILE_SIZE))
CALLS = {"socket", "bind", "listen", "getsockname", "connect", "accept",
         "write", "sendfile", "select", "shutdown", "recv", "closesocket"}

# Options, the calls the trace holds, the bytes a dump shows at most.
CASES = [
    (["-f", "4"], CALLS, None),
    (["-f", "4", "-s", "16"], CALLS, 16),
    (["-f", "4", "-s", "0x1000"], CALLS, 4096),
    (["-f", "4", "-e", "!select,recv"], CALLS - {"select", "recv"}, None),
    (["-f", "4", "-e", "sendfile,write", "-s", "3"], {"sendfile", "write"},
     3),
]


def sent_by_sendfile(recs):
    """Per sendfile record, the bytes its range of the file holds: calls
    without an offset go on from FROM, the others from OWN_FROM."""
    at = {"0x0": FROM}
    for r in recs:
        if r.get("call") != "sendfile":
            continue
        own = "own" if r["args"][2] != "0x0" else "0x0"
        start = at.get(own, OWN_FROM)
        at[own] = start + r["result"]
        yield r, FILE[start:start + r["result"]]


def check_case(args, work, options, calls, limit):
    name = " ".join(options)
    trace = os.path.join(work, "t.log")
    if os.path.exists(trace):
        os.remove(trace)
    proc = subprocess.run([args.netquill_run, "-o", trace] + options +
                          [args.probe, os.path.join(work, "file")],
                          capture_output=True, timeout=120)
    check(proc.returncode == 0, "%s: probe exit %d" % (name, proc.returncode),
          proc.stderr.decode(errors="replace"))
    recs = records(args.json, trace)
    seen = {r["call"] for r in recs if r["type"] == "call"}
    check(seen == calls, "%s: calls %s" % (name, sorted(seen)))
    check(not [r for r in recs if r["type"] == "damaged"],
          "%s: damaged lines" % name)
    for r in recs:
        if r.get("type") != "call" or not isinstance(r["result"], int) or \
                r["call"] not in ("write", "sendfile", "recv"):
            continue
        moved = r["result"]
        shown = moved if limit is None else min(moved, limit)
        check(len(r.get("dump", "")) == 2 * shown and
              r.get("cut", 0) == moved - shown,
              "%s: %s of %d bytes shows %d, cut %s" % (
                  name, r["call"], moved, len(r.get("dump", "")) // 2,
                  r.get("cut")))
    ranges = list(sent_by_sendfile(recs))
    check(sum(len(b) for _, b in ranges) == FILE_SIZE - FROM + 1000,
          "%s: sendfile sent %d bytes" % (name, sum(len(b) for _, b in ranges)))
    for r, want in ranges:
        check(bytes.fromhex(r.get("dump", "")) == want[:len(want) if limit
                                                        is None else limit],
              "%s: %s dumps other bytes than its file range" % (name, r["text"]))
    return trace


def followed_stream(capture):
    """The bytes the first TCP stream carries from its client, as tshark
    follows them."""
    out = subprocess.run(["tshark", "-r", capture, "-qz", "follow,tcp,raw,0"],
                         capture_output=True, text=True, timeout=120).stdout
    # The client's bytes are the lines without indentation after the nodes.
    body = out.split("Node 1:", 1)[-1].splitlines()[1:]
    return b"".join(bytes.fromhex(l) for l in body
                    if re.fullmatch(r"(?:[0-9a-f]{2})+", l))


def check_capture(args, work, trace):
    capture = os.path.join(work, "t.pcapng")
    proc = subprocess.run([args.pcap, "-o", capture, trace],
                          capture_output=True, text=True, timeout=120)
    check(proc.returncode == 0, "netquill-pcap exit %d" % proc.returncode,
          proc.stderr)
    check("sendfile" not in proc.stderr and "left out" not in proc.stderr,
          "netquill-pcap left bytes out", proc.stderr)
    want = b"head" + FILE[FROM:] + FILE[OWN_FROM:OWN_FROM + 1000]
    got = followed_stream(capture)
    check(got == want, "the capture's stream differs from the file: %d of "
          "%d bytes" % (len(got), len(want)))
    comments = subprocess.run(
        ["tshark", "-r", capture, "-T", "fields", "-e", "frame.comment"],
        capture_output=True, text=True, timeout=120).stdout.splitlines()
    check(any(re.search(r"t\.log:\d+ NQ_SENDFILE_PROBE( thread 0x[0-9A-F]+)?: "
                        r"sendfile\(\d+, \d+, 0x0, 69900\) returned \d+$", c)
              for c in comments),
          "no frame names its sendfile call", comments[:12])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--netquill-run", required=True)
    ap.add_argument("--netquill-json", dest="json", required=True)
    ap.add_argument("--netquill-pcap", dest="pcap", required=True)
    ap.add_argument("--probe", required=True)
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="nq-dump-options-")
    try:
        for i, (options, calls, limit) in enumerate(CASES):
            trace = check_case(args, work, options, calls, limit)
            if i == 0:
                check_capture(args, work, trace)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return report("%d cases" % len(CASES))


if __name__ == "__main__":
    sys.exit(main())
