#!/usr/bin/env python3
"""One socket program, built five ways, under Wine of its bitness: through
netquill-run its output and exit code are the plain run's, its trace line
for line the wrapped build's (clock, elapsed, pointers, handles, ports
masked). Also a child, -ff, refusals, NETQUILL_TRACE=0 and the other
bitness."""
import argparse, glob, os, re, shutil, subprocess, sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "../../../tests/support"))
import nqtest  # noqa: E402
from nqtest import check  # noqa: E402

JSON = None  # netquill-json, the trace reader


def mask(path, named=True):
    """The trace's lines with clock, pointers, handles and ports masked;
    not named: the command names the launcher gives (which the hooks of
    the wrapped build give in hex) masked too."""
    lines = []
    for line in nqtest.lines(JSON, path):
        line = re.sub(r"0x[0-9a-fA-F]+", "0x?", line)
        if not named:
            line = line.replace("FIONBIO", "0x?")
        line = re.sub(r"\d\d-\d\d-\d{4} \d\d:\d\d:\d\d", "<date>", line)
        line = re.sub(r"(127\.0\.0\.1|\[::1\]):\d\d+", r"\1:<port>", line)
        line = re.sub(r'"\d{4,5}"', '"<port>"', line)
        lines.append(re.sub(r"([(]|, |returned )\d{2,}\b(?! \()(?!\.)", r"\1<h>", line))
    return lines


# The probe's modern scenario (probe/modern.c): its output and its trace
# after the banner, masked as above.
MODERN_OUTPUT = """WSAPoll 1 256 0
WSAEventSelect 0
WSAWaitForMultipleEvents 0
WSAEnumNetworkEvents 0 1
connect -1 10035
getsockopt 0 10061 4
WSASendTo 0 3
WSARecvFrom 0 3 28 1
WSARecv -1 997
SleepEx 192 0 7
WSARecv 0 0
SleepEx 192 0 5
WSARecv -1 997
GetOverlappedResult 1 6
GetAddrInfoExW 997 0 0 997 0 0
WSAConnectByNameW 1
TransmitFile 1 <head>efghijklmnopqrstuvwx<tail> at 50
TransmitFile 0 997
GetOverlappedResult 1 22 <head>mnopqrstuv<tail> at 50
ConnectEx 1 3 ext
done
"""
# What TransmitFile sent: from the file's position (30), 20 bytes; then
# from the OVERLAPPED's offset (90) to the file's end.
SENT_FROM_FILE = [b"<head>efghijklmnopqrstuvwx<tail>", b"<head>mnopqrstuv<tail>"]
PAIR = ["socket(2, 1, 0) returned <h>",
        "bind(<h>, 127.0.0.1:0, <h>) returned 0",
        "listen(<h>, 1) returned 0",
        "getsockname(<h>, 127.0.0.1:<port>, 0x?) returned 0",
        "WSASocketW(2, 1, 0, 0x?, 0, 0x?) returned <h>",
        "connect(<h>, 127.0.0.1:<port>, <h>) returned 0",
        "accept(<h>, NULL, 0x?) returned <h>"]
UNPAIR = ["closesocket(<h>) returned 0"] * 3
MODERN_LINES = PAIR + [
    "send(<h>, 0x?, 4, 0) returned 4", "  dump " + b"ping".hex(),
    "WSAPoll(0x?, 2, <h>) returned 1 (<h> POLLRDNORM/POLLRDNORM, "
    "<h> POLLRDNORM/0)"] + UNPAIR + PAIR + [
    "WSAEventSelect(<h>, 0x?, FD_READ|FD_CLOSE) returned 0",
    "send(<h>, 0x?, 4, 0) returned 4", "  dump " + b"news".hex(),
    "WSAWaitForMultipleEvents(1, 0x?, FALSE, <h>, FALSE) returned 0",
    "WSAEnumNetworkEvents(<h>, 0x?, 0x?) returned 0 (FD_READ 0)"] + UNPAIR + [
    "socket(2, 1, 0) returned <h>",
    "ioctlsocket(<h>, FIONBIO, 0x?) returned 0",
    "connect(<h>, 127.0.0.1:1, <h>) returned -1 [10035]",
    "select(0, 0x?, 0x?, 0x?, 5:0) returned 1",
    "getsockopt(<h>, <h>, <h>, 0x?, 0x?) returned 0 (SO_ERROR 10061)",
    "closesocket(<h>) returned 0",
    "socket(<h>, 2, 0) returned <h>",
    "bind(<h>, [::1]:0, <h>) returned 0",
    "getsockname(<h>, [::1]:<port>, 0x?) returned 0",
    "WSASendTo(<h>, 0x?, 1, 0x?, 0, [::1]:<port>, <h>, 0x?, 0x?) returned 0",
    "  dump " + b"six".hex(),
    "WSARecvFrom(<h>, 0x?, 1, 0x?, 0x?, [::1]:<port>, 0x?, 0x?, 0x?) "
    "returned 0", "  dump " + b"six".hex(),
    "closesocket(<h>) returned 0"] + PAIR + [
    "WSARecv(<h>, 0x?, 1, 0x?, 0x?, 0x?, 0x?) returned -1 [997]",
    "send(<h>, 0x?, 7, 0) returned 7", "  dump " + b"routine".hex(),
    "CompletionRoutine(<h>, 0x?, WSARecv) returned 7",
    "  dump " + b"routine".hex()] + UNPAIR + PAIR + [
    "send(<h>, 0x?, 5, 0) returned 5", "  dump " + b"early".hex(),
    # At once: its bytes with its line, none at the routine.
    "WSARecv(<h>, 0x?, 1, 0x?, 0x?, 0x?, 0x?) returned 0",
    "  dump " + b"early".hex()] + UNPAIR + PAIR + [
    "WSARecv(<h>, 0x?, 1, 0x?, 0x?, 0x?, 0x?) returned -1 [997]",
    "send(<h>, 0x?, 6, 0) returned 6", "  dump " + b"result".hex(),
    "GetOverlappedResult(<h>, 0x?, WSARecv) returned 6",
    "  dump " + b"result".hex()] + UNPAIR + [
    # A lookup in the background: its addresses when the program learns of
    # them, through its routine (on a pool thread, whose trace starts) or
    # its overlapped result.
    'GetAddrInfoExW("::1", "443", 0x?) returned <h> [997]',
    "started process 0x? trace on <date> [4.0.4000]",
    "CompletionRoutine(-1, 0x?, GetAddrInfoExW) returned 0 ([::1]:<port>)",
    'GetAddrInfoExW("localhost", "7", 0x?) returned <h> [997]',
    "GetAddrInfoExOverlappedResult(-1, 0x?, GetAddrInfoExW) returned 0 "
    "(127.0.0.1:7)"] + PAIR + [
    "getsockname(<h>, 127.0.0.1:<port>, 0x?) returned 0",
    "socket(2, 1, 0) returned <h>",
    'WSAConnectByNameW(<h>, "127.0.0.1", "<port>", 127.0.0.1:0, '
    "127.0.0.1:<port>) returned TRUE",
    "closesocket(<h>) returned 0"] + UNPAIR + PAIR + [
    "TransmitFile(<h>, 0x?, <h>, 0, 0x?, 0x?, 0x?) returned TRUE",
    "  dump " + SENT_FROM_FILE[0].hex(),
    "recv(<h>, 0x?, <h>, 0) returned <h>",
    "  dump " + SENT_FROM_FILE[0].hex()] + UNPAIR + PAIR + [
    "TransmitFile(<h>, 0x?, 0, 0, 0x?, 0x?, 0x?) returned FALSE [997]",
    "GetOverlappedResult(<h>, 0x?, TransmitFile) returned <h>",
    "  dump " + SENT_FROM_FILE[1].hex(),
    "recv(<h>, 0x?, <h>, 0) returned <h>",
    "  dump " + SENT_FROM_FILE[1].hex()] + UNPAIR + [
    # ConnectEx through its WSAIoctl pointer ({ptr}: a pointer's bytes).
    "WSASocketW(2, 1, 0, 0x?, 0, 0x?) returned <h>",
    "socket(2, 1, 0) returned <h>",
    "bind(<h>, 127.0.0.1:0, <h>) returned 0",
    "listen(<h>, 1) returned 0",
    "getsockname(<h>, 127.0.0.1:<port>, 0x?) returned 0",
    "bind(<h>, 127.0.0.1:0, <h>) returned 0",
    "WSAIoctl(<h>, SIO_GET_EXTENSION_FUNCTION_POINTER, ConnectEx, <h>, 0x?, "
    "{ptr}, 0x?, 0x?, 0x?) returned 0",
    "ConnectEx(<h>, 127.0.0.1:<port>, <h>, 0x?, 3, 0x?, 0x?) returned FALSE "
    "[997]",
    "GetOverlappedResult(<h>, 0x?, ConnectEx) returned 3",
    "  dump " + b"ext".hex(),
    "accept(<h>, NULL, 0x?) returned <h>",
    "recv(<h>, 0x?, 3, 8) returned 3",
    "  dump " + b"ext".hex()] + UNPAIR


# A socket's label after its number (-y): the protocol, and the addresses
# in brackets, which end at "]>".
LABEL = r"<(?:TCPv6|UDPv6|TCP|UDP|UNIX)(?::\[(?:(?!\]>).)*\])?>"
# -y's exact labels, each socket's as the other calls of the run give its
# addresses: the listener's, the connecting socket's, the accepted one's.
LABELLED = [
    r"getsockname\((\d+)<TCP:\[127\.0\.0\.1:(\d+)\]>, 127\.0\.0\.1:\2, "
    r"0x[0-9a-f]+\) returned 0",
    r"connect\((\d+)<TCP:\[127\.0\.0\.1:(\d+)->127\.0\.0\.1:(\d+)\]>, "
    r"127\.0\.0\.1:\3, 16\) returned 0",
    r"accept\((\d+)<TCP:\[127\.0\.0\.1:(\d+)\]>, NULL, 0x0\) returned "
    r"(\d+)<TCP:\[127\.0\.0\.1:\2->127\.0\.0\.1:\d+\]>",
    r"closesocket\((\d+)<TCP:\[127\.0\.0\.1:\d+->127\.0\.0\.1:\d+\]>\) "
    r"returned 0",
]


def check_views(run, launcher, log, program, plain_out, work):
    """-T and -y: every call line carries its start and duration, the
    receive that waits 200 ms for nothing says so, the labels are exact,
    and without both the lines are those of a run without them."""
    rc, out, err = run("views", [launcher, "-T", "-y", "-f", "4", "-o",
                                 log("views.log"), program])
    check(rc == 7 and out == plain_out, "-T -y: %d\n%s" % (rc, out))
    with open(os.path.join(work, "views.log"), "rb") as f:
        lines = f.read().decode("latin-1").split("\r\n")[:-1]
    calls = [nqtest.split_views(l) for l in lines
             if not l.startswith(" ") and " started process " not in l]
    check(calls and all(c["start"] is not None and c["took"] is not None
                        for c in calls),
          "-T: lines without times:\n%s" % "\n".join(
              c["line"] for c in calls if c["took"] is None))
    texts = [c["text"][5:] for c in calls]
    for want in LABELLED:
        check(any(re.fullmatch(want, t) for t in texts),
              "-y: no line %s in\n%s" % (want, "\n".join(texts)))
    waited = [c for c in calls if c["text"].startswith("ERR: recv(") and
              c["text"].endswith("[10060]")]
    check(len(waited) == 1 and waited[0]["took"] >= 0.2,
          "-T: the receive that waits 200 ms: %s" % waited)
    # Without the times and labels, the lines of a run without them.
    plain = []
    for l in lines:
        l = re.sub(r"^(.* \d{6})\.\d{6} ", r"\1 ", l)
        l = re.sub(r" <\d+\.\d{6}>$", "", l)
        plain.append(re.sub(r"(\d)" + LABEL, r"\1", l))
    with open(os.path.join(work, "views-stripped.log"), "wb") as f:
        f.write("\r\n".join(plain + [""]).encode("latin-1"))
    want = mask(os.path.join(work, "wrapped.log"), False)
    got = mask(os.path.join(work, "views-stripped.log"), False)
    check(got == want, "-T -y less both:\n%s\nwanted\n%s" % (
        "\n".join(got), "\n".join(want)))


def main():
    ap = argparse.ArgumentParser()
    kinds = ("plain", "ordinal", "late", "wsock32", "wrapped")
    for name in ("wine", "launcher", "inject", "netquill", "work",
                 "netquill-json", "netquill-pcap") + kinds:
        ap.add_argument("--" + name, required=True)
    ap.add_argument("--bits", choices=("32", "64"), required=True)
    ap.add_argument("--probe", required=True,
                    help="nq_ws2_probe: its scenarios start and modern")
    ap.add_argument("--probe-dll", required=True,
                    help="attachdll.dll, which the probe imports")
    a = ap.parse_args()
    global JSON
    JSON = a.netquill_json
    shutil.rmtree(a.work, ignore_errors=True)
    os.makedirs(a.work)
    w = nqtest.Wine(a.wine, a.work)
    # One name for every build: the trace's module column is the same.
    exe = {}
    for kind in ("app",) + kinds:
        os.makedirs(os.path.join(a.work, kind))
        exe[kind] = os.path.join(a.work, kind, "nqclient.exe")
        if kind != "app":
            shutil.copy(getattr(a, kind), exe[kind])
    # The launcher's folder has no NETQUILL.DLL: NQINJECT.DLL builds the
    # library in. Only the program built against it has it beside it.
    for f, where in ((a.launcher, "app"), (a.inject, "app"),
                     (a.netquill, "wrapped")):
        shutil.copy(f, os.path.join(a.work, where))
    launcher = os.path.join(a.work, "app", os.path.basename(a.launcher))

    def run(name, args, extra=None):
        rc, out, err = w.finish(w.start(name, args, extra=extra), 60)
        return [rc, out.decode("latin-1"), err.decode("latin-1")]

    log = w.win_path
    with w:
        plain_out = {}
        for args, code in (([], 7), (["spawn"], 6)):
            tag = "".join(args)
            want_rc, want_out, _ = run("plain" + tag, [exe["plain"]] + args)
            plain_out[tag] = want_out
            check(want_rc == code and "refused: -1 10061 10061" in want_out,
                  "plain run %s: %d\n%s" % (tag, want_rc, want_out))
            run("wrapped" + tag, [exe["wrapped"]] + args,
                {"NETQUILL_FILE": log("wrapped%s.log" % tag),
                 "NETQUILL_FLAGS": "4"})
            want = mask(os.path.join(a.work, "wrapped%s.log" % tag), False)
            for kind in kinds[:-1] if not args else ("plain",):
                name = kind + tag + "-traced"
                rc, out, err = run(name, [launcher, "-o", log(name + ".log"),
                                     "-f", "4", exe[kind]] + args)
                check(rc == code and out == want_out,
                      "%s: %d\n%s" % (name, rc, out))
                got = mask(os.path.join(a.work, name + ".log"), False)
                check(got == want and len(want) > 7, "%s trace:\n%s\nwanted\n%s" % (
                    name, "\n".join(got), "\n".join(want)))
        # -s and -e: the calls left out have no line, every dump shows its
        # first 3 bytes and counts the rest, the other lines stay.
        full = nqtest.records(JSON, os.path.join(a.work, "wrapped.log"))
        rc, out, err = run("cut", [launcher, "-o", log("cut.log"), "-f", "4",
                                   "-s", "3", "-e", "!connect,closesocket",
                                   exe["plain"]])
        left = nqtest.cut_view(full, ("connect", "closesocket"), 3)
        got = nqtest.cut_view(nqtest.records(JSON, os.path.join(a.work,
                                                                "cut.log")))
        check(rc == 7 and got == left and left != nqtest.cut_view(full) and
              any(n for _, n in left[1]),
              "-s 3 -e: %d %r" % (rc, got))
        check_views(run, launcher, log, exe["plain"], plain_out[""], a.work)
        # Two writers of one file: the program traces itself through
        # NETQUILL.DLL into the launcher's file, four threads at once; every
        # call has its two lines, none torn.
        rc, out, err = run("writers", [launcher, "-f", "4", "-o",
                                       log("writers.log"), exe["wrapped"],
                                       "writers"])
        recs = nqtest.records(JSON, os.path.join(a.work, "writers.log"))
        sends = [r for r in recs if r.get("call") == "sendto"]
        check(rc == 8 and len(sends) == 2 * 4 * 500 and
              all(r.get("dump") == "30313233343536373839616263646566"
                  for r in sends) and
              not [r for r in recs if r["type"] == "malformed"],
              "two writers: %s, %d sendto lines, %d malformed" % (
                  rc, len(sends),
                  len([r for r in recs if r["type"] == "malformed"])))
        # One file per process: the three processes' lines split in three.
        rc, out, err = run("ff", [launcher, "-ff", "-f", "4", "-o", log("ff.log"),
                             exe["plain"], "spawn"])
        files = sorted(glob.glob(os.path.join(a.work, "ff.log.*")))
        split = [mask(f, False) for f in files]
        check(rc == 6 and len(files) == 3 and
              all(s and "started process" in s[0] for s in split) and
              sorted(sum(split, [])) == sorted(want),
              "-ff: %d, %s: %s" % (rc, files, split))
        # Refused before anything runs, as on Linux: -ff without a file of
        # the user's to split, a path the library would cut, bad flags.
        for name, args, said in (
                ("ff-default", ["-ff"], "-ff needs -o FILE or NETQUILL_FILE"),
                ("cut", ["-o", log("c" * 250)],
                 "is too long: the library takes 255 characters"),
                ("flags", ["-f", "x4"], "bad flags x4 (decimal or 0x hex)")):
            rc, out, err = run(name, [launcher] + args + [exe["plain"]])
            check(rc == 2 and said in err and out == "",
                  "%s: %d %r %r" % (name, rc, out, err))
        # Loaded but tracing nothing.
        rc, out, err = run("off", [launcher, "-o", log("off.log"), exe["plain"]],
                      {"NETQUILL_TRACE": "0"})
        check(rc == 7 and out == plain_out[""],
              "NETQUILL_TRACE=0: %d\n%s" % (rc, out))
        check(not os.path.exists(os.path.join(a.work, "off.log")),
              "NETQUILL_TRACE=0 wrote a trace")
        # The program starts as it would untraced: its DLL initialised on its
        # main thread, and a child it debugs shows the debugger only its own
        # threads and DLLs, at once.
        probe = os.path.join(a.work, "probe")
        os.makedirs(probe)
        for f in (a.probe, a.probe_dll):
            shutil.copy(f, probe)
        start = [os.path.join(probe, os.path.basename(a.probe)), "start"]
        want_probe = run("probe", start + ["debug"])
        got_probe = run("probe-traced", [launcher, "-o", log("probe.log")] +
                        start + ["debug"])
        check(want_probe[0] == 0 and "exit 3" in want_probe[1] and
              got_probe[:2] == want_probe[:2],
              "start probe: %r traced, %r untraced" % (got_probe, want_probe))
        # The Windows Sockets 2 calls the real programs leave out, line for
        # line: waits, the reason of a refused connect, UDP on ::1, an
        # overlapped receive completed through a routine and through
        # GetOverlappedResult.
        shutil.copy(a.probe, os.path.join(a.work, "app", "modern.exe"))
        shutil.copy(a.probe_dll, os.path.join(a.work, "app"))
        modern = [os.path.join(a.work, "app", "modern.exe"), "modern"]
        want_modern = run("modern", modern)
        got_modern = run("modern-traced", [launcher, "-o", log("modern.log"),
                                           "-f", "4"] + modern)
        check(want_modern[0] == 3 and got_modern[:2] == want_modern[:2] and
              MODERN_OUTPUT == want_modern[1].replace("\r", ""),
              "modern: %r traced, %r untraced" % (got_modern, want_modern))
        got = [l.split(": ", 1)[1] if not l.startswith("  ") else l
               for l in mask(os.path.join(a.work, "modern.log"))[1:]]
        want = [l.replace("{ptr}", "8" if a.bits == "64" else "4")
                for l in MODERN_LINES]
        check(got == want, "modern trace:\n%s" % "\n".join(
            "%s %s" % ("  " if g == w else "!=", g) for g, w in
            zip(got + [""] * len(want), want + [""] * len(got))))
        # The capture carries TransmitFile's bytes, the file's among them, as
        # the streams the peer received.
        capture = os.path.join(a.work, "modern.pcapng")
        made = subprocess.run([a.netquill_pcap, "-o", capture,
                               os.path.join(a.work, "modern.log")],
                              capture_output=True, text=True)
        streams = [nqtest.follow(capture, "tcp", n) for n in range(16)]
        check(made.returncode == 0 and
              all([sent, b""] in streams for sent in SENT_FROM_FILE),
              "modern capture: %s %r" % (made.stderr, streams))
        # -s 8: every dump, TransmitFile's too, its first 8 bytes and the
        # count of the rest.
        got_s = run("modern-s", [launcher, "-o", log("modern-s.log"), "-f", "4",
                                 "-s", "8"] + modern)
        full = nqtest.records(JSON, os.path.join(a.work, "modern.log"))
        cut = nqtest.records(JSON, os.path.join(a.work, "modern-s.log"))
        check(got_s[:2] == want_modern[:2] and
              nqtest.cut_view(cut) == nqtest.cut_view(full, (), 8) and
              any(r["call"] == "TransmitFile" and r.get("cut") == 24
                  for r in cut if r["type"] == "call"),
              "-s 8: %r" % (nqtest.cut_view(cut),))
        # -e names the Windows Sockets 2 calls as the trace writes them: all
        # but those lines, and the program as untraced.
        got_cut = run("modern-cut", [launcher, "-o", log("modern-cut.log"),
                                     "-f", "4", "-e", "!WSAPoll,WSARecv"] +
                      modern)
        got_cut_lines = [l.split(": ", 1)[1] if not l.startswith("  ") else l
                         for l in mask(os.path.join(a.work,
                                                    "modern-cut.log"))[1:]]
        check(got_cut[:2] == want_modern[:2] and
              not any(l.startswith(("WSAPoll(", "WSARecv("))
                      for l in got_cut_lines) and
              any(l.startswith("WSAPoll(") for l in got) and
              len(got_cut_lines) > 0,
              "-e !WSAPoll,WSARecv: %r" % got_cut_lines[:8])
        # -e names calls, never silences another: an extension's lines
        # without WSAIoctl's, and ConnectEx alone, with the completion that
        # carries its bytes.
        for calls, want_calls in (("!WSAIoctl", None),
                                  ("ConnectEx",
                                   {"ConnectEx", "GetOverlappedResult"})):
            name = "modern-e-" + calls.strip("!")
            got_e = run(name, [launcher, "-o", log(name + ".log"), "-f", "4",
                               "-e", calls] + modern)
            shown = {r["call"] for r in nqtest.records(
                JSON, os.path.join(a.work, name + ".log"))
                if r["type"] == "call"}
            check(got_e[:2] == want_modern[:2] and "ConnectEx" in shown and
                  "WSAIoctl" not in shown and
                  (want_calls is None or shown == want_calls),
                  "-e %s: %r" % (calls, sorted(shown)))
        # A pending receive's bytes come with its completion: -e WSARecv
        # keeps the completions' lines of its receives, and no other.
        got_e = run("modern-e-WSARecv", [launcher, "-o", log("modern-wr.log"),
                                         "-f", "4", "-e", "WSARecv"] + modern)
        rs = [r for r in nqtest.records(JSON, os.path.join(a.work,
                                                           "modern-wr.log"))
              if r["type"] == "call"]
        shown = {r["call"] for r in rs}
        completed = b"".join(bytes.fromhex(r.get("dump", "")) for r in rs
                             if r["call"] != "WSARecv")
        check(got_e[:2] == want_modern[:2] and
              shown == {"WSARecv", "CompletionRoutine", "GetOverlappedResult"}
              and len(completed) == 7 + 6,
              "-e WSARecv: %r, %r completed" % (sorted(shown), completed))
        # Beyond the room for routines the program's own still run, untraced:
        # 1,024 completions in the trace, a byte each.
        want_many = run("many", modern + ["many"])
        got_many = run("many-traced", [launcher, "-o", log("many.log"),
                                       "-f", "4"] + modern + ["many"])
        routines = [r for r in nqtest.records(JSON, os.path.join(a.work, "many.log"))
                    if r.get("call") == "CompletionRoutine"]
        check(want_many[:2] == [4, "pending 1030, routines 1030\r\n"] and
              got_many[:2] == want_many[:2] and len(routines) == 1024 and
              all(r["result"] == 1 and r["dump"] == "6d" for r in routines),
              "many routines: %r traced, %r untraced, %d traced completions"
              % (got_many, want_many, len(routines)))
        # A trace path the ANSI code page cannot spell is refused, never
        # taken for another file; a program under the Windows directory runs
        # with a word that it is not traced.
        for name in (u"\uff41pp.log", u"\u0436\u0443\u0440\u043d\u0430\u043b.log"):
            before = set(os.listdir(a.work))
            rc, out, err = run("unicode", [launcher, "-o", log(name), exe["plain"]])
            made = set(os.listdir(a.work)) - before - {"unicode.out", "unicode.err"}
            check(rc == 2 and "code page lacks" in err and not made,
                  "-o %r: %d %r, made %s" % (name, rc, err, made))
        rc, out, err = run("windir", [launcher, "cmd.exe", "/c", "exit 4"])
        check(rc == 4 and "lies under the Windows directory" in err,
              "cmd.exe: %d %r" % (rc, err))
        # A program of the other bitness: its header says so, the launcher
        # names the one to use, and nothing is started.
        bits = "32" if a.bits == "64" else "64"
        other = os.path.join(a.work, "other.exe")
        machine = b"\x4c\x01" if bits == "32" else b"\x64\x86"
        with open(other, "wb") as f:
            f.write(b"MZ" + b"\0" * 58 + b"\x40\0\0\0" + b"PE\0\0" + machine +
                    b"\0" * 256)
        rc, out, err = run("bitness", [launcher, other])
        check(rc == 126 and "other.exe is a %s-bit program; trace it with the "
              "%s-bit netquill-run" % (bits, bits) in err,
              "bitness: %d %r" % (rc, err))
    return nqtest.report()


if __name__ == "__main__":
    sys.exit(main())
