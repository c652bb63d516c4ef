#!/bin/sh
# Installs what is missing (make included), builds what running needs, starts the console.
# Arguments are passed to make (for example PRESET=asan).
set -e
cd "$(dirname "$0")"
./scripts/install-deps.sh
make build-run "$@"
build_dir=build
for argument in "$@"; do
  [ "$argument" = "PRESET=asan" ] && build_dir=build-asan
done
# Started directly rather than through make, so a console that cannot start says why in one line.
exec "./$build_dir/bin/relvoconsole"
