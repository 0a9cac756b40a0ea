#!/bin/sh
# Renders a graph window headless (offscreen platform) showing an event
# taken from the board emulator on 127.0.0.1, by default docs/graphwindow.png.
#
#   scripts/graph-screenshot.sh [output.png]
#
# BUILD_DIR selects the build directory (default build-screenshot). Runs in a
# private network namespace (loopback only) when unshare is available.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-screenshot}
out=${1:-$root/docs/graphwindow.png}

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target tst_graphwindow -j"$(nproc)" >/dev/null

test=$(find "$build" -name tst_graphwindow -type f -perm -u+x | head -n 1)
if [ -z "$test" ]; then
    echo "tst_graphwindow not found in $build" >&2
    exit 1
fi

shots=$build/screenshots
mkdir -p "$shots"
rm -f "$shots/graphwindow.png"
run="QT_QPA_PLATFORM=offscreen SCREENSHOT_DIR='$shots' '$test' grabScreenshot"
if unshare -rn true 2>/dev/null; then
    unshare -rn sh -c "ip link set lo up; $run" >"$shots/graph-log.txt" 2>&1
else
    sh -c "$run" >"$shots/graph-log.txt" 2>&1
fi || {
    cat "$shots/graph-log.txt" >&2
    exit 1
}

mkdir -p "$(dirname "$out")"
cp "$shots/graphwindow.png" "$out"
echo "$out"
