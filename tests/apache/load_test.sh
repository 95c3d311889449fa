#!/usr/bin/env bash
# Thousands of requests from 16 connections (or CONNECTIONS) at a page that runs the program
# five times (six for nginx's module): every answer must be the page as served alone, byte for byte.
# Where the server keeps connections to a responder for the next request,
# some must still be open after the load.
# Usage: load_test.sh PROGRAM REQUESTS SERVER VIA [CONNECTIONS]   (see scripts/httpd/httpd.sh)
source "$(dirname "$0")/lib.sh"
program=$1 requests=$2 server=$3 via=$4 LOAD_CONNECTIONS=${5:-16}

prepare_site "$program"
httpd_start "$RUN" --server "$server" --via "$via" --tz Europe/London
echo "$server ($via) on 127.0.0.1:$HTTPD_PORT, program $program"

check_dates_page
((failures == 0)) || finish
page=/docs/dates.shtml
# Inside httpd, threads answer in different zones at once: a page whose
# includes each name another (SetEnv by the include's query).
if [[ $server/$via == apache/module ]]; then
  zones=(Asia/Tokyo America/New_York Europe/London Australia/Lord_Howe)
  for zone in "${zones[@]}"; do
    printf '<If "%%{QUERY_STRING} =~ /%s$/">\n    SetEnv TZ %s\n</If>\n' "${zone#*/}" "$zone"
  done >"$RUN/conf.d/zones.conf"
  for zone in "${zones[@]}"; do
    echo "<samp id=\"${zone#*/}\"><!--#include virtual=\"/cgi-bin/pagestamp?%Y4-%MP-%DP+%P2:%PM+%TZ+${zone#*/}\" --></samp>"
  done >"$RUN/site/zones.shtml"
  chmod a+r "$RUN/conf.d/zones.conf" "$RUN/site/zones.shtml"
  httpd_stop "$RUN"
  httpd_start "$RUN" --server "$server" --via "$via" # without a SetEnv TZ for all
  page=/zones.shtml
  fetch "$page" | samples
  [[ $(fetch "$page" | samples | awk '{print $4}' | sort -u | wc -l) == "${#zones[@]}" ]] ||
    { echo "FAIL: the zones page does not show ${#zones[@]} zones" >&2; failures=$((failures + 1)); finish; }
fi
# nginx's module answers users' includes in a pool's threads, and the
# others in the worker: a page of both, each kept in its place.
if [[ $server/$via == nginx/module ]]; then
  for i in 1 2 3; do
    echo "<samp id=\"plain$i\"><!--#include virtual=\"/cgi-bin/pagestamp?%Y4-%MP-%DP+$i\" --></samp>"
    echo "<samp id=\"user$i\"><!--#include virtual=\"/cgi-bin/pagestamp/~ann/notes.html?%Y4-%MP-%DP+$i\" --></samp>"
  done >"$RUN/site/users.shtml"
  fixed_time site/users.shtml '2003-04-02 15:07:09'
  chmod a+r "$RUN/site/users.shtml"
  page=/users.shtml
  check_page "$page" <<'EOF'
plain1 2003-04-02 1
user1 2004-02-29 1
plain2 2003-04-02 2
user2 2004-02-29 2
plain3 2003-04-02 3
user3 2004-02-29 3
EOF
fi
start_load "$page" "$requests"
end_load
((checked >= requests)) || { echo "FAIL: only $checked of $requests answers within the time limit" >&2; failures=$((failures + 1)); }
expect_none wrong_status wrong_body failed_includes socket_errors timeouts
if server_errors >&2; then
  echo "FAIL: errors in the server log" >&2
  failures=$((failures + 1))
fi

# Connections the server keeps stay open at the responder (its listening
# socket aside) until the server's 5 s are up.
if [[ $via == proxy-fcgi || $via == fastcgi ]]; then
  kept=$(find "/proc/$RESPONDER_PID/fd" -lname 'socket:*' | wc -l)
  echo "connections open at the responder after the load: $((kept - 1))"
  ((kept > 1)) || { echo "FAIL: the server kept no connection to the responder" >&2; failures=$((failures + 1)); }
fi
finish
