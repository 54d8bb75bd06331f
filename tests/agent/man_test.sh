#!/usr/bin/env bash
# man_test.sh SOURCE_DIR: vardek-agent(1) renders without a formatter
# warning, documents every option of the agent's getopt string and every
# request number it serves. Exit 77 when groff is not installed.
set -uo pipefail
src=${1:?usage: man_test.sh SOURCE_DIR}
page=$src/docs/vardek-agent.1
command -v groff >/dev/null 2>&1 || exit 77
fail=0
warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
[ -z "$warnings" ] || { echo "groff warns: $warnings" >&2; fail=1; }
text=$(groff -man -Tascii -P-cbou "$page" 2>/dev/null | sed 's/\x1b\[[0-9;]*m//g')
section() { awk -v s="$1" '/^[A-Z][A-Z ]*$/ { on = ($0 == s) } on' <<<"$text"; }
opts=$(grep -o 'getopt(argc, argv, "[^"]*")' "$src/src/agent/options.cpp" | sed 's/.*"\(.*\)".*/\1/' | tr -d :)
[ -n "$opts" ] || { echo "no getopt string in src/agent/options.cpp" >&2; fail=1; }
for ((i = 0; i < ${#opts}; i++)); do
  o=${opts:$i:1}
  section OPTIONS | grep -q -- "^ *-$o" || { echo "OPTIONS does not describe -$o" >&2; fail=1; }
done
for n in 11 13 19 20 21 22 23; do
  section REQUESTS | grep -q "($n)" || { echo "REQUESTS does not mention request $n" >&2; fail=1; }
done
exit $fail
