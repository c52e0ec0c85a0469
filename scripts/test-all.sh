#!/usr/bin/env bash
# Builds the three targets and runs every test: the host suite natively
# (plain, AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer),
# the win64 suite under Wine, and the static checks of the 32-bit DLL.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=${NQ_JOBS:-2}
ctest_extra=()
run_build() {  # name, extra cmake arguments...
  local name=$1
  shift
  echo "=== $name ==="
  cmake -S . -B "build/$name" -G Ninja "$@" >/dev/null
  cmake --build "build/$name" -j"$jobs"
  (cd "build/$name" &&
    ctest --output-on-failure -j"$jobs" --timeout 900 "${ctest_extra[@]}")
}

run_build host -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_build win64 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-win64.cmake
run_build win32 -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-win32.cmake
# The package test builds a separate, uninstrumented program, which a
# sanitized library cannot be loaded into; the plain builds run it.
ctest_extra=(-LE package)
run_build asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNQ_SANITIZE=address,undefined
run_build tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNQ_SANITIZE=thread

# libFuzzer on the writer, the formatters and the hooks, for a bounded time.
echo "=== fuzz ==="
NQ_FUZZ_SECONDS=${NQ_FUZZ_SECONDS:-30} tests/fuzz/run.sh
echo "=== all builds passed ==="
