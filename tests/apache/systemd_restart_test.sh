#!/usr/bin/env bash
# The responder under a real systemd: a Debian 12 root booted in
# systemd-nspawn, this build installed in it as `cmake --install` lays it
# out, pagestamp.socket enabled, and in it Apache (mod_proxy_fcgi reusing
# connections) and nginx (keeping them) on the installed snippets, with the
# servers' own default lifetimes for kept connections. Both are loaded while
# pagestamp.service is restarted RESTARTS times: no include may fail, none may
# take a second. After each restart the kept connections lie idle past the
# responder's idle time, and includes sent then must not wait. Then more
# idle connections than the responder has slots are stored by a restart, and
# the next responder must start and serve. Last, systemctl stop empties the
# store and the next include starts the responder through its socket.
# Usage: systemd_restart_test.sh BUILD-DIR RESTARTS
# Needs root, systemd-nspawn and mmdebstrap; exits 77 (skipped) without root.
if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: booting a container with systemd needs root"
  exit 77
fi
# Not under /tmp: the service's PrivateTmp would hide the site from it.
PAGESTAMP_RUN_PARENT=/var/lib
source "$(dirname "$0")/lib.sh"
build=$1 restarts=$2
idle_s=11 # past the responder's idle time, 10 s
root=
container=
pid1=
load_pids=()

in_container() { nsenter -t "$pid1" -a "$@"; }

stop_container() {
  local pid
  for pid in "${load_pids[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
  if [[ -n $container ]] && kill -0 "$container" 2>/dev/null; then
    # systemd-nspawn halts a booted container on SIGTERM.
    kill -TERM "$container"
    for ((waited = 0; waited < 150; waited++)); do kill -0 "$container" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$container" 2>/dev/null || true
    wait "$container" 2>/dev/null || true
  fi
  [[ -z $root ]] || rm -rf --one-file-system "$root"
}
trap 'stop_container; cleanup' EXIT

packages=(systemd systemd-sysv dbus apache2 nginx-light python3-minimal curl)
tarball=$(bash "$TEST_DIR/../../scripts/debian-root.sh" "${packages[@]}")
root=$(mktemp -d /var/tmp/pagestamp-root-XXXXXX)
tar -xf "$tarball" -C "$root"
DESTDIR=$root "${CMAKE:-cmake}" --install "$build" --prefix /usr >"$RUN/install.log"
# The servers are started by the test, on ports of its own.
systemctl --root="$root" --quiet mask apache2.service nginx.service
systemctl --root="$root" --quiet enable pagestamp.socket

# The site twice, one for each server, each in its own directory of RUN.
program=$root/usr/lib/cgi-bin/pagestamp
apache=$RUN/apache nginx=$RUN/nginx
for dir in "$apache" "$nginx"; do
  mkdir "$dir"
  httpd_prepare "$dir" "$program"
done
socket=/run/pagestamp.sock
modules=/usr/lib/apache2/modules
printf '%s\n' "LoadModule proxy_module $modules/mod_proxy.so" \
  "LoadModule proxy_fcgi_module $modules/mod_proxy_fcgi.so" >"$apache/via.load"
# The installed snippets, less the lifetimes they give kept connections.
sed 's/ ttl=[0-9]*//' "$root/etc/apache2/conf-available/pagestamp-proxy-fcgi.conf" >"$apache/pagestamp.conf"
grep -q enablereuse=on "$apache/pagestamp.conf"
sed '/keepalive_timeout/d' "$root/etc/nginx/snippets/pagestamp-http.conf" >"$nginx/pagestamp-http.conf"
grep -q 'keepalive [0-9]' "$nginx/pagestamp-http.conf"
cp "$root/etc/nginx/snippets/pagestamp.conf" "$nginx/pagestamp.conf"
: >"$nginx/pagestamp-main.conf"
mkdir -p "$nginx/nginx"
# Below the range the kernel hands out to clients, so that no connection of
# another test holds the port.
apache_port=$((20000 + RANDOM % 6000)) nginx_port=$((26000 + RANDOM % 6000))
httpd_config apache "$apache" "$apache_port" event www-data www-data "$modules"
httpd_config nginx "$nginx" "$nginx_port" "" www-data www-data

systemd-nspawn --quiet --keep-unit --register=no --console=passive -D "$root" --bind="$RUN" -b \
  </dev/null >"$RUN/container.log" 2>&1 &
container=$!
for ((waited = 0; waited < 300; waited++)); do
  for child in $(pgrep -P "$container") $(pgrep -P "$(pgrep -P "$container" | head -1)" 2>/dev/null); do
    [[ $(cat "/proc/$child/comm" 2>/dev/null) == systemd ]] && pid1=$child
  done
  [[ -n $pid1 ]] && break
  sleep 0.1
done
[[ -n $pid1 ]] || { echo "FAIL: the container did not boot:" >&2; cat "$RUN/container.log" >&2; exit 1; }
# Its bus comes up a moment after it starts.
for ((waited = 0; waited < 100; waited++)); do
  booted=$(in_container systemctl is-system-running --wait 2>&1) && break
  [[ $booted == *bus* ]] || break
  sleep 0.1
done
echo "container systemd $pid1: $booted"
in_container systemd-run --quiet --unit=test-apache /usr/sbin/apache2 -f "$apache/httpd.conf" -DFOREGROUND
in_container systemd-run --quiet --unit=test-nginx /usr/sbin/nginx -p "$nginx/" -c "$nginx/nginx.conf" -e "$nginx/error.log"

service_value() { in_container systemctl show -P "$1" pagestamp.service; }
fetch_from() { HTTPD_PORT=$1 fetch /docs/dates.shtml; }
for port in "$apache_port" "$nginx_port"; do
  for ((waited = 0; waited < 300; waited++)); do
    fetch_from "$port" >/dev/null 2>&1 && break
    sleep 0.1
  done
done
fetch_from "$apache_port" >"$RUN/reference.html" || { echo "FAIL: Apache does not serve the page" >&2; exit 1; }
# Each server's own message for a failed include is in no good page.
grep -q '<samp id="d1">' "$RUN/reference.html"
! grep -q 'an error occurred' "$RUN/reference.html" || { echo "FAIL: an include failed" >&2; cat "$RUN/reference.html"; exit 1; }
if [[ $(fetch_from "$nginx_port") != "$(cat "$RUN/reference.html")" ]]; then
  echo "FAIL: nginx's page differs" >&2
  in_container systemctl --no-pager status test-nginx >&2
  tail -20 "$nginx/error.log" >&2
  exit 1
fi

# burst WHAT: 8 pages from each server at once, each whole within 1 s.
burst() {
  local port k out=$RUN/burst curls=()
  rm -rf "$out" && mkdir "$out"
  for port in "$apache_port" "$nginx_port"; do
    for ((k = 0; k < 8; k++)); do
      curl -s -o "$out/$port.$k" -w '%{http_code} %{time_total}\n' --max-time 5 \
        "http://127.0.0.1:$port/docs/dates.shtml" >"$out/$port.$k.status" &
      curls+=($!)
    done
  done
  wait "${curls[@]}"
  local bad=0 slowest=0 status time
  for port in "$apache_port" "$nginx_port"; do
    for ((k = 0; k < 8; k++)); do
      read -r status time <"$out/$port.$k.status" || status=none
      if [[ $status != 200 ]] || ! cmp -s "$out/$port.$k" "$RUN/reference.html" || [[ ${time%.*} -ge 1 ]]; then
        bad=$((bad + 1))
      fi
      [[ ${time:-0} > $slowest ]] && slowest=$time
    done
  done
  echo "$1: $((16 - bad)) of 16 pages whole within 1 s, slowest ${slowest}s"
  ((bad == 0)) || { echo "FAIL: $1: $bad page(s) late, cut or with a failed include" >&2; failures=$((failures + 1)); }
}

# load_on PORT: a held load on that server, its files in RUN/PORT.
load_on() {
  mkdir -p "$RUN/$1"
  cp "$RUN/reference.html" "$RUN/$1/"
  RUN=$RUN/$1 HTTPD_PORT=$1 LOAD_CONNECTIONS=8 start_load /docs/dates.shtml 400 held
  load_pids+=("$LOAD_PID")
}
slowest_ms=0 total_checked=0 total_wrong_status=0 total_wrong_body=0 total_failed_includes=0 total_socket_errors=0 total_timeouts=0
# end_load_on PORT INDEX: waits for that load and adds its counts up.
end_load_on() {
  LOAD_PID=${load_pids[$2]}
  RUN=$RUN/$1 end_load >/dev/null
  local ms
  ms=$(sed -n 's/^slowest_ms //p' "$RUN/$1/wrk.out")
  ((${ms:-0} > slowest_ms)) && slowest_ms=$ms
  for count in wrong_status wrong_body failed_includes socket_errors timeouts; do
    eval "total_$count=\$((total_$count + $count))"
  done
  total_checked=$((total_checked + checked))
}

burst "before any restart"
for ((i = 1; i <= restarts; i++)); do
  before=$(service_value MainPID)
  load_pids=()
  load_on "$apache_port"
  load_on "$nginx_port"
  RUN=$RUN/$apache_port wait_load .quarter
  RUN=$RUN/$nginx_port wait_load .quarter
  in_container systemctl restart pagestamp.service
  after=$(service_value MainPID)
  [[ $after != "$before" && $after != 0 ]] || { echo "FAIL: restart $i: no new responder ($before, $after)" >&2; failures=$((failures + 1)); }
  for port in "$apache_port" "$nginx_port"; do (RUN=$RUN/$port release_load); done
  end_load_on "$apache_port" 0
  end_load_on "$nginx_port" 1
  load_pids=()
  sleep "$idle_s"
  # The responder took every stored connection: systemd holds none of them.
  stored=$(service_value NFileDescriptorStore)
  echo "restart $i: responder $before -> $after; ${idle_s}s later $stored left in systemd's store"
  ((stored == 0)) || { echo "FAIL: restart $i: systemd still holds $stored connections" >&2; failures=$((failures + 1)); }
  burst "idle ${idle_s}s after restart $i"
done
echo "under load through $restarts restarts: $total_checked pages, failed includes $total_failed_includes," \
  "wrong $total_wrong_status/$total_wrong_body, cut $total_socket_errors, timed out $total_timeouts, slowest ${slowest_ms} ms"
expect_none total_wrong_status total_wrong_body total_failed_includes total_socket_errors total_timeouts
((slowest_ms < 1000)) || { echo "FAIL: a page under load took ${slowest_ms} ms" >&2; failures=$((failures + 1)); }

# More idle connections than the responder's slots, stored by a restart: the
# next responder starts, and serves again once they go.
python3 - "/proc/$pid1/root$socket" 300 "$RUN/crowd" <<'EOF' &
import os, socket, sys, time
path, count, flag = sys.argv[1], int(sys.argv[2]), sys.argv[3]
crowd = []
for _ in range(count):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(path)
    crowd.append(s)
open(flag, "w").close()
while os.path.exists(flag):
    time.sleep(0.05)
EOF
crowd_pid=$!
for ((waited = 0; waited < 100; waited++)); do [[ -e $RUN/crowd ]] && break; sleep 0.1; done
sleep 0.5
in_container systemctl restart pagestamp.service
sleep 1
state=$(service_value ActiveState) status=$(service_value ExecMainStatus)
echo "a restart with 300 idle connections: the next responder is $state (status $status)," \
  "restarts after failing $(service_value NRestarts)"
[[ $state == active && $(service_value NRestarts) == 0 ]] || { echo "FAIL: the responder did not take up the stored set" >&2; failures=$((failures + 1)); }
rm -f "$RUN/crowd"
wait "$crowd_pid"
sleep 0.5
burst "once the idle connections are gone"

# A stop flushes the store and closes the kept connections; the next include
# starts the responder through the socket.
in_container systemctl stop pagestamp.service
echo "stopped: $(service_value ActiveState), in systemd's store: $(service_value NFileDescriptorStore)"
[[ $(service_value NFileDescriptorStore) == 0 ]] || { echo "FAIL: the store outlived a stop" >&2; failures=$((failures + 1)); }
burst "after a stop, started by the socket"
[[ $(service_value ActiveState) == active ]] || { echo "FAIL: the socket did not start the responder" >&2; failures=$((failures + 1)); }
finish
