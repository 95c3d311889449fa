#!/usr/bin/env bash
# Requests per second through Apache httpd (event MPM, mod_cgid) on 127.0.0.1
# for three pages that each print one date: one including pagestamp, the
# same page including the minimal C CGI of bench/baseline.c, and one using
# Apache's own #flastmod. Not a test: it prints figures, it judges nothing.
#
#   bash bench/apache_pages.sh [--duration SECONDS] [--connections N]
#                              [--mpm event|prefork|worker] [--cgi cgid|cgi]
#
# BUILD_DIR (default: build) is the build whose pagestamp is measured.
set -euo pipefail
cd "$(dirname "$0")/.."

duration=10 connections=16 mpm=event cgi=cgid
while (($#)); do
  case $1 in
    --duration) duration=$2; shift 2 ;;
    --connections) connections=$2; shift 2 ;;
    --mpm) mpm=$2; shift 2 ;;
    --cgi) cgi=$2; shift 2 ;;
    *) echo "usage: $0 [--duration S] [--connections N] [--mpm M] [--cgi cgid|cgi]" >&2; exit 2 ;;
  esac
done

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target pagestamp >/dev/null

source scripts/httpd/httpd.sh
run=$(mktemp -d /tmp/pagestamp-bench-XXXXXX)
trap 'httpd_stop "$run"; rm -rf "$run"' EXIT
trap 'exit 1' INT TERM
httpd_prepare "$run" "$build/pagestamp"
cc -O2 -o "$run/cgi-bin/baseline" bench/baseline.c
chmod 755 "$run/cgi-bin/baseline"

mkdir -p "$run/site/bench"
page() {
  printf '<!DOCTYPE html>\n<html lang="en"><head><title>%s</title></head>\n<body><p>Last changed %s.</p></body></html>\n' "$1" "$2" \
    >"$run/site/bench/$1.shtml"
}
page pagestamp '<!--#include virtual="/cgi-bin/pagestamp?%WL,+%ML+%DM,+%Y4" -->'
page baseline '<!--#include virtual="/cgi-bin/baseline?%WL,+%ML+%DM,+%Y4" -->'
page flastmod '<!--#config timefmt="%A, %B %e, %Y" --><!--#flastmod virtual="/bench/flastmod.shtml" -->'
chmod -R a+rX "$run/site/bench"

httpd_start "$run" --mpm "$mpm" --cgi "$cgi" ${TZ:+--tz "$TZ"}
base=http://127.0.0.1:$HTTPD_PORT/bench

# rps PAGE: requests per second that wrk reports, after checking the page
# once and a second of warm-up.
rps() {
  local body
  body=$(curl -s --max-time 10 "$base/$1.shtml")
  if [[ $body == *'an error occurred'* || $body != *'Last changed '?* ]]; then
    echo "$1.shtml is broken: $body" >&2
    exit 1
  fi
  wrk -t 2 -c "$connections" -d 1s "$base/$1.shtml" >/dev/null
  wrk -t 2 -c "$connections" -d "${duration}s" --timeout 10s "$base/$1.shtml" >"$run/wrk-$1.out"
  if grep -q 'Non-2xx\|Socket errors' "$run/wrk-$1.out"; then
    cat "$run/wrk-$1.out" >&2
  fi
  awk '/^Requests\/sec:/ {print $2}' "$run/wrk-$1.out"
}

echo "Apache $mpm MPM, mod_$cgi, $connections connections, ${duration} s a page, 127.0.0.1"
declare -A result
for name in pagestamp baseline flastmod; do
  result[$name]=$(rps "$name")
done
printf '%-34s %12s\n' page requests/sec
printf '%-34s %12s\n' 'include virtual pagestamp' "${result[pagestamp]}"
printf '%-34s %12s\n' 'include virtual minimal C CGI' "${result[baseline]}"
printf '%-34s %12s\n' '#flastmod (no CGI)' "${result[flastmod]}"
awk -v p="${result[pagestamp]}" -v b="${result[baseline]}" \
  'BEGIN { printf "%-34s %12.3f\n", "pagestamp / minimal C CGI", p / b }'
