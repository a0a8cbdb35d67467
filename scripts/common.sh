# Shared by run.sh and test.sh: installs what is missing, configures and builds.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${OSTRA_BUILD_DIR:-$ROOT/build}"
BUILD_TYPE="${OSTRA_BUILD_TYPE:-RelWithDebInfo}"

# Installs the packages listed in scripts/deps.txt, or in the list files given.
ostra_install_deps() {
    local lists=("$@")
    [ ${#lists[@]} -eq 0 ] && lists=("$ROOT/scripts/deps.txt")
    local missing=()
    local pkg
    while read -r pkg; do
        [ -z "$pkg" ] && continue
        case "$pkg" in \#*) continue ;; esac
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done < <(cat "${lists[@]}")
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        # A fresh machine has no package lists yet; refresh them once.
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "${missing[@]}"
    else
        echo "Missing packages. Run as root:"
        echo "  apt-get update && apt-get install -y ${missing[*]}"
        exit 1
    fi
}

# Configures $BUILD_DIR ($BUILD_TYPE, ccache when there is one); arguments go to cmake.
ostra_configure() {
    local extra=()
    if command -v ccache >/dev/null 2>&1; then
        extra+=("-DCMAKE_C_COMPILER_LAUNCHER=ccache" "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
    fi
    cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE="$BUILD_TYPE" "${extra[@]}" "$@"
}

ostra_build() {
    ostra_configure "$@"
    cmake --build "$BUILD_DIR" -j "${OSTRA_JOBS:-$(nproc)}"
}
