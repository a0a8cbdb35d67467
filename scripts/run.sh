#!/usr/bin/env bash
# Installs what is missing, builds, makes the demo library on first run and starts Ostra on it.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ostra_install_deps
ostra_build

DATA_HOME="${XDG_DATA_HOME:-$HOME/.local/share}"
DEMO_DIR="$DATA_HOME/Quelt/Ostra demo library"
if [ -x "$BUILD_DIR/tools/vrxgen" ] && [ ! -f "$DEMO_DIR/.complete" ]; then
    echo "Making the demo library in $DEMO_DIR (first run only)"
    mkdir -p "$DEMO_DIR"
    "$BUILD_DIR/tools/vrxgen" demo "$DEMO_DIR"
    touch "$DEMO_DIR/.complete"
fi

args=("$@")
if [ ${#args[@]} -eq 0 ] && [ -d "$DEMO_DIR" ]; then
    args=("$DEMO_DIR")
fi
exec "$BUILD_DIR/ostra" "${args[@]}"
