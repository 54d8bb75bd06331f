#!/usr/bin/env bash
# remote_test.sh BUILD_DIR SOURCE_DIR: a SoftHSM2 token served by
# `p11-kit server` on a Unix socket, used through p11-kit-client.so with
# P11_KIT_SERVER_ADDRESS: vardek-client lists, signs with (checked by an
# independent verifier) and checks its keys, shows the remote token, and
# says what is wrong when the server is not there. Exit 77 (skipped) when
# p11-kit's server or client module or SoftHSM2 is missing.
set -uo pipefail

build=${1:?usage: remote_test.sh BUILD_DIR SOURCE_DIR}
src=${2:?usage: remote_test.sh BUILD_DIR SOURCE_DIR}
client=$build/vardek-client
skip() {
  echo "skipped: $*" >&2
  exit 77
}
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

p11_client=$(pkg-config --variable=p11_module_path p11-kit-1 2>/dev/null)/p11-kit-client.so
[ -e "$p11_client" ] || skip "no p11-kit-client.so"
p11-kit server --help >/dev/null 2>&1 || skip "no p11-kit server"
softhsm=$("$src/tools/mktoken.sh" --module 2>/dev/null) || skip "no SoftHSM2"

scratch=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

"$src/tools/mktoken.sh" --token remote --key ec256:remote-key:0a "$scratch/tok" \
  >"$scratch/mktoken.log" 2>&1 || {
  cat "$scratch/mktoken.log" >&2
  fail "mktoken.sh"
  exit 1
}
export SOFTHSM2_CONF=$scratch/tok/softhsm2.conf
sock=$scratch/p11.sock
p11-kit server -f -n "$sock" --provider "$softhsm" "pkcs11:token=remote" \
  >"$scratch/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 50); do [ -S "$sock" ] && break; sleep 0.1; done
[ -S "$sock" ] || {
  cat "$scratch/server.out" >&2
  fail "p11-kit server made no socket"
  exit 1
}
# The client side sees only the socket: no SoftHSM2 configuration.
unset SOFTHSM2_CONF
export P11_KIT_SERVER_ADDRESS=unix:path=$sock
export PIN=1234

"$client" --pin-env PIN list "$p11_client" >"$scratch/list.out" 2>"$scratch/list.err" ||
  fail "list through the server: $(cat "$scratch/list.err")"
keyline=$(grep '^ecdsa-sha2-nistp256 ' "$scratch/list.out")
[ -n "$keyline" ] || fail "list shows no ECDSA key: $(cat "$scratch/list.out")"
grep -qF "# token=remote id=0a pkcs11:token=remote;id=%0A?module-path=$p11_client" \
  "$scratch/list.out" || fail "list does not place the key on the remote token"

printf 'signed far away\n' >"$scratch/data"
"$client" --pin-env PIN sign "$p11_client" --key 1 --in "$scratch/data" \
  >"$scratch/sig" 2>"$scratch/sign.err" || fail "sign: $(cat "$scratch/sign.err")"
alg=$(python3 "$src/tests/client/sshcheck.py" verify "$keyline" "$scratch/data" "$(cat "$scratch/sig")")
[ "$alg" = "ecdsa-sha2-nistp256" ] || fail "the remote signature does not verify independently"

"$client" --pin-env PIN check "$p11_client" >"$scratch/check.out" 2>&1 ||
  fail "check: $(cat "$scratch/check.out")"
grep -q "^all 1 key signed and verified$" "$scratch/check.out" || fail "check: $(cat "$scratch/check.out")"

"$client" tokens "$p11_client" >"$scratch/tokens.out" 2>&1 || fail "tokens"
grep -q 'token "remote" (selected)' "$scratch/tokens.out" ||
  fail "tokens does not show the remote token: $(cat "$scratch/tokens.out")"

# Without a server, and without the address.
kill "$server_pid" && wait "$server_pid" 2>/dev/null
server_pid=
out=$("$client" --pin-env PIN list "$p11_client" 2>&1)
st=$?
[ $st -eq 2 ] || fail "list without a server exited $st"
case $out in
  *"no p11-kit server answers at P11_KIT_SERVER_ADDRESS=unix:path=$sock"*) ;;
  *) fail "list without a server says: $out" ;;
esac
out=$(env -u P11_KIT_SERVER_ADDRESS "$client" --pin-env PIN list "$p11_client" 2>&1)
case $out in
  *"p11-kit-client.so needs P11_KIT_SERVER_ADDRESS"*) ;;
  *) fail "list without an address says: $out" ;;
esac

[ $failures -eq 0 ] || exit 1
echo "remote token: list, sign, check and tokens through p11-kit server; the missing server named"
