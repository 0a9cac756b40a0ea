#!/bin/sh
# Renders the pictures of the README headless (offscreen platform), both
# from the real window working with the board emulator on 127.0.0.1: the main
# window on its Operation page after a Read, once the board's status has come
# in (docs/screenshot.png), and a graph window showing an event taken from the
# emulator (docs/graphwindow.png).
#
#   scripts/screenshot.sh [output directory]
#
# BUILD_DIR selects the build directory (default build-screenshot). The main
# window at start and its other pages after the Read are left in the build
# directory's screenshots/ folder.
# Runs in a private network namespace (loopback only) when unshare is
# available.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-screenshot}
out=${1:-$root/docs}

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target tst_form tst_graphwindow -j"$(nproc)" >/dev/null

shots=$build/screenshots
rm -rf "$shots"
mkdir -p "$shots" "$out"

# grab <test> <picture> <output>
grab() {
    test=$(find "$build" -name "$1" -type f -perm -u+x | head -n 1)
    if [ -z "$test" ]; then
        echo "$1 not found in $build" >&2
        exit 1
    fi
    run="QT_QPA_PLATFORM=offscreen SCREENSHOT_DIR='$shots' '$test' grabScreenshot"
    if unshare -rn true 2>/dev/null; then
        unshare -rn sh -c "ip link set lo up; $run" >"$shots/$1.log" 2>&1
    else
        sh -c "$run" >"$shots/$1.log" 2>&1
    fi || {
        cat "$shots/$1.log" >&2
        exit 1
    }
    cp "$shots/$2" "$3"
    echo "$3"
}

grab tst_form page1-operation.png "$out/screenshot.png"
grab tst_graphwindow graphwindow.png "$out/graphwindow.png"
