#!/usr/bin/env bash
# Installs what is missing, builds Quillora and its explanation service, starts the service on this computer
# (unless one already answers there) and Quillora; stops the service it started when Quillora ends.
# Options for the service go in QUILLORA_SERVICE_ARGS, the model API's key in QUILLORA_UPSTREAM_KEY.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release

service_answers() {
    # /healthz on the local service, without needing curl.
    { exec 3<>/dev/tcp/127.0.0.1/8787; } 2>/dev/null || return 1
    printf 'GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n' >&3
    local status
    read -r -t 2 status <&3 || true
    exec 3<&- 3>&-
    [[ "$status" == "HTTP/1.1 200"* ]]
}

service_pid=""
if ! service_answers; then
    # shellcheck disable=SC2086 # the arguments are meant to be split
    build/release/server/quillora-service ${QUILLORA_SERVICE_ARGS:-} &
    service_pid=$!
    trap 'kill "$service_pid" 2>/dev/null; wait "$service_pid" 2>/dev/null || true' EXIT
    for _ in $(seq 50); do
        service_answers && break
        kill -0 "$service_pid" 2>/dev/null || { echo "quillora-service did not start" >&2; exit 1; }
        sleep 0.1
    done
fi

build/release/src/quillora "$@"
