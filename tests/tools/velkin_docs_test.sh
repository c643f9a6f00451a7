#!/usr/bin/env bash
# velkin's man page and bash completion, as the build wrote them from the program's own option
# definitions: the page renders without a warning and has every command and option --help shows;
# the completion completes commands, options, files and the names of the units plugged in.
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }

velkin=$VELKIN_BIN/velkin
page=$VELKIN_MAN
completion=$VELKIN_COMPLETION

# --- the man page -----------------------------------------------------------------------------
if command -v groff >/dev/null 2>&1; then
  warnings=$(groff -man -ww -z "$page" 2>&1) || fail "groff failed"
  [ -z "$warnings" ] || fail "groff: $warnings"
fi
commands=$("$velkin" --help | awk '/^Subcommands:/ { on = 1; next } on && NF { print $1 } on && !NF { exit }')
[ -n "$commands" ] || fail "no commands in --help"
for command in $commands; do
  grep -qx ".SS $command" "$page" || fail "the page has no section for $command"
  for option in $("$velkin" "$command" --help | grep -oE -- '--[a-z][a-z-]+' | sort -u); do
    roff=${option//-/\\-}
    grep -qF -- "\\fB$roff\\fR" "$page" || fail "the page lacks $option of $command"
  done
done
grep -q "^.SH EXIT STATUS" "$page" || fail "no exit status section"
grep -q "130" "$page" || fail "the page does not document exit status 130"

# --- the completion ---------------------------------------------------------------------------
export VELKIN_EMULATOR=$(mktemp -d)
trap 'rm -rf "$VELKIN_EMULATOR"' EXIT
"$VELKIN_BIN/velkin-emu" create first >/dev/null
"$VELKIN_BIN/velkin-emu" create second >/dev/null
touch "$VELKIN_EMULATOR/image.bin"

# shellcheck source=/dev/null
source "$completion"
complete_words() {  # the words after "velkin"; prints the completions, one a line
  COMP_WORDS=("$velkin" "$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _velkin
  printf '%s\n' "${COMPREPLY[@]}"
}
[ "$(complete_words pro)" = program ] || fail "pro -> $(complete_words pro)"
[ "$(complete_words program --no)" = --no-verify ] || fail "program --no -> $(complete_words program --no)"
[ "$(complete_words read -)" != "" ] && complete_words read - | grep -qx -- --output || fail "read - lacks --output"
units=$(complete_words erase --unit "" | sort | tr '\n' ' ')
[[ $units == first@*" "second@*" " ]] || fail "unit names: '$units'"
[ "$(complete_words program "$VELKIN_EMULATOR/ima")" = "$VELKIN_EMULATOR/image.bin" ] || fail "no file completion"
[ -z "$(complete_words program --record "")" ] || fail "a record has nothing to complete"
echo "man page and completion OK"
