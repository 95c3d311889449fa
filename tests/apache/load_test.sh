#!/usr/bin/env bash
# Thousands of requests from 16 connections at a page that runs the program
# five times: every answer must be the page as served alone, byte for byte.
# Usage: load_test.sh PROGRAM [REQUESTS]
source "$(dirname "$0")/lib.sh"
program=$1 requests=${2:-3000}
connections=16 threads=2

prepare_site "$program"
httpd_start "$RUN" --mpm event --cgi cgid --tz Europe/London

check_dates_page
((failures == 0)) || finish
fetch /docs/dates.shtml >"$RUN/reference.html"

mkdir "$RUN/done"
wrk -t "$threads" -c "$connections" -d 300s --timeout 20s -s "$TEST_DIR/load_check.lua" \
  "http://127.0.0.1:$HTTPD_PORT/docs/dates.shtml" -- "$RUN/reference.html" $((requests / threads)) "$RUN/done" \
  >"$RUN/wrk.out" 2>&1 &
wrk_pid=$!
while httpd_alive "$wrk_pid" && (($(ls "$RUN/done" | wc -l) < threads)); do
  sleep 0.2
done
kill -INT "$wrk_pid" 2>/dev/null || true
wait "$wrk_pid" || true
cat "$RUN/wrk.out"

read -r checked wrong_status wrong_body socket_errors timeouts < <(
  sed -nE 's/^checked ([0-9]+) wrong_status ([0-9]+) wrong_body ([0-9]+) socket_errors ([0-9]+) timeouts ([0-9]+)$/\1 \2 \3 \4 \5/p' "$RUN/wrk.out")
if [[ -z ${checked:-} ]]; then
  echo "FAIL: no summary from wrk" >&2
  failures=$((failures + 1))
else
  ((checked >= requests)) || { echo "FAIL: only $checked of $requests answers within the time limit" >&2; failures=$((failures + 1)); }
  for count in wrong_status wrong_body socket_errors timeouts; do
    ((${!count} == 0)) || { echo "FAIL: $count ${!count}" >&2; failures=$((failures + 1)); }
  done
fi
if grep -E '\[(include|cgid?):error\]' "$RUN/error.log" >&2; then
  echo "FAIL: errors in the server log" >&2
  failures=$((failures + 1))
fi
finish
