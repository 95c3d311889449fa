#!/usr/bin/env bash
# The module against the responder, in one nginx: generated pages whose every
# include is made twice, once to the module and once through fastcgi_pass
# with the shipped snippet, over templates of all 36 codes, files of every
# size class (the large ones sparse) and times, and zones given both ways.
# The two texts of each pair must be the same bytes.
# Usage: nginx_differential_test.sh PROGRAM
source "$(dirname "$0")/lib.sh"
program=$1
prepare_site "$program"

# A name that is no zone file nor a rule (Nowhere/Zone) is the module's
# configuration error; tz_test.sh has it.
zones=(- UTC Europe/London Asia/Tokyo America/New_York Australia/Lord_Howe Asia/Kathmandu
  'EST5EDT,M3.2.0,M11.1.0' '<+0545>-5:45' EST5EDT)
# 2^31 - 1 is the largest size a stamp shows; past it the size is refused.
sizes=(0 1 99 100 1023 1024 1123 1124 1280 2047 2048 10239 10240 102400 1048575 1048576
  1153433 10485760 1073741823 1073741824 2147483647 2147483648 5368709120)
times=('1970-01-01 00:00:00 UTC' '1999-12-31 23:59:59 UTC' '2003-04-02 14:07:09 UTC'
  '2003-10-26 00:30:00 UTC' '2003-10-26 01:30:00 UTC' '2021-03-14 06:59:59 UTC'
  '2021-03-14 07:00:00 UTC' '2024-02-29 12:00:00 UTC' '2038-01-19 03:14:08 UTC')
all_codes='%WS+%WL+%WN+%WP+%MS+%ML+%MN+%MP+%DM+%DP+%Y2+%Y4+%YD+%YP+%H1+%P1+%H2+%P2+%MM+%PM+%SS+%PS'
all_codes+='+%A1+%A2+%A3+%A4+%TZ+%SA+%SB+%SK+%SM+%SG+%FN+%FP+%DR+%SN'
# PATH_INFO, the template: the named file and the page itself, the default
# stamp, escapes and the text around codes.
templates=("/FILE?$all_codes" "?$all_codes" '/FILE' '/FILE?%41%2f%zz+100%25+%%+%Y4%')

# Each zone both ways: the module, and the shipped FastCGI location at
# another prefix, so that PATH_INFO and the page are the same for both.
fastcgi_location=$(httpd_snippet "$RUN" nginx/pagestamp.conf.in "" |
  sed -n '/^location \^~ \/cgi-bin\/pagestamp {/,/^}/p')
for k in "${!zones[@]}"; do
  zone=${zones[$k]}
  echo "location ^~ /m$k {"
  echo "    pagestamp;"
  [[ $zone == - ]] || echo "    pagestamp_time_zone \"$zone\";"
  echo "}"
  param=
  [[ $zone == - ]] || param="    fastcgi_param TZ \"$zone\";"
  sed -e "s|/cgi-bin/pagestamp|/f$k|g" -e "/fastcgi_pass pagestamp;/i\\$param" <<<"$fastcgi_location"
done >"$RUN/conf.d/differential.conf"

# One page a file, each with its own size and time.
mkdir -p "$RUN/site/diff"
pages=()
for i in "${!sizes[@]}"; do
  name=f$i.html
  truncate -s "${sizes[$i]}" "$RUN/site/diff/$name"
  touch -d "${times[$((i % ${#times[@]}))]}" "$RUN/site/diff/$name"
  page=$RUN/site/diff/p$i.shtml
  for k in "${!zones[@]}"; do
    for t in "${!templates[@]}"; do
      include=${templates[$t]//FILE/$name}
      printf '<samp id="m%s-%s"><!--#include virtual="/m%s%s" --></samp>' "$k" "$t" "$k" "$include"
      printf '<samp id="f%s-%s"><!--#include virtual="/f%s%s" --></samp>\n' "$k" "$t" "$k" "$include"
    done
  done >"$page"
  touch -d "${times[$(((i + 1) % ${#times[@]}))]}" "$page"
  pages+=("/diff/p$i.shtml")
done
chmod -R a+rX "$RUN/site"

NGINX_WITH_MODULE=1 httpd_start "$RUN" --server nginx --via fastcgi
echo "nginx on 127.0.0.1:$HTTPD_PORT, the module and the responder ($program)"

compared=0 differing=0
for path in "${pages[@]}"; do
  fetch "$path" >"$RUN/page.html" || { failures=$((failures + 1)); continue; }
  # Pairs as "ID module-text fastcgi-text", hex, so that every byte counts.
  while read -r id module fastcgi; do
    compared=$((compared + 1))
    if [[ $module != "$fastcgi" ]]; then
      differing=$((differing + 1))
      ((differing > 5)) || echo "FAIL $path $id: module $(xxd -r -p <<<"$module" | od -c | head -3) fastcgi $(xxd -r -p <<<"$fastcgi" | od -c | head -3)" >&2
    fi
  done < <(perl -0777 -ne 'while (/<samp id="m([^"]*)">(.*?)<\/samp><samp id="f\1">(.*?)<\/samp>/sg) {
      print "$1 ", unpack("H*", $2) || "-", " ", unpack("H*", $3) || "-", "\n" }' "$RUN/page.html")
  # Both ways failing alike would compare equal: every text must be a stamp,
  # but for the files too large for a stamp's 32 bits.
  refused='error occurred|required environment'
  ((${sizes[${path//[^0-9]/}]} <= 2147483647)) && refused+='|open file'
  if grep -qE "$refused" "$RUN/page.html"; then
    echo "FAIL $path: an include was refused or failed" >&2
    failures=$((failures + 1))
  fi
done
expected=$((${#sizes[@]} * ${#zones[@]} * ${#templates[@]}))
echo "compared $compared pairs of $expected, $differing differing"
((compared == expected)) || { echo "FAIL: compared $compared pairs, not $expected" >&2; failures=$((failures + 1)); }
((differing == 0)) || failures=$((failures + 1))
finish
