# The machine's own nginx for tests/package/package_test.sh, with its own
# configuration, /etc/nginx/nginx.conf, and one site of the test's on
# 127.0.0.1:81 (Apache has 80), and how to leave it as it was. Sourced;
# needs root and $work, after tests/package/system_apache.sh.
#
#   system_nginx_site TEXT         the only enabled site while the test runs
#   system_nginx_start             start nginx (or reload it)
#   system_nginx_restart           start it afresh: every module loaded again
#   system_nginx_page_is PATH TEXT the page is TEXT, byte for byte, within 5 s
#   system_nginx_restore           stop what was started, put the sites back
#
# The sites enabled before are set aside meanwhile: Debian's default one
# listens on port 80 too.

system_nginx_pid_file=/run/nginx.pid
system_nginx_sites=/etc/nginx/sites-enabled
system_nginx_port=81
system_nginx_started=
system_nginx_saved=

system_nginx_running() {
  local pid
  pid=$(cat "$system_nginx_pid_file" 2>/dev/null) && kill -0 "$pid" 2>/dev/null
}

system_nginx_site() {
  if [[ -z $system_nginx_saved ]]; then
    system_nginx_saved=$work/nginx-sites.saved
    cp -a "$system_nginx_sites" "$system_nginx_saved" || return 1
    find "$system_nginx_sites" -mindepth 1 -delete || return 1
  fi
  printf '%s\n' "$1" >"$system_nginx_sites/package-test"
}

system_nginx_start() {
  local waited=0
  if system_nginx_running; then
    nginx -t -q && system_nginx_signal HUP
    return
  fi
  nginx || return 1
  system_nginx_started=1
  while ((waited++ < 100)); do
    curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$system_nginx_port/" && return 0
    sleep 0.1
  done
  echo "nginx did not answer on 127.0.0.1:$system_nginx_port within 10 s" >&2
  return 1
}

# A reload keeps the old configuration when the new one fails: only a start
# tells whether nginx still starts.
system_nginx_restart() {
  nginx -t || return 1
  [[ -z $system_nginx_started ]] || system_nginx_stop
  system_nginx_start
}

# By the pid file: `nginx -s` reads the configuration first, and gives up on
# one that no longer loads.
system_nginx_signal() { kill -"$1" "$(cat "$system_nginx_pid_file")"; }

system_nginx_stop() {
  local waited=0
  system_nginx_signal TERM
  while system_nginx_running && ((waited++ < 100)); do sleep 0.1; done
  system_nginx_started=
}

system_nginx_page_is() { system_page_is "http://127.0.0.1:$system_nginx_port$1" "$2"; }

system_nginx_restore() {
  [[ -z $system_nginx_started ]] || system_nginx_stop
  if [[ -n $system_nginx_saved ]]; then
    rm -rf "$system_nginx_sites" && cp -a "$system_nginx_saved" "$system_nginx_sites"
    system_nginx_saved=
    ! system_nginx_running || system_nginx_signal HUP
  fi
}
