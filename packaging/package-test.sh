#!/usr/bin/env bash
# The Debian package as a user meets it: made by scripts/package.sh and
# checked by lintian (the arm64 one too when build-aarch64/ holds its engine),
# installed with apt-get on this machine, used (the version, a stretch of an
# MP3 into WAV and into MP3 by another user, the manual page, the completion,
# the window opened from the desktop entry on a virtual desktop), then purged,
# after which nothing of it may remain but what the user made.
#
#   packaging/package-test.sh BUILD_DIR
#
# Needs root, or sudo without a password; exits 77 (skipped) without, and when
# a tambrino package is installed that this test did not install (it is left
# alone). One run at a time on a machine (a lock); the package is purged
# whatever happens, and a run that was killed outright is cleaned up by the
# next one. apt-get may neither remove nor replace another package.
set -euo pipefail
root=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.." && pwd)
build=$(cd "${1:?usage: package-test.sh BUILD_DIR}" && pwd)
SKIP=77

sudo=()
if [ "$(id -u)" != 0 ]; then
  if ! sudo -n true 2>/dev/null; then
    echo "SKIPPED: installing a package needs root or sudo without a password"
    exit $SKIP
  fi
  sudo=(sudo -n)
fi
# An install may not remove another package (--no-remove); a purge of
# tambrino removes nothing else, as nothing depends on it.
apt() {
  local no_remove=()
  if [ "$1" = install ]; then no_remove=(--no-remove); fi
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q -y "${no_remove[@]}" -o DPkg::Lock::Timeout=900 "$@"
}
installed() {
  dpkg-query -W -f='${Status}' tambrino 2>/dev/null | grep -q 'ok installed'
}

exec 9>/run/lock/tambrino-package-test.lock
flock -w 1800 9 || { echo "FAILED: another package test held the lock for 30 minutes"; exit 1; }

# While the package is installed this file says that the test put it there.
marker=/var/lib/tambrino-package-test.installed
if installed; then
  if [ ! -e "$marker" ]; then
    echo "SKIPPED: tambrino is installed on this machine (not by this test); it is left as it is"
    exit $SKIP
  fi
  echo "A package test that was killed left the package installed: purging it first"
  apt purge tambrino >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tambrino-package-test.XXXXXX")
app=
cleanup() {
  local rc=$?
  if [ -n "$app" ]; then kill "$app" 2>/dev/null || true; fi
  if [ -e "$marker" ]; then
    if installed; then apt purge tambrino >/dev/null || rc=1; fi
    "${sudo[@]}" rm -f "$marker"
  fi
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
# apt reads the package as its own user, and the stretch runs as another.
chmod 0755 "$work"

fail() {
  echo "FAILED: $*"
  exit 1
}
start=$SECONDS
step() {
  echo "== $* ($((SECONDS - start)) s)"
}

step "making the packages"
arches=amd64
if [ -f "$root/build-aarch64/libtambrino.so" ]; then arches=all; fi
debs=$("$root/scripts/package.sh" --no-build --build "$build" --arch "$arches" --out "$work")
deb=$(grep '_amd64\.deb$' <<<"$debs")
contents() {
  dpkg-deb --contents "$1" | awk '{print $6}' | sed -e 's#^\./#/#' -e 's#/$##' | grep -v '^$' | sort
}
if [ "$arches" = all ]; then
  arm=$(grep '_arm64\.deb$' <<<"$debs")
  dpkg-deb --field "$arm" Architecture | grep -qx arm64 || fail "$arm is not for arm64"
  diff <(contents "$deb" | sed 's#x86_64-linux-gnu#aarch64-linux-gnu#') <(contents "$arm") \
    || fail "the arm64 package holds other files than the amd64 one"
  cmp <(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/tambrino/tambrino.jar) \
      <(dpkg-deb --fsys-tarfile "$arm" | tar -xO ./usr/share/tambrino/tambrino.jar) \
    || fail "the two packages' jars differ"
  dpkg-deb --fsys-tarfile "$arm" | tar -xO ./usr/lib/aarch64-linux-gnu/jni/libtambrino.so >"$work/arm.so"
  readelf -h "$work/arm.so" | grep -q 'Machine:.*AArch64' || fail "the arm64 package's engine is not for arm64"
  echo "arm64: $(basename "$arm") checked"
else
  echo "arm64: not checked (build-aarch64/libtambrino.so is not built; scripts/cross.sh builds it)"
fi
version=$(dpkg-deb --field "$deb" Version)
# What was on the system before, among the package's folders, stays after the purge.
contents "$deb" >"$work/files"
while read -r f; do
  if [ -e "$f" ]; then echo "$f"; fi
done <"$work/files" >"$work/before"

step "installing $(basename "$deb")"
"${sudo[@]}" touch "$marker"
apt install "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get install"; }
installed || fail "the package is not installed after apt-get install"
hash -r
[ "$(command -v tambrino)" = /usr/bin/tambrino ] || fail "tambrino is not /usr/bin/tambrino"

# Another user, with the system's Java: the installed files are read-only to them.
user=()
if [ "$(id -u)" = 0 ]; then user=(runuser -u nobody --); fi
home=$work/home
mkdir -p "$home"
chmod 0777 "$home"
as_user() {
  (cd "$home" && "${user[@]}" env -u JAVA_HOME -u TAMBRINO_JAR HOME="$home" XDG_CONFIG_HOME="$home/.config" "$@")
}

step "tambrino --version"
as_user tambrino --version >"$work/version" 2>&1 || { cat "$work/version"; fail "tambrino --version"; }
cat "$work/version"
grep -qx "tambrino $version" "$work/version" || fail "--version does not say $version"
grep -q "^engine: libtambrino.so from /usr/lib/x86_64-linux-gnu/jni/libtambrino.so$" "$work/version" \
  || fail "the engine is not the installed one"

step "stretching an MP3"
sox -n -r 44100 -b 16 -c 2 "$home/song.wav" synth 3 sine 440 sine 660 gain -6
lame --quiet "$home/song.wav" "$home/song.mp3"
chmod 0666 "$home/song.wav" "$home/song.mp3"
as_user tambrino stretch song.mp3 slow.wav --tempo 0.5 || fail "tambrino stretch"
# The MP3's own delay and padding go, so the result lasts twice the WAV it was made from.
frames=$(soxi -s "$home/slow.wav")
[ "$frames" = 264600 ] || fail "the stretched file has $frames frames, not 264600"
# Into MP3 too, through the ffmpeg the package recommends, as a user shares it.
if command -v ffmpeg >/dev/null; then
  as_user tambrino stretch song.mp3 slow.mp3 --tempo 0.5 || fail "tambrino stretch to MP3"
  frames=$(ffmpeg -nostdin -v error -i "$home/slow.mp3" -f s16le - | wc -c)
  [ "$frames" = $((264600 * 4)) ] || fail "the stretched MP3 decodes to $((frames / 4)) frames, not 264600"
fi

step "man tambrino"
[ "$(man -w tambrino)" = /usr/share/man/man1/tambrino.1.gz ] || fail "man -w tambrino: $(man -w tambrino)"
MANWIDTH=100 man tambrino 2>"$work/man.err" | col -b >"$work/man.txt"
[ ! -s "$work/man.err" ] || { cat "$work/man.err"; fail "man tambrino has warnings"; }
grep -q "^NAME" "$work/man.txt" && grep -q "tambrino stretch" "$work/man.txt" || fail "the manual page is empty"
# Every option of every command's help is in the manual.
for command in stretch play app demo; do
  for option in $(tambrino "$command" --help | grep -oE -- '--(\[no-\])?[a-z][a-z-]+' | sort -u); do
    grep -qF -- "$option" "$work/man.txt" || fail "the manual page lacks $option of tambrino $command"
  done
done

step "bash completion"
complete_words() {
  # As bash does on Tab: the words so far, the last one being completed.
  bash -c 'compopt() { :; }  # outside a real completion it has nothing to set
           source /usr/share/bash-completion/completions/tambrino
           COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
           _complete_tambrino tambrino "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
           printf "%s\n" "${COMPREPLY[@]}"' completion "$@"
}
[ "$(complete_words tambrino st)" = stretch ] || fail "tambrino st<Tab> gives '$(complete_words tambrino st)'"
[ "$(complete_words tambrino stretch --tem)" = --tempo ] || fail "--tem<Tab> gives '$(complete_words tambrino stretch --tem)'"
complete_words tambrino play --keep | grep -qx -- --keep-formants || fail "--keep<Tab> gives no --keep-formants"

step "the desktop entry opens the window"
desktop=/usr/share/applications/tambrino.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate $desktop"
grep -q '^audio/mpeg=.*tambrino\.desktop' /usr/share/applications/mimeinfo.cache \
  || fail "the desktop's MIME cache does not offer tambrino for MP3"
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
wm_class=$(sed -n 's/^StartupWMClass=//p' "$desktop")
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -f "/usr/share/icons/hicolor/48x48/apps/$icon.png" ] && [ -f "/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] \
  || fail "the icon $icon is not installed"
shot=$build/package-test-window.png
cat >"$work/desktop.sh" <<'EOF'
set -euo pipefail
openbox --sm-disable >/dev/null 2>&1 &
wm=$!
# The desktop as the file manager would start it: the Exec line with the file for %f.
read -r -a words <<<"${EXEC_LINE//%f/$SONG}"
env HOME="$HOME_DIR" XDG_CONFIG_HOME="$HOME_DIR/.config" "${words[@]}" >"$WORK/app.log" 2>&1 &
app=$!
status=0
if window=$(timeout 120 xdotool search --sync --onlyvisible --class "$WM_CLASS" | head -n 1); then
  # The window shows first, then the song it was opened with: its title names it once it is read.
  for _ in $(seq 300); do
    case $(xdotool getwindowname "$window") in "$(basename "$SONG")"*) break ;; esac
    sleep 0.2
  done
  sleep 1
  echo "title: $(xdotool getwindowname "$window")"
  ffmpeg -nostdin -loglevel error -f x11grab -video_size 1280x800 -i "$DISPLAY" -frames:v 1 -y "$SHOT" || status=1
  xdotool windowactivate --sync "$window" key ctrl+q
else
  echo "no window of class $WM_CLASS appeared"
  status=1
fi
for _ in $(seq 100); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$app" 2>/dev/null; then echo "the window did not close on Ctrl+Q"; kill "$app"; status=1; fi
wait "$app" || { echo "the window exited with $?"; status=1; }
kill "$wm" 2>/dev/null || true
exit $status
EOF
EXEC_LINE=$exec_line SONG=$home/song.mp3 HOME_DIR=$home WORK=$work WM_CLASS=$wm_class SHOT=$shot \
  xvfb-run -a -s "-screen 0 1280x800x24" bash "$work/desktop.sh" >"$work/desktop.log" 2>&1 \
  || { cat "$work/desktop.log" "$work/app.log"; fail "the window from the desktop entry"; }
cat "$work/desktop.log"
grep -q '^title: song.mp3' "$work/desktop.log" || fail "the window's title does not name the song"
# A screen with the window on it, not an empty one, kept for a person to look at.
[ "$(stat -c %s "$shot")" -gt 20000 ] || fail "the screenshot $shot shows no window"
echo "screenshot: $shot"
[ -f "$home/.config/tambrino/recent.txt" ] || fail "the window kept no recent files in the user's settings"

step "apt-get purge"
dpkg -L tambrino | grep -vx '/\.' | sort >"$work/installed"
apt purge tambrino >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get purge"; }
installed && fail "the package is still installed after apt-get purge"
dpkg-query -W -f='${Status}' tambrino 2>/dev/null | grep -qv 'not-installed' \
  && fail "dpkg still knows tambrino: $(dpkg-query -W -f='${Status}' tambrino)"
"${sudo[@]}" rm -f "$marker"
hash -r
! command -v tambrino >/dev/null || fail "tambrino is still on the PATH: $(command -v tambrino)"
left=$(while read -r f; do
  if [ -e "$f" ] && ! grep -qxF "$f" "$work/before"; then echo "$f"; fi
done <"$work/installed")
[ -z "$left" ] || fail "left after the purge: $left"
ls /var/lib/dpkg/info/tambrino.* >/dev/null 2>&1 && fail "dpkg's records of tambrino are left"
grep -q 'tambrino\.desktop' /usr/share/applications/mimeinfo.cache \
  && fail "the desktop's MIME cache still offers tambrino"
man -w tambrino >/dev/null 2>&1 && fail "man tambrino still finds a page"
[ -f "$home/.config/tambrino/recent.txt" ] || fail "the purge removed the user's settings"
step "done"
