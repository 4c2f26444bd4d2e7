#!/bin/bash
# The layout check on a translation of one's own: every dialog in it, at 96,
# 144 and 192 DPI, under a private X server. Prints one line per fault and
# ends with 0 when there is none, 1 when there are faults.
#
#   tools/check_translation.sh my-language.lng
set -eu
cd "$(dirname "$0")/.."
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
  echo "usage: tools/check_translation.sh <language file>" >&2
  exit 2
fi
lng="$(realpath "$1")"
scripts/build.sh
prefix="$PWD/build/wineprefix"
tests/scripts/prefix.sh boot "$prefix" build/wine-run >/dev/null
started=
if [ ! -s build/xvfb.display ]; then
  tests/scripts/display.sh start build >/dev/null
  started=1
fi
out=$(mktemp)
trap 'rm -f "$out"; [ -z "$started" ] || tests/scripts/display.sh stop build >/dev/null' EXIT
status=0
timeout 600 build/wine-run build/tests/test_layout.exe -tc="every dialog*" \
  "--language=$(WINEPREFIX="$prefix" winepath -w "$lng" 2>/dev/null)" >"$out" 2>&1 || status=$?
# The faults without the test program's own file and line.
grep -E "ERROR:" "$out" | sed -E 's/^.*ERROR: //' || true
if [ "$status" -eq 0 ]; then
  echo "no faults: every dialog fits at 96, 144 and 192 DPI"
elif ! grep -q "ERROR:" "$out"; then
  cat "$out"
fi
exit $((status == 0 ? 0 : 1))
