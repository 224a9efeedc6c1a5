#!/usr/bin/env bash
# The first command on a fresh clone: installs the Debian packages that are
# missing, builds the engine and the command-line tool into build/, and runs
# `tambrino demo`, which writes a synthesised piece, its slowed-down version
# without the centre voice, and a spectrum picture under out/. Arguments are
# passed to `tambrino demo` (e.g. --out-dir DIR).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target tambrino_cli_jar

TAMBRINO_JAR="$PWD/build/java/tambrino.jar" exec bin/tambrino demo "$@"
