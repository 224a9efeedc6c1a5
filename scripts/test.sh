#!/usr/bin/env bash
# Installs what is missing (Debian packages), builds into build/ and runs every
# test: the unit tests, the JVM tests, the golden digests (here, on
# linux-aarch64 and on windows-x86-64), the golden digests and the JVM tests
# again once per instruction set (TAMBRINO_CPU), and the unit tests again
# under ThreadSanitizer (build-tsan/) and AddressSanitizer + UBSan
# (build-asan/).
set -euo pipefail
cd "$(dirname "$0")/.."

"$(dirname "$0")/install-deps.sh"

jobs=$(nproc)
export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$jobs"
# The golden digests on linux-aarch64 (under qemu) and windows-x86-64 (under
# wine); this also puts both libraries into build/'s jar.
# TAMBRINO_SKIP_CROSS=1 leaves them out.
if [ "${TAMBRINO_SKIP_CROSS:-0}" != 1 ]; then "$(dirname "$0")/cross.sh" --golden; fi
(cd build && ctest --output-on-failure -j "$jobs")
# Each instruction set as a user picks it: every path must give the same bits
# (a set the processor lacks runs as the widest one it has). The portable run
# also holds the C library's maths functions to their baseline code, so that
# no AVX or FMA instruction computes any of the engine's values.
for cpu in avx512 avx2 portable; do
  echo "== TAMBRINO_CPU=$cpu: golden digests and JVM tests"
  tunables=${GLIBC_TUNABLES:-}
  if [ "$cpu" = portable ]; then tunables=glibc.cpu.hwcaps=-AVX2,-FMA,-AVX,-AVX512F; fi
  (cd build && TAMBRINO_CPU=$cpu GLIBC_TUNABLES=$tunables ctest --output-on-failure -j "$jobs" -R 'Golden|^java')
done

if [ "${TAMBRINO_SKIP_SANITIZERS:-0}" != 1 ]; then
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMBRINO_TSAN=ON
  cmake --build build-tsan -j "$jobs"
  (cd build-tsan && TSAN_OPTIONS="halt_on_error=1" ctest --output-on-failure -j "$jobs" -L unit)

  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMBRINO_ASAN=ON
  cmake --build build-asan -j "$jobs"
  (cd build-asan && ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
     ctest --output-on-failure -j "$jobs" -L unit)
fi
