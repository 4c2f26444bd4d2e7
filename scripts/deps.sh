#!/bin/bash
# Installs what building and testing need, when it is missing (Debian).
set -eu
need=()
have() { command -v "$1" >/dev/null 2>&1; }
have cmake || need+=(cmake)
have python3 || need+=(python3)
have ninja || need+=(ninja-build)
have x86_64-w64-mingw32-g++-win32 || need+=(g++-mingw-w64-x86-64)
have x86_64-w64-mingw32-windres || need+=(binutils-mingw-w64-x86-64)
have wine || need+=(wine wine64)
have Xvfb || need+=(xvfb)
have xauth || need+=(xauth)
have import || need+=(imagemagick)
have wixl || need+=(wixl)
have msibuild && have msiinfo || need+=(msitools)
have osslsigncode || need+=(osslsigncode)
have openssl || need+=(openssl)
[ -f /usr/include/doctest/doctest.h ] || need+=(doctest-dev)
[ ${#need[@]} -eq 0 ] && exit 0
echo "installing: ${need[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get install -y --no-install-recommends "${need[@]}" >/dev/null 2>&1 ||
  { $sudo apt-get update >/dev/null && $sudo apt-get install -y --no-install-recommends "${need[@]}" >/dev/null; }
