#!/usr/bin/env bash
# Makes the README's picture of the practice window: builds the tool, then
# opens a generated 12-second song on a virtual display (xvfb-run), sets a
# loop and two markers, plays it at 80 % and saves the window as
# docs/app-screenshot.png (or the path given). What is heard goes to a file
# under build/, so no sound card is needed.
set -euo pipefail
root=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.." && pwd)
out=${1:-$root/docs/app-screenshot.png}
"$root/scripts/install-deps.sh"
export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j2 --target tambrino_cli_tests >/dev/null
cp="$root/build/java/cli-test-classes:$root/build/java/cli-classes:/usr/share/java/picocli.jar"
cp="$cp:/usr/share/java/mp3spi.jar:/usr/share/java/jl.jar:/usr/share/java/tritonus_share.jar"
cp="$cp:/usr/share/java/vorbisspi.jar:/usr/share/java/jorbis.jar:/usr/share/java/jogg.jar"
rm -rf "$root/build/app-screenshot"
mkdir -p "$(dirname "$out")"
xvfb-run -a -s "-screen 0 1280x800x24" "$JAVA_HOME/bin/java" --enable-native-access=ALL-UNNAMED \
  -Dtambrino.library="$root/build/libtambrino.so" -cp "$cp" quorvel.tambrino.app.AppDriver \
  "$(readlink -f "$out")" "$root/build/app-screenshot"
