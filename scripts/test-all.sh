#!/usr/bin/env bash
# Runs every build that CMakePresets.json defines as a workflow (configure,
# build and test in build/<preset>): the host suite natively and under the
# sanitizers, the win64 suite under Wine, the static checks of the 32-bit
# DLL. Then the fuzzers, for a bounded time. The presets are the one
# definition of the builds; this script only walks them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

presets=$(cmake --workflow --list-presets | sed -n 's/^ *"\([^"]*\)".*/\1/p')
if [ -z "$presets" ]; then
  echo "CMakePresets.json defines no workflow" >&2
  exit 1
fi
for preset in $presets; do
  echo "=== $preset ==="
  cmake --workflow --preset "$preset"
done

# libFuzzer on the writer, the formatters and the hooks, for a bounded time.
echo "=== fuzz ==="
NQ_FUZZ_SECONDS=${NQ_FUZZ_SECONDS:-30} tests/fuzz/run.sh
echo "=== all builds passed ==="
