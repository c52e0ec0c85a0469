#!/bin/bash
# What a written record costs a real program under netquill-run: a traced
# redis-server serving redis-benchmark, and one curl fetching 2,000 URLs
# over a keep-alive connection, each plain and traced at -f 0 (every call,
# no dumps), in turns; prints the medians and their ratios (goals: redis
# 1.25x, curl 1.10x).
#
#   bench/record_cost.sh [rounds]
# Uses build/host (cmake --preset host); needs redis-server, redis-benchmark
# and curl (apt-get install redis-server redis-tools curl).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-5}
nqr=$root/build/host/dropin/netquill-run/netquill-run
cmake --build "$root/build/host" --target netquill-run nq_preload >/dev/null
for tool in redis-server redis-benchmark curl; do
  command -v $tool >/dev/null || { echo "record_cost: needs $tool" >&2; exit 2; }
done

work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; rm -rf "$work"' EXIT
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s%N; }

# redis: seconds for 20,000 SETs and GETs, one connection at a time.
redis_round() {  # prefix...
  local port=$((20000 + RANDOM % 20000)) start end
  "$@" redis-server --port $port --save '' --appendonly no \
    --dir "$work" >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    redis-cli -p $port ping >/dev/null 2>&1 && break
    sleep 0.05
  done
  start=$(now)
  redis-benchmark -p $port -n 20000 -c 1 -t set,get -q >/dev/null
  end=$(now)
  kill ${pids[-1]}; wait ${pids[-1]} 2>/dev/null || true
  echo "scale=4; ($end - $start) / 1000000000" | bc
}

echo "a small page" >"$work/page.txt"
# HTTP/1.1, so that curl keeps its one connection.
(cd "$work" && exec python3 -u -c '
import http.server as h
h.SimpleHTTPRequestHandler.protocol_version = "HTTP/1.1"
s = h.ThreadingHTTPServer(("127.0.0.1", 0), h.SimpleHTTPRequestHandler)
print("port", s.server_address[1])
s.serve_forever()' >"$work/server.out" 2>/dev/null) &
pids+=($!)
for _ in $(seq 50); do
  grep -q port "$work/server.out" 2>/dev/null && break
  sleep 0.1
done
port=$(sed -n 's/.*port \([0-9]*\).*/\1/p' "$work/server.out")
# curl: seconds for 2,000 URLs over one keep-alive connection.
curl_round() {  # prefix...
  local start end
  start=$(now)
  "$@" curl -s -o /dev/null "http://127.0.0.1:$port/page.txt?[1-2000]"
  end=$(now)
  echo "scale=4; ($end - $start) / 1000000000" | bc
}

for kind in redis curl; do
  plain=() traced=()
  for ((r = 0; r < rounds; r++)); do
    plain+=("$(${kind}_round env)")
    traced+=("$(${kind}_round "$nqr" -f 0 -o "$work/$kind.log")")
    rm -f "$work/$kind.log"*
  done
  p=$(printf '%s\n' "${plain[@]}" | median)
  t=$(printf '%s\n' "${traced[@]}" | median)
  echo "$kind: plain ${p}s, traced ${t}s, $(echo "scale=3; $t / $p" | bc)x"
done
