#!/usr/bin/env bash
# Runs the coverage-guided fuzzer of the engine's calls for a given time.
#
#   scripts/fuzz.sh [SECONDS] [libFuzzer options...]     (default: 300 s)
#   scripts/fuzz.sh --merge                              fold the work corpus into fuzz/corpus
#
# Builds build-fuzz/ with clang (libFuzzer + AddressSanitizer + UBSan), starts
# from a copy of the committed corpus in build-fuzz/corpus-work (which grows
# from run to run), and leaves any crashing input in build-fuzz/artifacts/.
# A finding makes the script fail; replay it with
#   build-fuzz/engine_fuzzer build-fuzz/artifacts/<file>
# and keep it as a regression input by copying it into fuzz/corpus/.
set -euo pipefail
cd "$(dirname "$0")/.."

"$(dirname "$0")/install-deps.sh"
export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMBRINO_FUZZ=ON \
  -DTAMBRINO_JAVA=OFF >/dev/null
cmake --build build-fuzz --target engine_fuzzer -j "$(nproc)"

work=build-fuzz/corpus-work
mkdir -p "$work" build-fuzz/artifacts
cp -n fuzz/corpus/* "$work"/

if [ "${1:-}" = "--merge" ]; then
  # Keeps the committed corpus small: only inputs that add coverage.
  merged=$(mktemp -d)
  build-fuzz/engine_fuzzer -merge=1 "$merged" fuzz/corpus "$work"
  rm -f fuzz/corpus/*
  cp "$merged"/* fuzz/corpus/
  rm -rf "$merged"
  echo "fuzz/corpus now holds $(ls fuzz/corpus | wc -l) inputs"
  exit 0
fi

seconds=${1:-300}
shift || true
# The engine's set-up allocates a few megabytes; a small quarantine keeps the
# resident size down over long runs without hiding use-after-free in a call.
ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=64} \
  build-fuzz/engine_fuzzer -max_total_time="$seconds" -print_final_stats=1 -timeout=30 -rss_limit_mb=3000 \
  -artifact_prefix=build-fuzz/artifacts/ "$@" "$work"
