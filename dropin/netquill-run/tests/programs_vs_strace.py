#!/usr/bin/env python3
"""Real programs of the system under `netquill-run -ff -f 4` and strace at
once: per process, every socket the program itself made has the same
family, addresses, results and bytes each way in both, and the program's
output is the one it gives untraced. Servers on loopback only."""
import os
import shutil
import socket
import subprocess
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import trace_read  # noqa: E402
from run_real_programs import Server, clean_env, page_bytes  # noqa: E402

SKIP = 77
failures = []
NEEDED = ("strace", "curl", "wget", "socat", "dig", "git")


def check(cond, message):
    if not cond:
        failures.append(message)


def dns_responder():
    """Answers every A query on 127.0.0.1 with 192.0.2.1."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 0))

    def serve():
        while True:
            query, peer = sock.recvfrom(512)
            end = query.index(b"\0", 12) + 5
            answer = (query[:2] + b"\x81\x80\0\1\0\1\0\0\0\0" + query[12:end] +
                      b"\xc0\x0c\0\1\0\1\0\0\0\x3c\0\4\xc0\0\2\1")
            sock.sendto(answer, peer)

    threading.Thread(target=serve, daemon=True).start()
    return sock.getsockname()[1]


def echo_server():
    """Echoes each connection's bytes back until it is shut down."""
    srv = socket.create_server(("127.0.0.1", 0))

    def serve():
        while True:
            conn, _ = srv.accept()
            with conn:
                while True:
                    data = conn.recv(65536)
                    if not data:
                        break
                    conn.sendall(data)

    threading.Thread(target=serve, daemon=True).start()
    return srv.getsockname()[1]


def bare_repo(work):
    """A repository served as files: git's dumb HTTP protocol."""
    src = os.path.join(work, "src")
    env = clean_env(GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@t",
                    GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@t")
    for cmd in (["git", "init", "-q", src],
                ["git", "-C", src, "commit", "-q", "--allow-empty", "-m", "x"],
                ["git", "clone", "-q", "--bare", src,
                 os.path.join(work, "repo.git")],
                ["git", "-C", os.path.join(work, "repo.git"),
                 "update-server-info"]):
        subprocess.run(cmd, check=True, env=env, capture_output=True)


def compare(args, work, name, cmd, stdin=b"", out_file=None):
    """Runs cmd untraced, then under strace and netquill-run; compares."""
    def one(prefix, tag):
        target = os.path.join(work, "%s-%s.out" % (name, tag))
        full = [c.replace("@OUT@", target) for c in cmd]
        proc = subprocess.run(prefix + full, cwd=work, env=clean_env(),
                              input=stdin, capture_output=True, timeout=120)
        data = proc.stdout
        if out_file:
            data = open(target, "rb").read() if os.path.exists(target) else b""
        return proc.returncode, data

    plain = one([], "plain")
    slog = os.path.join(work, name + ".strace")
    trace = os.path.join(work, name + ".trace")
    traced = one(["strace", "-f", "-o", slog, "-e",
                  "trace=%network,read,write,readv,writev,close,clone,clone3,"
                  "sendfile,splice", "-e", "read=all", "-e", "write=all",
                  args.netquill_run, "-ff", "-o", trace, "-f", "4"], "traced")
    check(plain == traced, "%s: exit and output %r against untraced %r"
          % (name, traced[:1], plain[:1]))
    theirs = {}
    for sock in trace_read.read_strace(slog):
        theirs.setdefault(sock.pid, []).append(sock)
    ours_total = 0
    for f in sorted(os.listdir(work)):
        if not f.startswith(name + ".trace."):
            continue
        pid = f.rsplit(".", 1)[1]
        ours = trace_read.read_netquill(os.path.join(work, f))
        ours_total += len(ours)
        seen = list(theirs.get(pid, []))
        for sock in ours:
            # Sockets the C library made for itself (address sorting of
            # getaddrinfo) are strace's alone, and move no data.
            while seen and (seen[0].fd, seen[0].family) != (sock.fd,
                                                            sock.family):
                extra = seen.pop(0)
                check(not extra.sent and not extra.received,
                      "%s %s: socket %d moved data untraced" % (name, pid,
                                                                extra.fd))
            if not seen:
                check(False, "%s %s: fd %d not in strace" % (name, pid,
                                                             sock.fd))
                break
            check(sock.key() == seen.pop(0).key(),
                  "%s %s: fd %d differs from strace" % (name, pid, sock.fd))
    check(ours_total > 0, "%s: no socket traced" % name)


def main():
    import argparse
    ap = argparse.ArgumentParser()
    ap.add_argument("--netquill-run", required=True)
    ap.add_argument("--work", required=True)
    args = ap.parse_args()
    args.netquill_run = os.path.abspath(args.netquill_run)
    missing = [t for t in NEEDED if shutil.which(t) is None]
    if missing:
        print("SKIPPED: %s not installed (scripts/install-deps.sh)" % missing)
        return SKIP
    if subprocess.run(["strace", "-o", os.devnull, "true"]).returncode:
        print("SKIPPED: strace cannot trace here")
        return SKIP
    work = args.work
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    with open(os.path.join(work, "page.bin"), "wb") as f:
        f.write(page_bytes())
    bare_repo(work)
    v4 = Server(work)
    v6 = subprocess.Popen([sys.executable, "-m", "http.server", "0", "--bind",
                           "::1", "--directory", work], env=clean_env(),
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          text=True)
    port6 = v6.stdout.readline().split("port ")[1].split(")")[0].split()[0]
    dns, echo = dns_responder(), echo_server()
    page = v4.url + "page.bin"
    client = ("import http.client, sys; c = http.client.HTTPConnection("
              "'127.0.0.1', %s); c.request('GET', '/page.bin'); "
              "sys.stdout.buffer.write(c.getresponse().read())"
              % v4.url.split(":")[2].strip("/"))
    server = ("import http.server as h, sys; s = h.HTTPServer(('127.0.0.1', "
              "0), h.SimpleHTTPRequestHandler); print(s.server_port, "
              "flush=True); s.handle_request()")
    try:
        for name, cmd, stdin, out_file in (
                ("curl", ["curl", "-s", page], b"", False),
                ("curl6", ["curl", "-6", "-s", "http://[::1]:%s/page.bin"
                           % port6], b"", False),
                ("wget", ["wget", "-q", "-O", "@OUT@", page], b"", True),
                ("client", [sys.executable, "-c", client], b"", False),
                ("socat", ["socat", "-", "TCP:127.0.0.1:%d" % echo],
                 page_bytes(), False),
                ("dig", ["dig", "@127.0.0.1", "-p", str(dns), "+tries=1",
                         "+short", "host.test", "A"], b"", False),
                ("git", ["git", "clone", "-q", v4.url + "repo.git", "@OUT@"],
                 b"", False)):
            compare(args, work, name, cmd, stdin, out_file)
        # The server side: python's http.server serves one request traced.
        compare_server(args, work, server)
    finally:
        v4.stop()
        v6.kill()
    for f in failures:
        print("FAIL:", f)
    print("%s: %d checks failed" % ("FAILED" if failures else "OK",
                                    len(failures)))
    return 1 if failures else 0


def compare_server(args, work, server):
    """http.server traced under both, fetched by a plain curl."""
    def fetch(proc):
        port = proc.stdout.readline().strip().decode()
        got = subprocess.run(["curl", "-s", "http://127.0.0.1:%s/page.bin"
                              % port], capture_output=True, timeout=60)
        proc.wait(timeout=60)
        return got.stdout

    slog = os.path.join(work, "server.strace")
    trace = os.path.join(work, "server.trace")
    proc = subprocess.Popen(["strace", "-f", "-o", slog, "-e",
                             "trace=%network,read,write,close,clone,clone3",
                             "-e", "read=all", "-e", "write=all",
                             args.netquill_run, "-ff", "-o", trace, "-f", "4",
                             sys.executable, "-c", server], cwd=work,
                            env=clean_env(), stdout=subprocess.PIPE)
    check(fetch(proc) == page_bytes(), "server: page differs")
    files = [f for f in os.listdir(work) if f.startswith("server.trace.")]
    check(len(files) == 1, "server: trace files %s" % files)
    if len(files) != 1:
        return
    pid = files[0].rsplit(".", 1)[1]
    ours = trace_read.read_netquill(os.path.join(work, files[0]))
    theirs = [s for s in trace_read.read_strace(slog) if s.pid == pid]
    check(len(ours) == 2 and [s.key() for s in ours] ==
          [s.key() for s in theirs], "server: %d sockets against %d"
          % (len(ours), len(theirs)))


if __name__ == "__main__":
    sys.exit(main())
