#!/usr/bin/env bash
# Installs what is missing, builds Quillora with warnings as errors, and runs every test (the desktop ones
# inside a throw-away X11 test desktop).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset ci
cmake --build --preset ci
tests/support/with-desktop.sh ctest --preset ci "$@"
