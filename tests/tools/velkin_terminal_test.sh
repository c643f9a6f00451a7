#!/usr/bin/env bash
# velkin program --all in a real terminal (tmux), as a person sees it: four progress bars, one per
# unit, redrawn in place while the units work, then every unit's result. The captured screens are
# kept in $ARTIFACTS for a look.
set -euo pipefail
fail() { echo "FAIL: $*" >&2; [ -n "${screen:-}" ] && printf '%s\n' "$screen" >&2; exit 1; }
command -v tmux >/dev/null 2>&1 || { echo "tmux is not installed"; exit 77; }

work=$(mktemp -d)
socket=velkin-bars-$$
trap 'tmux -L "$socket" kill-server >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
units=$work/units
mkdir -p "$units" "$ARTIFACTS"
for n in 1 2 3 4; do
  VELKIN_EMULATOR=$units "$VELKIN_BIN/velkin-emu" create "unit$n" --hub 1 --port "$n" >/dev/null
  # Slow, as a unit on USB: about half a second for the whole job.
  VELKIN_EMULATOR=$units "$VELKIN_BIN/velkin-emu" fault "unit$n" command_us=4000 >/dev/null
done
head -c $((48 * 4096)) /dev/zero | tr '\0' '\125' >"$work/image.bin"

tmux -L "$socket" new-session -d -x 100 -y 30 -s bars \
  "VELKIN_EMULATOR=$units $VELKIN_BIN/velkin program $work/image.bin --all; echo EXIT=\$?; sleep 60"

bar='^unit[1-4]@[^ ]+ +(erase|write|verify) +\[[#.]{30}\] +[0-9]+%$'
mid=""
for _ in $(seq 1 400); do
  screen=$(tmux -L "$socket" capture-pane -p -t bars)
  if [ "$(grep -cE "$bar" <<<"$screen")" = 4 ]; then mid=$screen; fi
  grep -q '^EXIT=' <<<"$screen" && break
  sleep 0.02
done
printf '%s\n' "$mid" >"$ARTIFACTS/velkin-bars-running.txt"
printf '%s\n' "$screen" >"$ARTIFACTS/velkin-bars-done.txt"
grep -qx 'EXIT=0' <<<"$screen" || fail "velkin did not end with status 0"
[ -n "$mid" ] || fail "never saw four bars at once while the units worked"
for n in 1 2 3 4; do
  # One bar while working (redrawn in place, never scrolled), then the bar's outcome and the
  # unit's result line: two lines per unit on the final screen.
  [ "$(grep -cE "^unit$n@" <<<"$mid")" = 1 ] || fail "unit$n has more than one bar"
  [ "$(grep -cE "^unit$n@" <<<"$screen")" = 2 ] || fail "unit$n: not one bar and one result"
  grep -qE "^unit$n@[^ ]+ +verified$" <<<"$screen" || fail "unit$n's bar does not end verified"
  grep -qE "^unit$n@[^:]+: verified, 196608 bytes " <<<"$screen" || fail "unit$n has no result line"
done
# The bars come first, then the results, then the summary.
order=$(grep -nE '^unit|^4 of 4' <<<"$screen" | cut -d: -f1 | tr '\n' ' ')
last_bar=$(grep -nE '^unit[1-4]@[^ ]+ +verified$' <<<"$screen" | tail -1 | cut -d: -f1)
first_result=$(grep -nE '^unit[1-4]@[^:]+: verified' <<<"$screen" | head -1 | cut -d: -f1)
[ "$last_bar" -lt "$first_result" ] || fail "results before bars: $order"
grep -qx '4 of 4 units done' <<<"$screen" || fail "no summary"

# velkin encode: one bar from the encoder's progress calls, redrawn in place, ending "done" above
# the result. 20 s of noise at 16000 Hz, 16-bit mono.
le32() { printf "\\x%02x\\x%02x\\x%02x\\x%02x" $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24)); }
bytes=$((20 * 16000 * 2))
{
  printf "RIFF$(le32 $((bytes + 36)))WAVEfmt $(le32 16)\x01\x00\x01\x00$(le32 16000)$(le32 32000)\x02\x00\x10\x00"
  printf "data$(le32 $bytes)"
  head -c "$bytes" /dev/urandom
} >"$work/noise.wav"
tmux -L "$socket" new-session -d -x 100 -y 30 -s encode \
  "$VELKIN_BIN/velkin encode --vossik $work/noise.wav; echo EXIT=\$?; sleep 60"
mid=""
for _ in $(seq 1 1000); do
  screen=$(tmux -L "$socket" capture-pane -p -t encode)
  grep -qE '^noise\.wav +VOSSIK +\[[#.]{30}\] +[0-9]+%$' <<<"$screen" && mid=$screen
  grep -q '^EXIT=' <<<"$screen" && break
  sleep 0.02
done
printf '%s\n' "$mid" >"$ARTIFACTS/velkin-encode-running.txt"
printf '%s\n' "$screen" >"$ARTIFACTS/velkin-encode-done.txt"
grep -qx 'EXIT=0' <<<"$screen" || fail "velkin encode did not end with status 0"
[ "$(grep -c '^noise\.wav ' <<<"$screen")" = 1 ] || fail "the encoder's bar was not redrawn in place"
[ "$(sed -n 1p <<<"$screen")" = "noise.wav  done" ] || fail "the bar does not end done"
grep -qE "^$work/noise\.vsk: VOSSIK, 16000 Hz, 20\.00 s \(320000 samples\)" <<<"$screen" || fail "no result line"
echo "four bars, then the results; the encoder's bar (screens in $ARTIFACTS)"
