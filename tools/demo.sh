#!/usr/bin/env bash
# demo.sh: vardek-client against a throwaway SoftHSM2 token.
#
# Usage: tools/demo.sh BUILD_DIR
#
# Makes a token in a temporary directory with an RSA-2048 key and a P-256 key
# whose only public half is a certificate, then runs vardek-client check and
# list against it and signs a small file with each key. BUILD_DIR holds the
# built vardek-client and vardek. The token is removed on exit. Exit status:
# 0 when every step worked, 77 when SoftHSM2 is not installed, 1 otherwise.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)

fail() {
  echo "demo: FAILED: $*" >&2
  exit 1
}

heading() {
  printf '\n== %s ==\n' "$*"
}

[ $# -eq 1 ] || {
  echo "usage: tools/demo.sh BUILD_DIR" >&2
  exit 1
}
build=$(cd "$1" && pwd) || fail "no build directory $1"
client=$build/vardek-client
[ -x "$client" ] || fail "no vardek-client in $build (build it first)"
[ -x "$build/vardek" ] || fail "no vardek in $build (build it first)"

# Skip only when SoftHSM2 is absent; a module named by VARDEK_SOFTHSM_MODULE
# that does not exist is an error like any other.
if [ -z "${VARDEK_SOFTHSM_MODULE:-}" ] && ! command -v softhsm2-util >/dev/null 2>&1; then
  echo "demo: SoftHSM2 is not installed (package softhsm2); skipping" >&2
  exit 77
fi
module=$("$here/mktoken.sh" --module 2>/dev/null) || {
  [ -n "${VARDEK_SOFTHSM_MODULE:-}" ] && fail "VARDEK_SOFTHSM_MODULE names no file"
  echo "demo: the SoftHSM2 module is not installed (package softhsm2); skipping" >&2
  exit 77
}

work=$(mktemp -d "${TMPDIR:-/tmp}/vardek-demo-XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

heading "Making a throwaway SoftHSM2 token"
# The PIN reaches the client through an environment variable; it is never an
# argument that other users could see.
export VARDEK_DEMO_PIN=1234
"$here/mktoken.sh" --pin "$VARDEK_DEMO_PIN" --token vardek-demo \
  --key rsa2048:demo-rsa:01 \
  --privkey ec256:demo-p256:02 --cert demo-p256:/CN=demo-p256 \
  "$work/token" >"$work/mktoken.out" 2>"$work/mktoken.log" ||
  {
    cat "$work/mktoken.log" >&2
    fail "could not make the token"
  }
export SOFTHSM2_CONF=$work/token/softhsm2.conf
echo "token \"vardek-demo\" in $work/token"
echo "  demo-rsa   RSA 2048 key pair"
echo "  demo-p256  P-256 private key, its public half only in an X.509 certificate"
echo "module: $module"

run_client() {
  "$client" --pin-env VARDEK_DEMO_PIN "$@"
}

heading "vardek-client check: every key signs a random challenge"
run_client check "$module" | tee "$work/check.out" || fail "vardek-client check"
[ "$(grep -c '^ *OK: ' "$work/check.out")" -eq 2 ] || fail "check did not report two keys OK"

heading "vardek-client list: authorized_keys lines and fingerprints"
run_client list "$module" | tee "$work/list.out" || fail "vardek-client list"

# Each expected key is there, with the type it should have.
declare -A want_type=([demo-rsa]=ssh-rsa [/CN=demo-p256]=ecdsa-sha2-nistp256)
for label in demo-rsa /CN=demo-p256; do
  n=$(awk -v t="${want_type[$label]}" -v l="$label" '$1 == t && $3 == l' "$work/list.out" | wc -l)
  [ "$n" -eq 1 ] || fail "list shows no ${want_type[$label]} key \"$label\""
done
[ "$(grep -vc '^#' "$work/list.out")" -eq 2 ] || fail "list shows other than two keys"

# A fingerprint is the unpadded base64 SHA-256 of the key blob: recompute the
# ones the client printed from the key lines themselves.
index=0
while read -r comment; do
  read -r keyline
  index=$((index + 1))
  printed=${comment##* }
  blob=$(echo "$keyline" | awk '{print $2}')
  computed=SHA256:$(echo "$blob" | base64 -d | openssl dgst -sha256 -binary | base64 | tr -d '=')
  [ "$printed" = "$computed" ] || fail "key $index: fingerprint $printed, the key line gives $computed"
done < <(grep -v '^# token=' "$work/list.out")
echo "(fingerprints recomputed from the key lines: they match)"

heading "vardek-client sign: one signature per key, verified by the client"
printf 'a small file to sign\n' >"$work/message.txt"
for index in 1 2; do
  if ! run_client sign "$module" --key "$index" --in "$work/message.txt" \
    >"$work/sig$index" 2>"$work/sig$index.log"; then
    cat "$work/sig$index.log" >&2
    fail "signing with key $index"
  fi
  grep -q 'signature verified' "$work/sig$index.log" || fail "key $index: no verified signature"
  sed 's/^vardek-client: //' "$work/sig$index.log"
  echo "  signature: $(cut -c1-60 "$work/sig$index")..."
done

heading "Done"
echo "The token was found, both keys signed, and every signature verified."
echo "Try it on your own token: $client list /path/to/pkcs11-module.so"

# ---- vardek-agent: an SSH login through the agent with a token key ----
# Starts vardek-agent on a throwaway socket, adds the token, and logs in to a
# throwaway loopback SSH server (tools/agent_login.py, python3-asyncssh)
# whose only authorized key is the token's RSA key; then stops both.
agent=$build/vardek-agent
if [ ! -x "$agent" ]; then
  echo "(no vardek-agent in $build: the agent part is skipped)"
elif ! /usr/bin/python3 -c 'import asyncssh' 2>/dev/null; then
  echo "(python3-asyncssh is not installed: the agent part is skipped)"
else
  heading "vardek-agent: an SSH login with a token key"
  mkdir -m 700 "$work/agent"
  sock=$work/agent/agent.sock
  "$agent" -D -a "$sock" 2>"$work/agent.log" &
  agent_pid=$!
  trap 'kill "$agent_pid" 2>/dev/null || true; rm -rf "$work"' EXIT
  for _ in $(seq 100); do
    [ -S "$sock" ] && break
    sleep 0.05
  done
  [ -S "$sock" ] || fail "vardek-agent did not start: $(cat "$work/agent.log")"
  echo "vardek-agent (pid $agent_pid) listening on $sock"
  if ! /usr/bin/python3 "$here/agent_login.py" "$sock" "$module"; then
    cat "$work/agent.log" >&2
    fail "the login through vardek-agent"
  fi
  kill -TERM "$agent_pid"
  wait "$agent_pid" || fail "vardek-agent exited with status $?"
  [ ! -e "$sock" ] || fail "vardek-agent left its socket behind"
  echo "vardek-agent stopped; the SSH server is gone too."
fi
