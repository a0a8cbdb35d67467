#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through ctest under Xvfb with Mesa.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ostra_install_deps
"$ROOT/scripts/check-layers.sh"
"$ROOT/scripts/check-format.sh"
ostra_build

export LIBGL_ALWAYS_SOFTWARE=1
export QT_QUICK_BACKEND="${QT_QUICK_BACKEND:-}"
cd "$BUILD_DIR"
xvfb-run -a -s "-screen 0 1920x1080x24" \
    ctest --output-on-failure -j "$(nproc)" --timeout 600 "$@"

# The engine's tests, the image service's, the gallery's and the camera transports' again under
# AddressSanitizer and UndefinedBehaviorSanitizer (shutdown with work in flight, keepers dropped on
# other threads, device threads, late events, copies cut short). Only those test programs and what
# they link are built, in one build folder.
if [ "${OSTRA_SKIP_SANITIZERS:-0}" != "1" ]; then
    BUILD_DIR="$ROOT/build-asan" BUILD_TYPE=Debug ostra_configure -DOSTRA_SANITIZE=ON -DOSTRA_ENGINE_ONLY=OFF
    mapfile -t asan_targets < <(ninja -C "$ROOT/build-asan" -t targets all |
        grep -oE '^((ciapi|engine|library)_(tst_[a-z0-9]+|statewriter)|capture_tst_(winsessionproxy|volmonitor|capturesession|capturefacade|captureimport)|platform_tst_mtptree):' |
        tr -d ':' | sort -u)
    cmake --build "$ROOT/build-asan" -j "${OSTRA_JOBS:-$(nproc)}" --target "${asan_targets[@]}"
    cd "$ROOT/build-asan"
    LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0 ${LSAN_OPTIONS:-}" \
        xvfb-run -a -s "-screen 0 1920x1080x24" ctest --output-on-failure -j "$(nproc)" --timeout 900 \
        -R '^((ciapi|engine|library)/|capture/tst_(winsessionproxy|volmonitor|capturesession|capturefacade|captureimport)$|platform/tst_mtptree$)'
fi

# The engine's threading tests once more under ThreadSanitizer (render/cancel cycles, several
# renderers on several threads, the worker pool).
if [ "${OSTRA_SKIP_SANITIZERS:-0}" != "1" ]; then
    BUILD_DIR="$ROOT/build-tsan" BUILD_TYPE=RelWithDebInfo \
        ostra_configure -DOSTRA_TSAN=ON -DOSTRA_ENGINE_ONLY=ON
    cmake --build "$ROOT/build-tsan" -j "${OSTRA_JOBS:-$(nproc)}" --target ciapi_tst_renderer ciapi_tst_workerpool
    cd "$ROOT/build-tsan"
    # Qt is not built with the sanitizer: Qt Test's watchdog thread is joined inside Qt, where the
    # join cannot be seen, so its teardown would be reported now and then. Races in our own code
    # are still found: only calls made from the uninstrumented libraries are left out.
    TSAN_OPTIONS="ignore_noninstrumented_modules=1 ${TSAN_OPTIONS:-}" \
        ctest --output-on-failure --timeout 900 -R "ciapi/tst_(renderer|workerpool)$"
fi

# On request (OSTRA_TSAN_QT=1), the threaded test programs of the service, the gallery, the
# import pipeline and the camera transports under ThreadSanitizer too, with the order of Qt's
# own locks and queued calls given to the sanitizer (tests/sanitizer). Not run by default:
# building those libraries once more costs about as much as the sanitized build above.
if [ "${OSTRA_SKIP_SANITIZERS:-0}" != "1" ] && [ "${OSTRA_TSAN_QT:-0}" = "1" ]; then
    BUILD_DIR="$ROOT/build-tsan-qt" BUILD_TYPE=RelWithDebInfo \
        ostra_configure -DOSTRA_TSAN=ON -DOSTRA_ENGINE_ONLY=OFF
    tsan_qt_tests='engine/tst_(imageproperties|imagetransformproperties|imagerouter|patchdocument|enginestreams|streameditor|exportbudget|exifreader|vrxmetadata|presetfolder|streampart|statefile|fileperm|thumbnailbudget|imageviewer|editorsessions|imagelocator|metahistory)|library/tst_(fairpartitioner|selectionaggregator|recyclebin|activesession|sessionlogger|imagelocatorresolver|root)|pipeline/tst_(ticketsrecord|pipelinemodel|reciperouter|routerfaults|recipelogger|journalcrash|filecopy)|capture/tst_(targetfolder|hasbeenmodel|videosmodel|volmonitor|volumes|winsessionproxy|capturefacade|capturemodel|capturesession)'
    mapfile -t tsan_qt_targets < <(ninja -C "$ROOT/build-tsan-qt" -t targets all |
        grep -oE "^(${tsan_qt_tests//\//_}|pipeline_journalcrasher):" | tr -d ':' | sort -u)
    cmake --build "$ROOT/build-tsan-qt" -j "${OSTRA_JOBS:-$(nproc)}" --target "${tsan_qt_targets[@]}"
    cd "$ROOT/build-tsan-qt"
    TSAN_OPTIONS="ignore_noninstrumented_modules=1 report_signal_unsafe=0 suppressions=$ROOT/scripts/tsan.supp ${TSAN_OPTIONS:-}" \
        xvfb-run -a -s "-screen 0 1920x1080x24" ctest --output-on-failure -j "$(nproc)" --timeout 900 \
        -R "^(${tsan_qt_tests})$"
fi
