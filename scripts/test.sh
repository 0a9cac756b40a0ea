#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs the whole test suite headless inside a
# private network namespace that has only loopback.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=build-test
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DDIGITIZER_SANITIZE=ON
cmake --build "$build" -j"$(nproc)"
cd "$build"
export QT_QPA_PLATFORM=offscreen
unshare -rn sh -c 'ip link set lo up && ctest -j8 --output-on-failure --timeout 300'
