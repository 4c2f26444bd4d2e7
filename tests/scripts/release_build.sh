#!/bin/bash
# release_build.sh <sources> <build> <cmake> <generator> <osslsigncode|-> <openssl|-> [<configure option>...]
#
# Builds the program a second time, from a copy of the sources in a fresh
# folder elsewhere, in another time zone and locale, and compares it with
# this build's byte for byte: the same sources and toolchain give the same
# program wherever and whenever they are built.
#
# With osslsigncode and openssl that second build is configured as a release
# is, with a throwaway certificate: its signed program must verify, must be
# the program and its signature and nothing else (removing the signature
# gives back the very bytes), and is left in <build>/tests/signed/ for the
# lifecycle run of the signed program. A PKCS#12 file with a password signs
# as well; a signing that fails must leave no signed program behind, not
# even an earlier one.
set -u
src=$1 build=$2 cmake=$3 generator=$4 signer=$5 openssl=$6
shift 6
signed_copy="$build/tests/signed/uninstall.exe"
rm -f "$signed_copy"
work=$(mktemp -d "${TMPDIR:-/tmp}/kvx-release.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAILED: $*"
  exit 1
}
quiet() {  # runs a command, showing its output only when it fails
  "$@" >"$work/out" 2>&1 || { cat "$work/out"; return 1; }
}

# The sources as they stand in this clone (tracked files and new ones that
# are not ignored), without the build folders.
mkdir "$work/src"
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$src" && git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - 2>/dev/null) | tar -C "$work/src" -xf - ||
    fail "could not copy the sources"
else
  tar -C "$src" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$work/src" -xf - ||
    fail "could not copy the sources"
fi

target=uninstall
signing=()
if [ "$signer" != "-" ]; then
  quiet "$openssl" req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Korvex test signing" \
    -addext extendedKeyUsage=codeSigning -keyout "$work/key.pem" -out "$work/cert.pem" ||
    fail "openssl could not make a certificate"
  signing=(-DKVX_SIGN_CERT="$work/cert.pem" -DKVX_SIGN_KEY="$work/key.pem")
  target=uninstall_signed
fi

# One compiler at a time: the other tests run meanwhile.
export TZ=Pacific/Kiritimati LC_ALL=C
quiet "$cmake" -S "$work/src" -B "$work/build" -G "$generator" \
  -DCMAKE_TOOLCHAIN_FILE="$work/src/cmake/mingw-w64.cmake" "$@" "${signing[@]}" ||
  fail "the second build could not be configured"
quiet "$cmake" --build "$work/build" --target "$target" -j 1 || fail "the second build failed"

first="$build/uninstall.exe" second="$work/build/uninstall.exe"
if ! cmp -s "$first" "$second"; then
  echo "bytes that differ (offset, this build, the second, in octal):"
  cmp -l "$first" "$second" | head -20
  fail "two builds of the same sources differ (is $build up to date? scripts/build.sh builds it)"
fi
echo "the same bytes from two folders: $(sha256sum <"$first" | cut -d' ' -f1)"

[ "$signer" = "-" ] && { echo "signing not checked: osslsigncode or openssl is not installed"; exit 0; }
signed="$work/build/signed/uninstall.exe"
[ -f "$signed" ] || fail "the release build wrote no signed program"
quiet "$signer" verify -CAfile "$work/cert.pem" -in "$signed" || fail "the signed program does not verify"
grep -q "^Message digest algorithm *: SHA256" "$work/out" || fail "the signature's digest is not SHA-256"
quiet "$signer" remove-signature -in "$signed" -out "$work/unsigned.exe" || fail "the signature could not be removed"
cmp -s "$work/unsigned.exe" "$second" || fail "the signed program is not the program and its signature alone"
echo "signed and verified; the signature adds $(($(stat -c %s "$signed") - $(stat -c %s "$second"))) bytes"
mkdir -p "$(dirname "$signed_copy")" && cp "$signed" "$signed_copy" || fail "could not keep the signed program"

# The same certificate and key in a PKCS#12 file with a password, read
# from a file: the other way a release may be signed.
printf 'throwaway\n' >"$work/password"
quiet "$openssl" pkcs12 -export -in "$work/cert.pem" -inkey "$work/key.pem" -passout "file:$work/password" \
  -out "$work/release.pfx" || fail "openssl could not make a PKCS#12 file"
quiet "$cmake" -DKVX_SIGN_IN="$second" -DKVX_SIGN_OUT="$work/pfx.exe" -DKVX_SIGN_CERT="$work/release.pfx" \
  -DKVX_SIGN_PASS_FILE="$work/password" -DKVX_OSSLSIGNCODE="$signer" -P "$src/cmake/sign.cmake" ||
  fail "signing with a PKCS#12 file failed"
quiet "$signer" verify -CAfile "$work/cert.pem" -in "$work/pfx.exe" || fail "the program signed from a PKCS#12 file does not verify"

# A key that is not the certificate's: the step fails, and the signed
# program of the run before it is gone, not left to pass for this one.
quiet "$openssl" genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/other.pem" ||
  fail "openssl could not make a key"
cp "$signed" "$work/earlier.exe"
if "$cmake" -DKVX_SIGN_IN="$second" -DKVX_SIGN_OUT="$work/earlier.exe" -DKVX_SIGN_CERT="$work/cert.pem" \
  -DKVX_SIGN_KEY="$work/other.pem" -DKVX_OSSLSIGNCODE="$signer" -P "$src/cmake/sign.cmake" >/dev/null 2>&1; then
  fail "signing with a key that is not the certificate's succeeded"
fi
for left in "$work/earlier.exe" "$work/earlier.exe.partial"; do
  [ -e "$left" ] && fail "a failed signing left $left"
done
exit 0
