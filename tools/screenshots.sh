#!/bin/bash
# Screenshots of the three dialogs and the uninstall's question about the
# programs in use under Xvfb, into docs/screenshots/: English at 96 and 192
# DPI, the long German translation (enlarged through its SIZE rows), and
# right to left with SIZE rows (the tests' tests/fixtures/rtl.lng, the
# Hebrew texts).
#
#   tools/screenshots.sh                   the documentation's screenshots
#   tools/screenshots.sh my.lng [dpi]      a translation of one's own, into
#                                          build/shots/<name>-<dialog>.png
set -eu
cd "$(dirname "$0")/.."
scripts/build.sh
prefix="$PWD/build/wineprefix"
tests/scripts/prefix.sh boot "$prefix" build/wine-run >/dev/null
# Each DPI needs a fresh wine server, so the long-lived one of the set-up goes.
tests/scripts/prefix.sh stop "$prefix" build/wine-run >/dev/null
tests/scripts/display.sh start build >/dev/null
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
export DISPLAY="$(cat build/xvfb.display)"
out=docs/screenshots
if [ $# -ge 1 ]; then
  out=build/shots
  lng="$(realpath "$1")"
fi
mkdir -p "$out" build/shots
dpi() {
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
  wineserver -w
}
shoot() {  # name dpi language-file
  dpi "$2"
  lng=-
  [ "$3" != - ] && lng="$(winepath -w "$PWD/$3")"
  wine explorer /desktop=shots,1400x1100 build/tests/kvxshots.exe "$lng" "$(winepath -w "$PWD/build/shots")\\$1-" || true
  wineserver -w
  for d in SETUPDLG SETUPCONTEXTITEMS DONEDLG INUSE; do
    convert "build/shots/$1-$d.bmp" -define png:exclude-chunks=date,time "$out/$1-$d.png"
  done
}
if [ $# -ge 1 ]; then
  name="$(basename "$lng" .lng)"
  shoot "$name" "${2:-96}" "$(realpath --relative-to="$PWD" "$lng")"
else
  shoot english-96 96 -
  shoot english-192 192 -
  shoot german 96 res/lng/german.lng
  shoot rtl 96 tests/fixtures/rtl.lng
fi
dpi 96
tests/scripts/display.sh stop build >/dev/null
ls -la "$out"
