#!/usr/bin/env python3
"""HTTPS on loopback under netquill-run: the plaintext lines of each traced
program hold exactly what it wrote and read, on its session's socket, and
netquill-pcap's capture alone lets tshark show the HTTP inside. A program
carrying a TLS library in its own file is named once; one making no TLS
call loads none."""
import argparse
import os
import shutil
import socket
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "..", "tests", "support"))
from nqtest import SKIP, check, records, report  # noqa: E402

BODY = b"plain text inside TLS\n" * 3
REQUEST = ("GET / HTTP/1.1\r\nHost: localhost:%d\r\nUser-Agent: nq-tls\r\n"
           "Accept: */*\r\n\r\n")
# Serves until one request, answered with a length (the test's probe of
# the port comes first); the program's own key log too.
PYTHON_SERVER = r"""
import http.server, ssl, sys
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.server.done = True
        self.send_response(200)
        self.send_header("Content-Length", str(len(sys.argv[3])))
        self.end_headers()
        self.wfile.write(sys.argv[3].encode())
server = http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(sys.argv[2] + "/cert.pem", sys.argv[2] + "/key.pem")
context.keylog_filename = sys.argv[4]
server.socket = context.wrap_socket(server.socket, server_side=True)
server.done = False
while not server.done:
    server.handle_request()
"""
# Two TLS connections in one asyncio program, to its own server, every
# session a memory BIO whose bytes the event loop moves later: a write on B
# right after a read on A, as a relay makes them.
ASYNCIO_RELAY = r"""
import asyncio, ssl
async def echo(reader, writer):
    writer.write(await reader.read(100))
    await writer.drain()
    writer.close()
async def main():
    served = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    served.load_cert_chain("cert.pem", "key.pem")
    server = await asyncio.start_server(echo, "127.0.0.1", 0, ssl=served)
    port = server.sockets[0].getsockname()[1]
    context = ssl.create_default_context(cafile="cert.pem")
    a, b = [await asyncio.open_connection("localhost", port, ssl=context)
            for _ in range(2)]
    a[1].write(b"from a")
    await a[1].drain()
    got = await a[0].read(100)
    b[1].write(got + b" via b")
    await b[1].drain()
    print((await b[0].read(100)).decode())
asyncio.run(main())
"""
# s_server's answer has no length and ends with the connection, which
# tshark's HTTP reassembly waits for in vain over TLS: headers alone.
NO_BODY = ["-o", "http.desegment_body:FALSE"]


def listening(port, proc):
    for _ in range(200):
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return True
        if proc.poll() is not None:
            return False
        subprocess.run(["sleep", "0.05"])
    return False


def served(trace, result):
    """result, once the traced s_server has written its answer and shut the
    session down: its records follow the bytes curl has already read."""
    for _ in range(200):
        data = open(trace, "rb").read() if os.path.exists(trace) else b""
        at = data.rfind(b"BIO_write(")
        if at >= 0 and data.find(b"SSL_shutdown(", at) >= 0:
            break
        subprocess.run(["sleep", "0.05"])
    return result


def check_trace(args, name, trace, sent, received):
    """Exactly these plaintext bytes each way, each line's count its dump's
    length, each socket one the program connected or accepted."""
    calls = [r for r in records(args.netquill_json, trace)
             if r["type"] == "call"]
    sockets = {r["args"][0] for r in calls if r["call"] == "connect"} | \
        {r["result"] for r in calls if r["call"] == "accept"}
    tls = [r for r in calls if "plaintext" in r]
    for way, want in (("sent", sent), ("received", received)):
        got = b"".join(bytes.fromhex(r.get("dump", "")) for r in tls
                       if r["plaintext"] == way)
        check(got == want, "%s: plaintext %s" % (name, way),
              "%r\n    wanted %r" % (got[:160], want[:160]))
    for r in tls:
        check(r.get("bytes", 0) * 2 == len(r.get("dump", "")) and
              r["args"][0] in sockets, name + ": line", r["text"])


def check_capture(args, name, trace, options):
    capture = os.path.join(args.work, name + ".pcapng")
    subprocess.run([args.netquill_pcap, "-o", capture, trace],
                   capture_output=True, check=True, timeout=60)
    shown = subprocess.run(
        ["tshark", "-r", capture, "-Y", "http", "-T", "fields", "-e",
         "http.request.method", "-e", "http.response.code"] + options,
        capture_output=True, text=True, timeout=120).stdout.split()
    check(shown == ["GET", "200"], name + ": tshark -Y http", repr(shown))


def curl(args, name, port, options=()):
    """curl traced (with netquill-run's options): its trace, and what it
    sent and read as its request and its own files of the response witness
    them."""
    trace, head, body = (os.path.join(args.work, name + x)
                         for x in (".log", ".head", ".body"))
    run = subprocess.run(
        [args.netquill_run, "-o", trace, "-f", "4"] + list(options) +
        ["curl", "-s", "--http1.1",
         "-A", "nq-tls", "--cacert", "cert.pem", "-D", head, "-o", body,
         "https://localhost:%d/" % port], cwd=args.work, capture_output=True,
        timeout=60)
    check(run.returncode == 0 and not run.stderr, name + ": curl", run.stderr)
    got = b"".join(open(f, "rb").read() for f in (head, body)
                   if os.path.exists(f))
    return trace, (REQUEST % port).encode(), got


def session(args, name, server, client, ends=False):
    """Runs the server (a command taking the port), then client(port); a
    server that ends by itself is waited for, its trace whole."""
    port = subprocess.run([sys.executable, "-c", "import socket; s = socket."
                           "socket(); s.bind(('127.0.0.1', 0)); print(s."
                           "getsockname()[1])"], capture_output=True,
                          text=True).stdout.strip()
    proc = subprocess.Popen([a.replace("PORT", port) for a in server],
                            cwd=args.work, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        if check(listening(int(port), proc), name + ": no server"):
            result = client(int(port))
            if ends:
                proc.wait(timeout=60)
            return result
    finally:
        # SIGTERM: the launcher passes it on and ends once the server's
        # records are in its trace.
        proc.terminate()
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return None


def main():
    ap = argparse.ArgumentParser()
    for opt in ("--netquill-run", "--netquill-json", "--netquill-pcap",
                "--static-openssl", "--static-gnutls", "--work"):
        ap.add_argument(opt, required=True)
    args = ap.parse_args()
    for tool in ("openssl", "curl", "tshark"):
        if shutil.which(tool) is None:
            print("skipped: no %s (scripts/install-deps.sh installs it)" % tool)
            return SKIP
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048",
                    "-nodes", "-keyout", "key.pem", "-out", "cert.pem",
                    "-days", "2", "-subj", "/CN=localhost", "-addext",
                    "subjectAltName=DNS:localhost"], cwd=args.work,
                   capture_output=True, check=True, timeout=60)
    s_server = ["openssl", "s_server", "-www", "-accept", "127.0.0.1:PORT",
                "-cert", "cert.pem", "-key", "key.pem"]
    # s_server traced too: it reads and writes through its SSL BIO.
    for version in ("-tls1_2", "-tls1_3"):
        name = "s_server" + version
        server_trace = os.path.join(args.work, name + ".server.log")
        got = session(args, name, [args.netquill_run, "-o", server_trace,
                                   "-f", "4"] + s_server + [version],
                      lambda port: served(server_trace,
                                          curl(args, name, port)))
        if got:
            check(got[2].startswith(b"HTTP/1.0 200 ok\r\n"), name, got[2][:80])
            check_trace(args, name, *got)
            check_trace(args, name + " server", server_trace, got[2], got[1])
            check_capture(args, name, got[0], NO_BODY)

    # Python's server through SSL_read_ex and SSL_write_ex, traced too: it
    # reads what curl wrote and writes what curl read; its own key log
    # callback gets every secret, and its trace the same ones.
    server_trace, keylog = (os.path.join(args.work, "python" + x)
                            for x in (".server.log", ".keys"))
    got = session(args, "python", [
        args.netquill_run, "-o", server_trace, "-f", "4", sys.executable,
        "-c", PYTHON_SERVER, "PORT", ".", BODY.decode(), keylog],
        lambda port: curl(args, "python", port), ends=True)
    if got:
        check(got[2].endswith(BODY), "python: body", got[2])
        check_trace(args, "python", *got)
        check_trace(args, "python server", server_trace, got[2], got[1])
        check_capture(args, "python", got[0], [])
        own = [k for k in open(keylog).read().splitlines() if k[0] != "#"]
        traced = [r["tls_key"] for r in
                  records(args.netquill_json, server_trace) if "tls_key" in r]
        check(len(own) == 5 and own == traced, "python: key log", traced)

    # -e keeps the plaintext, and the secrets that decrypt the socket's
    # dumps, out of a trace: every TLS call excluded, or only connect.
    tls_calls = ",".join(("SSL_read", "SSL_write", "SSL_read_ex",
                          "SSL_write_ex", "SSL_shutdown", "BIO_read",
                          "BIO_write"))
    for name, calls, want in (("excluded", "!" + tls_calls, None),
                              ("connect only", "connect", {"connect"})):
        got = session(args, name, s_server + ["-tls1_3"],
                      lambda port: curl(args, name, port, ["-e", calls]))
        if got:
            rs = records(args.netquill_json, got[0])
            shown = {r["call"] for r in rs if r["type"] == "call"}
            check(shown and (want is None or shown == want) and
                  not shown & set(tls_calls.split(",")) and
                  not any("plaintext" in r or "tls_key" in r for r in rs),
                  "-e " + calls, sorted(shown))

    # A session whose bytes never pass a socket inside its TLS calls (a
    # memory BIO) names no socket: never the other connection's.
    trace = os.path.join(args.work, "asyncio.log")
    run = subprocess.run([args.netquill_run, "-o", trace, "-f", "4",
                          sys.executable, "-c", ASYNCIO_RELAY],
                         cwd=args.work, capture_output=True, timeout=60)
    if check(run.stdout == b"from a via b\n", "asyncio: relay",
             run.stdout + run.stderr[-300:]):
        named = [r["args"][0] for r in records(args.netquill_json, trace)
                 if "plaintext" in r]
        check(named and set(named) == {-1},
              "asyncio: memory BIOs name no socket", named)

    # gnutls-cli writes what it reads between its own words about it; the
    # key log GnuTLS itself writes for SSLKEYLOGFILE stays the program's.
    request = b"GET / HTTP/1.0\r\n\r\n"
    trace, keylog = (os.path.join(args.work, "gnutls" + x)
                     for x in (".log", ".keys"))
    run = shutil.which("gnutls-cli") and session(
        args, "gnutls", s_server, lambda port: subprocess.run(
            [args.netquill_run, "-o", trace, "-f", "4", "gnutls-cli",
             "--x509cafile", "cert.pem", "-p", str(port), "localhost"],
            cwd=args.work, input=request, capture_output=True, timeout=60,
            env=dict(os.environ, SSLKEYLOGFILE=keylog)))
    if run:
        out = run.stdout
        got = out[out.find(b"HTTP/1.0 200 ok\r\n"):
                  out.rfind(b"- Peer has closed the GnuTLS connection\n")]
        check(got.endswith(b"</HTML>\r\n\r\n"), "gnutls: response", out[-200:])
        check_trace(args, "gnutls", trace, request, got)
        check_capture(args, "gnutls", trace, NO_BODY)
        own = [k for k in open(keylog).read().splitlines()
               if k and k[0] != "#"] if os.path.exists(keylog) else []
        traced = [r["tls_key"] for r in records(args.netquill_json, trace)
                  if "tls_key" in r]
        check(own and sorted(own) == sorted(traced), "gnutls: own key log",
              "%d of its own, %d traced" % (len(own), len(traced)))

    for program, says in ((args.static_openssl, b" carries OpenSSL "),
                          (args.static_gnutls, b" carries GnuTLS "),
                          ("curl", None)):
        err = subprocess.run([args.netquill_run, "-o", os.path.join(
            args.work, "static.log"), program, "--version"],
            capture_output=True, timeout=60).stderr
        check(err.count(b"carries") == (says is not None) and
              (says is None or says in err), "static: " + program, err)
    maps = subprocess.run([args.netquill_run, "cat", "/proc/self/maps"],
                          capture_output=True, timeout=60).stdout
    check(b"libnetquill-preload" in maps and not any(
        lib in maps for lib in (b"libssl", b"libcrypto", b"libgnutls")),
        "a program without TLS loads a TLS library", maps[-400:])
    return report()


if __name__ == "__main__":
    sys.exit(main())
