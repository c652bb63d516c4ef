#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer in build-fuzz/ and runs each for a bounded
# time, keeping its corpus there for the next run. Usage: scripts/fuzz.sh [SECONDS_IN_ALL]
# (default 60). Without clang or its fuzzer runtime it says so and succeeds: fuzzing is then
# not possible on this machine, which is not a fault of the code.
set -euo pipefail
cd "$(dirname "$0")/.."
total=${1:-60}
targets=(smtp_protocol_fuzz)

probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
  >"$probe/probe.cpp"
if ! command -v clang++ >/dev/null 2>&1 ||
   ! clang++ -fsanitize=fuzzer "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1; then
  echo "fuzzing skipped: clang++ with libFuzzer is not available"
  exit 0
fi

if [ ! -f build-fuzz/build.ninja ]; then
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
fi
cmake --build build-fuzz --target "${targets[@]}"

seconds=$((total / ${#targets[@]}))
for target in "${targets[@]}"; do
  binary=$(find build-fuzz -type f -name "$target" -perm -u+x | head -n 1)
  corpus="build-fuzz/corpus/$target"
  mkdir -p "$corpus"
  echo "fuzzing $target for ${seconds} s"
  # A finding ends the run with a non-zero status and leaves its input (crash-*) here.
  "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/" "$corpus"
done
