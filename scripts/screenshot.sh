#!/bin/sh
# Renders the main window headless (offscreen platform) and writes a PNG of
# it on the Operation page, by default docs/screenshot.png.
#
#   scripts/screenshot.sh [output.png]
#
# BUILD_DIR selects the build directory (default build-screenshot). The
# other pages are left in the build directory's screenshots/ folder.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-screenshot}
out=${1:-$root/docs/screenshot.png}

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target tst_form -j"$(nproc)" >/dev/null

test=$(find "$build" -name tst_form -type f -perm -u+x | head -n 1)
if [ -z "$test" ]; then
    echo "tst_form not found in $build" >&2
    exit 1
fi

shots=$build/screenshots
rm -rf "$shots"
mkdir -p "$shots"
QT_QPA_PLATFORM=offscreen SCREENSHOT_DIR=$shots "$test" grabScreenshot >"$shots/log.txt" 2>&1 || {
    cat "$shots/log.txt" >&2
    exit 1
}

mkdir -p "$(dirname "$out")"
cp "$shots/page1-operation.png" "$out"
echo "$out"
