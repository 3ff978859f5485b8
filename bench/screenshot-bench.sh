#!/usr/bin/env bash
# Runs bench_screenshot on a 1920x1080 and a 3840x2160 test desktop, one after the other.
# Usage: bench/screenshot-bench.sh build/<dir>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build/ci}
for size in 1920x1080 3840x2160; do
    QUILLORA_DESKTOP_SIZE=$size "$here/../tests/support/with-desktop.sh" "$build/bench/bench_screenshot"
done
