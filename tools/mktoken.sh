#!/usr/bin/env bash
# mktoken.sh: make a throwaway SoftHSM2 token for tests and demos.
#
# Usage: tools/mktoken.sh [OPTIONS] DIR
#
# DIR is created if needed and receives softhsm2.conf and a tokens/ folder;
# nothing outside DIR is written. The script can be run again on the same DIR
# to add tokens or objects. Options are processed in order, so a token option
# applies to the key and certificate options that follow it:
#
#   --pin PIN        user PIN of the tokens initialised after it (default 1234)
#   --so-pin PIN     security officer PIN of later tokens (default 12345678)
#   --token LABEL    initialise a new token with LABEL in the next free slot;
#                    later objects go onto it. Run again with LABEL on an
#                    existing token to select it (its PIN must be the current
#                    --pin). Default: a token "vardek-test" is made on first
#                    need. Every token makes its slot the next one: two
#                    --token options give two tokens in two slots.
#   --private-pub    public-key objects made after it are private objects
#                    (only visible after a login); --public-pub switches back.
#   --key TYPE:LABEL:ID
#                    make a key pair with the openssl CLI and import it: a
#                    private-key object and a public-key object, both with
#                    CKA_LABEL LABEL and CKA_ID ID (hex, e.g. 01 or a1b2).
#                    TYPE is rsa2048, rsa3072, rsa4096, ec256, ec384 or
#                    ec521. Writes DIR/LABEL.key.pem (PKCS#8, private),
#                    DIR/LABEL.pub.pem and DIR/LABEL.pub.der (SPKI), so a
#                    caller knows the public key and can check signatures.
#   --key-pem FILE:LABEL:ID
#                    as --key, but the key pair is the PEM private key FILE
#                    instead of a fresh one (large RSA keys take seconds to
#                    generate; tests keep fixed ones).
#   --privkey TYPE:LABEL:ID
#                    as --key, but only the private-key object goes onto the
#                    token (no public-key object); add a --cert for it to
#                    make the certificate the only public source.
#   --genkey TYPE:LABEL:ID
#                    generate the key pair on the token itself (pkcs11-tool
#                    --keypairgen); no key files are written.
#   --cert LABEL[:SUBJECT]
#                    a self-signed X.509 certificate for the key LABEL made
#                    by an earlier --key or --privkey, written as a
#                    certificate object (DER) with the same CKA_ID and
#                    CKA_LABEL. SUBJECT defaults to /CN=LABEL. Writes
#                    DIR/LABEL.crt.der and DIR/LABEL.crt.pem.
#   --foreign-cert TYPE:LABEL:ID[:SUBJECT]
#                    a certificate for a fresh key that is not on the token
#                    (TYPE as for --key); the certificate object gets CKA_ID
#                    ID and CKA_LABEL LABEL. Writes the same files as --key
#                    and --cert.
#   --module         print only the SoftHSM2 module path and exit.
#
# Output on standard output, one NAME=VALUE line each:
#   SOFTHSM2_CONF=DIR/softhsm2.conf     export this before loading the module
#   MODULE=/path/to/libsofthsm2.so
#   TOKEN=LABEL                         one line per token made
#   KEY=LABEL                           one line per key or certificate made
# Tool chatter goes to standard error. The module is found through the
# VARDEK_SOFTHSM_MODULE environment variable, the package manager, or a list
# of usual locations. Exit status is non-zero when anything fails.
set -euo pipefail

die() {
  echo "mktoken: $*" >&2
  exit 1
}

find_module() {
  local m
  if [ -n "${VARDEK_SOFTHSM_MODULE:-}" ]; then
    [ -e "$VARDEK_SOFTHSM_MODULE" ] || die "VARDEK_SOFTHSM_MODULE does not exist"
    echo "$VARDEK_SOFTHSM_MODULE"
    return
  fi
  if command -v dpkg >/dev/null 2>&1; then
    m=$( (dpkg -L softhsm2 libsofthsm2 2>/dev/null || true) | grep '/libsofthsm2\.so$' | head -n1)
    if [ -n "$m" ] && [ -e "$m" ]; then
      echo "$m"
      return
    fi
  fi
  for m in /usr/lib/softhsm/libsofthsm2.so \
    /usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so \
    /usr/lib/aarch64-linux-gnu/softhsm/libsofthsm2.so \
    /usr/lib64/pkcs11/libsofthsm2.so \
    /usr/lib64/softhsm/libsofthsm2.so \
    /usr/lib/pkcs11/libsofthsm2.so \
    /usr/local/lib/softhsm/libsofthsm2.so; do
    if [ -e "$m" ]; then
      echo "$m"
      return
    fi
  done
  die "cannot find libsofthsm2.so (set VARDEK_SOFTHSM_MODULE)"
}

if [ "${1:-}" = "--module" ]; then
  find_module
  exit 0
fi

[ $# -ge 1 ] || die "usage: mktoken.sh [OPTIONS] DIR"
dir=${!#}
case "$dir" in
  -*) die "the last argument must be the directory" ;;
esac
mkdir -p "$dir/tokens"
dir=$(cd "$dir" && pwd)
conf=$dir/softhsm2.conf
if [ ! -e "$conf" ]; then
  cat >"$conf" <<EOF
directories.tokendir = $dir/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
EOF
fi
export SOFTHSM2_CONF=$conf
module=$(find_module)

pin=1234
so_pin=12345678
token=
private_pub=()

p11() {
  pkcs11-tool --module "$module" --token-label "$token" "$@" >&2
}

init_token() {
  local label=$1
  if softhsm2-util --show-slots 2>/dev/null | grep -q "^ *Label: *$label *\$"; then
    token=$label
    return
  fi
  softhsm2-util --init-token --free --label "$label" --pin "$pin" --so-pin "$so_pin" >&2 ||
    die "cannot initialise token $label"
  token=$label
  echo "TOKEN=$label"
}

need_token() {
  [ -n "$token" ] || init_token vardek-test
}

# make_keyfiles TYPE LABEL: a fresh key pair in DIR/LABEL.*
make_keyfiles() {
  local type=$1 label=$2 base=$dir/$2
  case "$type" in
    rsa2048 | rsa3072 | rsa4096)
      openssl genpkey -algorithm RSA -pkeyopt "rsa_keygen_bits:${type#rsa}" \
        -out "$base.key.pem" 2>/dev/null
      ;;
    ec256 | ec384 | ec521)
      openssl genpkey -algorithm EC -pkeyopt "ec_paramgen_curve:P-${type#ec}" \
        -pkeyopt ec_param_enc:named_curve -out "$base.key.pem" 2>/dev/null
      ;;
    *) die "unknown key type $type" ;;
  esac
  derive_keyfiles "$label"
}

# derive_keyfiles LABEL: the DER and public files of DIR/LABEL.key.pem
derive_keyfiles() {
  local base=$dir/$1
  openssl pkey -in "$base.key.pem" -outform DER -out "$base.key.der"
  openssl pkey -in "$base.key.pem" -pubout -out "$base.pub.pem"
  openssl pkey -in "$base.key.pem" -pubout -outform DER -out "$base.pub.der"
}

split3() {
  IFS=: read -r f_type f_label f_id f_rest <<<"$1"
  [ -n "$f_type" ] && [ -n "$f_label" ] && [ -n "$f_id" ] || die "expected TYPE:LABEL:ID, got $1"
}

import_key() {
  local keydesc=$1 with_pub=$2 from_file=${3:-0}
  split3 "$keydesc"
  need_token
  if [ "$from_file" = 1 ]; then
    openssl pkey -in "$f_type" -out "$dir/$f_label.key.pem" || die "cannot read key $f_type"
    derive_keyfiles "$f_label"
  else
    make_keyfiles "$f_type" "$f_label"
  fi
  p11 --login --pin "$pin" --write-object "$dir/$f_label.key.der" --type privkey \
    --id "$f_id" --label "$f_label" || die "cannot import private key $f_label"
  rm -f "$dir/$f_label.key.der"
  echo "$f_id" >"$dir/$f_label.id"
  if [ "$with_pub" = 1 ]; then
    p11 --login --pin "$pin" --write-object "$dir/$f_label.pub.der" --type pubkey \
      --id "$f_id" --label "$f_label" "${private_pub[@]}" || die "cannot import public key $f_label"
  fi
  echo "KEY=$f_label"
}

gen_key() {
  split3 "$1"
  need_token
  local kt
  case "$f_type" in
    rsa2048 | rsa3072 | rsa4096) kt=rsa:${f_type#rsa} ;;
    ec256) kt=EC:prime256v1 ;;
    ec384) kt=EC:secp384r1 ;;
    ec521) kt=EC:secp521r1 ;;
    *) die "unknown key type $f_type" ;;
  esac
  p11 --login --pin "$pin" --keypairgen --key-type "$kt" --id "$f_id" --label "$f_label" \
    "${private_pub[@]}" || die "cannot generate key $f_label"
  echo "KEY=$f_label"
}

# write_cert LABEL ID SUBJECT: self-signed certificate for DIR/LABEL.key.pem
write_cert() {
  local label=$1 id=$2 subject=$3 base=$dir/$1
  openssl req -new -x509 -key "$base.key.pem" -subj "$subject" -days 3650 \
    -outform DER -out "$base.crt.der" 2>/dev/null || die "cannot make certificate $label"
  openssl x509 -inform DER -in "$base.crt.der" -out "$base.crt.pem"
  p11 --login --pin "$pin" --write-object "$base.crt.der" --type cert \
    --id "$id" --label "$label" || die "cannot import certificate $label"
}

token_cert() {
  local label subject
  IFS=: read -r label subject <<<"$1"
  [ -n "$label" ] || die "expected LABEL[:SUBJECT], got $1"
  [ -e "$dir/$label.key.pem" ] && [ -e "$dir/$label.id" ] || die "no key $label made before"
  need_token
  write_cert "$label" "$(cat "$dir/$label.id")" "${subject:-/CN=$label}"
  echo "KEY=$label"
}

foreign_cert() {
  split3 "$1"
  need_token
  make_keyfiles "$f_type" "$f_label"
  rm -f "$dir/$f_label.key.der"
  write_cert "$f_label" "$f_id" "${f_rest:-/CN=$f_label}"
  echo "KEY=$f_label"
}

echo "SOFTHSM2_CONF=$conf"
echo "MODULE=$module"
while [ $# -gt 1 ]; do
  opt=$1
  shift
  case "$opt" in
    --pin) pin=$1; shift ;;
    --so-pin) so_pin=$1; shift ;;
    --token) init_token "$1"; shift ;;
    --private-pub) private_pub=(--private) ;;
    --public-pub) private_pub=() ;;
    --key) import_key "$1" 1; shift ;;
    --key-pem) import_key "$1" 1 1; shift ;;
    --privkey) import_key "$1" 0; shift ;;
    --genkey) gen_key "$1"; shift ;;
    --cert) token_cert "$1"; shift ;;
    --foreign-cert) foreign_cert "$1"; shift ;;
    *) die "unknown option $opt" ;;
  esac
done
