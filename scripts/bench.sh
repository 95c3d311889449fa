#!/usr/bin/env bash
# Measures pagestamp against a plain C program doing the same work, all in one
# run, and prints the tables docs/performance.md shows. Nothing here is a test:
# timings vary with the machine; the ratios are what to read.
#   bash scripts/bench.sh [--runs N] [--requests N] [--no-apache]
# --no-apache leaves out the pages through real servers, Apache and nginx.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=3000
requests=100000
apache=1
while (($#)); do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --requests) requests=$2; shift 2 ;;
    --no-apache) apache=0; shift ;;
    *) echo "usage: $0 [--runs N] [--requests N] [--no-apache]" >&2; exit 2 ;;
  esac
done

bash scripts/install-deps.sh
dir=build-bench
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPAGESTAMP_BENCH=ON -DPAGESTAMP_TESTS=OFF \
  -DPAGESTAMP_APACHE_MODULE=ON -DPAGESTAMP_NGINX_MODULE=ON >/dev/null
cmake --build "$dir" >/dev/null

site=$PWD/examples/site
template='%WL,+%ML+%DM,+%Y4+%H1:%PM+%A3+(%SA)'
verdicts=()

# verdict NAME VALUE LIMIT [at-least]: VALUE must not exceed LIMIT (or, with
# at-least, must reach it).
verdict() {
  local test='v <= l' words="at most"
  [[ ${4:-} == at-least ]] && test='v >= l' words="at least"
  if awk -v v="$2" -v l="$3" "BEGIN { exit !($test) }"; then
    verdicts+=("met      $1: $2 ($words $3)")
  else
    verdicts+=("MISSED   $1: $2 ($words $3)")
  fi
}

echo "== machine"
echo "$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -sr)"

# Two floors: the baseline as a plain build makes it, and the same built with
# the program's hardening flags, so that what hardening costs shows apart.
floors=(baseline baseline_hardened)

echo
echo "== whole process: exec, dynamic linking, the work, exit (median of $runs runs each, alternating)"
for query in "" "$template"; do
  label=default; [[ -n $query ]] && label=template
  for floor in "${floors[@]}"; do
    line=$("$dir/bench/process_bench" "$dir/pagestamp" "$dir/bench/$floor" "$runs" "$site" "$query")
    echo "against $floor: $line"
    ratio=$(sed -E 's/.* ratio ([0-9.]+) .*/\1/' <<<"$line")
    verdict "time ratio, $label, against $floor" "$ratio" 1.05
  done
done

echo
echo "== instructions of one run (valgrind callgrind; deterministic)"
count() { # PROGRAM QUERY
  env -i SERVER_NAME=bench.example.org DOCUMENT_ROOT="$site" DOCUMENT_URI=/index.shtml \
    DOCUMENT_NAME=index.shtml QUERY_STRING="$2" TZ=Europe/London \
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$1" 2>&1 >/dev/null |
    sed -n -E 's/.*Collected : ([0-9]+).*/\1/p'
}
printf '%-10s %-18s %12s %12s %8s\n' "" floor pagestamp floor ratio
for query in "" "$template"; do
  label=default; [[ -n $query ]] && label=template
  ours=$(count "$dir/pagestamp" "$query")
  for floor in "${floors[@]}"; do
    theirs=$(count "$dir/bench/$floor" "$query")
    ratio=$(awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "%.3f", a / b }')
    printf '%-10s %-18s %12s %12s %8s\n' "$label" "$floor" "$ours" "$theirs" "$ratio"
    verdict "instruction ratio, $label, against $floor" "$ratio" 1.10
  done
done

echo
echo "== expand_template alone (Google Benchmark)"
"$dir/bench/expand_bench" --benchmark_min_time=0.2 2>/dev/null | grep -E '^(expand|Benchmark|-)'

echo
echo "== a local time: glibc's localtime_r against the zone reader (Google Benchmark)"
"$dir/bench/zone_bench" --benchmark_min_time=0.2 2>/dev/null | grep -E '^(libc|reader|Benchmark|-)'

echo
echo "== the FastCGI responder alone: $requests requests, one after another on one connection"
source scripts/httpd/httpd.sh
responder_run=$(mktemp -d /tmp/pagestamp-bench-responder-XXXXXX)
httpd_prepare "$responder_run" "$dir/pagestamp"
responder_start "$responder_run"
# utime and stime of the responder, in clock ticks.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$RESPONDER_PID/stat"; }
before=$(cpu_ticks)
"$dir/bench/fastcgi_client" "$responder_run/pagestamp.sock" "$requests" SERVER_NAME=bench.example.org \
  DOCUMENT_ROOT="$responder_run/site" DOCUMENT_URI=/index.shtml DOCUMENT_NAME=index.shtml \
  "QUERY_STRING=$template" TZ=Europe/London
awk -v t="$(($(cpu_ticks) - before))" -v hz="$(getconf CLK_TCK)" -v n="$requests" \
  'BEGIN { printf "responder CPU time: %.1f us a request (user and system)\n", t / hz / n * 1e6 }'
responder_stop "$responder_run"
rm -rf "$responder_run"

# server_verdict NAME RATIO-LABEL LIMIT: the ratio bench/server_pages.sh printed.
server_verdict() {
  local ratio
  ratio=$(grep -F "$2 " <<<"$server_out" | sed -n -E 's/.* ([0-9.]+)$/\1/p' | tail -1)
  if [[ -n $ratio ]]; then
    verdict "$1" "$ratio" "$3" at-least
  else
    verdicts+=("MISSED   $1: no figure from bench/server_pages.sh")
  fi
}

if ((apache)) && [[ -f bench/server_pages.sh ]]; then
  echo
  echo "== pages through Apache (event MPM) and nginx"
  server_out=$(BUILD_DIR="$dir" bash bench/server_pages.sh 2>&1) || true
  echo "$server_out"
  server_verdict "page throughput, pagestamp/minimal CGI" "pagestamp / minimal C CGI" 0.95
  server_verdict "mod_fcgid pages/#flastmod, one include" "mod_fcgid / #flastmod, one include" 0.5
  server_verdict "module pages/#flastmod, one include" "Apache module / #flastmod, one include" 0.9
  server_verdict "module pages/#flastmod, five includes" "Apache module / #flastmod, five includes" 0.8
  for pair in "mod_fcgid / mod_cgid" "mod_proxy_fcgi / mod_cgid" "nginx fastcgi_pass / fcgiwrap"; do
    for count in "one include" "five includes"; do
      server_verdict "$pair pages, $count" "$pair, $count" 6
    done
  done
  server_verdict "nginx module pages/static include, one include" "module / static include, one include" 0.9
fi

echo
echo "== targets"
printf '%s\n' "${verdicts[@]}"
