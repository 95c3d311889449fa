#!/usr/bin/env bash
# httpd's memory with the module over half a million includes: after a warm-up,
# the children's resident memory must stay where it was. A request that
# kept anything past its pool would show here as steady growth.
# Usage: memory_test.sh PROGRAM PAGES   (each page holds 200 includes; 500 warm up)
source "$(dirname "$0")/lib.sh"
program=$1 pages=$2
per_page=200
prepare_site "$program"
for ((i = 0; i < per_page; i++)); do
  echo "<samp id=\"$i\"><!--#include virtual=\"/cgi-bin/pagestamp\" --></samp>"
done >"$RUN/site/many.shtml"
chmod a+r "$RUN/site/many.shtml"
# Each thread's allocator keeps up to 2 MB of freed pools by default, and
# threads first used late in a long run fill theirs: with one child of as
# many threads as connections, all kept small, the warm-up touches them all,
# and what a request leaves behind is not hidden among them.
printf '%s\n' "MaxMemFree 64" "ServerLimit 1" "StartServers 1" "ThreadsPerChild 16" "MaxRequestWorkers 16" \
  "MinSpareThreads 1" "MaxSpareThreads 17" >"$RUN/conf.d/memory.conf"
httpd_start "$RUN" --via module
LOAD_CONNECTIONS=8

# The children's pids, and their resident memory in kB summed.
children() { ps -o pid= --ppid "$HTTPD_PID" | sort -n | tr -d ' ' | tr '\n' ' '; }
resident() {
  local pid total=0
  for pid in $(children); do
    total=$((total + $(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")))
  done
  echo "$total"
}

# wrk stops with pages still being served, and each open connection holds
# its pool (some 13 MB at once was seen): count only a child at rest.
at_rest() {
  local i
  for ((i = 0; i < 300; i++)); do
    [[ -z $(ss -Htn state connected exclude time-wait "( sport = :$HTTPD_PORT )") ]] && return
    sleep 0.1
  done
  echo "FAIL: connections still open 30 s after the load" >&2
  failures=$((failures + 1))
}

start_load /many.shtml 500
end_load
at_rest
warm_children=$(children) warm=$(resident)
started=$SECONDS
# In loads of 1000 pages, each well within wrk's 300 s on a busy machine.
served=0
while ((served < pages && failures == 0)); do
  start_load /many.shtml $((pages - served < 1000 ? pages - served : 1000))
  end_load
  expect_none wrong_status wrong_body failed_includes socket_errors timeouts
  served=$((served + checked))
done
at_rest
end_children=$(children) end=$(resident)
echo "children $warm_children: VmRSS $warm kB after the warm-up, $end kB after $((served * per_page)) includes" \
  "in $((SECONDS - started)) s"
[[ $warm_children == "$end_children" ]] || { echo "FAIL: the children changed: $end_children" >&2; failures=$((failures + 1)); }
# Less than a byte kept per include: at rest the children move by some 24 kB.
(((end - warm) * 1024 < served * per_page)) || { echo "FAIL: VmRSS grew by $((end - warm)) kB" >&2; failures=$((failures + 1)); }
finish
