#!/usr/bin/env bash
# Installs what is missing, builds Quillora with warnings as errors, and runs every test (the desktop ones
# inside a throw-away X11 test desktop); then builds and runs the same tests again with AddressSanitizer,
# UndefinedBehaviorSanitizer and LeakSanitizer (QUILLORA_SANITIZERS=0 skips that second pass).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset ci
cmake --build --preset ci
tests/support/with-desktop.sh ctest --preset ci "$@"
if [[ "${QUILLORA_SANITIZERS:-1}" != 0 ]]; then
    cmake --preset asan
    cmake --build --preset asan
    tests/support/with-desktop.sh ctest --preset asan "$@"
fi
