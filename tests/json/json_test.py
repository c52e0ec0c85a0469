#!/usr/bin/env python3
"""netquill-json against the traces of the tests' data: every trace is
written back, line for line, from the fields of its records (so each field
holds what the reader parsed, and nothing of a line is lost), the output is
valid UTF-8 JSON, and the tricky records come out exactly as expected."""
import argparse
import codecs
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "support"))
from nqtest import check, report  # noqa: E402

# Bytes as the tool writes them: UTF-8 where valid, else one character per
# byte, the one Latin-1 gives it.
codecs.register_error("nq_latin1", lambda e: (
    chr(e.object[e.start]), e.start + 1))


def escaped(name):
    """Caller text or an AF_UNIX path as the tracer quotes it."""
    return '"%s"' % "".join("\\x%02X" % ord(c) if ord(c) < 0x20 or c in
                            '"\x7f' else c for c in name)


def argument(a):
    if a is None:
        return "NULL"
    if not isinstance(a, dict):
        return str(a)
    if "name" in a:
        return escaped(a["name"])
    if "length" in a:
        return "<%d bytes>" % a["length"]
    family = a["family"]
    if family == "AF_INET":
        return "%s:%d" % (a["address"], a["port"])
    if family == "AF_INET6":
        scope = "%%%d" % a["scope"] if "scope" in a else ""
        return "[%s%s]:%d" % (a["address"], scope, a["port"])
    if family == "AF_UNIX":
        return escaped(a["path"])
    return "<family %d>" % family


def label(text):
    """A socket's label as the trace writes it after the number."""
    return "" if text is None else "<%s>" % text


def dump_lines(hex_text, offset):
    """A dump's lines without their indentation."""
    data, out = bytes.fromhex(hex_text), []
    for at in range(0, len(data), 16):
        chunk = data[at:at + 16]
        cells = "".join("%02X%s" % (b, ":" if i == 7 else " ")
                        for i, b in enumerate(chunk)).ljust(48)
        shown = "".join(chr(b) if 0x20 <= b <= 0x7E else "." for b in chunk)
        out.append("%04X  %s %s" % (offset + at, cells, shown))
    return out


def written_back(r):
    """The trace lines a record came from, from its fields alone."""
    if r["type"] == "damaged":
        return [r["text"]]
    out = []
    if "tag" in r:
        text, clock = r["text"], r["clock"]
        if r["type"] == "call":
            labels = r.get("arg_labels", [None] * len(r["args"]))
            check(len(labels) == len(r["args"]), "labels of %r" % r)
            body = "%s(%s) returned %s%s%s" % (
                r["call"], ", ".join(argument(a) + label(l)
                                     for a, l in zip(r["args"], labels)),
                r["result"], label(r.get("result_label")),
                " [%d]" % r["code"] if "code" in r else "")
            check(body == text, "fields of %r" % r)
            if "duration_us" in r:
                text += " <%d.%06d>" % divmod(r["duration_us"], 1000000)
        if "start_us" in r:
            seconds, micros = divmod(r["start_us"], 1000000)
            check(clock == "%02d%02d%02d" % (seconds // 3600,
                                              seconds // 60 % 60,
                                              seconds % 60),
                  "start of %r" % r)
            clock += ".%06d" % micros
        out.append("%s %s %04d %s: %s" % (r["module"], clock,
                                          r["elapsed"], r["tag"], text))
    if "dump" in r:
        out += dump_lines(r["dump"], r.get("offset", 0))
    if "cut" in r:
        out.append("... %d more bytes" % r["cut"])
    return out


def check_trace(tool, path):
    with open(path, "rb") as f:
        want = f.read().decode("utf-8", "nq_latin1").split("\n")
    want = [l[:-1] if l.endswith("\r") else l for l in want[:-1]] + \
        ([want[-1]] if want[-1] else [])
    out = subprocess.run(tool + [path], capture_output=True, timeout=120)
    check(out.returncode == 0, "%s: exit %d" % (path, out.returncode))
    got, misplaced = [], []
    try:
        for line in out.stdout.decode("utf-8").splitlines():
            r = json.loads(line)
            if r["line"] != len(got) + 1:
                misplaced.append(r["line"])
            got += written_back(r)
    except ValueError as e:
        check(False, "%s: not UTF-8 JSON Lines: %s" % (path, e))
    # Dump lines come back without their indentation.
    bad = [(i + 1, w, g) for i, (w, g) in enumerate(zip(want, got))
           if g != w and g != w.lstrip(" ")]
    check(len(got) == len(want) and not bad and not misplaced,
          "%s: written back otherwise: %s, records at %s" % (
              path, bad[:2], misplaced[:3]))
    return out.stdout


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--expected", required=True,
                    help="the exact output for the first trace")
    ap.add_argument("--traces", nargs="+", required=True)
    ap.add_argument("--tool", nargs=argparse.REMAINDER, required=True,
                    help="netquill-json, after its emulator if any")
    args = ap.parse_args()
    tool = args.tool
    for path in args.traces:
        out = check_trace(tool, path)
        if path == args.traces[0]:
            with open(args.expected, "rb") as f:
                want = f.read()
            check(out == want, "%s: output differs from %s" % (
                path, args.expected), out.decode("utf-8", "replace"))
            with open(path, "rb") as f:
                piped = subprocess.run(tool + ["-"], stdin=f,
                                       capture_output=True, timeout=60)
            check(piped.stdout == out, "standard input read otherwise")
    for cmd, status, said in ((["no-such.trace"], 1, b"cannot open"),
                              (["--bogus"], 2, b"usage:"),
                              (["a", "b"], 2, b"usage:")):
        proc = subprocess.run(tool + cmd, capture_output=True, timeout=60)
        check(proc.returncode == status and said in proc.stderr and
              not proc.stdout, "%s: exit %d %r" % (cmd, proc.returncode,
                                                    proc.stderr))
    return report("%d traces" % len(args.traces))


if __name__ == "__main__":
    sys.exit(main())
