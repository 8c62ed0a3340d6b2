#!/bin/sh
# The manual pages: groff finds nothing to warn about, man renders them, every
# command-line option of portsift has its own entry, and the pages carry the
# project's version.
# Usage: man_pages_test.sh SOURCE_DIR VERSION
set -eu
src=$1
version=$2
status=0
fail() { echo "FAIL: $*"; status=1; }

for page in "$src"/doc/portsift.1 "$src"/doc/portsift-chart.1; do
  name=$(basename "$page")
  warnings=$(groff -ww -z -man "$page" 2>&1) || fail "$name: groff failed"
  [ -z "$warnings" ] || fail "$name: groff warns: $warnings"
  rendered=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "$name: man -l failed"
  [ -z "$rendered" ] || fail "$name: man -l warns: $rendered"
  grep -q "^\.TH [^ ]* 1 \"[^\"]*\" \"portsift $version\"" "$page" ||
    fail "$name: .TH does not name portsift $version"
done

# The options are those of the getopt string in the source; each needs a tagged
# paragraph (".B \-x" or ".BI \-x ...") right after a .TP.
optstring=$(sed -n 's/^constexpr char OPTSTRING\[\] = "+\(.*\)";$/\1/p' "$src/src/run/command_line.cc")
[ -n "$optstring" ] || fail "no option string found in src/run/command_line.cc"
letters=$(printf '%s' "$optstring" | tr -d ':' | fold -w1)
for letter in $letters; do
  awk -v opt="\\\\-$letter" '
    prev == ".TP" && ($1 == ".B" || $1 == ".BI") && $2 == opt { found = 1 }
    { prev = $0 }
    END { exit !found }' "$src/doc/portsift.1" || fail "portsift.1 has no entry for -$letter"
done

# The long options are the names in the LONG_OPTIONS table; each needs an entry too.
longs=$(sed -n 's/^ *{{"\([a-z-]*\)", [a-z_]*, nullptr, OPT_[A-Z_]*}.*/\1/p' \
  "$src/src/run/command_line.cc")
[ -n "$longs" ] || fail "no long options found in src/run/command_line.cc"
for name in $longs; do
  # In roff every hyphen of an option is written \-.
  awk -v opt="\\-\\-$(printf '%s' "$name" | sed 's/-/\\\\-/g')" '
    prev == ".TP" && ($1 == ".B" || $1 == ".BI") && $2 == opt { found = 1 }
    { prev = $0 }
    END { exit !found }' "$src/doc/portsift.1" || fail "portsift.1 has no entry for --$name"
done

[ $status -eq 0 ] && echo "manual pages: clean, $(printf '%s\n' $letters | wc -l) options documented"
exit $status
