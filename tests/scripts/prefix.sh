#!/bin/bash
# prefix.sh boot|stop <prefix> <wine-run>
# Boots the build tree's Wine prefix once (reused afterwards) and sets the
# per-program Windows versions that the version-specific tests rely on.
set -u
action=$1 prefix=$2 run=$3
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
case "$action" in
  boot)
    exec 9>"$prefix.lock"
    flock 9
    if [ ! -f "$prefix/.kvx-ready" ]; then
      rm -rf "$prefix"
      wineboot -i >/dev/null 2>&1 || { echo "wineboot failed"; exit 1; }
      # Programs whose names end in _win7 / _win10 see that Windows version.
      for v in win7 win10; do
        for exe in test_shell_$v.exe test_e2e_$v.exe uninstall_$v.exe; do
          wine reg add "HKCU\\Software\\Wine\\AppDefaults\\$exe" /v Version /d $v /f >/dev/null 2>&1
        done
      done
      wine reg add "HKCU\\Software\\Wine" /v Version /d win10 /f >/dev/null 2>&1
      wineserver -w
      touch "$prefix/.kvx-ready"
    fi
    echo "prefix ready: $prefix"
    ;;
  stop)
    wineserver -k 2>/dev/null
    echo "prefix stopped"
    ;;
esac
exit 0
