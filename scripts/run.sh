#!/usr/bin/env bash
# Installs what is missing, builds, and starts the program beside the board
# emulator on 127.0.0.1. The emulator stops when the program ends.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=build
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDIGITIZER_TESTS=OFF
cmake --build "$build" -j"$(nproc)"
udp=${UDP_PORT:-4660}
tcp=${TCP_PORT:-24024}
"$build"/board-emulator --udp-port "$udp" --tcp-port "$tcp" --rate "${RATE:-100}" &
emulator=$!
trap 'kill $emulator 2>/dev/null || true' EXIT
sleep 0.5
echo "Type 127.0.0.1 as the address and $udp as the UDP port, then press Read."
"$build"/digitizer "$@"
