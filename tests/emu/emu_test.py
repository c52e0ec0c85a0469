#!/usr/bin/python3
"""Runs the shipping 32-bit NETQUILL.DLL, the very bytes of the archive, in
the Unicorn emulator and checks what only running it can show: every
export by name and by ordinal, the stack each leaves, the trace the call
script writes against the same DLL's under Wine, the banners, the version
query, the context table with simulated threads, the error callbacks and
the caller's error code on every first call."""
import argparse
import hashlib
import os
import re
import shutil
import struct
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "dll"))
sys.path.insert(0, os.path.join(HERE, "..", "support"))

import nqtest  # noqa: E402
import pe_emu  # noqa: E402
from check_dll import ARG_BYTES, PRIVATE_NAMES, read_calls  # noqa: E402
from pe_file import read_def  # noqa: E402

# Arguments of each export, from the list of calls the build wrote.
ARG_COUNTS = {}
JSON = None  # netquill-json, the trace reader


def check(name, cond, detail=""):
    return nqtest.check(cond, name, detail or None)


def attempt(name, fn):
    """Runs a group of checks; an emulation fault fails the group."""
    try:
        fn()
    except pe_emu.EmuError as e:
        check(name, False, "emulation stopped: %s" % e)


# -- the call script ---------------------------------------------------------

def words(line):
    out, i = [], 0
    while i < len(line):
        if line[i] == " ":
            i += 1
            continue
        if line[i] == '"':
            w, i = '"', i + 1
            while i < len(line) and line[i] != '"':
                if line[i] == "\\" and i + 1 < len(line):
                    i += 1
                    w += "\n" if line[i] == "n" else line[i]
                else:
                    w += line[i]
                i += 1
            i += 1
            out.append(w)
        else:
            j = line.find(" ", i)
            j = len(line) if j < 0 else j
            out.append(line[i:j])
            i = j
    return out


def dotted(text):
    return bytes(int(p) for p in text.split("."))


def argument(emu, w, names=None):
    """The 32-bit value of one script argument, building what it points to
    in the 32-bit layouts of the socket structures. names holds the values
    kept ($NAME) and the blocks named (NAME=KIND:..., then &NAME)."""
    names = {} if names is None else names
    if w == "null":
        return 0
    if w[0] in "$&":
        return names[w]
    m = re.match(r"^(\w+)=(.*)$", w)
    if m:
        names["&" + m.group(1)] = argument(emu, m.group(2), names)
        return names["&" + m.group(1)]
    if w.startswith("fds:"):
        handles = [names[h] for h in w[4:].split(",")]
        return emu.alloc(struct.pack("<%dI" % (len(handles) + 1),
                                     len(handles), *handles) +
                         b"\0" * 4 * (64 - len(handles)))
    if w.startswith('"'):
        return emu.alloc(w[1:].encode("latin-1") + b"\0")
    f = w.split(":")
    kind = f[0]
    if kind == "sin" and len(f) == 3:
        return emu.alloc(struct.pack("<H", 2) + struct.pack(">H", int(f[2])) +
                         dotted(f[1]) + b"\0" * 8)
    if kind == "int" and len(f) == 2:
        return emu.alloc(struct.pack("<i", int(f[1])))
    if kind == "data" and len(f) == 2:
        return emu.alloc(bytes.fromhex(f[1]) + b"\0")
    if kind == "zeros" and len(f) == 2:
        return emu.alloc(b"\0" * (int(f[1]) + 1))
    if kind == "host" and len(f) == 3:
        name = emu.alloc(f[1].encode() + b"\0")
        first = emu.alloc(dotted(f[2])) if f[2] != "-" else 0
        addrs = emu.alloc(struct.pack("<2I", first, 0))
        return emu.alloc(struct.pack("<IIhhI", name, 0, 2, 4, addrs))
    if kind == "serv" and len(f) == 4:
        name = emu.alloc(f[1].encode() + b"\0")
        proto = emu.alloc(f[3].encode() + b"\0")
        port = struct.unpack("<h", struct.pack(">H", int(f[2])))[0]
        return emu.alloc(struct.pack("<IIhxxI", name, 0, port, proto))
    if kind == "proto" and len(f) == 3:
        name = emu.alloc(f[1].encode() + b"\0")
        return emu.alloc(struct.pack("<IIhxx", name, 0, int(f[2])))
    if kind == "tv" and len(f) == 3:
        return emu.alloc(struct.pack("<ii", int(f[1]), int(f[2])))
    return int(w, 0) & 0xFFFFFFFF


def signed(v):
    return v - (1 << 32) if v & 0x80000000 else v


def run_script(emu, script, resolve, counts=ARG_COUNTS):
    """Runs the script on the current thread; resolve(name) gives the
    address to call, counts each export's arguments. Returns the list of
    failures."""
    failures = []
    hooks_on = emu.alloc(struct.pack("<2I", emu.get_error, emu.set_error))
    hooks_off = emu.alloc(struct.pack("<2I", 0, 0))
    last, code, names = 0, 0, {}
    for number, line in enumerate(open(script), 1):
        w = words(line.rstrip("\r\n"))
        if not w or w[0].startswith("#"):
            continue
        if w[0] in ("setup", "setup-off"):
            emu.call(resolve("WSASetupTrace"),
                     [hooks_on if w[0] == "setup" else hooks_off],
                     "WSASetupTrace")
        elif w[0] == "error":
            code = int(w[1])
        elif w[0] in ("expect", "expect-error"):
            got = signed(last) if w[0] == "expect" else code
            if got != int(w[1]):
                failures.append("line %d: %s %d, expected %s" %
                                (number, w[0], got, w[1]))
        elif w[0] == "keep":
            names["$" + w[1]] = last
        elif w[0] == "call":
            args = [argument(emu, a, names) for a in w[2:]]
            if len(args) != counts[w[1]]:
                failures.append("line %d: %s takes %d arguments" %
                                (number, w[1], counts[w[1]]))
                continue
            emu.set_last_error(code)
            last = emu.call(resolve(w[1]), args, w[1])
            code = emu.last_error()
        else:
            failures.append("line %d: unknown command" % number)
    return failures


def masked(path):
    """A trace's records (nqtest.lines: no clock or elapsed column) with
    0x values and the banners' dates masked."""
    out = []
    for line in nqtest.lines(JSON, path):
        line = re.sub(r"0x[0-9a-fA-F]+", "0x?", line)
        out.append(re.sub(r"on \d\d-\d\d-\d{4} \d\d:\d\d:\d\d", "on <date>",
                          line))
    return out


# -- the checks --------------------------------------------------------------

class Run:
    def __init__(self, dll, workdir, **load):
        self.dll = dll
        self.workdir = workdir
        self.count = 0
        self.load = load  # dll_path, disk: where the DLL and others lie

    def process(self, attach=True, load=None, **win):
        """A fresh process with the DLL loaded (DLL_PROCESS_ATTACH sent)."""
        self.count += 1
        files = os.path.join(self.workdir, "p%d" % self.count)
        os.makedirs(files)
        emu = pe_emu.Emulator(self.dll, files, **(load or self.load))
        for k, v in win.items():
            setattr(emu.win, k, v)
        emu.files = files
        if attach:
            result = emu.dll_main(1)
            if result != 1:
                raise pe_emu.EmuError("DllMain(PROCESS_ATTACH) returned %d" %
                                      result)
        return emu


def trace_of(emu, name="trace.log"):
    path = os.path.join(emu.files, name)
    return open(path, "rb").read() if os.path.exists(path) else b""


def check_script(run, script, reference, ordinals):
    by_name = run.process()
    fails = run_script(by_name, script, by_name.export)
    check("script by name: results as expected", not fails, "; ".join(fails))
    by_ordinal = run.process()
    fails = run_script(by_ordinal, script,
                       lambda n: by_ordinal.export(ordinals[n]))
    check("script by ordinal: results as expected", not fails,
          "; ".join(fails))
    a, b = trace_of(by_name), trace_of(by_ordinal)
    check("by name and by ordinal write the same trace", a and a == b)
    for emu, how in ((by_name, "by name"), (by_ordinal, "by ordinal")):
        bad = [m for m in emu.measured if m[1] != m[2]]
        check("stack pointer after each call %s: 4 x arguments + 4" % how,
              emu.measured and not bad, "moved: %s" % bad[:5])
    if reference is None or not os.path.exists(reference):
        check("reference trace exists", False,
              "missing %s: run emu_reference first" % reference)
        return a
    want = masked(reference)
    got = masked(os.path.join(by_name.files, "trace.log"))
    diff = [(i, x, y) for i, (x, y) in enumerate(zip(got, want)) if x != y]
    check("trace equals the DLL's under Wine (%d records)" % len(want),
          got == want and len(want) >= 60,
          "lines %d vs %d; first differences: %s" % (len(got), len(want),
                                                    diff[:3]))
    records = nqtest.records(JSON, os.path.join(by_name.files, "trace.log"))
    calls = {r["call"] for r in records if r["type"] == "call"}
    hooks = {n[3:] for n in ARG_COUNTS if n.startswith("TX_")}
    check("every one of the 36 hooks wrote its line", hooks <= calls,
          "missing %s" % sorted(hooks - calls))
    check("dumps present: 8 lines or more", sum(
        (len(r.get("dump", "")) // 2 + 15) // 16 for r in records) >= 8)
    check("a dump under a limit of 20 shows 20 bytes and counts 13 more",
          [r.get("dump") for r in records if "cut" in r] ==
          ["000102030405060708090a0b0c0d0e0f10111213"] and
          [r["cut"] for r in records if "cut" in r] == [13])
    return a


def check_banners(trace):
    lines = trace.split(b"\r\n")
    check("start banner", re.match(
        rb"^NQ_SCRIPT 140509 \d{4} INF: started process 0x104 trace on "
        rb"12-07-2026 14:05:09 \[4\.0\.4000\]$", lines[0]), lines[0])
    check("stop banner", re.match(
        rb"^NQ_SCRIPT 140509 \d{4} INF: stopped process 0x104 trace on "
        rb"12-07-2026 14:05:09$", lines[-2]) and lines[-1] == b"",
        lines[-2:])


def check_version(run):
    emu = run.process()
    fn = emu.export("DllGetVersion")
    ok = emu.call(fn, [0], "DllGetVersion(NULL)") == 0x80000005
    for size in (0, 19, 24):
        rec = emu.alloc(struct.pack("<5I", size, 7, 7, 7, 7))
        ok = ok and emu.call(fn, [rec], "DllGetVersion") == 0x80000003
        ok = ok and struct.unpack("<5I", emu.read(rec, 20)) == (size, 7, 7, 7,
                                                                 7)
    rec = emu.alloc(struct.pack("<5I", 20, 0, 9, 0, 0))
    ok = ok and emu.call(fn, [rec], "DllGetVersion") == 0
    check("DllGetVersion: 0x80000005, 0x80000003, then 4.0.4000 platform 1",
          ok and struct.unpack("<5I", emu.read(rec, 20)) == (20, 4, 0, 4000,
                                                             1))


def call_export(emu, name, resolve=None):
    """One call of an export with arguments it reads safely."""
    scratch = emu.alloc(b"\0" * 64)
    args = {
        "DllGetVersion": [emu.alloc(struct.pack("<5I", 20, 0, 0, 0, 0))],
        "WSASetupTrace": [emu.alloc(struct.pack("<2I", emu.get_error,
                                                emu.set_error))],
        "WSAEnableTrace": [emu.alloc(b"first.log\0"), 0],
        "WSASetTraceFile": [emu.alloc(b"first.log\0")],
        "WSAGetTraceFile": [scratch, 64],
        "NetQuillWrite": [0, emu.alloc(b"note\0"), 0],
        "TX_accept": [0xFFFFFFFF, 3, 0, 0],
        "TX_socket": [0xFFFFFFFF, 2, 1, 6],
        "TX_gethostbyname": [0, emu.alloc(b"gw\0")],
        "TX_recv": [0xFFFFFFFF, 3, scratch, 8, 0],
        "TX_send": [0xFFFFFFFF, 3, scratch, 8, 0],
    }.get(name)
    if args is None:
        # Failed results and null pointers: every hook reads those safely
        # (a database hook's result is an entry pointer: null; the private
        # export's argument is a callback, which null takes off).
        failed = 0 if (re.match(r"TX_get\w+by", name) or
                       name in PRIVATE_NAMES) else 0xFFFFFFFF
        count = ARG_COUNTS[name]
        args = [failed] + [0] * (count - 1) if count else []
    return emu.call((resolve or emu.export)(name), args, name)


def check_first_calls(run, ordinals):
    """The caller's last error after the first call of every export, called
    by name and by ordinal: in a fresh process, before and after the
    callbacks, on fresh threads, and on a thread's first traced call."""
    changed = []
    for name in sorted(ARG_COUNTS):
        for setup in (False, True):
            for by_ordinal in (False, True):
                emu = run.process()
                if setup:
                    call_export(emu, "WSASetupTrace")
                emu.set_last_error(10035)
                call_export(emu, name, (lambda n: emu.export(ordinals[n]))
                            if by_ordinal else None)
                if emu.last_error() != 10035:
                    changed.append("%s%s%s: %d" % (
                        name, " by ordinal" if by_ordinal else "",
                        " after setup" if setup else "", emu.last_error()))
                bad = [m for m in emu.measured if m[1] != m[2]]
                if bad:
                    changed.append("%s: stack moved %s" % (name, bad))
    check("first call of every export, by name and by ordinal, in a fresh "
          "process keeps the last error and pops its arguments (before and "
          "after WSASetupTrace)", not changed, changed)

    emu = run.process()
    call_export(emu, "WSASetupTrace")
    main = emu.thread
    emu.call(emu.export("WSAEnableTrace"), [emu.alloc(b"main.log\0"), 0],
             "enable")
    changed = []
    for name in sorted(ARG_COUNTS):
        for traced in (False, True):
            t = emu.new_thread()
            if traced:
                emu.set_last_error(10054)
                emu.call(emu.export("WSAEnableTrace"),
                         [emu.alloc(b"thread.log\0"), 0], "enable")
                if emu.last_error() != 10054:
                    changed.append("WSAEnableTrace: %d" % emu.last_error())
            emu.set_last_error(10035)
            call_export(emu, name)
            if emu.last_error() != 10035:
                changed.append("%s%s: %d" % ("traced " if traced else "", name,
                                             emu.last_error()))
            if traced:
                emu.call(emu.export("WSADisableTrace"), [], "disable")
            emu.end_thread(t)
            emu.switch(main)
    check("first call of every export on a fresh thread keeps the last "
          "error (traced and not)", not changed, changed)

    emu = run.process()
    call_export(emu, "WSASetupTrace")
    emu.new_thread()
    emu.call(emu.export("WSAEnableTrace"), [emu.alloc(b"traced.log\0"), 0],
             "enable")
    emu.set_last_error(10061)
    r = emu.call(emu.export("TX_connect"), [0xFFFFFFFF, 3, 0, 16],
                 "TX_connect")
    text = trace_of(emu, "traced.log")
    check("first traced call of a thread prints and hands back its code",
          r == 0xFFFFFFFF and emu.last_error() == 10061 and
          b" ERR: connect(3, NULL, 16) returned -1 [10061]\r\n" in text,
          "last error %d, trace %r" % (emu.last_error(), text))


def tls_value(emu, t):
    slots = [i for i, used in enumerate(emu.win.tls_used) if used]
    if len(slots) != 1:
        raise pe_emu.EmuError("the DLL holds %d TLS slots" % len(slots))
    return emu.read_u32(t.teb + pe_emu.TEB_TLS_SLOTS + 4 * slots[0])


def check_table(run):
    """128 slots, one per simulated thread, each thread with its own TLS."""
    emu = run.process()
    call_export(emu, "WSASetupTrace")
    enable, usage = emu.export("WSAEnableTrace"), emu.export("WSAGetTraceUsage")
    write = emu.export("NetQuillWrite")
    threads, results, changed = [], [], []
    for i in range(129):
        t = emu.new_thread()
        threads.append(t)
        path = emu.alloc(b"slot-%d.log\0" % i)
        emu.set_last_error(20000 + i)
        results.append(emu.call(enable, [path, 0], "enable"))
        if emu.last_error() != 20000 + i:
            changed.append(i)
    check("enable keeps each thread's own last error", not changed,
          "changed on threads %s" % changed[:10])
    check("128 threads get a slot, the 129th is refused",
          results[:128] == [1] * 128 and results[128] == 0)
    check("usage counts 128", emu.call(usage, [], "usage") == 128)
    values = [tls_value(emu, t) for t in threads]
    check("every thread has its own TLS value",
          all(values) and len(set(values)) == 129)
    for i in (127, 0, 64):  # each writes into its own file, out of order
        emu.switch(threads[i])
        emu.set_last_error(30000 + i)
        emu.call(write, [0, emu.alloc(b"from %d\0" % i), 0], "write")
        check("thread %d: its note in its file, its last error kept" % i,
              b"INF: from %d\r\n" % i in trace_of(emu, "slot-%d.log" % i) and
              emu.last_error() == 30000 + i)
    live = len(emu.win.heap_blocks)
    emu.switch(threads[5])
    emu.call(emu.export("WSADisableTrace"), [], "disable")
    emu.end_thread(threads[5])
    # Its state goes back to the heap; its context stays in the static pool.
    check("a thread's end gives back its state and its TLS value",
          len(emu.win.heap_blocks) == live - 1 and
          tls_value(emu, threads[5]) == 0,
          "blocks %d -> %d" % (live, len(emu.win.heap_blocks)))
    emu.switch(threads[128])
    check("the freed slot goes to the thread that was refused",
          emu.call(enable, [emu.alloc(b"slot-128.log\0"), 0], "enable") == 1)
    for t in threads:
        if t.alive:
            emu.switch(t)
            emu.call(emu.export("WSADisableTrace"), [], "disable")
            emu.end_thread(t)
    emu.switch(emu.main)
    check("every slot free again", emu.call(usage, [], "usage") == 0)
    emu.dll_main(0, 0)  # FreeLibrary
    check("after the unload no heap block is left and the TLS slot is free",
          not emu.win.heap_blocks and not any(emu.win.tls_used),
          "%d blocks" % len(emu.win.heap_blocks))


def check_callbacks(run):
    emu = run.process()
    connect = emu.export("TX_connect")
    enable = emu.export("WSAEnableTrace")
    emu.call(enable, [emu.alloc(b"cb.log\0"), 0], "enable")
    emu.set_last_error(10061)
    emu.call(connect, [0xFFFFFFFF, 3, 0, 16], "connect")
    none = dict(emu.callback_calls)
    call_export(emu, "WSASetupTrace")
    emu.set_last_error(10060)
    emu.call(connect, [0xFFFFFFFF, 3, 0, 16], "connect")
    both = dict(emu.callback_calls)
    text = trace_of(emu, "cb.log")
    check("without callbacks none is called and the code printed is 0",
          none == {"get": 0, "set": 0} and
          b"ERR: connect(3, NULL, 16) returned -1 [0]\r\n" in text, none)
    check("with callbacks each is called once per hook, the code printed "
          "and handed back", both == {"get": 1, "set": 1} and
          b"ERR: connect(3, NULL, 16) returned -1 [10060]\r\n" in text and
          emu.last_error() == 10060, (both, emu.last_error()))


def check_failures(run):
    emu = run.process(attach=False, tls_alloc_fails=True)
    check("DllMain fails the load when TlsAlloc fails",
          emu.dll_main(1) == 0)
    # A thread for whose state no memory can be had traces nothing and
    # leaves its caller's code alone.
    emu = run.process()
    call_export(emu, "WSASetupTrace")
    emu.call(emu.export("WSAEnableTrace"), [emu.alloc(b"main.log\0"), 0],
             "enable")
    emu.new_thread()
    emu.win.fail_allocs_after = 0
    emu.set_last_error(10061)
    r1 = emu.call(emu.export("TX_connect"), [0xFFFFFFFF, 3, 0, 16], "connect")
    kept = emu.last_error() == 10061
    r2 = emu.call(emu.export("WSAEnableTrace"), [emu.alloc(b"t.log\0"), 0],
                  "enable")
    check("no memory for a thread's state: result and last error kept, "
          "enable refused", r1 == 0xFFFFFFFF and kept and r2 == 0)


# -- the drop-in WSOCK32.DLL with NETQUILL.DLL beside it ---------------------

DROPIN = "C:\\tests\\WSOCK32.DLL"
BESIDE = "C:\\tests\\NETQUILL.DLL"
TRACED = {"NETQUILL_FILE": "trace.log", "NETQUILL_FLAGS": "4"}
# The drop-in's exports whose result is an entry or a string: the pass-
# through check answers them with null, which no hook follows.
ENTRY_RESULTS = {"gethostbyaddr", "gethostbyname", "getprotobyname",
                 "getprotobynumber", "getservbyname", "getservbyport",
                 "inet_ntoa", "getnetbyname"}
NO_RESULT = {"WSASetLastError", "GetAcceptExSockaddrs", "s_perror"}
# Nothing in ws2_32.dll to call: their own answers.
NOT_PASSED_ON = {"WEP": (1, 0), "WsControl": (10045, 0)}


def masked_dropin(path):
    """masked(), and socket handles and ports from 1024 up too."""
    out = []
    for line in masked(path):
        line = re.sub(r"(\d+\.\d+\.\d+\.\d+):(\d{4,5})\b", r"\1:<port>",
                      line)
        line = re.sub(r"\b(?!select|socket|gethost)(\w+)\(\d+", r"\1(<s>",
                      line)
        out.append(re.sub(r"^(.*(?:socket|accept)\(.*returned) \d+$",
                          r"\1 <s>", line))
    return out


def check_dropin_script(run, script, reference, counts):
    emu = run.process(environment=TRACED)
    fails = run_script(emu, script, emu.export, counts)
    check("drop-in script: results and error codes as expected", not fails,
          "; ".join(fails))
    check("the drop-in found NETQUILL.DLL beside it and ws2_32.dll and "
          "mswsock.dll in the system directory",
          [m.path for m in emu.modules[1:]] == [
              pe_emu.SYSTEM_DIRECTORY + "\\ws2_32.dll",
              pe_emu.SYSTEM_DIRECTORY + "\\mswsock.dll", BESIDE],
          [m.path for m in emu.modules])
    options = [a[1:3] for n, a in emu.ws2.received if n.endswith("sockopt")]
    check("ws2_32.dll receives IP_TTL as 4, the program's 7 translated",
          options == [(0, 4), (0, 4)], options)
    got = masked_dropin(os.path.join(emu.files, "trace.log"))
    if reference is None or not os.path.exists(reference):
        check("the drop-in's trace under Wine exists", False,
              "missing %s: run emu_reference first" % reference)
        return
    want = masked_dropin(reference)
    diff = [(i, x, y) for i, (x, y) in enumerate(zip(got, want)) if x != y]
    check("trace equals the drop-in's under Wine (%d records)"
          % len(want), got == want and len(want) >= 24,
          "lines %d vs %d; first differences: %s" % (len(got), len(want),
                                                    diff[:3]))


def pass_through(emu, counts):
    """Calls every export with an answer given to the stub behind it;
    returns what differs from that answer as the program sees it."""
    bad = []
    emu.set_last_error(4242)
    emu.call(emu.export("htons"), [0x1234], "htons")  # loads the libraries
    if emu.last_error() != 4242:
        bad.append("the loading first call changed the error code to %d"
                   % emu.last_error())
    for i, name in enumerate(sorted(counts)):
        if name in pe_emu.ws2_stub.check_exports.OWN:
            continue  # the drop-in's own, for netquill-run: nothing passed on
        args = [emu.alloc(b"\0" * 64) for _ in range(counts[name])]
        sent = list(args)
        if name.endswith("sockopt"):
            args[1:3] = [0, 7]  # IPPROTO_IP, the old IP_TTL
            sent[1:3] = [0, 4]
        if name in ("WSAStartup", "htons", "ntohs"):  # a WORD first
            args[0] = sent[0] = 0x0101 + i
        result = 0 if name in ENTRY_RESULTS else 0x1000 + i
        error = 20000 + i
        at = len(emu.ws2.received)
        if name in NOT_PASSED_ON:
            result, error = NOT_PASSED_ON[name]
        else:
            emu.ws2.answer_next(result, error)
        emu.set_last_error(0)
        got = emu.call(emu.export(name), args, name)
        seen = emu.ws2.received[at] if len(emu.ws2.received) > at else None
        if seen != (None if name in NOT_PASSED_ON else (name, tuple(sent))):
            bad.append("%s: the stub received %s" % (name, seen))
        if (name not in NO_RESULT and got != result) or \
                emu.last_error() != error:
            bad.append("%s: %d [%d], the stub gave %d [%d]" % (
                name, got, emu.last_error(), result, error))
    bad += ["%s: stack moved %d, not %d" % m for m in emu.measured
            if m[1] != m[2]]
    return bad


def check_pass_through(run, counts):
    """Every export, traced and not: the stack, the result and error code
    the stub gave, the arguments it received (option numbers translated)."""
    deep = "C:\\" + "d" * 250 + "\\WSOCK32.DLL"  # GetModuleFileNameW cuts it
    cases = (
        ("traced", TRACED, run.load, True),
        ("NETQUILL_TRACE=0", dict(TRACED, NETQUILL_TRACE="0"), run.load,
         False),
        ("without NETQUILL.DLL", TRACED, {"dll_path": DROPIN}, False),
        ("from a path too long for the drop-in", TRACED, {
            "dll_path": deep, "disk": {deep[:-11] + "NETQUILL.DLL":
                                       run.load["disk"][BESIDE]}}, False),
        ("with a NETQUILL_FILE that does not fit",
         dict(TRACED, NETQUILL_FILE="f" * 256), run.load, False),
        ("with a NETQUILL_FILE of 255 characters",
         dict(TRACED, NETQUILL_FILE="f" * 255), run.load, True),
    )
    for what, env, load, traced in cases:
        emu = run.process(environment=env, load=load)
        bad = pass_through(emu, counts)
        written = {n: trace_of(emu, n) for n in os.listdir(emu.files)}
        lines = b"".join(written.values())
        names = {m.group(1).decode() for m in re.finditer(
            rb" (?:INF|ERR|WRN): (\w+)\(", lines)}
        hooks = {n[3:] for n in ARG_COUNTS if n.startswith("TX_")}
        check("every export %s: stack, result, error code and arguments as "
              "the stub's" % what, not bad, bad[:6])
        check("%s: %s" % (what, "a line for each of the 36 traced calls in "
                          "one file" if traced else "no trace at all"),
              (len(written) == 1 and names == hooks) if traced else
              not written, (sorted(written)[:3], sorted(hooks ^ names)))


def check_threads(run):
    """Two threads, each traced from its own first call, each with its own
    error code from ws2_32.dll."""
    emu = run.process(environment=TRACED)
    close, socket_, code = (emu.export(n) for n in (
        "closesocket", "socket", "WSAGetLastError"))
    main, other = emu.main, emu.new_thread()
    emu.switch(main)
    emu.call(close, [0x999], "closesocket")
    emu.switch(other)
    emu.call(socket_, [2, 12345, 0], "socket")
    codes = [emu.call(code, [], "WSAGetLastError")]
    emu.switch(main)
    codes.append(emu.call(code, [], "WSAGetLastError"))
    emu.end_thread(other)
    text = trace_of(emu)
    check("each thread its own error code and its own start banner",
          codes == [10044, 10038] and text.count(b"INF: started") == 2 and
          b"[10038]" in text and b"[10044]" in text, (codes, text))


def check_short_addresses(run):
    """An address buffer of 2 bytes at the very end of the program's memory:
    the hook gets a zero-filled copy, the program's bytes stay as they are."""
    emu = run.process(environment=TRACED)
    end = pe_emu.USER + pe_emu.USER_SIZE - 2
    cases = (("getsockname", 3, lambda a, n: [0x1A4, a, n]),
             ("getpeername", 3, lambda a, n: [0x1A4, a, n]),
             ("accept", 0x1B0, lambda a, n: [0x1A4, a, n]),
             ("recvfrom", 0, lambda a, n: [0x1A4, emu.alloc(b"\0" * 8), 8, 0,
                                          a, n]))
    for name, result, args in cases:
        emu.write(end, b"\x02\x00")
        length = emu.alloc(struct.pack("<i", 2))
        emu.ws2.answer_next(result, 0)
        emu.call(emu.export(name), args(end, length), name)
        kept = emu.read(end, 2) == b"\x02\x00" and \
            emu.read_u32(length) == 2
        check("%s with 2 valid address bytes at the end of memory: a "
              "zero-filled copy traced, the program's bytes kept" % name,
              kept and b" %s(420, " % name.encode() in trace_of(emu) and
              b", 0.0.0.0:0, 0x" in trace_of(emu).split(b"\r\n")[-2])


# Instructions run inside the DLL and import calls made by one hook call,
# TX_connect(-1, 3, 10.1.2.3:80, 16) failing with flags 0, on a warm thread:
# the emulator runs the same instructions every time, so these are exact.
HOT_PATH_GOALS = {"nobody traces": (7, 0), "thread without a context": (60, 0),
                  "written call line": (1200, 33)}


def check_hot_path(run):
    emu = run.process()
    call_export(emu, "WSASetupTrace")
    connect = emu.export("TX_connect")
    name = emu.alloc(struct.pack(">HH4B8x", 0x0200, 80, 10, 1, 2, 3))
    args = [0xFFFFFFFF, 3, name, 16]

    def measure():
        emu.set_last_error(10061)
        emu.call(connect, args, "warm-up")
        emu.set_last_error(10061)
        return emu.counted_call(connect, args, "TX_connect")[1:]

    counts = {"nobody traces": measure()}
    tracer = emu.new_thread()
    emu.call(emu.export("WSAEnableTrace"), [emu.alloc(b"hot.log\0"), 0],
             "enable")
    emu.new_thread()
    counts["thread without a context"] = measure()
    emu.switch(tracer)
    counts["written call line"] = measure()
    line = trace_of(emu, "hot.log").split(b"\r\n")[-2]
    check("the hot path's line is written", line.endswith(
        b" ERR: connect(3, 10.1.2.3:80, 16) returned -1 [10061]"), line)
    for what, (instructions, imports) in counts.items():
        most, most_imports = HOT_PATH_GOALS[what]
        check("TX_connect, %s: %d instructions (at most %d), %d import calls "
              "(at most %d)" % (what, instructions, most, imports,
                                most_imports),
              instructions <= most and imports <= most_imports)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dll", required=True, help="the built NETQUILL.DLL")
    ap.add_argument("--zip", required=True, help="the shipping archive")
    ap.add_argument("--def", dest="deffile", required=True)
    ap.add_argument("--calls", required=True,
                    help="the export lists, as the build wrote them")
    ap.add_argument("--script", required=True)
    ap.add_argument("--reference", help="the trace of the script under Wine")
    ap.add_argument("--netquill", help="with --dll the drop-in WSOCK32.DLL: "
                    "the NETQUILL.DLL beside it")
    ap.add_argument("--netquill-json", required=True,
                    help="the trace reader the checks read traces through")
    args = ap.parse_args()
    global JSON
    JSON = args.netquill_json
    read_calls(args.calls)
    ARG_COUNTS.update((n, b // 4) for n, b in ARG_BYTES.items())
    pe_emu.ws2_stub.read_calls(args.calls)
    if args.netquill:
        return main_dropin(args)

    shipped = b""
    if os.path.exists(args.zip):
        with zipfile.ZipFile(args.zip) as z:
            inner = [n for n in z.namelist()
                     if n.endswith("/bin/NETQUILL.DLL")]
            shipped = z.read(inner[0]) if len(inner) == 1 else b""
    built = open(args.dll, "rb").read()
    check("the file run is the archive's NETQUILL.DLL, byte for byte",
          shipped and hashlib.sha256(shipped).digest() ==
          hashlib.sha256(built).digest())
    ordinals = read_def(args.deffile)
    # The hooks, the version query, the control API and the drop-in's
    # private export: nothing else.
    check("48 exports in the definition", len(ordinals) == 48)

    workdir = tempfile.mkdtemp(prefix="nq-emu-")
    try:
        run = Run(shipped, workdir)

        def load():
            probe = run.process()
            check("all 48 exports present by name and by ordinal",
                  all(probe.exports_by_name.get(n) ==
                      probe.exports_by_ordinal.get(o)
                      for n, o in ordinals.items()) and
                  len(probe.exports_by_name) == 48)
            check("relocated away from its preferred base",
                  probe.relocations > 0)

        attempt("load", load)
        trace = [b""]

        def script():
            trace[0] = check_script(run, args.script, args.reference,
                                    ordinals)
            check_banners(trace[0])

        attempt("call script", script)
        attempt("DllGetVersion", lambda: check_version(run))
        attempt("first calls", lambda: check_first_calls(run, ordinals))
        attempt("context table", lambda: check_table(run))
        attempt("error callbacks", lambda: check_callbacks(run))
        attempt("failures", lambda: check_failures(run))
        attempt("hot path", lambda: check_hot_path(run))
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    return nqtest.report()


def main_dropin(args):
    counts = pe_emu.ws2_stub.ARG_COUNTS  # the drop-in's exports
    shipped = {}
    with zipfile.ZipFile(args.zip) as z:
        for name in ("WSOCK32.DLL", "NETQUILL.DLL"):
            inner = [n for n in z.namelist() if n.endswith("/bin/" + name)]
            shipped[name] = z.read(inner[0]) if len(inner) == 1 else b""
    built = {"WSOCK32.DLL": open(args.dll, "rb").read(),
             "NETQUILL.DLL": open(args.netquill, "rb").read()}
    check("the files run are the archive's WSOCK32.DLL and NETQUILL.DLL, "
          "byte for byte", all(shipped.values()) and shipped == built)
    check("67 exports in the definition", len(read_def(args.deffile)) == 67)
    workdir = tempfile.mkdtemp(prefix="nq-emu-dropin-")
    try:
        run = Run(shipped["WSOCK32.DLL"], workdir, dll_path=DROPIN,
                  disk={BESIDE: shipped["NETQUILL.DLL"]})
        attempt("drop-in script", lambda: check_dropin_script(
            run, args.script, args.reference, counts))
        attempt("pass-through", lambda: check_pass_through(run, counts))
        attempt("short addresses", lambda: check_short_addresses(run))
        attempt("threads", lambda: check_threads(run))
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return nqtest.report()


if __name__ == "__main__":
    sys.exit(main())
