#!/usr/bin/env bash
# Starts Ostra on the demo library (made on the first run). Checks for a display first,
# builds only the application and the demo generator, and starts at once when nothing
# changed. Sourced (by its test), it only defines its functions.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ostra_has_display() {
    [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ] || [ -n "${QT_QPA_PLATFORM:-}" ]
}

# Builds the named targets. The configure step runs only when there is no build yet: the
# build tool re-runs it by itself when a CMakeLists.txt changed.
ostra_build_targets() {
    if [ ! -f "$BUILD_DIR/build.ninja" ]; then
        ostra_configure
    fi
    cmake --build "$BUILD_DIR" -j "${OSTRA_JOBS:-$(nproc)}" --target "$@"
}

# Makes the demo library with generator $1 in folder $2; on failure shows what the
# generator said and returns 1.
ostra_make_demo() {
    local vrxgen="$1" dir="$2" log
    echo "Making the demo library in $dir: generated sample pictures (first run only)"
    mkdir -p "$dir"
    log="$(mktemp)"
    if "$vrxgen" demo "$dir" >"$log" 2>&1; then
        touch "$dir/.complete"
        rm -f "$log"
        return 0
    fi
    echo "No demo library this time; starting without it. The generator said:" >&2
    sed 's/^/    /' "$log" >&2
    rm -f "$log"
    return 1
}

ostra_run_main() {
    if ! ostra_has_display; then
        echo "No display: start Ostra from a desktop session (or under xvfb-run)." >&2
        exit 1
    fi
    ostra_install_deps
    ostra_build_targets ostra vrxgen

    local data_home="${XDG_DATA_HOME:-$HOME/.local/share}"
    local demo_dir="$data_home/Quelt/Ostra demo library"
    local vrxgen="$BUILD_DIR/tools/vrxgen"
    if [ -x "$vrxgen" ] && [ ! -f "$demo_dir/.complete" ]; then
        ostra_make_demo "$vrxgen" "$demo_dir" || true
    fi

    local args=("$@")
    if [ ${#args[@]} -eq 0 ] && [ -f "$demo_dir/.complete" ]; then
        args=("$demo_dir")
    fi
    exec "$BUILD_DIR/ostra" "${args[@]}"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    ostra_run_main "$@"
fi
