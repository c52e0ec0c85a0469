"""What the Python tests share: checks that collect their failures into one
report, and traces read through netquill-json, the trace reader the tools
are built on, instead of a parser of each script's own."""
import json
import re
import os
import shutil
import subprocess
import time
import traceback

SKIP = 77  # the exit status ctest counts as skipped (SKIP_RETURN_CODE)
failures = []
checked = [0]
scenario = [None]  # the name of the scenario running, for its failures


def check(cond, message, detail=None):
    """Records a failed check; returns cond, so a caller can go on."""
    checked[0] += 1
    if not cond:
        if scenario[0]:
            message = "[%s] %s" % (scenario[0], message)
        failures.append(message if detail is None else
                        "%s\n    %s" % (message, detail))
    return cond


def run_scenarios(table, *args, only=None):
    """Runs each (name, function) of table on args, or those named in only:
    each on its own, its failures marked with its name, one that raises
    failing alone. A line per scenario says how its checks went. SKIP when
    every scenario run said SKIP, else None (report() has the verdict)."""
    statuses = []
    for name, function in table:
        if only and name not in only:
            continue
        failed, count = len(failures), checked[0]
        scenario[0] = name
        try:
            status = function(*args)
        except Exception:  # the next scenarios still run
            status = None
            check(False, "raised", traceback.format_exc().strip())
        if status != SKIP and checked[0] == count:
            check(False, "checked nothing")
        scenario[0] = None
        statuses.append(status)
        print("%s %s: %d of %d checks failed" % (
            "SKIPPED" if status == SKIP else
            "FAIL" if len(failures) > failed else "ok", name,
            len(failures) - failed, checked[0] - count))
    if only and not statuses:
        check(False, "no scenario named %s" % ", ".join(only))
    return SKIP if statuses and all(s == SKIP for s in statuses) else None


def report(summary=""):
    """Prints the failures and a last line; the script's exit status."""
    for f in failures:
        print("FAIL:", f)
    print("%s: %d of %d checks failed%s" % (
        "FAILED" if failures else "OK", len(failures), checked[0],
        "; " + summary if summary else ""))
    return 1 if failures else 0


def follow(capture, proto, stream):
    """The two directions of a stream of a capture, as tshark's follow
    gives them."""
    out = subprocess.run(["tshark", "-r", capture, "-q", "-z",
                          "follow,%s,raw,%d" % (proto, stream)],
                         capture_output=True, text=True).stdout
    dirs = [b"", b""]
    for line in out.split("Node 1", 1)[-1].splitlines()[1:]:
        if line and line[0] != "=":
            dirs[line[0] == "\t"] += bytes.fromhex(line.strip())
    return dirs


def check_capture(pcap, trace, sockets, name):
    """netquill-pcap of the trace: every stream tshark follows holds the
    bytes of one of the sockets (each with .sent and .received) each way,
    and TCP analysis flags nothing."""
    capture = trace + ".pcapng"
    made = subprocess.run([pcap, "-o", capture, trace], capture_output=True,
                          text=True)
    want = sorted(sorted((bytes(s.sent), bytes(s.received))) for s in sockets
                  if s.sent or s.received)
    got = [sorted(follow(capture, proto, n)) for proto in ("tcp", "udp")
           for n in range(len(want) + 1)] if made.returncode == 0 else []
    got = sorted(g for g in got if g != [b"", b""])
    flagged = subprocess.run(["tshark", "-r", capture, "-Y",
                              "tcp.analysis.flags"], capture_output=True,
                             text=True).stdout if made.returncode == 0 else ""
    check(made.returncode == 0 and got == want and not flagged,
          "%s: capture of %s: %s streams %s, trace %s, flagged %r" % (
              name, os.path.basename(trace), made.stderr.strip(),
              [[len(x) for x in g] for g in got],
              [[len(x) for x in w] for w in want], flagged[:200]))


def records(tool, trace):
    """The records of a trace as netquill-json writes them (one dict each,
    its schema in tools/netquill-json/README.md); none for a trace that
    does not exist."""
    if not os.path.exists(trace):
        return []
    if not os.path.exists(tool):
        raise SystemExit("no %s: a cross build reads traces with the host "
                         "build's netquill-json, so build host first" % tool)
    out = subprocess.run([tool, trace], capture_output=True, check=True,
                         timeout=120).stdout
    return [json.loads(line) for line in out.splitlines()]


def sent_heads(tool, trace, size):
    """The first size bytes of each datagram the trace shows sent, in its
    order: the numbers the ring tests' senders put there."""
    return [bytes.fromhex(r["dump"][:2 * size]) for r in records(tool, trace)
            if r.get("call") == "sendto" and "dump" in r]


def wait_for(read, n, seconds=30):
    """read() again until it holds n items or the time is up; its last."""
    end = time.time() + seconds
    got = read()
    while len(got) < n and time.time() < end:
        time.sleep(0.05)
        got = read()
    return got


def each_once(got, want, what, ordered=True):
    """Every item of want in got once; with ordered, in want's order, per
    thread where the items are (thread, number) pairs."""
    check(sorted(got) == sorted(want), "%s: each datagram once" % what,
          (len(got), len(want), sorted(set(want) - set(got))[:10]))
    if not ordered:
        return
    threads = {x[0] for x in want} if want and isinstance(want[0], tuple) \
        else {None}
    for t in threads:
        mine = [x for x in got if t is None or x[0] == t]
        check(mine == sorted(mine), "%s: in the order sent" % what, t)


def cut_view(recs, left_out=(), limit=0):
    """What -e '!LEFT_OUT' and -s LIMIT leave of a trace's records: the
    calls' names, and each dump as its bytes shown in hex and the count of
    those left out (a cut trace's own view: limit 0), both sorted."""
    calls, dumps = [], []
    for r in recs:
        if r["type"] == "call" and r["call"] not in left_out:
            calls.append(r["call"])
        if "dump" in r:
            n = len(r["dump"]) // 2
            shown = min(n, limit) if limit else n
            dumps.append((r["dump"][:2 * shown], n - shown + r.get("cut", 0)))
    return sorted(calls), sorted(dumps)


def lines(tool, trace, module=True):
    """A trace as text to compare and search: each record as
    "MODULE TAG: text" (without MODULE when module is false), its dump
    below it as "  dump HEX", a damaged line as "damaged (reason): text"."""
    out = []
    for r in records(tool, trace):
        if r["type"] == "damaged":
            out.append("damaged (%s): %s" % (r["reason"], r["text"]))
        elif "tag" in r:
            out.append(("%s %s: %s" if module else "%.0s%s: %s") % (
                r["module"], r["tag"], r["text"]))
        if "dump" in r:
            out.append("  dump " + r["dump"])
    return out


class Conversation:
    """One socket's life in a trace: its bytes each way and every address
    its lines name, as (family, address, port)."""

    def __init__(self, handle):
        self.handle = handle
        self.sent = b""
        self.received = b""
        self.addresses = set()

    def __repr__(self):
        return "socket %s: %d bytes sent, %d received, %s" % (
            self.handle, len(self.sent), len(self.received),
            sorted(self.addresses))


# The columns of the build's list of calls (netquill_calls.txt, written by
# cmake/Calls.cmake), "-" where an entry's list has no such column.
CALLS_COLUMNS = "list name ordinal bytes ws2 data lib pends socket address " \
    "wsaid"


def calls_table(table):
    """The build's list of calls, an entry a dict by column name."""
    return [dict(zip(CALLS_COLUMNS.split(), line.split()))
            for line in open(table)]


def directions(table):
    """What each listed call's result counts, from the build's list of
    calls (netquill_calls.txt): "sent", "received", "none", or "completed"
    for the line of a completion."""
    return {row["name"]: row["data"] for row in calls_table(table)
            if row["data"] != "-"}


def conversations(tool, trace, table):
    """The sockets of a Windows trace with dumps, in the order they were
    first named: a call's bytes go to its socket (the first argument, the
    accepted socket of AcceptEx), a completion's bytes to the socket and
    the way of the operation it names; a handle closed and made again
    starts a new conversation."""
    way = directions(table)
    talks, live = [], {}

    def talk(handle):
        if handle not in live:
            live[handle] = Conversation(handle)
            talks.append(live[handle])
        return live[handle]

    for r in records(tool, trace):
        if r["type"] != "call":
            continue
        args = r["args"]
        if isinstance(args, str):  # more than eight: the text as written
            args = [int(a) if a.strip().isdigit() else a.strip()
                    for a in args.split(",")]
        if not args or not isinstance(args[0], int):
            continue
        name, handle = r["call"], args[0]
        data = way.get(name)
        if data == "completed" and len(args) > 2:
            name = args[2]
            data = way.get(name)
            if name == "AcceptEx" and len(args) > 3:
                handle = args[3]
        elif name == "AcceptEx" and len(args) > 1:
            handle = args[1]
        if name == "accept" and isinstance(r["result"], int):
            handle = r["result"]
        sock = talk(handle)
        for a in args:
            if isinstance(a, dict) and "port" in a:
                sock.addresses.add((a["family"], a["address"], a["port"]))
        if "dump" in r and "code" not in r:
            raw = bytes.fromhex(r["dump"])
            if data == "sent":
                sock.sent += raw
            elif data == "received":
                sock.received += raw
        if r["call"] == "closesocket":
            live.pop(handle, None)
    return talks


def launcher_work(a):
    """A fresh a.work holding netquill-run and NQINJECT.DLL, which needs no
    NETQUILL.DLL (a.launcher then names the copy) and a copy of a.programs with the DLLs
    a.runtime lists (";"-separated) beside them, or a.programs None."""
    shutil.rmtree(a.work, ignore_errors=True)
    os.makedirs(a.work)
    for f in (a.launcher, a.inject):
        shutil.copy(f, a.work)
    a.launcher = os.path.join(a.work, os.path.basename(a.launcher))
    if not os.path.isdir(a.programs):
        a.programs = None
        return
    a.programs = shutil.copytree(a.programs, os.path.join(a.work, "programs"))
    for dll in filter(None, a.runtime.split(";")):
        shutil.copy(dll, a.programs)


class Wine:
    """A Wine prefix of a test's own under work, with a wineserver of its
    own in a with block (persistent, holding no pipe of the test's)."""

    def __init__(self, wine, work):
        self.wine, self.work = wine, work
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith("NETQUILL")}
        self.env.update(WINEPREFIX=os.path.join(work, "prefix"),
                        WINEDEBUG="-all")

    def __enter__(self):
        subprocess.Popen(["wineserver", "-p"], env=self.env,
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
        self.finish(self.start("wineboot", ["wineboot", "-i"]))
        return self

    def __exit__(self, *exception):
        subprocess.call(["wineserver", "-k"], env=self.env)

    def win_path(self, name):
        return "Z:" + os.path.join(self.work, name).replace("/", "\\")

    def start(self, name, args, stdin=subprocess.DEVNULL, extra=None):
        """args under Wine, with extra variables, writing name.out, .err."""
        proc_out = [os.path.join(self.work, name + x) for x in (".out", ".err")]
        with open(proc_out[0], "wb") as o, open(proc_out[1], "wb") as e:
            proc = subprocess.Popen([self.wine] + args, stdin=stdin, stdout=o,
                                    stderr=e, env=dict(self.env, **(extra or {})))
        proc.out = proc_out
        return proc

    def finish(self, proc, timeout=30):
        """[exit code or "timed out", standard output, standard error]."""
        try:
            rc = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            rc = "timed out"
        return [rc] + [open(f, "rb").read() for f in proc.out]

    def wait_for(self, proc, text, timeout=30):
        """Whether proc's output or error holds text in time."""
        deadline = time.time() + timeout
        while proc.poll() is None and time.time() < deadline and not any(
                text in open(f, "rb").read() for f in proc.out):
            time.sleep(0.05)
        return any(text in open(f, "rb").read() for f in proc.out)

    def taskkill(self, *args):
        subprocess.call([self.wine, "taskkill", "/F"] + list(args),
                        env=self.env, stdout=subprocess.DEVNULL)


VIEWS = re.compile(r"(?P<head>.* )(?P<clock>\d{6})(?:\.(?P<micro>\d{6}))? "
                   r"\d{4,} (?P<text>.*?)(?: <(?P<took>\d+\.\d{6})>)?")


def split_views(line):
    """A text line's parts as -T leaves them: its call's start in seconds
    of the day (None without -T), its text, its duration (None)."""
    m = VIEWS.fullmatch(line)
    if m is None:
        return {"line": line, "start": None, "text": line, "took": None}
    clock = m.group("clock")
    start = None
    if m.group("micro") is not None:
        start = (int(clock[:2]) * 3600 + int(clock[2:4]) * 60 +
                 int(clock[4:]) + int(m.group("micro")) / 1e6)
    took = m.group("took")
    return {"line": line, "start": start, "text": m.group("text"),
            "took": float(took) if took is not None else None}
