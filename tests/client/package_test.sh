#!/usr/bin/env bash
# package_test.sh BUILD_DIR SOURCE_DIR: build the Debian package of BUILD_DIR
# with cpack into a scratch folder, check its control fields and its exact
# file list, unpack it with dpkg-deb -x, and drive the unpacked vardek-client
# and vardek against a throwaway SoftHSM2 token: the client must find the
# unpacked vardek beside it, list the token's keys exactly as the public keys
# made for the token, and make a signature that verifies independently.
# Exit 77 (skipped) when cpack or dpkg-deb is missing.
set -uo pipefail

build=${1:?usage: package_test.sh BUILD_DIR SOURCE_DIR}
source_dir=${2:?usage: package_test.sh BUILD_DIR SOURCE_DIR}
build=$(cd "$build" && pwd)
source_dir=$(cd "$source_dir" && pwd)
python=/usr/bin/python3

for tool in cpack dpkg-deb; do
  command -v "$tool" >/dev/null 2>&1 || {
    echo "$tool is not installed" >&2
    exit 77
  }
done

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
die() {
  echo "FAIL: $*" >&2
  exit 1
}

[ -f "$build/CPackConfig.cmake" ] || die "$build has no CPackConfig.cmake (packaging not configured)"
for t in vardek vardek-client; do
  [ -x "$build/$t" ] || die "$build/$t is not built"
done

scratch=$(mktemp -d)
# cpack's install step leaves install_manifest.txt in the build tree; take it
# away again unless it was there before.
had_manifest=0
[ -e "$build/install_manifest.txt" ] && had_manifest=1
cleanup() {
  rm -rf "$scratch"
  [ "$had_manifest" -eq 1 ] || rm -f "$build/install_manifest.txt"
}
trap cleanup EXIT

# ---- the package

if ! cpack -G DEB -B "$scratch/pkg" --config "$build/CPackConfig.cmake" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log" >&2
  die "cpack -G DEB failed"
fi
debs=("$scratch"/pkg/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || die "cpack made ${#debs[@]} .deb files: ${debs[*]}"
deb=${debs[0]}

version=$(sed -nE 's/^project\(vardek VERSION ([0-9.]+).*/\1/p' "$source_dir/CMakeLists.txt")
[ -n "$version" ] || die "no project version in $source_dir/CMakeLists.txt"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vardek ] || fail "Package is '$(field Package)', not vardek"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Section)" = utils ] || fail "Section is '$(field Section)', not utils"
[ -n "$(field Maintainer)" ] || fail "no Maintainer field"
[ -n "$(field Description)" ] || fail "no Description field"
if command -v dpkg >/dev/null 2>&1; then
  arch=$(dpkg --print-architecture)
  [ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)', not $arch"
fi
depends=$(field Depends)
# Package names only, one a line, alternatives and versions dropped.
tr ',|' '\n\n' <<<"$depends" | sed -E 's/^ *//; s/[ (].*//' >"$scratch/depends"
for lib in libssl3 libc6 libstdc++6; do
  grep -qxF "$lib" "$scratch/depends" || fail "Depends '$depends' lacks $lib"
done

# Exactly the programs, the manual pages (plain or gzip'd), the agent's
# systemd user unit and the README: nothing of the tests, fuzzers or benchmarks.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's/\.gz$//' | sort >"$scratch/files"
cat >"$scratch/want" <<'EOF'
./usr/bin/vardek-agent
./usr/bin/vardek-client
./usr/lib/systemd/user/vardek-agent.service
./usr/libexec/vardek/vardek
./usr/share/doc/vardek/README.md
./usr/share/doc/vardek/changelog
./usr/share/doc/vardek/copyright
./usr/share/man/man1/vardek-agent.1
./usr/share/man/man1/vardek-client.1
./usr/share/man/man8/vardek.8
EOF
if ! diff -u "$scratch/want" "$scratch/files" >"$scratch/files.diff"; then
  fail "package files differ from the expected layout:"
  cat "$scratch/files.diff" >&2
fi

root=$scratch/root
dpkg-deb -x "$deb" "$root" || die "dpkg-deb -x failed"
for f in usr/bin/vardek-client usr/libexec/vardek/vardek; do
  [ -x "$root/$f" ] || fail "$f is not executable in the package"
done
same_text() { # packaged file (maybe gzip'd), source file
  local packaged=$1 src=$2
  if [ -f "$packaged.gz" ]; then
    gzip -dc "$packaged.gz" | cmp -s - "$src"
  else
    cmp -s "$packaged" "$src"
  fi || fail "${packaged#"$root"/} is not $src"
}
same_text "$root/usr/share/man/man8/vardek.8" "$source_dir/docs/vardek.8"
same_text "$root/usr/share/man/man1/vardek-client.1" "$source_dir/docs/vardek-client.1"
same_text "$root/usr/share/doc/vardek/README.md" "$source_dir/README.md"

# Manual pages and the changelog are compressed, reproducibly (gzip -n: no
# name, no time stamp).
for f in usr/share/man/man8/vardek.8 usr/share/man/man1/vardek-client.1 usr/share/doc/vardek/changelog; do
  if [ ! -f "$root/$f.gz" ]; then
    fail "$f is not compressed in the package"
  elif [ "$(od -An -tx1 -j4 -N4 "$root/$f.gz" | tr -d ' ')" != 00000000 ]; then
    fail "$f.gz carries a time stamp"
  fi
done
gzip -dc "$root/usr/share/doc/vardek/changelog.gz" | head -n1 | grep -qx "vardek ($version) unstable; urgency=medium" ||
  fail "the changelog does not start with version $version"

# Debian's own checks: no errors (warnings are shown, not failed on).
if command -v lintian >/dev/null 2>&1; then
  lintian --fail-on error --suppress-tags-from-file /dev/null "$deb" >"$scratch/lintian.log" 2>&1 ||
    { cat "$scratch/lintian.log" >&2; fail "lintian finds errors in the package"; }
  sed 's/^/lintian: /' "$scratch/lintian.log"
else
  echo "note: lintian is not installed; the package was not linted" >&2
fi

# ---- the unpacked programs against a token

client=$root/usr/bin/vardek-client
"$client" --version | grep -qx "vardek-client $version" || fail "unpacked client --version is not $version"

if ! "$source_dir/tools/mktoken.sh" --pin 4711 --key rsa2048:pkg-rsa:01 --key ec256:pkg-ec:02 \
  "$scratch/token" >"$scratch/token.env" 2>"$scratch/token.log"; then
  cat "$scratch/token.log" >&2
  die "mktoken.sh failed"
fi
SOFTHSM2_CONF=$(sed -n 's/^SOFTHSM2_CONF=//p' "$scratch/token.env")
module=$(sed -n 's/^MODULE=//p' "$scratch/token.env")
[ -n "$SOFTHSM2_CONF" ] && [ -n "$module" ] || die "mktoken.sh printed no SOFTHSM2_CONF or MODULE"
export SOFTHSM2_CONF
provider="pkcs11:?module-path=$module"

# The authorized_keys lines the token's keys must give, made from the PEM
# public keys by python3-cryptography.
"$python" - "$scratch/token" >"$scratch/want_keys" <<'EOF' || die "cannot encode the expected keys"
import sys
from cryptography.hazmat.primitives import serialization
for label in ("pkg-rsa", "pkg-ec"):
    with open("%s/%s.pub.pem" % (sys.argv[1], label), "rb") as f:
        key = serialization.load_pem_public_key(f.read())
    line = key.public_bytes(serialization.Encoding.OpenSSH, serialization.PublicFormat.OpenSSH)
    print(line.decode() + " " + label)
EOF

VARDEK_TEST_PIN=4711 "$client" --pin-env VARDEK_TEST_PIN list "$provider" \
  >"$scratch/list.out" 2>"$scratch/list.err" </dev/null
st=$?
if [ "$st" -ne 0 ]; then
  cat "$scratch/list.err" >&2
  fail "unpacked vardek-client list exited with $st"
fi
# The token reports its objects in an order of its own: compare as sets.
grep -v '^#' "$scratch/list.out" | sort >"$scratch/got_keys"
sort -o "$scratch/want_keys" "$scratch/want_keys"
if ! diff -u "$scratch/want_keys" "$scratch/got_keys" >"$scratch/keys.diff"; then
  fail "unpacked list printed other key lines:"
  cat "$scratch/keys.diff" >&2
fi
grep -cE '^# [0-9]+ (RSA 2048|ECDSA 256) SHA256:[A-Za-z0-9+/]{43}$' "$scratch/list.out" |
  grep -qx 2 || fail "list did not print a comment line with a fingerprint per key"

# A signature through the unpacked programs with the ECDSA key, chosen by
# the fingerprint list printed above it, verified by an independent checker.
ec_line=$(grep ' pkg-ec$' "$scratch/want_keys")
ec_fp=$(grep -B1 -xF "$ec_line" "$scratch/list.out" | sed -nE 's/^# [0-9]+ .* (SHA256:[^ ]+)$/\1/p')
printf 'packaged vardek signs this\n' >"$scratch/data"
VARDEK_TEST_PIN=4711 "$client" --pin-env VARDEK_TEST_PIN sign "$provider" --key "${ec_fp:-none}" \
  --in "$scratch/data" >"$scratch/sig" 2>"$scratch/sign.err" </dev/null
st=$?
if [ -z "$ec_fp" ]; then
  fail "list printed no fingerprint for the key pkg-ec"
elif [ "$st" -ne 0 ]; then
  cat "$scratch/sign.err" >&2
  fail "unpacked vardek-client sign exited with $st"
else
  alg=$("$python" "$source_dir/tests/client/sshcheck.py" verify "$ec_line" \
    "$scratch/data" "$(cat "$scratch/sig")") || fail "the packaged signature does not verify"
  [ "${alg:-}" = ecdsa-sha2-nistp256 ] || fail "signature algorithm '${alg:-}', not ecdsa-sha2-nistp256"
fi

# The client found that vardek through ../libexec/vardek/vardek: without it
# there is nothing to run, and the client names the path it looked at.
chmod a-x "$root/usr/libexec/vardek/vardek"
VARDEK_TEST_PIN=4711 "$client" --pin-env VARDEK_TEST_PIN list "$provider" \
  >/dev/null 2>"$scratch/missing.err" </dev/null
st=$?
[ "$st" -eq 2 ] || fail "client without its vardek exited with $st, not 2"
grep -qF "$root/usr/libexec/vardek/vardek" "$scratch/missing.err" ||
  fail "client without its vardek did not name $root/usr/libexec/vardek/vardek: $(cat "$scratch/missing.err")"

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "$(basename "$deb"): layout, control fields and the unpacked programs against SoftHSM2 are as expected"
