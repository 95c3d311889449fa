#!/usr/bin/env bash
# Pages per second through real servers on 127.0.0.1, all started at once
# from the same build and measured in interleaved rounds (medians): pages with
# one and with five includes of pagestamp, as the CGI (Apache mod_cgid,
# nginx with fcgiwrap) and as the FastCGI responder (mod_fcgid,
# mod_proxy_fcgi, nginx fastcgi_pass); the same page including the minimal C
# CGI of bench/baseline.c; Apache's own #flastmod, and the module inside
# Apache beside a page that includes a small static file. Under nginx also the
# module, against the floor of its own kind: the same page including a small
# static file (the same subrequest), nginx's in-process #echo of date_local,
# and fastcgi_pass; with the latency's median and 99th percentile. Not a
# test: it prints figures, it judges nothing.
#
#   bash bench/server_pages.sh [--duration SECONDS] [--rounds N] [--connections N]
#   bash bench/server_pages.sh --keepalive 16,64 [...]
#
# With --keepalive, only nginx's fastcgi_pass is measured, once for each count
# of connections its upstream keeps, in the same interleaved rounds.
#
# BUILD_DIR (default: build) is the build whose pagestamp is measured.
set -euo pipefail
cd "$(dirname "$0")/.."

duration=3 rounds=5 connections=16 keepalive=
while (($#)); do
  case $1 in
    --keepalive) keepalive=$2; shift 2 ;;
    --duration) duration=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --connections) connections=$2; shift 2 ;;
    *) echo "usage: $0 [--duration S] [--rounds N] [--connections N] [--keepalive N,M]" >&2; exit 2 ;;
  esac
done

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target pagestamp mod_pagestamp ngx_http_pagestamp_module >/dev/null
export NGINX_MODULE=$PWD/$build/ngx_http_pagestamp_module.so

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
  # The floors under nginx: a subrequest for a small file, and nginx's own.
  echo 2003-4-2 >"$dir/small.txt"
  page static-one '<!--#include virtual="/bench/small.txt" -->'
  page static-five "$(for i in 1 2 3 4 5; do printf '<!--#include virtual="/bench/small.txt" --> '; done)"
  page echo-one '<!--#echo var="date_local" -->'
  page echo-five "$(for i in 1 2 3 4 5; do printf '<!--#echo var="date_local" --> '; done)"
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
# keep_connections NAME COUNT: NAME's nginx keeps COUNT connections to the
# responder, as its shipped keepalive line says; nginx rereads it on SIGHUP.
keep_connections() {
  local run=${runs[-1]}
  sed -i -E "s/keepalive [0-9]+;/keepalive $2;/" "$run/pagestamp-http.conf"
  grep -q "keepalive $2;" "$run/pagestamp-http.conf" || { echo "$1: no keepalive line" >&2; exit 1; }
  kill -HUP "$(cat "$run/nginx.pid")"
  sleep 1
}

if [[ -n $keepalive ]]; then
  measures=()
  for count in ${keepalive//,/ }; do
    serve "keep$count" nginx fastcgi
    keep_connections "keep$count" "$count"
    measures+=("keep$count-one keep$count one" "keep$count-five keep$count five")
  done
else
serve cgid apache cgid
serve fcgid apache fcgid
serve proxy apache proxy-fcgi
serve apmodule apache module
serve fcgiwrap nginx fcgiwrap
serve fastcgi nginx fastcgi
serve module nginx module

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
  "apmodule-one apmodule one" "apmodule-five apmodule five"
  "apstatic-one apmodule static-one" "apstatic-five apmodule static-five"
  "static-one module static-one" "static-five module static-five"
  "echo-one module echo-one" "echo-five module echo-five"
)
fi

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

# rps URL: requests per second that wrk reports, then the latency's median
# and 99th percentile in microseconds.
rps() {
  wrk -t 2 -c "$connections" -d "${duration}s" --timeout 10s --latency "$1" >"${runs[0]}/wrk.out"
  if grep -q 'Non-2xx\|Socket errors' "${runs[0]}/wrk.out"; then
    cat "${runs[0]}/wrk.out" >&2
  fi
  awk 'function us(t) { if (t ~ /us$/) return t + 0; if (t ~ /ms$/) return t * 1000; return t * 1000000 }
       /^Requests\/sec:/ {r = $2} $1 == "50%" {p50 = us($2)} $1 == "99%" {p99 = us($2)}
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
declare -A median p50 p99
for name in "${!results[@]}"; do
  median[$name]=$(median_of "${results[$name]}")
  p50[$name]=$(median_of "${p50s[$name]}")
  p99[$name]=$(median_of "${p99s[$name]}")
done

printf '%-44s %12s %12s\n' 'pages/s' 'one include' 'five'
row() { printf '%-44s %12s %12s\n' "$1" "${median[$2-one]:--}" "${median[$2-five]:--}"; }
ratio() { awk -v a="${median[$2]}" -v b="${median[$3]}" -v l="$1" 'BEGIN { printf "%-44s %12.3f\n", l, a / b }'; }
if [[ -n $keepalive ]]; then
  counts=(${keepalive//,/ })
  for count in "${counts[@]}"; do row "nginx fastcgi_pass, keepalive $count" "keep$count"; done
  echo
  for count in "${counts[@]:1}"; do
    ratio "keepalive $count / ${counts[0]}, one include" "keep$count-one" "keep${counts[0]}-one"
    ratio "keepalive $count / ${counts[0]}, five includes" "keep$count-five" "keep${counts[0]}-five"
  done
  exit 0
fi
row "Apache #flastmod (no program)" flastmod
row "Apache mod_cgid, pagestamp CGI" cgid
row "Apache mod_cgid, minimal C CGI" baseline
row "Apache mod_fcgid, pagestamp responder" fcgid
row "Apache mod_proxy_fcgi, pagestamp responder" proxy
row "nginx fcgiwrap, pagestamp CGI" fcgiwrap
row "nginx fastcgi_pass, pagestamp responder" fastcgi
row "Apache mod_pagestamp (module)" apmodule
row "Apache include virtual, small static file" apstatic
row "nginx ngx_http_pagestamp_module" module
row "nginx include of a small static file" static
row "nginx #echo date_local (no program)" echo
echo
printf '%-44s %12s %12s %12s %12s\n' 'latency, us (medians of rounds)' 'one p50' 'one p99' 'five p50' 'five p99'
latency() {
  printf '%-44s %12s %12s %12s %12s\n' "$1" "${p50[$2-one]:--}" "${p99[$2-one]:--}" "${p50[$2-five]:--}" "${p99[$2-five]:--}"
}
latency "Apache #flastmod" flastmod
latency "Apache mod_pagestamp (module)" apmodule
latency "Apache include virtual, small static file" apstatic
latency "Apache mod_proxy_fcgi, pagestamp responder" proxy
latency "nginx ngx_http_pagestamp_module" module
latency "nginx include of a small static file" static
latency "nginx #echo date_local" echo
latency "nginx fastcgi_pass, pagestamp responder" fastcgi
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
ratio "Apache module / #flastmod, one include" apmodule-one flastmod-one
ratio "Apache module / #flastmod, five includes" apmodule-five flastmod-five
ratio "Apache module / include virtual static, one" apmodule-one apstatic-one
ratio "Apache module / include virtual static, five" apmodule-five apstatic-five
ratio "Apache module / mod_proxy_fcgi, one include" apmodule-one proxy-one
ratio "Apache module / mod_proxy_fcgi, five includes" apmodule-five proxy-five
ratio "module / static include, one include" module-one static-one
ratio "module / static include, five includes" module-five static-five
ratio "module / #echo date_local, one include" module-one echo-one
ratio "module / #echo date_local, five includes" module-five echo-five
ratio "module / fastcgi_pass, one include" module-one fastcgi-one
ratio "module / fastcgi_pass, five includes" module-five fastcgi-five
