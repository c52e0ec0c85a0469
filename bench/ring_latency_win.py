#!/usr/bin/env python3
"""How soon a record handed to netquill-run.exe through its ring
(the default) is in the trace file: the probe's stream
scenario (run/windows/tests/probe/stream.c) sends a datagram every 50 ms
and prints its number once sendto has returned; the file is read until
the record's dump is there. Prints the median and the largest delay, in
milliseconds, from the number printed to the record found (the printing
and this script's reading are in it).

    bench/ring_latency_win.py [build] [datagrams]
build: a win64 build (default build/win64) with its tests' probe."""
import os, shutil, subprocess, sys, tempfile, time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build/win64")
count = int(sys.argv[2]) if len(sys.argv) > 2 else 100
work = tempfile.mkdtemp()
trace = os.path.join(work, "latency.log")
env = dict(os.environ, WINEPREFIX=os.path.join(work, "prefix"),
           WINEDEBUG="-all")
env.pop("NETQUILL_SHARED_RECORDS", None)
p = subprocess.Popen(
    [os.path.join(root, "cmake/wine-run.sh"),
     os.path.join(build, "run/windows/netquill-run.exe"), "-o",
     "Z:" + trace.replace("/", "\\"), "-f", "4",
     os.path.join(build, "run/windows/tests/nq_ws2_probe.exe"), "stream",
     "1", str(count), "16", "50"],
    stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
p.stdout.readline()
p.stdin.write("go\n")
p.stdin.flush()
delays = []
for i in range(count):
    p.stdout.readline()
    start = time.perf_counter()
    dump = " ".join("%02X" % c for c in b"00%06d" % i)
    while dump not in open(trace, errors="replace").read():
        time.sleep(0.0002)
    delays.append((time.perf_counter() - start) * 1000)
p.stdout.readline()
p.stdin.write("end\n")
p.stdin.flush()
p.wait()
subprocess.call(["wineserver", "-k"], env=env)
shutil.rmtree(work, ignore_errors=True)
delays.sort()
print("record in the file after its call returned, %d records: median %.1f ms,"
      " largest %.1f ms" % (count, delays[len(delays) // 2], delays[-1]))
