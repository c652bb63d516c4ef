#!/bin/sh
# Installs what is missing (make included), builds what running needs, starts the console.
# Arguments are passed to `make run` (for example PRESET=asan).
set -e
cd "$(dirname "$0")"
./scripts/install-deps.sh
exec make run "$@"
