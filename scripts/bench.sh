#!/usr/bin/env bash
# Installs what is missing (the build's packages and the benchmarks' references), builds, and runs
# the benchmarks that say where the user waits, each printing ratios against a reference measured
# in the same run. Names given run those benchmarks only (e.g. `scripts/bench.sh export gallery`).
# Run it on a quiet machine: the figures are wall-clock times.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ostra_install_deps "$ROOT/scripts/deps.txt" "$ROOT/scripts/bench-deps.txt"
ostra_build

benches=("$@")
[ ${#benches[@]} -eq 0 ] && benches=(export imageservice importbench gallery compression)
for name in "${benches[@]}"; do
    args=()
    [ "$name" = export ] && args=(--demo)
    echo "== $name"
    "$BUILD_DIR/bench/bench_$name" "${args[@]}"
done
