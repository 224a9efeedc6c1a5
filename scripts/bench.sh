#!/usr/bin/env bash
# Builds the engine (build-bench/) and the plainly written reference engine
# from the git revision tagged plain-reference (build-plain/), then runs the
# benchmark, which loads both libraries side by side and prints the ratio,
# once per instruction set of this processor (TAMBRINO_CPU).
# Extra arguments go to the benchmark, e.g. --seconds 60 --runs 5.
# TAMBRINO_PLAIN_REF names another revision to compare against.
set -euo pipefail
cd "$(dirname "$0")/.."

export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
jobs=$(nproc)
# The plain engine: the tag, or the commit it names where tags were not
# carried over (a fresh clone of a bundle).
ref=${TAMBRINO_PLAIN_REF:-plain-reference}
if ! git rev-parse -q --verify "$ref^{commit}" >/dev/null && [ -z "${TAMBRINO_PLAIN_REF:-}" ]; then
  ref=3626a187a7c9da924b2766cd7ed03a391aaf86cf
fi

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTAMBRINO_JAVA=OFF >/dev/null
cmake --build build-bench -j "$jobs" --target tambrino tambrino_bench >/dev/null

plain_args=()
if git rev-parse -q --verify "$ref^{commit}" >/dev/null; then
  # Extracted anew each time; git archive stamps every file with the commit
  # time, so an unchanged revision is not rebuilt. Another revision may carry
  # older stamps than the objects already built: its tree is built afresh.
  commit=$(git rev-parse "$ref^{commit}")
  if [ "$(cat build-plain/.revision 2>/dev/null)" != "$commit" ]; then
    rm -rf build-plain
  fi
  rm -rf build-plain-src
  mkdir -p build-plain-src
  git archive "$ref" | tar -x -C build-plain-src
  cmake -S build-plain-src -B build-plain -DCMAKE_BUILD_TYPE=Release -DTAMBRINO_JAVA=OFF >/dev/null
  cmake --build build-plain -j "$jobs" --target tambrino >/dev/null
  echo "$commit" > build-plain/.revision
  plain_args=(--plain build-plain/libtambrino.so)
  if cmake --build build-plain -j "$jobs" --target tambrino_bench >/dev/null 2>&1; then
    plain_args+=(--plain-bench build-plain/tambrino_bench)
  fi
else
  echo "No revision $ref: measuring this build alone." >&2
fi

build-bench/tambrino_bench --fast build-bench/libtambrino.so "${plain_args[@]}" "$@"

# The tool from file to file, against the peers' command-line tools.
if [ -f "${TAMBRINO_JAR:-build/java/tambrino.jar}" ]; then
  scripts/bench-tool.sh
else
  echo "No build/java/tambrino.jar: the tool's end-to-end rows are skipped (build it with cmake first)." >&2
fi
