#!/bin/sh
# The Debian package of this build, made by cpack from the build tree, must pass lintian with no
# error and no warning (those that are meant carry an override with its reason in the package).
# Usage: package_test.sh BUILD_DIR
set -eu

build=$1
out=$(mktemp -d /tmp/relvo-package-XXXXXX)
trap 'rm -rf "$out"' EXIT

(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || {
    cat "$out/cpack.log" >&2
    exit 1
}
if ! lintian --tag-display-limit 0 --fail-on error,warning "$out"/*.deb >"$out/lintian.log" 2>&1; then
    # lintian would rather not run as root, which CI is: that line is no finding.
    grep -v 'running with root privileges' "$out/lintian.log" >&2
    exit 1
fi
