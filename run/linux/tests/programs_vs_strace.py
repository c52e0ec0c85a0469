#!/usr/bin/env python3
"""Real programs under `netquill-run -ff -f 4` inside strace: per process,
every socket the program made has the same family, addresses, results and
bytes each way in both, and the output is the untraced one. Loopback only."""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import trace_read  # noqa: E402
from run_real_programs import Server, clean_env, page_bytes  # noqa: E402
import nqtest  # noqa: E402
from nqtest import SKIP, check, report  # noqa: E402

PCAP = None  # netquill-pcap, when given
JSON = None  # netquill-json, the trace reader
STRACE = ["strace", "-f", "-e", "read=all", "-e", "write=all", "-e",
          "trace=%network,read,write,readv,writev,close,clone,clone3"]


def serve(sock, answer):
    threading.Thread(target=answer, args=(sock,), daemon=True).start()
    return sock.getsockname()[1]


def dns(sock):  # every query answered with 192.0.2.1
    while True:
        q, peer = sock.recvfrom(512)
        end = q.index(b"\0", 12) + 5
        sock.sendto(q[:2] + b"\x81\x80\0\1\0\1\0\0\0\0" + q[12:end] +
                    b"\xc0\x0c\0\1\0\1\0\0\0\x3c\0\4\xc0\0\2\1", peer)


def echo(srv):
    while True:
        conn = srv.accept()[0]
        for data in iter(lambda: conn.recv(65536), b""):
            conn.sendall(data)
        conn.close()


def compare(nqr, work, name, cmd, stdin=b"", background=None):
    """cmd untraced, then under both; background(proc) drives a server."""
    def one(prefix, tag):
        full = [c.replace("@OUT@", os.path.join(work, name + tag))
                for c in cmd]
        proc = subprocess.Popen(prefix + full, cwd=work, env=clean_env(),
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        got = background(proc) if background else b""
        out = proc.communicate(stdin, timeout=120)[0] + got
        for f in sorted(os.listdir(work)):  # files the program wrote
            path = os.path.join(work, f)
            if f.startswith(name + tag) and os.path.isfile(path):
                out += open(path, "rb").read()
        return proc.returncode, out.replace(tag.encode(), b"")

    plain = one([], ".plain")
    slog, trace = (os.path.join(work, name + x) for x in (".st", ".nq"))
    traced = one(STRACE + ["-o", slog, nqr, "-ff", "-o", trace, "-f", "4"],
                 ".traced")
    if background is not None:
        plain = traced  # a server's output is its clients' fetch
    check(plain == traced, "%s: output differs" % name)
    theirs = {}
    for sock in trace_read.read_strace(slog):
        theirs.setdefault(sock.pid, []).append(sock)
    total = 0
    for f in [f for f in os.listdir(work) if f.startswith(name + ".nq.")]:
        pid = f.rsplit(".", 1)[1]
        seen = theirs.get(pid, [])
        for sock in trace_read.read_netquill(JSON, os.path.join(work, f)):
            total += 1
            # Sockets the C library made for itself (getaddrinfo's address
            # sorting) are strace's alone, and move no data.
            while seen and (seen[0].fd, seen[0].family) != (sock.fd,
                                                            sock.family):
                extra = seen.pop(0)
                check(not (extra.sent or extra.received),
                      "%s: fd %d untraced" % (name, extra.fd))
            check(seen and seen.pop(0).key() == sock.key(),
                  "%s %s: fd %d differs" % (name, pid, sock.fd))
        if PCAP:
            trace = os.path.join(work, f)
            nqtest.check_capture(PCAP, trace,
                                 trace_read.read_netquill(JSON, trace), name)
    check(total > 0, "%s: no socket traced" % name)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--netquill-run", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--netquill-pcap")
    ap.add_argument("--netquill-json", required=True)
    ap.add_argument("--calls", required=True, help="netquill_calls.txt")
    args = ap.parse_args()
    trace_read.read_calls(args.calls)
    global PCAP, JSON
    JSON = args.netquill_json
    PCAP = args.netquill_pcap and shutil.which("tshark") and \
        os.path.abspath(args.netquill_pcap)
    nqr, work = os.path.abspath(args.netquill_run), args.work
    missing = [t for t in ("strace", "curl", "wget", "socat", "dig", "git")
               if shutil.which(t) is None]
    if missing or subprocess.run(["strace", "-o", os.devnull, "true"],
                                 capture_output=True).returncode:
        print("SKIPPED: strace cannot run here, or missing %s" % missing)
        return SKIP
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    open(os.path.join(work, "page.bin"), "wb").write(page_bytes())
    git = ["git", "-c", "user.name=t", "-c", "user.email=t@t"]
    for cmd in (git + ["init", "-q", "src"],
                git + ["-C", "src", "commit", "-q", "--allow-empty", "-m", "x"],
                git + ["clone", "-q", "--bare", "src", "repo.git"],
                git + ["-C", "repo.git", "update-server-info"]):
        subprocess.run(cmd, cwd=work, check=True, env=clean_env())
    v4 = Server(work)
    v6 = subprocess.Popen([sys.executable, "-m", "http.server", "0", "--bind",
                           "::1", "--directory", work], env=clean_env(),
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          text=True)
    url6 = "http://[::1]:%s/" % v6.stdout.readline().split("port ")[1].split()[0]
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind(("127.0.0.1", 0))
    dns_port = serve(udp, dns)
    echo_port = serve(socket.create_server(("127.0.0.1", 0)), echo)
    port = v4.url.split(":")[2].strip("/")
    client = ("import http.client, sys; c = http.client.HTTPConnection("
              "'127.0.0.1', %s); c.request('GET', '/page.bin'); "
              "sys.stdout.buffer.write(c.getresponse().read())" % port)
    server = ("import http.server as h; s = h.HTTPServer(('127.0.0.1', 0), "
              "h.SimpleHTTPRequestHandler); print(s.server_port, flush=True)"
              "; s.handle_request()")

    def fetch(proc):
        url = "http://127.0.0.1:%s/page.bin" % int(proc.stdout.readline())
        return subprocess.run(["curl", "-s", url], capture_output=True,
                              timeout=60).stdout
    try:
        for name, cmd, extra in (
                ("curl", ["curl", "-s", v4.url + "page.bin"], {}),
                ("curl6", ["curl", "-6", "-s", url6 + "page.bin"], {}),
                ("wget", ["wget", "-q", "-O", "@OUT@", v4.url + "page.bin"],
                 {}),
                ("client", [sys.executable, "-c", client], {}),
                ("socat", ["socat", "-", "TCP:127.0.0.1:%d" % echo_port],
                 {"stdin": page_bytes()}),
                ("dig", ["dig", "@127.0.0.1", "-p", str(dns_port),
                         "+tries=1", "+short", "host.test", "A"], {}),
                ("git", ["git", "clone", "-q", v4.url + "repo.git", "@OUT@"],
                 {}),
                ("server", [sys.executable, "-c", server],
                 {"background": fetch})):
            compare(nqr, work, name, cmd, **extra)
    finally:
        v4.stop()
        v6.kill()
    return report()


if __name__ == "__main__":
    sys.exit(main())
