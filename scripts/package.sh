#!/usr/bin/env bash
# Builds the Debian package clipwarden_<version>_<arch>.deb in build/package/ and checks it: the
# files it holds and the packages it depends on.
#
#   bash scripts/package.sh              build and check
#   sudo bash scripts/package.sh --try   also install it with apt-get, start the program once
#                                        offscreen, remove it and check that no file is left
set -euo pipefail
cd "$(dirname "$0")/.."
try=false
[ "${1:-}" = --try ] && try=true

build=build/package
# shellcheck disable=SC2086 # CW_CMAKE_FLAGS (e.g. a compiler cache) is a list of words
cmake -S . -B "$build" ${CW_CMAKE_FLAGS:--G Ninja} -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCW_BUILD_TESTS=OFF -DCW_BUILD_BENCH=OFF >/dev/null
ninja -C "$build" -j"$(nproc)" clipwarden clipwarden_manual
rm -f "$build"/clipwarden_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/clipwarden_*.deb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || { echo "no package was made" >&2; exit 1; }
deb=${debs[0]}
version=$(sed -n 's/^project(Clipwarden VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$(basename "$deb")" = "clipwarden_${version}_$(dpkg --print-architecture).deb" ] ||
  { echo "unexpected package name $(basename "$deb")" >&2; exit 1; }

fail() { echo "FAIL: $*" >&2; exit 1; }
id=net.ostrelle.Clipwarden
expected="./usr/bin/clipwarden
./usr/share/applications/$id.desktop
./usr/share/doc/clipwarden/copyright
./usr/share/icons/hicolor/128x128/apps/$id.png
./usr/share/icons/hicolor/256x256/apps/$id.png
./usr/share/icons/hicolor/48x48/apps/$id.png
./usr/share/icons/hicolor/scalable/apps/$id.svg
./usr/share/man/man1/clipwarden.1.gz
./usr/share/metainfo/$id.metainfo.xml"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
[ "$files" = "$expected" ] || fail "the package holds:
$files"
depends=$(dpkg-deb -f "$deb" Depends)
for need in ffmpeg ca-certificates libssl3 libqt6widgets6 libqt6gui6 libqt6core6 libjpeg62-turbo libc6; do
  grep -Eq "(^|, )$need( |,|$)" <<<"$depends" || fail "$need missing from Depends: $depends"
done
echo "$deb"
echo "Depends: $depends"

if $try; then
  [ "$(id -u)" = 0 ] || fail "--try needs root"
  dpkg-query -W -f='${Status}' clipwarden 2>/dev/null | grep -q "install ok installed" &&
    fail "clipwarden is installed already; remove it first"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -qq "./$deb" >/dev/null
  installed=$(dpkg -L clipwarden | sort)
  env -u DISPLAY -u WAYLAND_DISPLAY clipwarden --version | grep -q "^clipwarden " || fail "the installed command line did not run"
  home=$(mktemp -d /tmp/cw-deb-XXXXXX)
  HOME=$home XDG_RUNTIME_DIR=$home XDG_CONFIG_HOME=$home/config QT_QPA_PLATFORM=offscreen clipwarden &
  pid=$!
  sleep 3
  kill -0 $pid 2>/dev/null || fail "the installed program did not keep running"
  kill -TERM $pid
  wait $pid || true
  [ -f "$home/config/clipwarden/settings.ini" ] || fail "the installed program wrote no settings"
  [ ! -e /usr/bin/settings.ini ] || fail "the installed program wrote /usr/bin/settings.ini"
  apt-get remove -y -qq clipwarden >/dev/null
  left=""
  while read -r f; do
    [ -n "$f" ] && [ "$f" != "/." ] && [ ! -d "$f" ] && [ -e "$f" ] && left+="$f "
  done <<<"$installed"
  [ -z "$left" ] || fail "left behind after removal: $left"
  dpkg-query -W -f='${Status}' clipwarden 2>/dev/null | grep -q "install ok installed" && fail "still installed"
  rm -rf "$home"
  echo "installed, ran, removed: nothing left behind"
fi
