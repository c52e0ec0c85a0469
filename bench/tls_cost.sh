#!/bin/bash
# What a TLS session costs under netquill-run: curl fetches a file over
# HTTPS from a local openssl s_server, plain, traced without dumps (a line
# per socket call and per TLS call) and traced with dumps (plaintext,
# ciphertext and secrets), in turns; prints the medians, and for one traced
# fetch the records of each kind: the TLS calls add one record each.
#
#   bench/tls_cost.sh [rounds] [megabytes]
# Uses build/host (cmake --preset host) for netquill-run and its preload.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-7}
megabytes=${2:-16}
nqr=$root/build/host/run/linux/netquill-run
cmake --build "$root/build/host" --target netquill-run nq_preload >/dev/null

work=$(mktemp -d)
trap 'kill $server 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem \
  -days 1 -subj /CN=localhost -addext subjectAltName=DNS:localhost 2>/dev/null
head -c $((megabytes << 20)) /dev/zero >file.bin
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
openssl s_server -WWW -accept "127.0.0.1:$port" -cert cert.pem -key key.pem \
  -quiet </dev/null >/dev/null 2>&1 &
server=$!
sleep 1
url="https://localhost:$port/file.bin"

fetch() {  # prefix... : seconds for one fetch
  local start end
  start=$(date +%s%N)
  "$@" curl -s --cacert cert.pem -o /dev/null "$url"
  end=$(date +%s%N)
  echo "scale=4; ($end - $start) / 1000000000" | bc
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

plain=() lines=() dumps=()
for ((r = 0; r < rounds; r++)); do
  plain+=("$(fetch)")
  lines+=("$(fetch "$nqr" -o "$work/lines.log" -f 0)")
  dumps+=("$(fetch "$nqr" -o "$work/dumps.log" -f 4)")
  rm -f "$work/lines.log" "$work/dumps.log"
done
"$nqr" -o "$work/one.log" -f 0 curl -s --cacert cert.pem -o /dev/null "$url"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "${megabytes} MB over HTTPS, median of $rounds: plain $(printf '%s\n' "${plain[@]}" | median)s," \
  "traced $(printf '%s\n' "${lines[@]}" | median)s," \
  "traced with dumps $(printf '%s\n' "${dumps[@]}" | median)s"
echo "records of one traced fetch: $(grep -c ': SSL_' one.log) TLS calls," \
  "$(grep -cE ': (recv|read|send|write)\(' one.log) socket data calls," \
  "$(grep -c '' one.log) lines in all"
