#!/bin/sh
# set-action-types.sh <package.msi> <action>=<type>...
# Sets the Type column of custom actions in a built package, for the types
# wixl cannot write (rollback actions, command lines run in a folder). Uses
# msiinfo and msibuild (Debian's package "msitools"). Fails, changing
# nothing, when an action is not in the package.
set -eu
[ $# -ge 2 ] || { echo "usage: $0 <package.msi> <action>=<type>..." >&2; exit 2; }
package=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
msiinfo export "$package" CustomAction > "$work/CustomAction.idt"
# The first three lines are the column names, their types and the table's
# name; each row after them is tab-separated, its first column the action.
awk -v pairs="$*" '
  BEGIN {
    FS = OFS = "\t"
    n = split(pairs, list, " ")
    for (i = 1; i <= n; i++) {
      split(list[i], pair, "=")
      if (pair[2] !~ /^[0-9]+$/) { print "not a type: " list[i] > "/dev/stderr"; bad = 1; exit }
      type[pair[1]] = pair[2]
    }
  }
  NR > 3 && ($1 in type) { $2 = type[$1]; found[$1] = 1 }
  { print }
  END {
    if (bad) exit 2
    for (name in type)
      if (!(name in found)) { print "no custom action " name > "/dev/stderr"; bad = 1 }
    exit bad ? 2 : 0
  }' "$work/CustomAction.idt" > "$work/set.idt"
mv "$work/set.idt" "$work/CustomAction.idt"
msibuild "$package" -i "$work/CustomAction.idt"
