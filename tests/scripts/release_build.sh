#!/bin/bash
# release_build.sh <sources> <build> <cmake> <generator> <osslsigncode|-> <openssl|-> [<configure option>...]
# Builds the program again from a copy of the sources in a fresh folder
# elsewhere, in another time zone and locale, and compares the bytes with
# this build's. With osslsigncode and openssl that build is configured as a
# release is, with a throwaway certificate: its signed program must verify
# and be the program and its signature alone, and is kept in
# <build>/tests/signed/ for the lifecycle run. A PKCS#12 file with a password
# signs too; a failed signing leaves no signed program, not even an earlier one.
set -u
src=$1 build=$2 cmake=$3 generator=$4 signer=$5 openssl=$6
shift 6
kept="$build/tests/signed/uninstall.exe"
rm -f "$kept"
work=$(mktemp -d "${TMPDIR:-/tmp}/kvx-release.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }
quiet() { "$@" >"$work/out" 2>&1 || { cat "$work/out"; return 1; }; }
sign() { "$cmake" -DKVX_SIGN_IN="$work/build/uninstall.exe" -DKVX_OSSLSIGNCODE="$signer" "$@" -P "$src/cmake/sign.cmake"; }

# The sources as they stand (tracked files and new ones not ignored).
sources() {
  git -C "$src" ls-files -z -co --exclude-standard 2>/dev/null ||
    (cd "$src" && find . \( -path './build*' -o -path ./.git \) -prune -o -type f -print0)
}
mkdir "$work/src"
sources | tar -C "$src" --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -C "$work/src" -xf - ||
  fail "could not copy the sources"

target=uninstall signing=()
if [ "$signer" != "-" ]; then
  quiet "$openssl" req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Korvex test signing" \
    -addext extendedKeyUsage=codeSigning -keyout "$work/key.pem" -out "$work/cert.pem" || fail "no certificate"
  target=uninstall_signed signing=(-DKVX_SIGN_CERT="$work/cert.pem" -DKVX_SIGN_KEY="$work/key.pem")
fi
# One compiler at a time: the other tests run meanwhile.
export TZ=Pacific/Kiritimati LC_ALL=C
quiet "$cmake" -S "$work/src" -B "$work/build" -G "$generator" \
  -DCMAKE_TOOLCHAIN_FILE="$work/src/cmake/mingw-w64.cmake" "$@" "${signing[@]}" || fail "could not configure"
quiet "$cmake" --build "$work/build" --target "$target" -j 1 || fail "the second build failed"

if ! cmp -s "$build/uninstall.exe" "$work/build/uninstall.exe"; then
  cmp -l "$build/uninstall.exe" "$work/build/uninstall.exe" | head -20  # offset, the bytes in octal
  fail "two builds of the same sources differ (is $build up to date? scripts/build.sh builds it)"
fi
echo "the same bytes from two folders: $(sha256sum <"$build/uninstall.exe" | cut -d' ' -f1)"
[ "$signer" = "-" ] && { echo "signing not checked: osslsigncode or openssl is missing"; exit 0; }

signed="$work/build/signed/uninstall.exe"
quiet "$signer" verify -CAfile "$work/cert.pem" -in "$signed" || fail "the signed program does not verify"
grep -q "^Message digest algorithm *: SHA256" "$work/out" || fail "the signature's digest is not SHA-256"
quiet "$signer" remove-signature -in "$signed" -out "$work/unsigned.exe" || fail "the signature stays"
cmp -s "$work/unsigned.exe" "$work/build/uninstall.exe" || fail "the signed program is more than the program signed"
echo "signed and verified; the signature adds $(($(stat -c %s "$signed") - $(stat -c %s "$work/unsigned.exe"))) bytes"
mkdir -p "${kept%/*}" && cp "$signed" "$kept" || fail "could not keep the signed program"

printf 'throwaway\n' >"$work/password"
quiet "$openssl" pkcs12 -export -in "$work/cert.pem" -inkey "$work/key.pem" -passout "file:$work/password" \
  -out "$work/release.pfx" || fail "no PKCS#12 file"
quiet sign -DKVX_SIGN_OUT="$work/pfx.exe" -DKVX_SIGN_CERT="$work/release.pfx" -DKVX_SIGN_PASS_FILE="$work/password" &&
  quiet "$signer" verify -CAfile "$work/cert.pem" -in "$work/pfx.exe" || fail "signing from a PKCS#12 file failed"

# A key that is not the certificate's: the step fails, and the signed
# program of the run before is gone, not left to pass for this one's.
quiet "$openssl" genpkey -algorithm RSA -out "$work/other.pem" || fail "no key"
cp "$signed" "$work/earlier.exe"
sign -DKVX_SIGN_OUT="$work/earlier.exe" -DKVX_SIGN_CERT="$work/cert.pem" -DKVX_SIGN_KEY="$work/other.pem" \
  >/dev/null 2>&1 && fail "signing with a key that is not the certificate's succeeded"
for left in "$work/earlier.exe" "$work/earlier.exe.partial"; do
  [ -e "$left" ] && fail "a failed signing left $left"
done
exit 0
