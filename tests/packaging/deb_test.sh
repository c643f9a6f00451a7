#!/usr/bin/env bash
# Builds the Debian package from this build and checks what it declares and carries, and that
# its maintainer scripts do nothing but ask udev to reread its rules, and never fail the
# installation over it.
set -euo pipefail

fail() { echo "FAIL: $*" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$CPACK" --config "$VELKIN_BUILD_DIR/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one package, got: ${debs[*]}"
deb=${debs[0]}

# --- control data ---------------------------------------------------------------------------
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = velkin ] || fail "package name $(field Package)"
[ "$(field Version)" = "$VELKIN_VERSION" ] || fail "version $(field Version)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture $(field Architecture)"
depends=$(field Depends)
needed=(libc6 libstdc++6)
[[ " $VELKIN_LIBRARIES " == *" Farlink "* ]] && needed+=(libudev1)
for package in "${needed[@]}"; do
  [[ ", $depends," == *", $package "* || ", $depends," == *", $package,"* ]] || fail "Depends lacks $package: $depends"
done
[ "$(field Recommends)" = udev ] || fail "Recommends: $(field Recommends)"
info=$(dpkg-deb --info "$deb")
grep -Eq '^ +[0-9]+ bytes, +[0-9]+ lines +\* +postinst +#!/bin/sh$' <<<"$info" || fail "no executable postinst: $info"
grep -Eq '^ +[0-9]+ bytes, +[0-9]+ lines +\* +postrm +#!/bin/sh$' <<<"$info" || fail "no executable postrm"
# Nothing in /etc: the package has no configuration files of its own.
! grep -q conffiles <<<"$info" || fail "the package declares conffiles"

# --- files ----------------------------------------------------------------------------------
contents=$(dpkg-deb --contents "$deb")
paths=$(awk '{ print $6 }' <<<"$contents")
expected=(./usr/lib/udev/rules.d/70-velkin.rules ./usr/include/velkin/platform.h ./usr/include/velkin/encoder.h
          ./usr/lib/cmake/Velkin/VelkinConfig.cmake ./usr/lib/cmake/Velkin/VelkinTargets.cmake)
for program in $VELKIN_PROGRAMS; do
  expected+=("./usr/bin/$program" "./usr/share/man/man1/$program.1.gz")
done
expected+=(./usr/share/bash-completion/completions/velkin)
for lib in $VELKIN_LIBRARIES; do
  lower=$(tr 'A-Z' 'a-z' <<<"$lib")
  expected+=("./usr/lib/lib$lib.so.$VELKIN_VERSION" "./usr/include/velkin/$lower.h"
             "./usr/lib/pkgconfig/velkin-$lower.pc")
  grep -q "^l.* \./usr/lib/lib$lib\.so\.${VELKIN_VERSION%%.*} -> lib$lib\.so\.$VELKIN_VERSION$" <<<"$contents" ||
    fail "no soname link for $lib"
done
for path in "${expected[@]}"; do
  grep -qxF "$path" <<<"$paths" || fail "missing $path"
done
# Everything lies under /usr and belongs to root.
outside=$(grep -Ev '^\./(usr(/.*)?)?$' <<<"$paths" || true)
[ -z "$outside" ] || fail "files outside /usr: $outside"
owners=$(awk '{ print $2 }' <<<"$contents" | sort -u)
[ "$owners" = root/root ] || fail "owners: $owners"

# --- maintainer scripts ---------------------------------------------------------------------
dpkg-deb --control "$deb" "$work/control"
mkdir "$work/bin" "$work/nobin"
cat >"$work/bin/udevadm" <<FAKE
#!/bin/sh
echo "\$*" >>"$work/udevadm.log"
exit \${UDEVADM_STATUS:-0}
FAKE
chmod +x "$work/bin/udevadm"

run() {  # <script> <argument> [PATH]: runs the script under /bin/sh with only the given PATH
  env -i PATH="${3:-$work/bin}" UDEVADM_STATUS="${UDEVADM_STATUS:-0}" /bin/sh "$work/control/$1" "$2"
}
calls() { if [ -f "$work/udevadm.log" ]; then cat "$work/udevadm.log"; fi; rm -f "$work/udevadm.log"; }

# The rules are reloaded and applied to the units plugged in now, without a re-plug.
reload_and_apply="control --reload-rules
trigger --subsystem-match=scsi_generic --action=change"
run postinst configure || fail "postinst configure"
[ "$(calls)" = "$reload_and_apply" ] || fail "postinst did not reload the rules and apply them to plugged units"
run postrm remove || fail "postrm remove"
[ "$(calls)" = "$reload_and_apply" ] || fail "postrm remove did not reload the rules and apply them"
run postrm purge || fail "postrm purge"
[ "$(calls)" = "$reload_and_apply" ] || fail "postrm purge did not reload the rules and apply them"
# A failed reload (no udev daemon, as in a container) must not fail the installation.
UDEVADM_STATUS=1 run postinst configure || fail "postinst fails when udevadm fails"
UDEVADM_STATUS=1 run postrm remove || fail "postrm fails when udevadm fails"
calls >/dev/null
# Without udevadm there is nothing to do, and nothing fails.
run postinst configure "$work/nobin" || fail "postinst without udevadm"
run postrm remove "$work/nobin" || fail "postrm without udevadm"
# Other steps (upgrade, abort) leave udev alone.
run postrm upgrade && run postinst abort-upgrade || fail "postinst/postrm on other steps"
[ -z "$(calls)" ] || fail "udevadm called outside install and removal"

if command -v lintian >/dev/null 2>&1; then
  lintian --fail-on error "$deb" || fail "lintian reports errors"
fi
echo "package OK: $(basename "$deb")"
