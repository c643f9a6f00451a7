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
echo "four bars, then the results (screens in $ARTIFACTS)"
