#!/usr/bin/env bash
# The responder restarted while pages are served, as systemctl restart does
# it: the listening socket is held apart from the program (socket
# activation), the old responder gets SIGTERM, answers what it has begun,
# hands its kept connections to the holder's descriptor store and exits, and
# the next one starts on the same socket, takes the stored connections and
# the ones that queued meanwhile. Behind mod_proxy_fcgi with connections
# reused, and nginx with connections kept, no include may fail and no stamp
# may be wrong; each old responder exits 0.
# Usage: restart_test.sh PROGRAM REQUESTS SERVER VIA RESTARTS
source "$(dirname "$0")/lib.sh"
program=$1 requests=$2 server=$3 via=$4 restarts=$5

prepare_site "$program"
RESPONDER_HOLDER=1 httpd_start "$RUN" --server "$server" --via "$via" --tz Europe/London
echo "$server ($via) on 127.0.0.1:$HTTPD_PORT, program $program, socket held by $RESPONDER_PID"

# started_count: the responders the holder has started so far.
started_count() { grep -c '^started ' "$RUN/holder.log"; }

check_dates_page
((failures == 0)) || finish
start_load /docs/dates.shtml "$requests" held
wait_load .quarter
for ((i = 1; i <= restarts; i++)); do
  kill -HUP "$RESPONDER_PID"
  waited=0
  until (($(started_count) > i)) || ((waited++ > 200)); do sleep 0.05; done
  sleep 0.3
done
release_load
end_load
cat "$RUN/holder.log"
((checked >= requests)) || { echo "FAIL: only $checked of $requests answers within the time limit" >&2; failures=$((failures + 1)); }
echo "restarts: $restarts; pages with failed includes under load: $failed_includes, cut short: $socket_errors"
expect_none wrong_status wrong_body failed_includes socket_errors timeouts
exits=$(grep -c '^exited .* status 0 ' "$RUN/holder.log" || true)
((exits == restarts)) || { echo "FAIL: $exits of $restarts responders exited 0" >&2; failures=$((failures + 1)); }
# Under load every stop has kept connections, and closing one instead of
# storing it is what loses includes behind a server that does not try again.
storing=$(grep -c '^exited .* stored [1-9]' "$RUN/holder.log" || true)
((storing == restarts)) || { echo "FAIL: $storing of $restarts responders stored their connections" >&2; failures=$((failures + 1)); }
check_dates_page
finish
