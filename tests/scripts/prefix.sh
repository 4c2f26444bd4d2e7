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
      wineboot -i >/dev/null 2>&1 9>&- || { echo "wineboot failed"; exit 1; }
      wineserver -w
      touch "$prefix/.kvx-ready"
    fi
    # Wine links the profile's folders (Desktop, Documents, ...) to the unix
    # home folder. Shortcuts made by tests and the demo must stay inside the
    # prefix, and the tests that compare the desktop before and after must not
    # walk the home folder, so each link becomes a folder of its own.
    for link in "$prefix"/drive_c/users/*/*; do
      if [ -L "$link" ]; then rm -f "$link" && mkdir -p "$link"; fi
    done
    # The prefix's own settings, imported again whenever they change.
    settings="$(dirname "$0")/prefix.reg"
    if ! cmp -s "$settings" "$prefix/.kvx-settings.reg"; then
      wine regedit /S "$(winepath -w "$settings")" >/dev/null 2>&1 9>&-
      wineserver -w
      cp "$settings" "$prefix/.kvx-settings.reg"
    fi
    # Links for the tests of link handling: Wine reports a unix symbolic link
    # to a folder as a directory reparse point, while its own
    # CreateSymbolicLinkW and junctions do not work in Wine 8 (and MoveFileW
    # moves a link's target, not the link). So the links are made here, made
    # afresh on every run: C:\kvx-links\group, and an installation folder
    # C:\kvx-links\installation holding the link "link".
    links="$prefix/drive_c/kvx-links"
    rm -rf "$links"
    mkdir -p "$links/target" "$links/installation"
    echo "not ours" > "$links/target/precious.txt"
    ln -s "$links/target" "$links/group"
    ln -s "$links/target" "$links/installation/link"
    # A second volume, K: (a folder of the prefix); Wine's mount manager
    # takes a new drive only when it starts.
    if [ ! -L "$prefix/dosdevices/k:" ]; then
      mkdir -p "$prefix/kvx-volume"
      ln -s ../kvx-volume "$prefix/dosdevices/k:"
      wineserver -k 2>/dev/null
    fi
    # The wine server and the prefix's system processes, started here apart
    # from any test: started by a test, they would keep its output pipe open
    # and CTest would wait for them to exit. They stay while programs run and
    # go two minutes after the last one (or at "stop").
    # (The lock is not handed down: a server holding it would keep the next
    # boot waiting until it exits.)
    wineserver -p120 </dev/null >/dev/null 2>&1 9>&-
    wine cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&-
    echo "prefix ready: $prefix"
    ;;
  stop)
    wineserver -k 2>/dev/null
    echo "prefix stopped"
    ;;
esac
exit 0
