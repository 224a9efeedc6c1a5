#!/usr/bin/env bash
# Builds the Debian packages of tambrino with Debian's own tools (dpkg-deb,
# dpkg-shlibdeps, lintian), installing the Debian packages it needs when they
# are missing:
#
#   scripts/package.sh                  tambrino_VERSION_amd64.deb, from build/
#   scripts/package.sh --arch arm64     tambrino_VERSION_arm64.deb, with the
#                                       engine of build-aarch64/ (built when
#                                       missing, as scripts/cross.sh builds it)
#   scripts/package.sh --arch all       both
#
# Options: --out DIR (default BUILD/package), --build BUILD (the build folder,
# default build/), --no-build (take the build folders as they are, as the
# package test does), --no-lintian.
# Prints the path of each package; exits non-zero when a package cannot be
# made or lintian finds an error in it.
#
# What a package installs:
#   /usr/bin/tambrino                          the launcher (bin/tambrino)
#   /usr/share/tambrino/tambrino.jar           the tool, without the engine's
#                                              libraries (the same for every
#                                              architecture)
#   /usr/lib/TRIPLET/jni/libtambrino.so        the engine, where Debian's Java
#                                              looks for JNI libraries
#   /usr/share/applications/tambrino.desktop   the practice window
#   /usr/share/icons/hicolor/*/apps/tambrino.* the icon, SVG and PNG sizes
#   /usr/share/man/man1/tambrino.1.gz          made from the commands' help
#   /usr/share/bash-completion/completions/tambrino
#   /usr/share/doc/tambrino/                   copyright and changelog
set -euo pipefail
root=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.." && pwd)
cd "$root"

arches=(amd64)
out=
builddir=$root/build
build=1
lint=1
while [ $# -gt 0 ]; do
  case $1 in
    --arch)
      case ${2:-} in
        amd64 | arm64) arches=("$2") ;;
        all) arches=(amd64 arm64) ;;
        *) echo "package.sh: --arch takes amd64, arm64 or all" >&2; exit 2 ;;
      esac
      shift 2 ;;
    --out) out=$(mkdir -p "$2" && cd "$2" && pwd); shift 2 ;;
    --build) builddir=$(cd "$2" && pwd); shift 2 ;;
    --no-build) build=0; shift ;;
    --no-lintian) lint=0; shift ;;
    *) echo "usage: scripts/package.sh [--arch amd64|arm64|all] [--out DIR] [--build DIR] [--no-build]" \
         "[--no-lintian]" >&2
       exit 2 ;;
  esac
done

export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
if [ "$build" = 1 ]; then
  "$root/scripts/install-deps.sh"
  cmake -S . -B "$builddir" -DCMAKE_BUILD_TYPE=Release >/dev/null
  nice cmake --build "$builddir" -j "$(nproc)" --target tambrino_cli_jar >/dev/null
  if [[ " ${arches[*]} " == *" arm64 "* ]]; then
    "$root/scripts/install-deps.sh" g++-aarch64-linux-gnu
    cmake -S . -B build-aarch64 --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-linux-gnu.cmake >/dev/null
    nice cmake --build build-aarch64 -j "$(nproc)" --target tambrino >/dev/null
  fi
fi

out=${out:-$builddir/package}
jar=$builddir/java/tambrino.jar
classes=$builddir/java/cli-classes
picocli=/usr/share/java/picocli.jar
for f in "$jar" "$classes" "$picocli"; do
  [ -e "$f" ] || { echo "package.sh: $f is missing (build the tool first, or drop --no-build)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tambrino-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Every file of the package gets the time of the last commit, so that the
# same source gives the same package.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)}
export SOURCE_DATE_EPOCH
stamp=$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y%m%d%H%M.%S)

# The jar without the engine's libraries: the package installs the engine
# where Debian's Java finds it, so that nothing is unpacked at each start (a
# temporary folder mounted noexec cannot map a copy), and the jar under
# /usr/share is the same on every architecture.
mkdir -p "$work/jar"
(cd "$work/jar" && "$JAVA_HOME/bin/jar" --extract --file "$jar")
rm -rf "$work/jar/native"
version=$(sed -n 's/^Implementation-Version: *\([^[:space:]]*\).*/\1/p' "$work/jar/META-INF/MANIFEST.MF")
[ -n "$version" ] || { echo "package.sh: $jar has no Implementation-Version" >&2; exit 1; }
mv "$work/jar/META-INF/MANIFEST.MF" "$work/manifest.txt"
"$JAVA_HOME/bin/jar" --create --file "$work/tambrino.jar" --manifest "$work/manifest.txt" \
  --date="$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%dT%H:%M:%SZ)" -C "$work/jar" .

# The manual page and the bash completion, from the commands' own help.
mkdir -p "$work/gen"
"$JAVA_HOME/bin/javac" --release 17 -encoding UTF-8 -Xlint:all -Werror -cp "$classes:$picocli" -d "$work/gen" \
  "$root/packaging/ManPage.java"
"$JAVA_HOME/bin/java" -Djava.awt.headless=true -cp "$work/gen:$classes:$picocli" ManPage "$version" \
  "$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%d)" "$work/tambrino.1"
"$JAVA_HOME/bin/java" -Djava.awt.headless=true -cp "$classes:$picocli" picocli.AutoComplete --force \
  --name tambrino --completionScript "$work/tambrino.bash" quorvel.tambrino.cli.Tambrino

maintainer=${DEBFULLNAME:-$(git -C "$root" config user.name 2>/dev/null || echo "tambrino developers")}
maintainer="$maintainer <${DEBEMAIL:-$(git -C "$root" config user.email 2>/dev/null || echo tambrino@localhost)}>"

# The engine's shared-library dependencies as Debian states them. Off the
# build machine's architecture the cross toolchain's packages stand for the
# target's, under their target names.
shlibs() {
  local lib=$1 arch=$2 dir
  dir=$(mktemp -d "$work/shlibs.XXXXXX")
  mkdir -p "$dir/debian"
  printf 'Source: tambrino\n\nPackage: tambrino\nArchitecture: any\n' >"$dir/debian/control"
  local extra=()
  [ "$arch" = arm64 ] && extra=(-l/usr/aarch64-linux-gnu/lib)
  (cd "$dir" && dpkg-shlibdeps -O "${extra[@]}" "$lib" 2>/dev/null) \
    | sed -n 's/^shlibs:Depends=//p' | sed -e "s/-$arch-cross//g" -e "s/:$arch//g"
}

package() {
  local arch=$1 lib triplet machine strip
  case $arch in
    amd64) lib=$builddir/libtambrino.so triplet=x86_64-linux-gnu machine='X86-64' strip=strip ;;
    arm64) lib=$root/build-aarch64/libtambrino.so triplet=aarch64-linux-gnu machine=AArch64
           strip=aarch64-linux-gnu-strip ;;
  esac
  [ -f "$lib" ] || { echo "package.sh: $lib is missing (scripts/cross.sh builds it, or drop --no-build)" >&2
                     return 1; }
  readelf -h "$lib" | grep -q "Machine:.*$machine" \
    || { echo "package.sh: $lib is not a library for $arch" >&2; return 1; }

  local pkg=$work/tambrino_${version}_$arch
  rm -rf "$pkg"
  install -d "$pkg/DEBIAN"
  install -D -m 0755 "$root/bin/tambrino" "$pkg/usr/bin/tambrino"
  install -D -m 0644 "$work/tambrino.jar" "$pkg/usr/share/tambrino/tambrino.jar"
  install -D -m 0644 "$lib" "$pkg/usr/lib/$triplet/jni/libtambrino.so"
  # As Debian's packaging helpers strip: the symbols for debuggers only, none
  # that the machine code uses.
  $strip --strip-unneeded --remove-section=.comment --remove-section=.note "$pkg/usr/lib/$triplet/jni/libtambrino.so"
  install -D -m 0644 "$root/packaging/tambrino.desktop" "$pkg/usr/share/applications/tambrino.desktop"
  install -D -m 0644 "$root/packaging/tambrino.svg" "$pkg/usr/share/icons/hicolor/scalable/apps/tambrino.svg"
  local size
  for size in 16 22 24 32 48 64 128 256; do
    install -d "$pkg/usr/share/icons/hicolor/${size}x$size/apps"
    rsvg-convert -w "$size" -h "$size" "$root/packaging/tambrino.svg" \
      -o "$pkg/usr/share/icons/hicolor/${size}x$size/apps/tambrino.png"
  done
  install -d "$pkg/usr/share/man/man1"
  gzip -9n <"$work/tambrino.1" >"$pkg/usr/share/man/man1/tambrino.1.gz"
  # bash-completion sources the script: it is no program to run.
  install -d "$pkg/usr/share/bash-completion/completions"
  sed '1{/^#!/d}' "$work/tambrino.bash" >"$pkg/usr/share/bash-completion/completions/tambrino"
  install -D -m 0644 "$root/packaging/copyright" "$pkg/usr/share/doc/tambrino/copyright"
  printf 'tambrino (%s) stable; urgency=medium\n\n  * Version %s.\n\n -- %s  %s\n' "$version" "$version" \
    "$maintainer" "$(date -u -R -d "@$SOURCE_DATE_EPOCH")" | gzip -9n >"$pkg/usr/share/doc/tambrino/changelog.gz"

  local libdeps
  libdeps=$(shlibs "$pkg/usr/lib/$triplet/jni/libtambrino.so" "$arch")
  [ -n "$libdeps" ] || { echo "package.sh: dpkg-shlibdeps found no dependencies of $lib" >&2; return 1; }
  cat >"$pkg/DEBIAN/control" <<EOF
Package: tambrino
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$pkg" | cut -f1)
Depends: $libdeps, default-jre (>= 2:1.17) | java17-runtime, libpicocli-java, libmp3spi-java, libjlayer-java, libtritonus-java, libvorbisspi-java, libjorbis-java
Recommends: ffmpeg
Section: sound
Priority: optional
Description: slows music down or speeds it up without changing its pitch
 A practice tool for musicians: it plays or writes music at another tempo
 with the same pitch, or in another key at the same tempo, loops a passage
 and speeds it up pass by pass, removes the centred voice, equalises, and
 shows the notes being played.
 .
 The command tambrino stretches files (WAV, AIFF, AU, MP3, Ogg Vorbis, and
 through ffmpeg FLAC, Opus, AAC and more), plays them in a terminal player,
 or opens the practice window, which the desktop's menu starts too.
EOF
  (cd "$pkg" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) >"$pkg/DEBIAN/md5sums"
  chmod 0644 "$pkg/DEBIAN/control" "$pkg/DEBIAN/md5sums"
  find "$pkg" -type d -exec chmod 0755 {} +
  find "$pkg" -exec touch -h -t "$stamp" {} +

  local deb=$out/tambrino_${version}_$arch.deb
  mkdir -p "$out"
  dpkg-deb --root-owner-group -Zxz --build "$pkg" "$deb.part" >/dev/null
  mv "$deb.part" "$deb"
  debs+=("$deb")
}

debs=()
for arch in "${arches[@]}"; do
  package "$arch"
done
if [ "$lint" = 1 ]; then
  # Errors fail the packages; warnings are shown. One run for all: most of
  # lintian's time is its start.
  lintian --fail-on error --tag-display-limit 0 "${debs[@]}" >&2
fi
printf '%s\n' "${debs[@]}"
