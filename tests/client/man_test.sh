#!/usr/bin/env bash
# man_test.sh DOCS_DIR: the manual pages vardek(8) and vardek-client(1)
# render without a single formatter warning, have the sections a reader
# looks for, and mention every option the programs accept, every exit status
# and, for vardek, every message of the protocol.
#
# The client's options come from its option table in the sources beside
# DOCS_DIR and, when a built client is found (VARDEK_CLIENT, or the build
# tree ctest runs this from), from its --help text; a fixed list backs both
# up. Exit 77 (skipped) when man is not installed.
set -uo pipefail

docs=${1:?usage: man_test.sh DOCS_DIR}
command -v man >/dev/null 2>&1 || {
  echo "man is not installed" >&2
  exit 77
}

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Renders PAGE to $scratch/NAME.txt in plain ASCII; any warning of the
# formatter (man --warnings, and groff -ww where groff is present) fails.
render() {
  local page=$1 name
  name=$(basename "$page")
  if [ ! -s "$page" ]; then
    fail "$page is missing or empty"
    return 1
  fi
  if ! LC_ALL=C MANWIDTH=80 MANPAGER=cat PAGER=cat man --warnings -l "$page" \
    >"$scratch/$name.raw" 2>"$scratch/$name.err"; then
    fail "man -l $page failed: $(cat "$scratch/$name.err")"
    return 1
  fi
  if [ -s "$scratch/$name.err" ]; then
    fail "man -l $page warns:"
    cat "$scratch/$name.err" >&2
  fi
  if command -v groff >/dev/null 2>&1; then
    if ! groff -man -Tutf8 -ww -z "$page" 2>"$scratch/$name.groff" ||
      [ -s "$scratch/$name.groff" ]; then
      fail "groff warns about $page:"
      cat "$scratch/$name.groff" >&2
    fi
  fi
  # Strip overstrike formatting in case the pager setting kept it.
  sed -e 's/.\x08//g' "$scratch/$name.raw" >"$scratch/$name.txt"
  [ -s "$scratch/$name.txt" ] || fail "man -l $page rendered nothing"
}

# The text of one section (from its heading to the next heading).
section() {
  local txt=$1 heading=$2
  awk -v h="$heading" '
    /^[A-Z]/ { inside = ($0 == h); next }
    inside { print }' "$txt"
}

check_sections() {
  local txt=$1 s
  shift
  for s in "$@"; do
    grep -qx "$s" "$txt" || fail "$(basename "$txt" .txt) has no section $s"
  done
}

# Every word in the list must occur in the rendered page as a whole option
# (not as part of a longer one).
check_mentions() {
  local txt=$1 what=$2 w
  shift 2
  for w in "$@"; do
    grep -qE -- "(^|[^A-Za-z0-9-])${w}([^A-Za-z0-9-]|\$)" "$txt" ||
      fail "$(basename "$txt" .txt) does not mention $what $w"
  done
}

# Statuses as the tagged paragraphs of the EXIT STATUS section.
check_statuses() {
  local txt=$1 s
  shift
  section "$txt" "EXIT STATUS" >"$scratch/statuses"
  for s in "$@"; do
    grep -qE "^ +${s}( |\$)" "$scratch/statuses" ||
      fail "$(basename "$txt" .txt) EXIT STATUS does not describe status $s"
  done
}

# ---- vardek(8)

if render "$docs/vardek.8"; then
  txt="$scratch/vardek.8.txt"
  check_sections "$txt" NAME SYNOPSIS DESCRIPTION OPTIONS PROTOCOL LOGGING \
    "EXIT STATUS" ENVIRONMENT "BUILD SETTINGS" SECURITY "SEE ALSO"
  grep -q "^ *vardek - " "$txt" || fail "vardek(8) NAME line is not 'vardek - ...'"
  # vardek's only option, the levels it gives, and any option its parser
  # learns later.
  vardek_opts=(-v -vv -vvv)
  main_src="$docs/../src/service/main.cpp"
  if [ -r "$main_src" ]; then
    shorts=$(grep -oE 'getopt[a-z_]*\([^;]*"[^"]*"\)' "$main_src" | sed -E 's/.*"([^"]*)"\)$/\1/' |
      tr -d ':')
    [ -n "$shorts" ] || fail "no option string found in $main_src"
    for ((i = 0; i < ${#shorts}; i++)); do vardek_opts+=("-${shorts:i:1}"); done
  fi
  section "$txt" OPTIONS >"$scratch/vardek_options.txt"
  check_mentions "$scratch/vardek_options.txt" option "${vardek_opts[@]}"
  check_statuses "$txt" 0 1 11 255
  # Requests 20, 21, 13 and their answers 12, 5, 6, 14, 30.
  section "$txt" PROTOCOL >"$scratch/protocol"
  for code in 20 21 13 12 5 6 14 30; do
    grep -qE "(^|[^0-9])${code}([^0-9]|\$)" "$scratch/protocol" ||
      fail "vardek(8) PROTOCOL does not mention message $code"
  done
  section "$txt" LOGGING | grep -q AUTH || fail "vardek(8) LOGGING does not name facility AUTH"
  section "$txt" "BUILD SETTINGS" | grep -q VARDEK_DEFAULT_MODULE ||
    fail "vardek(8) BUILD SETTINGS does not name VARDEK_DEFAULT_MODULE"
  section "$txt" SECURITY | grep -q CKA_ALWAYS_AUTHENTICATE ||
    fail "vardek(8) SECURITY does not mention always-authenticate keys"
  grep -q "vardek-client(1)" "$txt" || fail "vardek(8) does not refer to vardek-client(1)"
fi

# ---- vardek-client(1)

declare -A client_opts=()
# The fixed list, checked against the sources below where they are at hand.
for o in --pin-file --pin-env --no-pin --vardek --verbose -v --json --key --in --alg \
  --help -h --version; do
  client_opts[$o]=1
done

# Long and short options from the client's option table.
options_src="$docs/../src/client/options.cpp"
if [ -r "$options_src" ]; then
  n=0
  while read -r o; do
    client_opts[--$o]=1
    n=$((n + 1))
  done < <(grep -oE '^\s*\{"[a-z][a-z0-9-]*", (no|required|optional)_argument' "$options_src" |
    sed -E 's/^\s*\{"([^"]*)".*/\1/')
  [ "$n" -gt 0 ] || fail "no long options found in $options_src"
  shorts=$(grep -oE 'getopt_long\([^;]*"[^"]*"' "$options_src" | sed -E 's/.*"([^"]*)"$/\1/' |
    tr -d ':')
  for ((i = 0; i < ${#shorts}; i++)); do client_opts[-${shorts:i:1}]=1; done
fi

# And from the built client's usage text.
client=${VARDEK_CLIENT:-}
[ -n "$client" ] || client=$(pwd)/../../vardek-client
if [ -x "$client" ]; then
  help=$("$client" --help) || fail "$client --help failed"
  while read -r o; do client_opts[$o]=1; done < <(grep -oE -- '(^|[ |[,])--?[a-z][a-z0-9-]*' \
    <<<"$help" | sed -E 's/^[ |[,]//')
else
  echo "note: no built vardek-client at $client; its options come from the sources" >&2
fi

if render "$docs/vardek-client.1"; then
  txt="$scratch/vardek-client.1.txt"
  check_sections "$txt" NAME SYNOPSIS DESCRIPTION COMMANDS OPTIONS PIN "EXIT STATUS" \
    ENVIRONMENT "SEE ALSO"
  grep -q "^ *vardek-client - " "$txt" ||
    fail "vardek-client(1) NAME line is not 'vardek-client - ...'"
  section "$txt" OPTIONS >"$scratch/client_options.txt"
  check_mentions "$scratch/client_options.txt" option "${!client_opts[@]}"
  section "$txt" COMMANDS >"$scratch/commands.txt"
  check_mentions "$scratch/commands.txt" command list sign check
  check_statuses "$txt" 0 1 2 3
  check_mentions "$txt" algorithm rsa-sha2-256 rsa-sha2-512
  grep -q "vardek(8)" "$txt" || fail "vardek-client(1) does not refer to vardek(8)"
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "man pages render cleanly and cover: vardek ${vardek_opts[*]:-}; vardek-client ${!client_opts[*]}"
