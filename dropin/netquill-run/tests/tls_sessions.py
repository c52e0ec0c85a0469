#!/usr/bin/env python3
"""HTTPS on loopback under netquill-run: curl (OpenSSL) and gnutls-cli
against openssl s_server (TLS 1.2 and 1.3) and a Python ssl server. The
plaintext lines of each traced program hold exactly what it wrote and what
it read, on the socket its session runs on; netquill-pcap's capture alone
lets tshark show the HTTP inside. Programs that carry a TLS library in their
own file are named once; one that makes no TLS call loads none."""
import argparse
import os
import shutil
import socket
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "..", "tests", "support"))
from nqtest import SKIP, check, records, report  # noqa: E402

AGENT = "nq-tls-test"
BODY = b"plain text inside TLS\n" * 3

# A server for one request that answers with a length, so that a reader
# of the capture can end the response without waiting for the close.
PYTHON_SERVER = r"""
import http.server, ssl, sys
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = bytes.fromhex(sys.argv[3])
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
    def version_string(self):
        return "nq"
    def date_time_string(self, timestamp=None):
        return "Tue, 08 Dec 2026 00:00:00 GMT"
server = http.server.HTTPServer(("127.0.0.1", int(sys.argv[1])), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(sys.argv[2] + "/cert.pem", sys.argv[2] + "/key.pem")
context.keylog_filename = sys.argv[4]
server.socket = context.wrap_socket(server.socket, server_side=True)
print("ready", flush=True)
server.handle_request()
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, proc):
    for _ in range(200):
        if proc.poll() is not None:
            return False
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return True
        subprocess.run(["sleep", "0.05"])
    return False


def plaintext(recs, direction):
    return b"".join(bytes.fromhex(r.get("dump", "")) for r in recs
                    if r.get("plaintext") == direction)


def tls_records(tool, trace):
    recs = [r for r in records(tool, trace) if r["type"] == "call"]
    connected = {r["args"][0] for r in recs if r["call"] == "connect"}
    connected |= {r["result"] for r in recs if r["call"] == "accept"}
    return [r for r in recs if "plaintext" in r], connected


def check_session(name, tool, trace, sent, received):
    """The plaintext lines of a trace: exactly these bytes each way, every
    line's count its dump's, every socket one the program connected."""
    recs, sockets = tls_records(tool, trace)
    check(recs, "%s: no plaintext lines in %s" % (name, trace))
    check(plaintext(recs, "sent") == sent, "%s: plaintext sent" % name,
          "%r\n    wanted %r" % (plaintext(recs, "sent")[:200], sent[:200]))
    check(plaintext(recs, "received") == received,
          "%s: plaintext received" % name,
          "%r\n    wanted %r" % (plaintext(recs, "received")[:200],
                                 received[:200]))
    for r in recs:
        check(r.get("bytes", 0) * 2 == len(r.get("dump", "")),
              "%s: count and dump differ" % name, r["text"])
        check(r["args"][0] in sockets, "%s: not the session's socket" % name,
              r["text"])


def check_capture(name, args, trace, work, options):
    """netquill-pcap's capture of the trace, read by tshark with no key
    file: the request and its response."""
    capture = os.path.join(work, name + ".pcapng")
    subprocess.run([args.netquill_pcap, "-o", capture, trace],
                   capture_output=True, check=True, timeout=60)
    shown = subprocess.run(
        ["tshark", "-r", capture, "-Y", "http"] + options +
        ["-T", "fields", "-e", "http.request.method", "-e",
         "http.response.code"], capture_output=True, text=True,
        timeout=120).stdout.split()
    check(shown == ["GET", "200"], "%s: tshark -Y http on the capture" % name,
          repr(shown))


def curl_case(args, work, port, name, expect_head):
    """curl traced against the server on port: returns what it sent and
    read, as its own files witness them."""
    trace = os.path.join(work, name + ".log")
    head, body = (os.path.join(work, name + ".head"),
                  os.path.join(work, name + ".body"))
    run = subprocess.run(
        [args.netquill_run, "-o", trace, "-f", "4", "curl", "-s", "--http1.1",
         "-A", AGENT, "--cacert", os.path.join(work, "cert.pem"), "-D", head,
         "-o", body, "https://localhost:%d/" % port],
        capture_output=True, timeout=60)
    check(run.returncode == 0, "%s: curl failed" % name, run.stderr)
    check(b"carries" not in run.stderr, "%s: curl named static" % name,
          run.stderr)
    sent = ("GET / HTTP/1.1\r\nHost: localhost:%d\r\nUser-Agent: %s\r\n"
            "Accept: */*\r\n\r\n" % (port, AGENT)).encode()
    got = b""
    if os.path.exists(head) and os.path.exists(body):
        got = open(head, "rb").read() + open(body, "rb").read()
    check(got.startswith(expect_head), "%s: curl's response" % name, got[:80])
    return trace, sent, got


def openssl_server(args, work, version):
    port = free_port()
    server = subprocess.Popen(
        ["openssl", "s_server", "-www", "-accept", "127.0.0.1:%d" % port,
         "-cert", "cert.pem", "-key", "key.pem", version], cwd=work,
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)
    return port, server


def case_s_server(args, work, version):
    name = "s_server" + version
    port, server = openssl_server(args, work, version)
    try:
        if not check(wait_listening(port, server), name + ": no server"):
            return
        trace, sent, got = curl_case(args, work, port, name,
                                     b"HTTP/1.0 200 ok\r\n")
    finally:
        server.kill()
        server.wait()
    check_session(name, args.netquill_json, trace, sent, got)
    # s_server's answer has no length and ends with the connection, which
    # tshark's HTTP reassembly waits for in vain over TLS: headers alone.
    check_capture(name, args, trace, work,
                  ["-o", "http.desegment_body:FALSE"])


def case_python(args, work):
    name = "python_ssl"
    port = free_port()
    server_trace = os.path.join(work, name + "-server.log")
    keylog = os.path.join(work, name + "-server.keys")
    server = subprocess.Popen(
        [args.netquill_run, "-o", server_trace, "-f", "4", sys.executable, "-c",
         PYTHON_SERVER, str(port), work, BODY.hex(), keylog],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        ready = server.stdout.readline()
        if not check(ready == b"ready\n", name + ": no server",
                     server.stderr.read() if not ready else ready):
            return
        trace, sent, got = curl_case(args, work, port, name,
                                     b"HTTP/1.0 200 OK\r\n")
        server.wait(timeout=60)
    finally:
        server.kill()
        server.wait()
    check(got.endswith(BODY), name + ": body", got)
    check_session(name, args.netquill_json, trace, sent, got)
    # The server's side of the same session, through SSL_read_ex and
    # SSL_write_ex: what curl sent, read; what curl read, written.
    check_session(name + " server", args.netquill_json, server_trace, got,
                  sent)
    check_capture(name, args, trace, work, [])
    # The server's own key log callback still gets every secret, and the
    # trace the same ones.
    own = [line for line in open(keylog).read().splitlines()
           if not line.startswith("#")] if os.path.exists(keylog) else []
    traced = [r["tls_key"] for r in records(args.netquill_json, server_trace)
              if "tls_key" in r]
    check(len(own) == 5 and own == traced, name + ": the program's key log",
          "%r\n    traced %r" % (own, traced))


def case_gnutls(args, work):
    name = "gnutls_cli"
    if shutil.which("gnutls-cli") is None:
        print("note: no gnutls-cli (Debian's gnutls-bin): GnuTLS not tried")
        return
    port, server = openssl_server(args, work, "-tls1_3")
    trace = os.path.join(work, name + ".log")
    request = b"GET / HTTP/1.0\r\nHost: localhost\r\n\r\n"
    try:
        if not check(wait_listening(port, server), name + ": no server"):
            return
        run = subprocess.run(
            [args.netquill_run, "-o", trace, "-f", "4", "gnutls-cli",
             "--x509cafile", os.path.join(work, "cert.pem"), "-p", str(port),
             "localhost"], input=request, capture_output=True, timeout=60)
    finally:
        server.kill()
        server.wait()
    # gnutls-cli writes what it reads to its standard output, between its
    # own words about the session.
    at = run.stdout.find(b"HTTP/1.0 200 ok\r\n")
    end = run.stdout.rfind(b"- Peer has closed the GnuTLS connection\n")
    check(0 <= at < end, name + ": no response", run.stdout[-300:])
    check_session(name, args.netquill_json, trace, request,
                  run.stdout[at:end])
    check_capture(name, args, trace, work,
                  ["-o", "http.desegment_body:FALSE"])


def case_static(args, work):
    """A program that defines the TLS functions itself is named once, and
    only that one; a program without TLS calls loads no TLS library."""
    for program, says in [([args.static_openssl], b"OpenSSL"),
                          ([args.static_gnutls], b"GnuTLS"),
                          (["curl", "--version"], None)]:
        run = subprocess.run([args.netquill_run, "-o",
                              os.path.join(work, "static.log")] + program,
                             capture_output=True, timeout=60)
        named = run.stderr.count(b"carries")
        check(named == (1 if says else 0) and
              (says is None or b"carries " + says in run.stderr),
              "static: %s" % program, run.stderr)
    maps = subprocess.run([args.netquill_run, "-o",
                           os.path.join(work, "maps.log"), "cat",
                           "/proc/self/maps"], capture_output=True,
                          timeout=60).stdout
    check(b"libnetquill-preload" in maps and not any(
        lib in maps for lib in (b"libssl", b"libcrypto", b"libgnutls")),
        "a program without TLS loads a TLS library", maps[-400:])


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
    work = args.work
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048",
                    "-nodes", "-keyout", "key.pem", "-out", "cert.pem",
                    "-days", "2", "-subj", "/CN=localhost", "-addext",
                    "subjectAltName=DNS:localhost"], cwd=work,
                   capture_output=True, check=True, timeout=60)
    for version in ("-tls1_2", "-tls1_3"):
        case_s_server(args, work, version)
    case_python(args, work)
    case_gnutls(args, work)
    case_static(args, work)
    return report()


if __name__ == "__main__":
    sys.exit(main())
