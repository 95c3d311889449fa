#!/usr/bin/env bash
# Measures pagestamp against a plain C program doing the same work, all in one
# run, and prints the table the README shows. Nothing here is a test: timings
# vary with the machine; the ratios are what to read.
#   bash scripts/bench.sh [--runs N] [--no-apache]
set -euo pipefail
cd "$(dirname "$0")/.."

runs=3000
apache=1
while (($#)); do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --no-apache) apache=0; shift ;;
    *) echo "usage: $0 [--runs N] [--no-apache]" >&2; exit 2 ;;
  esac
done

bash scripts/install-deps.sh
dir=build-bench
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPAGESTAMP_BENCH=ON -DPAGESTAMP_TESTS=OFF >/dev/null
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

if ((apache)) && [[ -f bench/apache_pages.sh ]]; then
  echo
  echo "== pages through Apache (event MPM, mod_cgid)"
  apache_out=$(BUILD_DIR="$dir" bash bench/apache_pages.sh 2>&1) || true
  echo "$apache_out"
  ratio=$(sed -n -E 's/^pagestamp \/ minimal C CGI +([0-9.]+).*/\1/p' <<<"$apache_out" | tail -1)
  if [[ -n $ratio ]]; then
    verdict "page throughput, pagestamp/minimal CGI" "$ratio" 0.95 at-least
  else
    verdicts+=("MISSED   page throughput: no figure from bench/apache_pages.sh")
  fi
fi

echo
echo "== targets"
printf '%s\n' "${verdicts[@]}"
