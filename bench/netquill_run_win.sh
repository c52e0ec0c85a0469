#!/bin/bash
# What netquill-run costs on Windows (64-bit, under Wine): the start of a
# program that only starts and ends, plainly and through the launcher; and
# one traced call (WSAIsBlocking) traced through the injected DLL against the same call
# handed to the hook in the program's own code (netquill_wrap.h), with the
# record filtered out (flags 1, errors only) and written (flags 0); the
# launcher's records both appended by the program itself
# (NETQUILL_SHARED_RECORDS=0) and through the ring it shares with the
# program, the default, where the launcher writes them. Prints medians.
#
#   bench/netquill_run_win.sh [repetitions] [calls]
# calls 0: the start-up alone.
# Builds in build/bench-win64.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
reps=${1:-11}
calls=${2:-1000000}
dir=$root/build/bench-win64
log=$dir.log
if ! { cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
         -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-win64.cmake" \
         -DNQ_BUILD_BENCH=ON -DNQ_BUILD_TESTS=OFF -DNQ_BUILD_EXAMPLES=OFF \
         -DNQ_BUILD_TOOLS=OFF &&
       cmake --build "$dir" -j2 --target netquill nq_inject netquill-run-win \
         nq_bench_run_plain nq_bench_run_wrapped; } >"$log" 2>&1; then
  tail -30 "$log" >&2; echo "build failed; full log: $log" >&2; exit 1
fi

work=$(mktemp -d)
trap 'WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
unset NETQUILL_FILE NETQUILL_FLAGS NETQUILL_TRACE NETQUILL_SHARED_RECORDS
mkdir -p "$work/bin"
cp "$dir/NETQUILL.DLL" "$dir/run/windows/NQINJECT.DLL" \
   "$dir/run/windows/netquill-run.exe" \
   "$dir/bench/nq_bench_run_plain.exe" "$dir/bench/nq_bench_run_wrapped.exe" \
   "$work/bin/"
wineserver -p </dev/null >/dev/null 2>&1 || true  # it forks and returns
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=wine64
"$wine" wineboot -i </dev/null >/dev/null 2>&1
bin=$work/bin
trace='Z:'$(echo "$work/trace.log" | tr / '\\')

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
elapsed() {  # command...: wall seconds
  local t0 t1
  t0=$(date +%s.%N); "$@" </dev/null >/dev/null 2>&1; t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc
}

plain=() through=() appending=()
for ((r = 0; r < reps; r++)); do
  plain+=("$(elapsed "$wine" "$bin/nq_bench_run_plain.exe")")
  through+=("$(elapsed "$wine" "$bin/netquill-run.exe" -o "$trace" \
               "$bin/nq_bench_run_plain.exe")")
  appending+=("$(elapsed env NETQUILL_SHARED_RECORDS=0 "$wine" \
                 "$bin/netquill-run.exe" -o "$trace" \
                 "$bin/nq_bench_run_plain.exe")")
done
p=$(printf '%s\n' "${plain[@]}" | median)
t=$(printf '%s\n' "${through[@]}" | median)
a=$(printf '%s\n' "${appending[@]}" | median)
printf 'start-up, median of %d: plain %.3f s, netquill-run %.3f s (+%.3f s), each process appending %.3f s (+%.3f s)\n' \
  "$reps" "$p" "$t" "$(echo "$t - $p" | bc)" "$a" "$(echo "$a - $p" | bc)"

per_call() {  # flags
  local injected=() ring=() wrapped=() untraced=()
  for ((r = 0; r < reps; r++)); do
    rm -f "$work/trace.log"
    injected+=("$(NETQUILL_SHARED_RECORDS=0 "$wine" "$bin/netquill-run.exe" \
                  -o "$trace" -f "$1" "$bin/nq_bench_run_plain.exe" "$calls" \
                  </dev/null 2>/dev/null)")
    rm -f "$work/trace.log"
    ring+=("$("$wine" "$bin/netquill-run.exe" -o "$trace" -f "$1" \
              "$bin/nq_bench_run_plain.exe" "$calls" </dev/null 2>/dev/null)")
    rm -f "$work/trace.log"
    wrapped+=("$(NETQUILL_FILE=$trace NETQUILL_FLAGS=$1 "$wine" \
                 "$bin/nq_bench_run_wrapped.exe" "$calls" </dev/null 2>/dev/null)")
    untraced+=("$("$wine" "$bin/nq_bench_run_plain.exe" "$calls" \
                  </dev/null 2>/dev/null)")
  done
  printf 'flags %s, ns per WSAIsBlocking, median of %d x %d calls: each process appending %s, through the ring %s, hook in the program %s, untraced %s\n' \
    "$1" "$reps" "$calls" \
    "$(printf '%s\n' "${injected[@]}" | tr -d '\r' | median)" \
    "$(printf '%s\n' "${ring[@]}" | tr -d '\r' | median)" \
    "$(printf '%s\n' "${wrapped[@]}" | tr -d '\r' | median)" \
    "$(printf '%s\n' "${untraced[@]}" | tr -d '\r' | median)"
}
[ "$calls" -gt 0 ] || exit 0  # calls 0: the start-up alone
per_call 1
calls=$((calls / 100)) per_call 0
