#!/usr/bin/env bash
# Installs a build into a temporary prefix and checks what a desktop expects of it: the tree, the
# desktop entry and AppStream file (validated by their own tools), the icons, the shell
# completion (the bash one run as bash runs it; the zsh one read by zsh when it is there), and
# where the installed program keeps its settings: never beside itself, but in $XDG_CONFIG_HOME,
# read back on the next start. A bare copy in a writable folder stays portable; in a read-only folder it
# uses the per-user folder too.
#
# Usage: check_install.sh <build folder>
set -euo pipefail
build=$1
id=net.ostrelle.Clipwarden
work=$(mktemp -d /tmp/cw-install-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  chmod -R u+w "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

# ---- the tree
for f in bin/clipwarden share/applications/$id.desktop share/metainfo/$id.metainfo.xml \
         share/icons/hicolor/scalable/apps/$id.svg share/man/man1/clipwarden.1.gz; do
  [ -f "$prefix/$f" ] || fail "missing $f"
done
[ -x "$prefix/bin/clipwarden" ] || fail "bin/clipwarden is not executable"
for size in 48 128 256; do
  png=$prefix/share/icons/hicolor/${size}x${size}/apps/$id.png
  [ -f "$png" ] || fail "missing ${size}px icon"
  # PNG signature, then the IHDR width and height as 32-bit big-endian numbers.
  read -r w h < <(od -An -tu1 -j16 -N8 "$png" | awk '{print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8}')
  [ "$(head -c8 "$png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "${size}px icon is not a PNG"
  [ "$w" = "$size" ] && [ "$h" = "$size" ] || fail "${size}px icon is ${w}x${h}"
done
desktop=$prefix/share/applications/$id.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" >/dev/null ||
  { appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml"; fail "appstreamcli validate"; }
grep -qx "Icon=$id" "$desktop" || fail "the desktop entry names another icon"
grep -qx "Exec=clipwarden" "$desktop" || fail "the desktop entry starts another program"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$prefix/share/metainfo/$id.metainfo.xml" ||
  fail "the AppStream file does not name the desktop entry"

# The manual page renders, and the installed command line runs with no display at all.
if command -v man >/dev/null; then
  man -l "$prefix/share/man/man1/clipwarden.1.gz" 2>/dev/null | grep -q "clipwarden get" || fail "the manual page does not render"
fi
version=$(env -i PATH=/usr/bin:/bin HOME="$work" "$prefix/bin/clipwarden" --version) || fail "clipwarden --version"
[ "$version" = "clipwarden $(sed -n 's/^project(Clipwarden VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")" ] ||
  fail "clipwarden --version says: $version"

# ---- shell completion
bash_completion=$prefix/share/bash-completion/completions/clipwarden
zsh_completion=$prefix/share/zsh/vendor-completions/_clipwarden
[ -f "$bash_completion" ] || fail "missing share/bash-completion/completions/clipwarden"
[ -f "$zsh_completion" ] || fail "missing share/zsh/vendor-completions/_clipwarden"
head -n1 "$zsh_completion" | grep -qx '#compdef clipwarden' || fail "the zsh completion does not start with #compdef clipwarden"
# complete WORD...: what the bash completion offers for the last word, one a line, sorted. Called
# the way bash calls it: the function that `complete -p` names, with the words set by hand.
complete_words() {
  bash --norc --noprofile -c '
    source "$1" || exit 1
    shift
    fn=$(complete -p clipwarden 2>/dev/null | sed -n "s/.* -F \([^ ]*\) .*/\1/p")
    [ -n "$fn" ] || { echo "no completion function registered for clipwarden" >&2; exit 1; }
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    "$fn" clipwarden "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}"' complete_words "$bash_completion" "$@" | sed '/^$/d' | LC_ALL=C sort
}
offers() { # EXPECTED WORD...: the words offered are exactly EXPECTED (space-separated, any order)
  local want=$1 got
  shift
  got=$(complete_words "$@" | tr '\n' ' ' | sed 's/ $//') || fail "bash completion of '$*' did not run"
  # shellcheck disable=SC2086 # the words of $want, one a line
  [ "$got" = "$(printf '%s\n' $want | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')" ] ||
    fail "bash completion of '$*' offers '$got', expected '$want'"
}
offers "convert get" clipwarden ""
offers "get" clipwarden g
offers "--quality --quiet" clipwarden get --qu
offers "hd hq" clipwarden get --quality h
offers "hd hq" clipwarden get --quality = h # bash splits --quality=h at the "="
offers "hd hq" clipwarden get -qf h
offers "" clipwarden get -fh "" # an address follows a value written on
# The presets are the ones the program lists, and every option its help names is offered.
offers "$(env -i PATH=/usr/bin:/bin HOME="$work" "$prefix/bin/clipwarden" --list-presets | awk '{print $1}')" \
  clipwarden convert --to ""
help_options=$(env -i PATH=/usr/bin:/bin HOME="$work" "$prefix/bin/clipwarden" --help |
  grep -oE '(^|[ ,(])--?[A-Za-z][a-z-]*' | sed 's/^[ ,(]//' | LC_ALL=C sort -u)
[ "$(echo "$help_options" | wc -l)" -ge 20 ] || fail "clipwarden --help names too few options: $help_options"
for command in get convert; do
  offered=$(complete_words clipwarden "$command" -) || fail "bash completion of '$command -' did not run"
  for option in $help_options; do
    grep -qxe "$option" <<<"$offered" || fail "bash completion of '$command -' lacks $option"
    # The zsh completion names them too: -P+ and --directory= as _arguments writes them.
    grep -qE -e "[{,')]${option}[+=]?[],'[}]" "$zsh_completion" || fail "the zsh completion lacks $option"
  done
done
# Folders for -P, files for -i and for what convert takes; nothing for addresses.
mkdir -p "$work/pick/clips" && : >"$work/pick/clip.flv"
offers "$work/pick/clips" clipwarden get -P "$work/pick/cl"
offers "$work/pick/clips" clipwarden get --directory = "$work/pick/cl"
offers "$work/pick/clip.flv $work/pick/clips" clipwarden get -i "$work/pick/cl"
offers "$work/pick/clip.flv $work/pick/clips" clipwarden convert -t mp3 "$work/pick/cl"
offers "" clipwarden get "$work/pick/cl"
offers "" clipwarden get -- -
if command -v zsh >/dev/null; then
  zsh -n "$zsh_completion" || fail "zsh -n on the zsh completion"
fi

# ---- running it
# run <executable> <config home> <runtime dir>: starts the program offscreen, waits until its
# window is up (a second start is answered by then), then ends it with SIGTERM, which closes the
# window the ordinary way and writes the settings.
as_user=()
start() { # exec: the caller's background pid is the program's own
  exec env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_CONFIG_HOME="$2" XDG_RUNTIME_DIR="$3" \
      QT_QPA_PLATFORM=offscreen ${ASAN_OPTIONS:+ASAN_OPTIONS=$ASAN_OPTIONS} \
      ${LSAN_OPTIONS:+LSAN_OPTIONS=$LSAN_OPTIONS} "${as_user[@]}" "$1"
}
run() {
  local exe=$1 config=$2 runtime=$3 up=false
  start "$exe" "$config" "$runtime" >"$work/out.txt" 2>&1 &
  local pid=$!
  pids+=("$pid")
  # First its lock (a second start made before it would become the first), then its answer.
  for _ in $(seq 1 300); do
    compgen -G "$runtime/*.sock" >/dev/null && break
    kill -0 "$pid" 2>/dev/null || { cat "$work/out.txt" >&2; fail "$exe ended by itself"; }
    sleep 0.1
  done
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || { cat "$work/out.txt" >&2; fail "$exe ended by itself"; }
    if (start "$exe" "$config" "$runtime" >/dev/null 2>&1); then up=true; break; fi
    sleep 0.2
  done
  $up || fail "$exe did not come up"
  kill -TERM "$pid"
  for _ in $(seq 1 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$pid" 2>/dev/null && fail "$exe did not end on SIGTERM"
  wait "$pid" || true
}
mkdir -p "$work/home" "$work/run1" "$work/run2" "$work/run3" "$work/out"
chmod 700 "$work/run1" "$work/run2" "$work/run3"

chmod a-w "$prefix/bin"
run "$prefix/bin/clipwarden" "$work/config" "$work/run1"
ini=$work/config/clipwarden/settings.ini
[ -f "$ini" ] || fail "the installed program wrote no $ini"
[ ! -e "$prefix/bin/settings.ini" ] || fail "the installed program wrote beside itself"
grep -qx "RadioButton=0" "$ini" || fail "unexpected first settings: $(cat "$ini")"
grep -qx "OutputDirectory=$work/home/" "$ini" || fail "the default output folder is not the home folder: $(cat "$ini")"

# The second start reads what the first wrote: changed values come back unchanged, where
# defaults would have been written had the file not been read.
sed -i -e "s|^OutputDirectory=.*|OutputDirectory=$work/out|" -e 's/^RadioButton=.*/RadioButton=2/' \
       -e 's/^Quality=.*/Quality=3/' "$ini"
run "$prefix/bin/clipwarden" "$work/config" "$work/run1"
grep -qx "OutputDirectory=$work/out" "$ini" && grep -qx "RadioButton=2" "$ini" && grep -qx "Quality=3" "$ini" ||
  fail "the settings were not read back: $(cat "$ini")"

# A bare copy in a folder of its own is portable.
mkdir -p "$work/portable"
cp "$prefix/bin/clipwarden" "$work/portable/"
run "$work/portable/clipwarden" "$work/config2" "$work/run2"
[ -f "$work/portable/settings.ini" ] || fail "the portable copy wrote no settings beside itself"
[ ! -e "$work/config2" ] || fail "the portable copy wrote into the user's folder"

# The same copy in a folder the user cannot write to keeps its settings per user. Permissions do
# not bind root, so root runs this case as an unprivileged user.
rm "$work/portable/settings.ini"
chmod a-w "$work/portable"
if [ "$(id -u)" = 0 ]; then
  command -v setpriv >/dev/null || { echo "setpriv missing: read-only case skipped"; exit 0; }
  chmod 755 "$work"
  chown -R nobody "$work/home" "$work/run3"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
run "$work/portable/clipwarden" "$work/home/config3" "$work/run3"
[ -f "$work/home/config3/clipwarden/settings.ini" ] || fail "the copy in a read-only folder wrote no per-user settings"
[ ! -e "$work/portable/settings.ini" ] || fail "settings appeared in a read-only folder"
echo "install tree and settings location: ok"
