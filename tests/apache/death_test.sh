#!/usr/bin/env bash
# The responder killed while pages are served. Under mod_fcgid, which gives
# each responder one request at a time, no more pages than responders killed
# fail (the include shows Apache's message, or the page is cut short), and
# mod_fcgid starts new ones for the rest. Behind mod_proxy_fcgi or nginx, with
# the responder spawn-fcgi started, every include fails until one is started
# again on the socket, and then every page is right again. No page ever shows
# a wrong stamp.
# Usage: death_test.sh PROGRAM REQUESTS SERVER VIA   (see scripts/httpd/httpd.sh)
source "$(dirname "$0")/lib.sh"
program=$1 requests=$2 server=$3 via=$4

prepare_site "$program"
httpd_start "$RUN" --server "$server" --via "$via" --tz Europe/London
echo "$server ($via) on 127.0.0.1:$HTTPD_PORT, program $program"

# The processes running RUN's program: mod_fcgid's responders.
responders() {
  local exe
  for exe in /proc/[0-9]*/exe; do
    [[ $(readlink "$exe" 2>/dev/null) == "$RUN/cgi-bin/pagestamp" ]] && echo "${exe//[^0-9]/}"
  done
  return 0
}

check_dates_page
((failures == 0)) || finish
# Held, the load is still running after the responder is back, so the kill
# and the restart both happen under it.
start_load /docs/dates.shtml "$requests" held
wait_load .quarter
if [[ $via == fcgid ]]; then
  mapfile -t killed < <(responders)
else
  killed=("$RESPONDER_PID")
fi
echo "killing ${#killed[@]} responder(s) under load: ${killed[*]}"
((${#killed[@]})) || { echo "FAIL: no responder to kill" >&2; failures=$((failures + 1)); }
kill -KILL "${killed[@]}"

if [[ $via != fcgid ]]; then
  # Nobody restarts a responder spawn-fcgi started: the server's message
  # stands in for every stamp until one is started again.
  error=$apache_error
  [[ $server == apache ]] || error=$nginx_error
  check_page /docs/dates.shtml <<EOF
d1 (no CR)$error
d2 (no CR)$error
d3 (no CR)$error
d4 (no CR)$error
d5 (no CR)$error
EOF
  responder_start "$RUN"
fi
release_load
end_load
((checked >= requests)) || { echo "FAIL: only $checked of $requests answers within the time limit" >&2; failures=$((failures + 1)); }
echo "pages with failed includes under load: $failed_includes, cut short: $socket_errors"
if [[ $via == fcgid ]]; then
  expect_none wrong_status wrong_body timeouts
  if ((failed_includes + socket_errors > ${#killed[@]})); then
    echo "FAIL: more pages failed than responders were killed" >&2
    failures=$((failures + 1))
  fi
else
  expect_none wrong_status wrong_body socket_errors timeouts
  if ((failed_includes == 0)); then
    echo "FAIL: no page failed while the responder was away" >&2
    failures=$((failures + 1))
  fi
fi

# Every page right again, served by responders that were not killed.
check_dates_page
if [[ $via == fcgid ]]; then
  mapfile -t serving < <(responders)
  echo "mod_fcgid's responders now: ${serving[*]}"
  for pid in "${serving[@]}"; do
    if [[ " ${killed[*]} " == *" $pid "* ]]; then
      echo "FAIL: responder $pid was killed yet serves" >&2
      failures=$((failures + 1))
    fi
  done
  ((${#serving[@]})) || { echo "FAIL: mod_fcgid runs no responder" >&2; failures=$((failures + 1)); }
fi
finish
