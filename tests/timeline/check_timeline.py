#!/usr/bin/env python3
"""What must hold of any timeline netquill-timeline writes, checked on its
output and on the traces it was made from (read through netquill-json):

- it is one JSON object whose traceEvents is a list of events;
- on each thread's track the slices ("X", "i") never start before the one
  before them, and each either nests in the one before or starts after it
  ends; each socket's track is one span, "B" then "E", never backwards;
- every flow has its two ends ("s" and "f" of one id), each on a slice of
  its thread that encloses its time;
- each socket's counters never run backwards, in time or in bytes, nor
  before its span begins or after it ends, and their last values are the
  bytes of the socket's dumps in the traces (a cut dump's left-out bytes
  included), each way;
- a call line with its start and duration (-T) is a complete slice ("X")
  of that duration, at that start (later by its "moved_us" when it would
  have overlapped its thread's call before); any other call line is an
  instant.

Usable on its own: check_timeline.py --json-tool NETQUILL-JSON --calls
netquill_calls.txt --timeline run.json TRACE..."""
import argparse
import collections
import json
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "support"))
from nqtest import check, directions, records, report  # noqa: E402

SOCKET_NAME = re.compile(r"^(.*) socket (-?\d+): ")


def pid_of_name(trace):
    """The process id a -ff trace file name ends in, as the tool reads it."""
    m = re.search(r"\.(\d{1,10})$", os.path.basename(trace))
    return int(m.group(1)) if m and 0 < int(m.group(1)) < 0xFFFFFFFF else 0


def check_structure(events):
    """Tracks, flows and counters of one timeline. Returns the last counter
    values of each socket track, by (pid, tid)."""
    slices = collections.defaultdict(list)  # (pid, tid) -> [(ts, end)]
    spans = {}
    flows = collections.defaultdict(list)
    counters = {}
    counted_at = {}  # (pid, tid) -> the time of its latest counter
    for e in events:
        ph, track = e["ph"], (e.get("pid"), e.get("tid"))
        if ph in "Xi":
            end = e["ts"] + e.get("dur", 0)
            check(e.get("dur", 0) >= 0, "negative duration", e)
            stack = slices[track]
            if stack:
                check(e["ts"] >= stack[-1][0], "slice runs backwards", e)
            while stack and stack[-1][1] <= e["ts"] and stack[-1][1] < end:
                stack.pop()
            check(not stack or end <= stack[-1][1],
                  "slice overlaps the one before without nesting", e)
            stack.append((e["ts"], end))
            slices[("all",) + track].append((e["ts"], end))
        elif ph == "B":
            check(track not in spans, "a socket track begins twice", e)
            spans[track] = [e["ts"], None]
        elif ph == "E":
            check(track in spans and spans[track][1] is None and
                  e["ts"] >= spans[track][0], "span end without its begin, "
                  "or before it", e)
            check(e["ts"] >= counted_at.get(track, 0),
                  "span ends before its last counter", e)
            if track in spans:
                spans[track][1] = e["ts"]
        elif ph == "C":
            key = (e["pid"], e["name"], e.get("id"))
            before = counters.get(key)
            if before:
                check(e["ts"] >= before["ts"] and
                      all(e["args"][k] >= before["args"][k]
                          for k in ("sent", "received")),
                      "counter runs backwards", e)
            check(track in spans and spans[track][1] is None and
                  e["ts"] >= spans[track][0],
                  "counter outside its socket's span", e)
            counters[key] = e
            counted_at[track] = e["ts"]
        elif ph in "sf":
            flows[e["id"]].append(e)
    for track, (_, end) in spans.items():
        check(end is not None, "socket track never ends", track)
    for fid, ends in flows.items():
        check(sorted(x["ph"] for x in ends) == ["f", "s"],
              "flow %s without both ends" % fid, ends)
        for x in ends:
            on = slices.get(("all", x["pid"], x["tid"]), [])
            check(any(ts <= x["ts"] <= end for ts, end in on),
                  "flow end on no slice of its thread", x)
    last = {}
    for (pid, _, _), e in counters.items():
        last[(pid, e["tid"])] = e["args"]
    return last, len(flows)


def socket_of(r, direction, table):
    """The socket whose bytes a record's dump holds, and which way; None
    for a record whose dump is not a socket's (TLS plaintext) or a peek."""
    call, args = r["call"], r["args"]
    way = table.get(call)
    if way == "completed":
        if args[2] == "AcceptEx":
            return args[3], "received"
        return args[0], table.get(args[2])
    if call == "AcceptEx":
        return args[1], "received"
    if way not in ("sent", "received"):
        return None
    if way == "received" and len(args) > 3 and isinstance(args[3], int) \
            and args[3] & 2:
        return None  # MSG_PEEK: the next receive brings the bytes
    return args[0], way


def dump_bytes(recs, table, pids):
    """The bytes each socket's dumps hold each way, by (pid, module,
    handle)."""
    out = collections.defaultdict(lambda: {"sent": 0, "received": 0})
    for trace, trace_recs in recs.items():
        for r in trace_recs:
            if r.get("type") != "call" or ("dump" not in r and "cut" not in r):
                continue
            found = socket_of(r, None, table)
            if found is None or not isinstance(found[0], int):
                continue
            handle, way = found
            pid = pids(trace, r["module"])
            out[(pid, r["module"], handle)][way] += \
                len(r.get("dump", "")) // 2 + r.get("cut", 0)
    return out


def check_times(events, recs):
    """Each call line's slice against the line's own times."""
    day_us = 86400 * 1000000
    lines = {(trace, r["line"]): r for trace, trace_recs in recs.items()
             for r in trace_recs if r["type"] == "call"}
    slices = 0
    for e in events:
        if e.get("cat") != "call" or e["ph"] not in "Xi":
            continue
        r = lines.get((e["args"]["file"], e["args"]["line"]))
        if not check(r is not None, "a call slice of no call line", e):
            continue
        slices += 1
        if "start_us" in r and "duration_us" in r:
            moved = e["args"].get("moved_us", 0)
            check(e["ph"] == "X" and e["dur"] == r["duration_us"] and
                  (e["ts"] - moved) % day_us == r["start_us"],
                  "timed line %d: %s at %d for %d us, the line says %d for "
                  "%d" % (r["line"], e["ph"], e["ts"] % day_us,
                          e.get("dur", 0), r["start_us"], r["duration_us"]))
        else:
            check(e["ph"] == "i", "untimed line %d is no instant" % r["line"],
                  e)
    check(slices == len(lines), "%d call slices of %d call lines" % (
        slices, len(lines)))


def check_timeline(timeline, traces, json_tool, calls):
    """All of the above; returns the number of flows."""
    with open(timeline, "rb") as f:
        data = json.loads(f.read().decode("utf-8"))
    check(isinstance(data, dict) and isinstance(data.get("traceEvents"), list),
          "no traceEvents list")
    events = data["traceEvents"]
    last, flows = check_structure(events)
    names = {}
    process = {}
    for e in events:
        if e["ph"] == "M" and e["name"] == "thread_name":
            m = SOCKET_NAME.match(e["args"]["name"])
            if m:
                names[(e["pid"], e["tid"])] = (m.group(1), int(m.group(2)))
        if e["ph"] == "M" and e["name"] == "process_name":
            process[e["args"]["name"]] = e["pid"]

    def pids(trace, module):
        pid = pid_of_name(trace)
        if pid:
            return pid
        suffix = " (%s)" % trace
        for name, p in process.items():
            if name.endswith(suffix) and \
                    module in name[:-len(suffix)].split(" / "):
                return p
        return None

    counted = collections.defaultdict(lambda: {"sent": 0, "received": 0})
    for track, values in last.items():
        check(track in names, "counters of a track with no socket name", track)
        if track in names:
            key = (track[0],) + names[track]
            for way in ("sent", "received"):
                counted[key][way] += values[way]
    recs = {trace: records(json_tool, trace) for trace in traces}
    check_times(events, recs)
    dumped = dump_bytes(recs, directions(calls), pids)
    for key in set(counted) | set(dumped):
        c, d = counted.get(key, {}), dumped.get(key, {})
        for way in ("sent", "received"):
            check(c.get(way, 0) == d.get(way, 0),
                  "socket %s: %d bytes %s counted, the dumps hold %d" % (
                      key, c.get(way, 0), way, d.get(way, 0)))
    return flows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--json-tool", required=True)
    ap.add_argument("--calls", required=True)
    ap.add_argument("--timeline", required=True)
    ap.add_argument("traces", nargs="+")
    a = ap.parse_args()
    flows = check_timeline(a.timeline, a.traces, a.json_tool, a.calls)
    return report("%d flows" % flows)


if __name__ == "__main__":
    sys.exit(main())
