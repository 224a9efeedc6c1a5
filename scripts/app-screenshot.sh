#!/usr/bin/env bash
# Makes the README's pictures of the practice window: builds the tool, makes
# the demo's piece, then on a virtual desktop of each size (scripts/desktop.sh,
# Xvfb with openbox) opens it with a loop, markers and 80 %, plays it and
# saves the window, or a dialog over it:
#   docs/app-screenshot.png    1280 x 800, the window at the size it opens at
#   docs/app-800x500.png       the smallest screen it is made for, every control in it
#   docs/app-1920x1080.png     a large screen, the controls across its width
#   docs/app-scale2.png        a 1600 x 1000 screen scaled twice (800 x 500 in its units)
#   docs/app-help.png          Help > Keys and mouse (F1)
#   docs/app-about.png         Help > About
#   docs/app-export.png        an export under way
# What is heard goes to a file under build/, so no sound card is needed. A
# folder given as the first argument gets the pictures instead of docs/ (and
# then each tab at 800 x 500 as well, to look at).
set -euo pipefail
root=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.." && pwd)
out=${1:-$root/docs}
"$root/scripts/install-deps.sh"
export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j2 --target tambrino_cli_tests >/dev/null
# The jar, as users run it: its manifest gives the version About shows.
cp="$root/build/java/cli-test-classes:$root/build/java/tambrino.jar:/usr/share/java/picocli.jar"
cp="$cp:/usr/share/java/mp3spi.jar:/usr/share/java/jl.jar:/usr/share/java/tritonus_share.jar"
cp="$cp:/usr/share/java/vorbisspi.jar:/usr/share/java/jorbis.jar:/usr/share/java/jogg.jar"
work=$root/build/app-screenshot
rm -rf "$work"
mkdir -p "$work" "$out"
TAMBRINO_JAR=$root/build/java/tambrino.jar "$root/bin/tambrino" demo --out-dir "$work" >/dev/null
song=$work/demo-original.wav
out=$(readlink -f "$out")
# shot SCREEN PNG SIZE TAB [VIEW [JAVA OPTIONS]]
shot() {
  rm -rf "$work/run"
  "$root/scripts/desktop.sh" --screen "$1" "$JAVA_HOME/bin/java" --enable-native-access=ALL-UNNAMED ${6:-} \
    -Dtambrino.library="$root/build/libtambrino.so" -cp "$cp" quorvel.tambrino.app.AppDriver \
    "$2" "$work/run" "$song" "$3" "$4" "${5:-window}"
}
shot 1280x800 "$out/app-screenshot.png" default Loop
shot 800x500 "$out/app-800x500.png" default Sound
shot 1920x1080 "$out/app-1920x1080.png" default Markers
shot 1600x1000 "$out/app-scale2.png" default Loop window -Dsun.java2d.uiScale=2
shot 1280x800 "$out/app-help.png" default Loop help
shot 1280x800 "$out/app-about.png" default Loop about
shot 1280x800 "$out/app-export.png" default Loop export
if [ $# -gt 0 ]; then
  for tab in Loop Markers Trainer Sound; do
    shot 800x500 "$out/app-800x500-$tab.png" max "$tab"
  done
fi
