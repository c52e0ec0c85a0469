#!/usr/bin/env python3
"""netquill-run's -s and -e and the dumps of sendfile, on sendfile_probe:
each case's trace read through netquill-json, the bytes of every sendfile
line against the file range it sent, every cut against what the call
moved, the calls -e lets through; and, whole, the stream netquill-pcap
makes of it as tshark follows it. Where nginx is installed, the same for
nginx serving a file of 1 MB with sendfile on."""
import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

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


def followed_stream(capture, server=False):
    """The bytes the first TCP stream carries from its client (or from its
    server), as tshark follows them."""
    out = subprocess.run(["tshark", "-r", capture, "-qz", "follow,tcp,raw,0"],
                         capture_output=True, text=True, timeout=120).stdout
    # The client's bytes are the lines without indentation after the nodes,
    # the server's those indented by a tab.
    body = out.split("Node 1:", 1)[-1].splitlines()[1:]
    side = r"\t" if server else ""
    return b"".join(bytes.fromhex(l.strip()) for l in body
                    if re.fullmatch(side + r"(?:[0-9a-f]{2})+", l))


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


NGINX_CONF = """daemon off; master_process off; pid %(work)s/nginx.pid;
events { worker_connections 16; }
http { access_log off; sendfile on; client_body_temp_path %(work)s;
  proxy_temp_path %(work)s; fastcgi_temp_path %(work)s;
  uwsgi_temp_path %(work)s; scgi_temp_path %(work)s;
  server { listen 127.0.0.1:%(port)d; root %(work)s/www; } }
"""


def check_nginx(args, work):
    """nginx serving 1 MB with sendfile: the capture of its trace carries
    the file whole after the response's head."""
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    if not os.path.exists(nginx):
        print("nginx not installed: its case is not run")
        return
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    os.makedirs(os.path.join(work, "www"))
    body = bytes((i * 7 + i // 4093) & 0xFF for i in range(1 << 20))
    with open(os.path.join(work, "www", "big.bin"), "wb") as f:
        f.write(body)
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as f:
        f.write(NGINX_CONF % {"work": work, "port": port})
    trace = os.path.join(work, "nginx.log")
    server = subprocess.Popen(
        [args.netquill_run, "-o", trace, "-f", "4", nginx, "-c", conf,
         "-p", work, "-e", os.path.join(work, "error.log")],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        got = None
        for _ in range(100):
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/big.bin" %
                                            port, timeout=30) as r:
                    got = r.read()
                break
            except OSError:
                time.sleep(0.1)
    finally:
        server.terminate()
        server.wait(timeout=30)
    check(got == body, "nginx did not serve the file")
    recs = records(args.json, trace)
    sent = sum(r["result"] for r in recs if r.get("call") == "sendfile" and
               isinstance(r["result"], int) and r["result"] > 0)
    check(sent == len(body), "nginx sent %d bytes with sendfile" % sent)
    capture = os.path.join(work, "nginx.pcapng")
    subprocess.run([args.pcap, "-o", capture, trace], capture_output=True,
                   timeout=120)
    stream = followed_stream(capture, server=True)
    check(stream.endswith(b"\r\n\r\n" + body),
          "nginx's capture holds %d bytes, not its head and the file" %
          len(stream))


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
        check_nginx(args, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return report("%d cases" % len(CASES))


if __name__ == "__main__":
    sys.exit(main())
