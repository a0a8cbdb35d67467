#!/usr/bin/env bash
# Checks of scripts/run.sh: the display is checked before anything is built, only what
# runs is built and configured only once, and a failing demo generator says why.
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
check() { # description, then the command that must succeed
    local what="$1"
    shift
    if "$@"; then echo "PASS: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}

# No display: a clear message and exit 1 before anything is configured or built.
out="$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM OSTRA_BUILD_DIR="$work/build" \
    bash "$ROOT/scripts/run.sh" 2>&1)"
code=$?
check "no display exits 1" test "$code" -eq 1
check "no display says so" grep -q "No display" <<<"$out"
check "no display builds nothing" test ! -e "$work/build"

# Sourced: only functions. The build runs cmake for the two targets; configure only once.
export OSTRA_BUILD_DIR="$work/build"
source "$ROOT/scripts/run.sh"
set +e # common.sh stops at the first failure; these checks go on
cmake() { echo "cmake $*" >>"$work/calls"; if [ "$1" = "-S" ]; then mkdir -p "$work/build" && touch "$work/build/build.ninja"; fi; }
ostra_build_targets ostra vrxgen
ostra_build_targets ostra vrxgen
check "configured once" test "$(grep -c -- ' -S ' "$work/calls")" -eq 1
check "builds only what runs" test "$(grep -c -- '--build .* --target ostra vrxgen$' "$work/calls")" -eq 2

# The demo library: what is made is said; a failure shows the generator's reason.
printf '#!/bin/sh\necho "vrxgen: cannot write IMG_0001.vrx: No space left on device" >&2\nexit 3\n' >"$work/bad"
printf '#!/bin/sh\nmkdir -p "$2" && echo made >"$2/IMG_0001.vrx"\n' >"$work/good"
chmod +x "$work/bad" "$work/good"
out="$(ostra_make_demo "$work/bad" "$work/demo" 2>&1)"
code=$?
check "failed demo returns 1" test "$code" -eq 1
check "failed demo says what is made" grep -q "Making the demo library in $work/demo" <<<"$out"
check "failed demo shows the reason" grep -q "No space left on device" <<<"$out"
check "failed demo is not complete" test ! -e "$work/demo/.complete"
check "demo made" ostra_make_demo "$work/good" "$work/demo"
check "made demo is complete" test -e "$work/demo/.complete"

exit $((failures > 0))
