#!/usr/bin/env bash
# The module under load in nginx's two workers from 32 connections: every
# page as served alone; the workers' memory flat over a million includes
# (INCLUDES, five a page); and reloads under load that lose no page.
# Usage: module_load_test.sh PROGRAM INCLUDES
source "$(dirname "$0")/lib.sh"
program=$1 includes=$2
export LOAD_CONNECTIONS=32

prepare_site "$program"
httpd_start "$RUN" --server nginx --via module --tz Europe/London
echo "nginx (module) on 127.0.0.1:$HTTPD_PORT"
check_dates_page
((failures == 0)) || finish

workers_rss() {
  local pid total=0 kb
  for pid in $(pgrep -P "$HTTPD_PID"); do
    kb=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null) || continue
    total=$((total + ${kb:-0}))
  done
  echo "$total"
}

expect_every_page() {
  expect_none wrong_status wrong_body failed_includes timeouts
  ((checked >= $1)) || { echo "FAIL: only $checked of $1 pages" >&2; failures=$((failures + 1)); }
  # An old worker closes each idle kept-alive connection once as it stops; a
  # request wrk has just sent down one is never read, and wrk counts it as a
  # socket error where a browser asks again. More would be pages lost.
  ((socket_errors <= ${2:-0} * LOAD_CONNECTIONS)) ||
    { echo "FAIL: $socket_errors socket errors" >&2; failures=$((failures + 1)); }
}

# Memory once the workers have warmed up (a quarter of the load), and at its
# end: what a request takes must go back with its pool.
pages=$((includes / 5))
start_load /docs/dates.shtml "$pages"
wait_load .quarter
warm=$(workers_rss)
end_load
grown=$(($(workers_rss) - warm))
echo "workers' memory after a quarter of $includes includes: $warm KiB, after all: $grown KiB more"
expect_every_page "$pages"
# The sanitizers keep freed memory in quarantine: only the plain build is flat.
if [[ -z ${NGINX_PRELOAD:-} ]] && ((grown > 1024)); then
  echo "FAIL: the workers grew by $grown KiB" >&2
  failures=$((failures + 1))
fi

# nginx -s reload three times while the load runs: new workers take over,
# the old ones finish what they have; no page may be lost or wrong.
start_load /docs/dates.shtml 4000 held
wait_load .quarter
# The signalling nginx reads the configuration too, and loads the module.
signaller=(PATH="$HTTPD_PATH")
[[ -z ${NGINX_PRELOAD:-} ]] || signaller+=("LD_PRELOAD=$NGINX_PRELOAD" "ASAN_OPTIONS=${ASAN_OPTIONS:-}")
for reload in 1 2 3; do
  env -i "${signaller[@]}" "$NGINX_BIN" -p "$RUN/" -c "$RUN/nginx.conf" -e "$RUN/error.log" -s reload
  sleep 1
done
release_load
end_load
echo "connections closed by stopping workers: $socket_errors"
expect_every_page 4000 3
if server_errors >&2; then
  echo "FAIL: errors in the server log" >&2
  failures=$((failures + 1))
fi
finish
