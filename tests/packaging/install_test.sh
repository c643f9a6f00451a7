#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses it the way a user's own program would:
# the example is configured with only that prefix (find_package), built and run on a WAV file,
# and compiled once more from pkg-config's flags alone.
set -euo pipefail

fail() { echo "FAIL: $*" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
libdir=$prefix/$VELKIN_LIBDIR
major=${VELKIN_VERSION%%.*}

"$CMAKE" --install "$VELKIN_BUILD_DIR" --prefix "$prefix" >"$work/install.log"

# --- the installed tree --------------------------------------------------------------------
for lib in $VELKIN_LIBRARIES; do
  real=$libdir/lib$lib.so.$VELKIN_VERSION
  [ -f "$real" ] || fail "missing $real"
  [ "$(readlink "$libdir/lib$lib.so.$major")" = "lib$lib.so.$VELKIN_VERSION" ] || fail "lib$lib.so.$major link"
  [ "$(readlink "$libdir/lib$lib.so")" = "lib$lib.so.$major" ] || fail "lib$lib.so link"
  soname=$(objdump -p "$real" | awk '$1 == "SONAME" { print $2 }')
  [ "$soname" = "lib$lib.so.$major" ] || fail "lib$lib soname is '$soname'"
  header=$prefix/include/velkin/$(echo "$lib" | tr 'A-Z' 'a-z').h
  [ -f "$header" ] || fail "missing $header"
done
for header in platform.h encoder.h; do
  [ -f "$prefix/include/velkin/$header" ] || fail "missing $header"
done
for program in $VELKIN_PROGRAMS; do
  [ -x "$prefix/bin/$program" ] || fail "missing program $program"
  page=$prefix/share/man/man1/$program.1.gz
  [ -f "$page" ] || fail "missing man page $page"
  # The page must render without a single groff warning.
  warnings=$(gzip -dc "$page" | groff -man -ww -z 2>&1) || fail "groff failed on $page"
  [ -z "$warnings" ] || fail "$page: $warnings"
done
[ -f "$prefix/lib/udev/rules.d/70-velkin.rules" ] || fail "missing udev rule"
[ -f "$prefix/share/bash-completion/completions/velkin" ] || fail "missing velkin's bash completion"
# The studio carries its page inside: the installed program alone must start.
if [ -x "$prefix/bin/velkin-studio" ]; then
  LD_LIBRARY_PATH=$prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH} "$prefix/bin/velkin-studio" --help >/dev/null ||
    fail "the installed velkin-studio does not start"
fi

# --- input: 0.3 s of a tone at 22050 Hz, so that the converter has work to do ---------------
"$VELKIN_SOX" -n -r 22050 -b 16 -c 1 -e signed-integer "$work/tone.wav" synth 0.3 sine 440 vol 0.5

wav_rate() { od -An -t u4 -j 24 -N 4 "$1" | tr -d ' '; }

check_outputs() {  # <output folder>
  local out=$1
  [ "$(wav_rate "$out/x16000.wav")" = 16000 ] || fail "$out/x16000.wav is not 16000 Hz"
  local codes=(pcm12)
  [[ " $VELKIN_LIBRARIES " == *" VOSSIK "* ]] && codes+=(adpcm4)
  for code in "${codes[@]}"; do
    [ -s "$out/$code.cod" ] || fail "empty $out/$code.cod"
    [ -s "$out/$code.cod.PCM" ] || fail "empty $out/$code.cod.PCM"
  done
  if [ -x "$prefix/bin/velkin-decode" ]; then
    "$prefix/bin/velkin-decode" "$out/pcm12.cod" "$out/decoded.wav" >/dev/null || fail "velkin-decode rejects pcm12.cod"
    [ "$(wav_rate "$out/decoded.wav")" = 16000 ] || fail "decoded pcm12.cod is not 16000 Hz"
  fi
}

# --- the example through find_package(Velkin) ----------------------------------------------
example=$VELKIN_SOURCE_DIR/examples/convert-and-encode
"$CMAKE" -S "$example" -B "$work/example" -G "$VELKIN_GENERATOR" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
  -DCMAKE_C_COMPILER="$VELKIN_CC" -DCMAKE_C_FLAGS="$VELKIN_CFLAGS" \
  -DCMAKE_EXE_LINKER_FLAGS="$VELKIN_LDFLAGS" >"$work/configure.log" || { cat "$work/configure.log"; fail "configure"; }
"$CMAKE" --build "$work/example" >"$work/build.log" || { cat "$work/build.log"; fail "example build"; }
grep -q "^Velkin_DIR:PATH=$libdir/cmake/Velkin$" "$work/example/CMakeCache.txt" || fail "Velkin found outside the prefix"
# Nothing of the source or build tree may reach the consumer's build.
if grep -rqF -e "$VELKIN_SOURCE_DIR/include" -e "$VELKIN_BUILD_DIR" "$work/example/build.ninja" "$work/example/CMakeFiles" 2>/dev/null; then
  fail "the example's build refers to the Velkin source or build tree"
fi

mkdir "$work/out1"
"$work/example/convert-and-encode" "$work/tone.wav" "$work/out1" >"$work/run1.log" || { cat "$work/run1.log"; fail "example run"; }
loaded=$(ldd "$work/example/convert-and-encode")
grep -q "libTARPEL.so.$major => $libdir/" <<<"$loaded" || fail "example did not load the installed TARPEL"
grep -q "^pcm12: result 1, .* last 100%$" "$work/run1.log" || fail "unexpected report: $(cat "$work/run1.log")"
check_outputs "$work/out1"

# --- pkg-config, one file per library -------------------------------------------------------
export PKG_CONFIG_PATH=$libdir/pkgconfig PKG_CONFIG_LIBDIR=$libdir/pkgconfig
modules=()
for lib in $VELKIN_LIBRARIES; do
  module=velkin-$(echo "$lib" | tr 'A-Z' 'a-z')
  flags=$(pkg-config --cflags --libs "$module") || fail "pkg-config $module"
  # The flags must point into the prefix, whichever way the path is spelled.
  inc=$(echo "$flags" | tr ' ' '\n' | sed -n 's/^-I//p')
  lib_path=$(echo "$flags" | tr ' ' '\n' | sed -n 's/^-L//p')
  [ "$(realpath "$inc")" = "$(realpath "$prefix/include")" ] || fail "$module: -I$inc"
  [ "$(realpath "$lib_path")" = "$(realpath "$libdir")" ] || fail "$module: -L$lib_path"
  [[ " $flags " == *" -l$lib "* ]] || fail "$module: no -l$lib in '$flags'"
  [ "$(pkg-config --modversion "$module")" = "$VELKIN_VERSION" ] || fail "$module version"
  case $lib in TARPEL | Sondrel | VOSSIK) modules+=("$module") ;; esac
done
defines=()
[[ " $VELKIN_LIBRARIES " == *" VOSSIK "* ]] && defines+=(-DHAVE_VOSSIK=1)
# shellcheck disable=SC2046,SC2086
"$VELKIN_CC" $VELKIN_CFLAGS "${defines[@]}" -o "$work/example-pc" "$example/main.c" \
  $(pkg-config --cflags --libs "${modules[@]}") $VELKIN_LDFLAGS || fail "build with pkg-config flags"
mkdir "$work/out2"
LD_LIBRARY_PATH=$(pkg-config --variable=libdir velkin-tarpel)${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH} "$work/example-pc" "$work/tone.wav" "$work/out2" \
  >"$work/run2.log" || { cat "$work/run2.log"; fail "pkg-config example run"; }
check_outputs "$work/out2"
cmp "$work/out1/pcm12.cod" "$work/out2/pcm12.cod" || fail "the two builds encode differently"
echo "installed tree OK: $VELKIN_LIBRARIES"
