#!/usr/bin/env bash
# Installs what is missing, builds, makes the demo library on first run and starts Ostra on it.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ostra_install_deps
ostra_build

DATA_HOME="${XDG_DATA_HOME:-$HOME/.local/share}"
DEMO_DIR="$DATA_HOME/Quelt/Ostra demo library"
VRXGEN="$BUILD_DIR/tools/vrxgen"
if [ -x "$VRXGEN" ] && [ ! -f "$DEMO_DIR/.complete" ]; then
    echo "Making the demo library in $DEMO_DIR (first run only)"
    mkdir -p "$DEMO_DIR"
    # A generator that cannot make it yet leaves Ostra to start without it.
    if "$VRXGEN" demo "$DEMO_DIR" >/dev/null 2>&1; then
        touch "$DEMO_DIR/.complete"
    else
        echo "No demo library this time; starting without it"
    fi
fi

args=("$@")
if [ ${#args[@]} -eq 0 ] && [ -f "$DEMO_DIR/.complete" ]; then
    args=("$DEMO_DIR")
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: start Ostra from a desktop session (or under xvfb-run)." >&2
    exit 1
fi
exec "$BUILD_DIR/ostra" "${args[@]}"
