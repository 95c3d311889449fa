# The machine's own Apache for tests/package/package_test.sh, on 127.0.0.1:80
# only, and how to leave it as it was. Sourced; needs root and $work.
#
#   system_apache_start MODULE...    enable modules, start Apache (or reload it)
#   system_apache_reload             what maintainer scripts do where allowed
#   system_apache_page_is PATH TEXT  the page is TEXT, byte for byte, within 5 s
#   system_apache_restore            stop what was started, undo what was enabled
#
# Maintainer scripts reload Apache through invoke-rc.d, which a container's
# policy-rc.d may forbid: the tests reload it themselves.

system_apache_pid_file=/var/run/apache2/apache2.pid
system_apache_started=
system_apache_ports=
system_apache_modules=()

system_apache_running() {
  local pid
  pid=$(cat "$system_apache_pid_file" 2>/dev/null) && kill -0 "$pid" 2>/dev/null
}

system_apache_start() {
  local module waited=0
  for module; do
    a2query -q -m "$module" && continue
    a2enmod -q "$module" || return 1
    system_apache_modules+=("$module")
  done
  if system_apache_running; then
    system_apache_reload
    return
  fi
  system_apache_ports=$work/ports.conf.saved
  cp -p /etc/apache2/ports.conf "$system_apache_ports" || return 1
  echo 'Listen 127.0.0.1:80' >/etc/apache2/ports.conf
  apache2ctl start || return 1
  system_apache_started=1
  while ((waited++ < 100)); do
    curl -s -o /dev/null --max-time 2 http://127.0.0.1/ && return 0
    sleep 0.1
  done
  echo "Apache did not answer on 127.0.0.1:80 within 10 s" >&2
  return 1
}

system_apache_reload() {
  system_apache_running || return 0
  apache2ctl graceful
}

system_apache_page_is() { system_page_is "http://127.0.0.1$1" "$2"; }

# system_page_is URL TEXT: a reload takes effect a moment later, so this asks
# until the page matches (nginx's too: tests/package/system_nginx.sh).
system_page_is() {
  local url=$1 expected=$work/expected fetched=$work/fetched tries=0
  printf '%s' "$2" >"$expected"
  while ((tries++ < 50)); do
    curl -s -o "$fetched" --max-time 5 "$url" && cmp -s "$expected" "$fetched" && return 0
    sleep 0.1
  done
  echo "GET $url gave:" >&2
  cat -A "$fetched" >&2
  return 1
}

system_apache_restore() {
  local waited=0
  if [[ -n $system_apache_started ]]; then
    apache2ctl stop
    while system_apache_running && ((waited++ < 100)); do sleep 0.1; done
    system_apache_started=
  fi
  if [[ -n $system_apache_ports ]]; then
    cp -p "$system_apache_ports" /etc/apache2/ports.conf
    system_apache_ports=
  fi
  if ((${#system_apache_modules[@]})); then
    a2dismod -q "${system_apache_modules[@]}"
    system_apache_modules=()
    system_apache_reload
  fi
}
