#!/usr/bin/env bash
# Thousands of requests from 16 connections (or CONNECTIONS) at a page that runs the program
# five times: every answer must be the page as served alone, byte for byte.
# Where the server keeps connections to a responder for the next request,
# some must still be open after the load.
# Usage: load_test.sh PROGRAM REQUESTS SERVER VIA [CONNECTIONS]   (see scripts/httpd/httpd.sh)
source "$(dirname "$0")/lib.sh"
program=$1 requests=$2 server=$3 via=$4 LOAD_CONNECTIONS=${5:-16}

prepare_site "$program"
httpd_start "$RUN" --server "$server" --via "$via" --tz Europe/London $(own_zone "$via" Europe/London)
echo "$server ($via) on 127.0.0.1:$HTTPD_PORT, program $program"

check_dates_page
((failures == 0)) || finish
start_load /docs/dates.shtml "$requests"
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
