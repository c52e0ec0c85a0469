"""What the Python tests share: checks that collect their failures into one
report, and traces read through netquill-json, the trace reader the tools
are built on, instead of a parser of each script's own."""
import json
import os
import subprocess

SKIP = 77  # the exit status ctest counts as skipped (SKIP_RETURN_CODE)
failures = []
checked = [0]


def check(cond, message, detail=None):
    """Records a failed check; returns cond, so a caller can go on."""
    checked[0] += 1
    if not cond:
        failures.append(message if detail is None else
                        "%s\n    %s" % (message, detail))
    return cond


def report(summary=""):
    """Prints the failures and a last line; the script's exit status."""
    for f in failures:
        print("FAIL:", f)
    print("%s: %d of %d checks failed%s" % (
        "FAILED" if failures else "OK", len(failures), checked[0],
        "; " + summary if summary else ""))
    return 1 if failures else 0


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
