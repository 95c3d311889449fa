#!/usr/bin/env bash
# The responder's CPU time per include through nginx (fastcgi_pass, one
# responder, connections kept), for two builds side by side: each served by
# its own nginx, measured in alternating rounds, so both see the same machine.
# Not a test: it prints figures, it judges nothing.
#
#   bash bench/responder_cpu.sh OLD-PROGRAM NEW-PROGRAM [--duration S] [--rounds N]
set -euo pipefail
cd "$(dirname "$0")/.."
old=$1 new=$2; shift 2
duration=5 rounds=3 connections=16
while (($#)); do
  case $1 in
    --duration) duration=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    *) echo "usage: $0 OLD NEW [--duration S] [--rounds N]" >&2; exit 2 ;;
  esac
done

source scripts/httpd/httpd.sh
runs=()
trap 'for run in "${runs[@]}"; do httpd_stop "$run"; rm -rf "$run"; done' EXIT
trap 'exit 1' INT TERM

# The page with five includes, as a page with several stamps makes them.
page=/docs/dates.shtml
declare -A url pid cpu_ms includes
for name in old new; do
  run=$(mktemp -d "/tmp/pagestamp-cpu-$name-XXXXXX")
  runs+=("$run")
  httpd_prepare "$run" "${!name}"
  httpd_start "$run" --server nginx --via fastcgi --tz Europe/London
  url[$name]=http://127.0.0.1:$HTTPD_PORT$page
  pid[$name]=$RESPONDER_PID # spawn-fcgi -n becomes the responder
  curl -s --max-time 10 "${url[$name]}" | grep -q 'an error occurred' && { echo "$name: an include failed" >&2; exit 1; }
  wrk -t 2 -c "$connections" -d 1s "${url[$name]}" >/dev/null
  cpu_ms[$name]=0 includes[$name]=0
done

# cpu_ticks PID: user and system time so far, in clock ticks.
cpu_ticks() { awk '{sub(/.*\) /, ""); print $12 + $13}' "/proc/$1/stat"; }

for ((round = 1; round <= rounds; round++)); do
  for name in old new; do
    before=$(cpu_ticks "${pid[$name]}")
    pages=$(wrk -t 2 -c "$connections" -d "${duration}s" "${url[$name]}" | awk '/requests in/ {print $1}')
    after=$(cpu_ticks "${pid[$name]}")
    cpu_ms[$name]=$((cpu_ms[$name] + (after - before) * 1000 / $(getconf CLK_TCK)))
    includes[$name]=$((includes[$name] + pages * 5))
  done
done
echo "nginx fastcgi_pass, $connections connections, $rounds rounds of ${duration} s, page with 5 includes"
for name in old new; do
  awk -v n="$name" -v ms="${cpu_ms[$name]}" -v i="${includes[$name]}" -v s=$((rounds * duration)) \
    'BEGIN { printf "%-4s %8.0f includes/s  %6.2f us of responder CPU per include\n", n, i / s, ms * 1000 / i }'
done
