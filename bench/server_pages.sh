#!/usr/bin/env bash
# Pages per second through real servers on 127.0.0.1, all started at once
# from the same build and measured in interleaved rounds (medians): pages with
# one and with five includes of pagestamp, as the CGI (Apache mod_cgid,
# nginx with fcgiwrap) and as the FastCGI responder (mod_fcgid,
# mod_proxy_fcgi, nginx fastcgi_pass); the same page including the minimal C
# CGI of bench/baseline.c; Apache's own #flastmod; the module inside Apache,
# and beside it a page that includes a small static file (the floor of any
# subrequest). Pages/s, and the latency's p50 and p99 in ms. Not a test: it
# prints figures, it judges nothing.
#
#   bash bench/server_pages.sh [--duration SECONDS] [--rounds N] [--connections N]
#
# BUILD_DIR (default: build) is the build whose pagestamp is measured.
set -euo pipefail
cd "$(dirname "$0")/.."

duration=3 rounds=5 connections=16
while (($#)); do
  case $1 in
    --duration) duration=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --connections) connections=$2; shift 2 ;;
    *) echo "usage: $0 [--duration S] [--rounds N] [--connections N]" >&2; exit 2 ;;
  esac
done

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target pagestamp mod_pagestamp >/dev/null

source scripts/httpd/httpd.sh
runs=()
stop_all() {
  local run
  for run in "${runs[@]}"; do httpd_stop "$run"; rm -rf "$run"; done
}
trap stop_all EXIT
trap 'exit 1' INT TERM

# pages RUN: the measured pages in RUN's site/bench/.
pages() {
  local dir=$1/site/bench include='<!--#include virtual="/cgi-bin/pagestamp?%s" -->'
  mkdir -p "$dir"
  page() {
    printf '<!DOCTYPE html>\n<html lang="en"><head><title>%s</title></head>\n<body><p>Last changed %s.</p></body></html>\n' \
      "$1" "$2" >"$dir/$1.shtml"
  }
  page one "$(printf "$include" '%WL,+%ML+%DM,+%Y4')"
  page five "$(for t in '%WL,+%ML+%DM,+%Y4' '' '%DP.%MP.%Y4+%P2:%PM+%TZ' '%Y2%MP%DP-%P2%PM%PS' '%FN+(%SA)'; do
    printf "$include " "$t"; done)"
  page baseline '<!--#include virtual="/cgi-bin/baseline?%WL,+%ML+%DM,+%Y4" -->'
  page flastmod-one '<!--#config timefmt="%A, %B %e, %Y" --><!--#flastmod virtual="/bench/one.shtml" -->'
  page flastmod-five "$(for f in '%A, %B %e, %Y' '%Y-%m-%d' '%d.%m.%Y %H:%M %Z' '%y%m%d-%H%M%S' '%b %e'; do
    printf '<!--#config timefmt="%s" --><!--#flastmod virtual="/bench/one.shtml" --> ' "$f"; done)"
  echo 'Wednesday, April 2, 2003' >"$dir/small.txt"
  page virtual-one '<!--#include virtual="/bench/small.txt" -->'
  page virtual-five "$(for f in 1 2 3 4 5; do printf '<!--#include virtual="/bench/small.txt" --> '; done)"
  chmod -R a+rX "$dir"
}

# serve NAME SERVER VIA: a server of its own for NAME.
declare -A base
serve() {
  local run
  run=$(mktemp -d "/tmp/pagestamp-bench-$1-XXXXXX")
  runs+=("$run")
  httpd_prepare "$run" "$build/pagestamp"
  cc -O2 -o "$run/cgi-bin/baseline" bench/baseline.c
  chmod 755 "$run/cgi-bin/baseline"
  pages "$run"
  httpd_start "$run" --server "$2" --via "$3" ${TZ:+--tz "$TZ"}
  base[$1]=http://127.0.0.1:$HTTPD_PORT/bench
}
serve cgid apache cgid
serve fcgid apache fcgid
serve proxy apache proxy-fcgi
serve module apache module
serve fcgiwrap nginx fcgiwrap
serve fastcgi nginx fastcgi

# What is measured: a name, and the server and page that give it.
measures=(
  "flastmod-one cgid flastmod-one" "flastmod-five cgid flastmod-five"
  "baseline-one cgid baseline"
  "cgid-one cgid one" "cgid-five cgid five"
  "fcgid-one fcgid one" "fcgid-five fcgid five"
  "proxy-one proxy one" "proxy-five proxy five"
  "fcgiwrap-one fcgiwrap one" "fcgiwrap-five fcgiwrap five"
  "fastcgi-one fastcgi one" "fastcgi-five fastcgi five"
  "module-one module one" "module-five module five"
  "virtual-one module virtual-one" "virtual-five module virtual-five"
)

# A page whose include failed, or that stamps nothing, measures nothing.
for measure in "${measures[@]}"; do
  read -r name server page <<<"$measure"
  body=$(curl -s --max-time 10 "${base[$server]}/$page.shtml")
  if [[ $body == *'an error occurred'* || $body != *'Last changed '?* ]] && [[ $page != virtual-* ]]; then
    echo "$name: ${base[$server]}/$page.shtml is broken: $body" >&2
    exit 1
  fi
  wrk -t 2 -c "$connections" -d 1s "${base[$server]}/$page.shtml" >/dev/null
done

# rps URL: requests per second that wrk reports, and its p50 and p99 in ms.
rps() {
  wrk -t 2 -c "$connections" -d "${duration}s" --timeout 10s --latency "$1" >"${runs[0]}/wrk.out"
  if grep -q 'Non-2xx\|Socket errors' "${runs[0]}/wrk.out"; then
    cat "${runs[0]}/wrk.out" >&2
  fi
  awk 'function ms(t) { return t ~ /us$/ ? t / 1000 : t ~ /ms$/ ? t + 0 : t * 1000 }
       /^Requests\/sec:/ {r = $2} /^ +50%/ {p50 = ms($2)} /^ +99%/ {p99 = ms($2)}
       END {print r, p50, p99}' "${runs[0]}/wrk.out"
}

echo "$connections connections, $rounds rounds of ${duration} s a page, medians, 127.0.0.1"
declare -A results p50s p99s
for ((round = 1; round <= rounds; round++)); do
  for measure in "${measures[@]}"; do
    read -r name server page <<<"$measure"
    read -r r p50 p99 < <(rps "${base[$server]}/$page.shtml")
    results[$name]+=" $r" p50s[$name]+=" $p50" p99s[$name]+=" $p99"
  done
done

median_of() {
  tr ' ' '\n' <<<"$1" | grep . | sort -g |
    awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}
declare -A median
for name in "${!results[@]}"; do
  median[$name]=$(median_of "${results[$name]}")
  median[$name-p50]=$(median_of "${p50s[$name]}")
  median[$name-p99]=$(median_of "${p99s[$name]}")
done

printf '%-44s %12s %12s %19s %19s\n' 'pages/s' 'one include' 'five' 'one: p50/p99 ms' 'five: p50/p99 ms'
row() {
  printf '%-44s %12s %12s %19s %19s\n' "$1" "${median[$2-one]:--}" "${median[$2-five]:--}" \
    "${median[$2-one-p50]:--}/${median[$2-one-p99]:--}" "${median[$2-five-p50]:--}/${median[$2-five-p99]:--}"
}
row "Apache #flastmod (no program)" flastmod
row "Apache mod_cgid, pagestamp CGI" cgid
row "Apache mod_cgid, minimal C CGI" baseline
row "Apache mod_fcgid, pagestamp responder" fcgid
row "Apache mod_proxy_fcgi, pagestamp responder" proxy
row "nginx fcgiwrap, pagestamp CGI" fcgiwrap
row "nginx fastcgi_pass, pagestamp responder" fastcgi
row "Apache mod_pagestamp (module)" module
row "Apache include virtual, small static file" virtual
ratio() { awk -v a="${median[$2]}" -v b="${median[$3]}" -v l="$1" 'BEGIN { printf "%-44s %12.3f\n", l, a / b }'; }
echo
ratio "pagestamp / minimal C CGI" cgid-one baseline-one
ratio "mod_fcgid / #flastmod, one include" fcgid-one flastmod-one
ratio "mod_fcgid / #flastmod, five includes" fcgid-five flastmod-five
ratio "mod_fcgid / mod_cgid, one include" fcgid-one cgid-one
ratio "mod_fcgid / mod_cgid, five includes" fcgid-five cgid-five
ratio "mod_proxy_fcgi / mod_cgid, one include" proxy-one cgid-one
ratio "mod_proxy_fcgi / mod_cgid, five includes" proxy-five cgid-five
ratio "nginx fastcgi_pass / fcgiwrap, one include" fastcgi-one fcgiwrap-one
ratio "nginx fastcgi_pass / fcgiwrap, five includes" fastcgi-five fcgiwrap-five
ratio "module / #flastmod, one include" module-one flastmod-one
ratio "module / #flastmod, five includes" module-five flastmod-five
ratio "module / include virtual static, one include" module-one virtual-one
ratio "module / include virtual static, five includes" module-five virtual-five
ratio "module / mod_proxy_fcgi, one include" module-one proxy-one
ratio "module / mod_proxy_fcgi, five includes" module-five proxy-five
