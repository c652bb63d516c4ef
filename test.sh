#!/bin/sh
# Installs what is missing (make included), builds everything, runs every test.
# Arguments are passed to `make test` (for example PRESET=asan).
set -e
cd "$(dirname "$0")"
./scripts/install-deps.sh
exec make test "$@"
