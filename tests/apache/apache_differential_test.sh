#!/usr/bin/env bash
# mod_pagestamp against the CGI under mod_cgid, in one server and one page:
# each include is made twice, once through the module's /cgi-bin/ and once
# through mod_cgid at /cgid/, so both see the same page, the same PATH_INFO
# and the same query. Every template code, files of every size class, the
# path forms and a few zones; every pair must be the same bytes.
# Usage: apache_differential_test.sh PROGRAM ZONE...
source "$(dirname "$0")/lib.sh"
program=$1; shift
prepare_site "$program"
echo "ScriptAlias /cgid/ \"$RUN/cgi-bin/\"" >"$RUN/conf.d/cgid.conf"

# Sizes at each unit's boundaries, up to the largest a stamp shows and past
# it; the large ones are sparse.
sizes=(0 1 999 1000 1023 1024 1075 1076 1123 1124 1280 2047 2048 10239 10240 102400 1048575 1048576
  1153433 1153434 10485760 1073741823 1073741824 1181116006 2147483647 2147483648)
mkdir "$RUN/site/sizes"
for size in "${sizes[@]}"; do
  truncate -s "$size" "$RUN/site/sizes/$size"
  fixed_time "site/sizes/$size" "2003-$((size % 12 + 1))-$((size % 28 + 1)) $((size % 24)):$((size % 60)):07"
done

mapfile -t codes < <(grep -oE '\{"[A-Z0-9]{2}"' "$HTTPD_SOURCE_DIR/stamp/template_codes.cpp" | tr -d '{"')
((${#codes[@]} == 36)) || { echo "FAIL: ${#codes[@]} template codes, not 36" >&2; exit 1; }
every_code=$(printf '%%%s+' "${codes[@]}")
long=$(printf '%%Y4%%ML%%WL%.0s' {1..300})

# include ID PATH_AND_QUERY: the pair.
include() {
  printf '<samp id="%s m"><!--#include virtual="/cgi-bin/pagestamp%s" --></samp>\n' "$1" "$2"
  printf '<samp id="%s c"><!--#include virtual="/cgid/pagestamp%s" --></samp>\n' "$1" "$2"
}
{
  for code in "${codes[@]}"; do include "$code" "?%$code"; done
  for size in "${sizes[@]}"; do include "size$size" "/sizes/$size?$every_code"; done
  n=0
  for query in '' '?' '?+%41%4a%zz%%25%' '?%QQ%' "?$long" '?%2F%00x'; do include "query$((n++))" "$query"; done
  n=0
  for path in /sizes/1024 //docs/notes.html /docs/../docs/notes.html /~ann/notes.html /~nobody-here/x /gone.html /docs/ /; do
    include "path$((n++))" "$path?%FP+%FN+%SB+%Y4"
  done
} >"$RUN/site/pairs.shtml"
chmod a+r "$RUN/site/pairs.shtml" "$RUN/site/sizes"/*

# The first zone is httpd's own TZ, the others SetEnv TZ.
compared=0 how=--env-tz
for zone in "$@"; do
  httpd_stop "$RUN"
  httpd_start "$RUN" --via module "$how" "$zone"
  how=--tz
  page=$(fetch /pairs.shtml) || { failures=$((failures + 1)); continue; }
  if grep -qF "$apache_error" <<<"$page"; then
    echo "FAIL $zone: an include failed" >&2
    failures=$((failures + 1))
  fi
  # "ID m text" and "ID c text" lines: each ID's two texts side by side.
  if ! diff -u --label "module ($zone)" --label "cgid ($zone)" \
    <(samples <<<"$page" | sed -n 's/^\([^ ]*\) m /\1 /p') <(samples <<<"$page" | sed -n 's/^\([^ ]*\) c /\1 /p'); then
    failures=$((failures + 1))
  fi
  compared=$((compared + $(samples <<<"$page" | grep -c '^[^ ]* m ')))
done
echo "compared $compared pairs in $# zones"
finish
