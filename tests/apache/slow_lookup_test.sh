#!/usr/bin/env bash
# The module with a password source as slow as a far directory server, 200 ms
# a lookup (tests/support/nss_slow.c, asked by nss_wrapper), in one worker
# with a thread pool of its own. While a "~user" include waits for its
# lookup, the worker answers a page of 20 other includes; the user's page
# still gets its stamp; and a worker made to drop the waiting request keeps
# the request's memory until the lookup is done with it.
# Usage: slow_lookup_test.sh PROGRAM NSS_MODULE
source "$(dirname "$0")/lib.sh"
program=$1
export NGINX_WORKERS=1 HTTPD_NSS_MODULE=$RUN/libnss_slow.so.2

prepare_site "$program"
install -m 644 "$2" "$HTTPD_NSS_MODULE"
mkdir -p "$RUN/home/slow/www"
cp "$RUN/site/docs/notes.html" "$RUN/home/slow/www/notes.html"
fixed_time home/slow/www/notes.html '2005-06-07 08:09:10'
# slower takes 2 s a lookup: long enough for a reload to end its request.
printf '%s:x:%s:2999:%s:%s:/usr/sbin/nologin\n' slow 2999 '' "$RUN/home/slow" slower 2998 2000 "$RUN/home/slow" \
  >"$RUN/passwd.slow"
# The include before the user's wakes the user's as soon as it is done,
# which must then wait on for its lookup.
printf '%s\n' '<samp id="before"><!--#include virtual="/cgi-bin/pagestamp?%Y4-%MP-%DP" --></samp>' \
  '<samp id="slow"><!--#include virtual="/cgi-bin/pagestamp/~slow/notes.html?%FN+%Y4-%MP-%DP" --></samp>' \
  >"$RUN/site/slow.shtml"
fixed_time site/slow.shtml '2003-04-02 15:07:09'
slow_expected=$'before 2003-04-02\nslow notes.html 2005-06-07'
sed 's/~slow/~slower/' "$RUN/site/slow.shtml" >"$RUN/site/slower.shtml"
for i in {1..20}; do
  echo "<samp id=\"p$i\"><!--#include virtual=\"/cgi-bin/pagestamp?%Y4-%MP-%DP+n$i\" --></samp>"
  plain_expected+="p$i 2003-04-02 n$i"$'\n'
done >"$RUN/site/plain.shtml"
fixed_time site/plain.shtml '2003-04-02 15:07:09'
# A worker told to stop drops its connections after 50 ms, lookup or not.
printf '%s\n' 'thread_pool pagestamp_lookups threads=1;' 'worker_shutdown_timeout 50ms;' >"$RUN/main.d/lookups.conf"
echo 'pagestamp_thread_pool pagestamp_lookups;' >"$RUN/conf.d/lookups.conf"
: >"$RUN/nss_slow.log"
chmod -R a+rX "$RUN"
chmod 666 "$RUN/nss_slow.log"
httpd_start "$RUN" --server nginx --via module --tz Europe/London
echo "nginx (module, one worker) on 127.0.0.1:$HTTPD_PORT"

# Between the lookup's start and the page's answer the test runs nothing but
# this shell's builtins: a process started there may take, on a busy
# machine, longer than the lookup. The page goes down a connection opened
# beforehand; waits are reads that time out on a FIFO nobody writes.
mkfifo "$RUN/never"
exec {never}<>"$RUN/never"
# now_us VAR: the time in microseconds, taken without a process.
now_us() { printf -v "$1" '%s' "${EPOCHREALTIME/[.,]/}"; }

# wait_for_lookup WHAT [USER]: until the password source has logged "WHAT
# USER" (slow).
wait_for_lookup() {
  local waited=0 log
  until mapfile -t log <"$RUN/nss_slow.log" && [[ " ${log[*]} " == *" $1 ${2:-slow} "* ]]; do
    ((waited++ < 1000)) || { echo "FAIL: the source never logged \"$1 ${2:-slow}\"" >&2; finish; }
    read -r -t 0.005 -u "$never" || true
  done
}

# fetch_on FD PATH: the whole answer to an HTTP/1.0 GET of PATH sent down FD.
fetch_on() {
  local line answer=
  printf 'GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' "$2" >&"$1"
  while IFS= read -r -t 10 -u "$1" line || [[ -n $line ]]; do
    answer+=$line$'\n'
  done
  echo "$answer"
}

check_page /slow.shtml <<<"$slow_expected"

# The page of 20 includes, asked for while the lookup runs, must be answered
# before the lookup ends: a worker that waited for it could not, in any
# round. A machine busy enough to stall this shell for the whole lookup may
# fail one; three rounds in a row are a worker that waits.
lookup_round() {
  : >"$RUN/nss_slow.log"
  exec {plain}<>"/dev/tcp/127.0.0.1/$HTTPD_PORT"
  now_us start
  curl -s -o "$RUN/slow.html" --max-time 30 "http://127.0.0.1:$HTTPD_PORT/slow.shtml" &
  slow_pid=$!
  wait_for_lookup asked
  now_us plain_start
  fetch_on "$plain" /plain.shtml >"$RUN/plain.html"
  mapfile -t log <"$RUN/nss_slow.log"
  now_us end
  exec {plain}>&-
  plain_ms=$(((end - plain_start) / 1000))
  [[ " ${log[*]} " != *" answered slow "* ]] && during=1 || during=0
  check_served /plain.shtml "$(cat "$RUN/plain.html")" <<<"${plain_expected%$'\n'}"
  wait "$slow_pid" || { echo "FAIL: the ~user page was not answered" >&2; failures=$((failures + 1)); }
  now_us end
  echo "20 includes in $plain_ms ms while the ~user include took $(((end - start) / 1000)) ms"
  check_served /slow.shtml "$(cat "$RUN/slow.html")" <<<"$slow_expected"
  ((during))
}
for round in 1 2 3; do
  lookup_round && break
  if ((round == 3)); then
    echo "FAIL: the 20 includes were answered only after the ~user lookup, three times" >&2
    failures=$((failures + 1))
  fi
done

# A reload while the lookup runs: the old worker drops the request 50 ms
# later, and must neither free what the lookup's thread still writes into
# nor die.
: >"$RUN/nss_slow.log"
old_worker=$(pgrep -P "$HTTPD_PID")
curl -s -o "$RUN/dropped.html" --max-time 30 "http://127.0.0.1:$HTTPD_PORT/slower.shtml" &
dropped_pid=$!
wait_for_lookup asked slower
signaller=(PATH="$HTTPD_PATH")
[[ -z ${NGINX_PRELOAD:-} ]] || signaller+=("LD_PRELOAD=$NGINX_PRELOAD" "ASAN_OPTIONS=${ASAN_OPTIONS:-}")
env -i "${signaller[@]}" "$NGINX_BIN" -p "$RUN/" -c "$RUN/nginx.conf" -e "$RUN/error.log" -s reload
waited=0
while kill -0 "$old_worker" 2>/dev/null && ((waited++ < 100)); do sleep 0.05; done
kill -0 "$old_worker" 2>/dev/null && { echo "FAIL: the old worker did not stop" >&2; failures=$((failures + 1)); }
if wait "$dropped_pid" || grep -q 2005 "$RUN/dropped.html"; then
  echo "FAIL: the request the old worker was to drop was answered" >&2
  failures=$((failures + 1))
fi
wait_for_lookup answered slower
if grep -E '\[(alert|crit|emerg)\]' "$RUN/error.log" >&2; then
  echo "FAIL: a worker failed (above)" >&2
  failures=$((failures + 1))
fi
check_page /slow.shtml <<<"$slow_expected"

finish
