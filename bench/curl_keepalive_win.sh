#!/bin/bash
# A real program through the Windows netquill-run: curl (64-bit, under
# Wine) fetching 300 URLs over one keep-alive connection from a loopback
# HTTP server, untraced and through netquill-run.exe -f 0 (every call's
# line, no dumps) with curl appending its records itself
# (NETQUILL_SHARED_RECORDS=0), in turns; prints the medians and their ratio
# (goal: at most 1.3). Beside them, through netquill-run.exe -f 1, where
# every call goes through the launcher and its entry but the lines are
# filtered out (curl's calls succeed but one): what the launcher and the
# entries cost without the file. And through netquill-run.exe -f 0 with
# the records handed to the launcher through the ring it shares with curl,
# the default (goal at most 1.10x).
#
#   bench/curl_keepalive_win.sh [build] [repetitions] [urls]
# build: a win64 build with NETQUILL.DLL, NQINJECT.DLL and netquill-run.exe
# (default build/win64); the programs from NQ_WINDOWS_PROGRAMS or the
# shared folder beside the source tree.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/win64}" && pwd)
reps=${2:-7}
urls=${3:-300}
programs=${NQ_WINDOWS_PROGRAMS:-}
for up in .. ../..; do
  [ -n "$programs" ] || [ ! -d "$root/$up/shared/programs" ] ||
    programs=$(cd "$root/$up/shared/programs" && pwd)
done
curl=$programs/win64/curl.exe
[ -f "$curl" ] || { echo "no curl.exe under '$programs/win64'" >&2; exit 1; }

work=$(mktemp -d)
server=
cleanup() {
  [ -z "$server" ] || kill "$server" 2>/dev/null || true
  WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
unset NETQUILL_FILE NETQUILL_FLAGS NETQUILL_TRACE NETQUILL_PER_PROCESS \
  NETQUILL_SHARED_RECORDS
mkdir -p "$work/bin"
cp "$build/NETQUILL.DLL" "$build/run/windows/NQINJECT.DLL" \
   "$build/run/windows/netquill-run.exe" "$curl" "$work/bin/"
wineserver -p </dev/null >/dev/null 2>&1 || true  # it forks and returns
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=wine64
"$wine" wineboot -i </dev/null >/dev/null 2>&1

# HTTP/1.1 with keep-alive, a 64-byte body per request.
python3 - "$work/port" <<'EOF' &
import socket, sys
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(4)
open(sys.argv[1], "w").write(str(s.getsockname()[1]))
body = b"x" * 63 + b"\n"
reply = b"HTTP/1.1 200 OK\r\nContent-Length: 64\r\n\r\n" + body
while True:
    c, _ = s.accept()
    pending = b""
    while True:
        more = c.recv(65536)
        if not more:
            break
        pending += more
        while b"\r\n\r\n" in pending:
            pending = pending.split(b"\r\n\r\n", 1)[1]
            c.sendall(reply)
    c.close()
EOF
server=$!
while [ ! -s "$work/port" ]; do sleep 0.05; done
url="http://127.0.0.1:$(cat "$work/port")/[1-$urls]"
trace='Z:'$(echo "$work/trace.log" | tr / '\\')

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
elapsed() {  # command...: wall seconds; the output must be every body
  local t0 t1 bytes
  t0=$(date +%s.%N)
  "$@" </dev/null >"$work/out" 2>/dev/null
  t1=$(date +%s.%N)
  bytes=$(wc -c <"$work/out")
  [ "$bytes" -eq $((urls * 64)) ] || { echo "got $bytes bytes" >&2; exit 1; }
  echo "$t1 - $t0" | bc
}

plain=() traced=() filtered=() ring=()
for ((r = 0; r < reps; r++)); do
  plain+=("$(elapsed "$wine" "$work/bin/curl.exe" -s "$url")")
  rm -f "$work/trace.log"
  filtered+=("$(elapsed "$wine" "$work/bin/netquill-run.exe" -o "$trace" -f 1 \
                 "$work/bin/curl.exe" -s "$url")")
  rm -f "$work/trace.log"
  traced+=("$(elapsed env NETQUILL_SHARED_RECORDS=0 "$wine" \
               "$work/bin/netquill-run.exe" -o "$trace" -f 0 \
               "$work/bin/curl.exe" -s "$url")")
  lines=$(wc -l <"$work/trace.log")
  rm -f "$work/trace.log"
  ring+=("$(elapsed "$wine" "$work/bin/netquill-run.exe" -o "$trace" -f 0 \
             "$work/bin/curl.exe" -s "$url")")
done
ring_lines=$(wc -l <"$work/trace.log")
p=$(printf '%s\n' "${plain[@]}" | median)
f=$(printf '%s\n' "${filtered[@]}" | median)
t=$(printf '%s\n' "${traced[@]}" | median)
printf 'curl, %d URLs on one connection, median of %d: untraced %.3f s; each process appending (NETQUILL_SHARED_RECORDS=0) -f 0 %.3f s (%d trace lines): %.2fx (goal at most 1.3x); -f 1 %.3f s: %.2fx\n' \
  "$urls" "$reps" "$p" "$t" "$lines" "$(echo "$t / $p" | bc -l)" \
  "$f" "$(echo "$f / $p" | bc -l)"
g=$(printf '%s\n' "${ring[@]}" | median)
printf 'through the ring (the default) -f 0 %.3f s (%d trace lines): %.2fx (goal at most 1.10x)\n' \
  "$g" "$ring_lines" "$(echo "$g / $p" | bc -l)"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
