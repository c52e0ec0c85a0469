#!/bin/bash
# What a written record costs a real program under netquill-run: a traced
# redis-server serving redis-benchmark, and one curl fetching 2,000 URLs
# over a keep-alive connection, each plain and traced at -f 0 (every call,
# no dumps; records through the launcher's ring, and curl also with each
# process appending its own and with tracing off), in turns; prints the
# medians and their ratios (goals: redis 1.05x in redis-benchmark's time,
# curl 1.05x in curl's CPU time).
#
# The traced program's CPU time (user + system, of the program and of the
# launcher that waits for it) is the tracer's cost: wall time also holds
# the other side's work and the machine's other load. The page server
# answers each request with one write, with Nagle's algorithm off, so that
# no delayed acknowledgement stands in curl's way (a server writing its
# header and body apart makes every request wait some 40 ms).
#
# curl also runs, in the same turns, under the floor of its goal
# (record_floor.c): one fixed line written after each call that is traced,
# and nothing else; then with the fstat that guards a held descriptor. What
# those cost is the least any tracer that writes each record as its call
# returns can cost, whatever its code.
#
#   bench/record_cost.sh [rounds]
# Uses build/host (cmake --preset host); needs redis-server, redis-benchmark,
# redis-cli, curl and python3 (apt-get install redis-server
# redis-tools curl python3).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-7}
nqr=$root/build/host/run/linux/netquill-run
cmake --build "$root/build/host" --target netquill-run nq_preload >/dev/null
for tool in redis-server redis-benchmark redis-cli curl /usr/bin/python3 cc; do
  command -v $tool >/dev/null || { echo "record_cost: needs $tool" >&2; exit 2; }
done

work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; rm -rf "$work"' EXIT
cc -O2 -shared -fPIC -o "$work/record_floor.so" "$root/bench/record_floor.c" -ldl
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s%N; }
# "wall cpu" in seconds of a command, into the file named first: its
# elapsed time and the user + system time of it and the children it waited
# for (the launcher and the program), to the microsecond.
timed() {  # file command...
  /usr/bin/python3 -c '
import os, sys, time
start = time.perf_counter()
pid = os.fork()
if pid == 0:
    os.execvp(sys.argv[2], sys.argv[2:])
_, status, use = os.wait4(pid, 0)
with open(sys.argv[1], "w") as out:
    out.write("%.4f %.4f\n" % (time.perf_counter() - start,
                                use.ru_utime + use.ru_stime))' "$@"
}

# redis: redis-benchmark's seconds for 20,000 SETs and GETs, one connection,
# and the server's CPU seconds meanwhile.
redis_round() {  # prefix...
  local port=$((20000 + RANDOM % 20000)) start end
  timed "$work/server-time" "$@" redis-server --port $port --save '' \
    --appendonly no --dir "$work" >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    redis-cli -p $port ping >/dev/null 2>&1 && break
    sleep 0.05
  done
  start=$(now)
  redis-benchmark -p $port -n 20000 -c 1 -t set,get -q >/dev/null
  end=$(now)
  redis-cli -p $port shutdown nosave >/dev/null 2>&1 || true
  wait ${pids[-1]} 2>/dev/null || true
  echo "$(echo "scale=4; ($end - $start) / 1000000000" | bc)" \
    "$(cut -d' ' -f2 "$work/server-time")"
}

# The page server: HTTP/1.1 keep-alive, one connection at a time.
/usr/bin/python3 -u -c '
import socket
page = b"a small page\n"
answer = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(page), page)
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(8)
print("port", server.getsockname()[1])
while True:
    c, _ = server.accept()
    c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    pending = b""
    while True:
        data = c.recv(65536)
        if not data:
            break
        pending += data
        while b"\r\n\r\n" in pending:
            _, pending = pending.split(b"\r\n\r\n", 1)
            c.sendall(answer)
    c.close()' >"$work/server.out" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do
  grep -q port "$work/server.out" 2>/dev/null && break
  sleep 0.1
done
port=$(sed -n 's/.*port \([0-9]*\).*/\1/p' "$work/server.out")
# curl: 2,000 URLs over one keep-alive connection, "wall cpu".
curl_round() {  # prefix...
  timed "$work/curl-time" "$@" curl -s -o /dev/null \
    "http://127.0.0.1:$port/page.txt?[1-2000]"
  cat "$work/curl-time"
}

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
floor=(env LD_PRELOAD="$work/record_floor.so"
       RECORD_FLOOR_FILE="$work/floor.log")
for kind in redis curl; do
  : >"$work/plain" && : >"$work/traced" && : >"$work/write" && : >"$work/fstat"
  : >"$work/own" && : >"$work/untraced"
  for ((r = 0; r < rounds; r++)); do
    ${kind}_round env >>"$work/plain"
    ${kind}_round "$nqr" -f 0 -o "$work/$kind.log" >>"$work/traced"
    if [ $kind = curl ]; then
      curl_round env NETQUILL_SHARED_RECORDS=0 "$nqr" -f 0 \
        -o "$work/$kind.log" >>"$work/own"
      curl_round env NETQUILL_TRACE=0 "$nqr" -f 0 -o "$work/$kind.log" \
        >>"$work/untraced"
      curl_round "${floor[@]}" RECORD_FLOOR_FSTAT=0 >>"$work/write"
      curl_round "${floor[@]}" RECORD_FLOOR_FSTAT=1 >>"$work/fstat"
    fi
    rm -f "$work/$kind.log"* "$work/floor.log"
  done
  for column in 1 2; do
    p=$(cut -d' ' -f$column "$work/plain" | median)
    t=$(cut -d' ' -f$column "$work/traced" | median)
    what=$([ $column = 1 ] && echo "wall" || echo "cpu")
    [ $kind = redis ] && what=$([ $column = 1 ] && echo "benchmark" || echo "server cpu")
    echo "$kind $what: plain ${p}s, traced ${t}s, $(echo "scale=3; $t / $p" | bc)x"
  done
done
p=$(cut -d' ' -f2 "$work/plain" | median)
for check in own untraced write fstat; do
  f=$(cut -d' ' -f2 "$work/$check" | median)
  case $check in
    own) what="traced, each process appending" ;;
    untraced) what="the launcher and interposer, NETQUILL_TRACE=0" ;;
    write) what="floor, a write a record" ;;
    *) what="floor, an fstat and a write a record" ;;
  esac
  echo "curl cpu $what: ${f}s, $(echo "scale=3; $f / $p" | bc)x"
done
