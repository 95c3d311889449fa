# Runs Apache httpd as a plain process on 127.0.0.1 serving a copy of the
# example site with a given pagestamp program. Sourced by scripts/demo.sh,
# the Apache tests and bench/apache_pages.sh, so all three serve alike.
#
#   httpd_prepare RUN PROGRAM   copy site, users' pages and program into RUN
#   httpd_start RUN [--port N] [--mpm event|prefork|worker] [--cgi cgid|cgi] [--tz ZONE]
#                               start; sets HTTPD_PID and HTTPD_PORT
#   httpd_stop RUN              stop it by its process id
#
# RUN is an empty directory. Everything is copied so that the server's user
# (www-data when started as root) can read it wherever the sources live.
# Meant for scripts: from a shell with job control, setsid would fork and
# HTTPD_PID would not be httpd's.

HTTPD_SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
HTTPD_BIN=${HTTPD_BIN:-$(command -v apache2 || echo /usr/sbin/apache2)}

httpd_modules_dir() {
  local dir
  for dir in /usr/lib/apache2/modules /usr/lib64/httpd/modules /usr/lib/httpd/modules; do
    [[ -f $dir/mod_include.so ]] && { echo "$dir"; return; }
  done
  echo "httpd.sh: no Apache modules directory with mod_include.so" >&2
  return 1
}

httpd_nss_wrapper() {
  if [[ -n ${NSS_WRAPPER_LIBRARY:-} ]]; then echo "$NSS_WRAPPER_LIBRARY"; return; fi
  local lib
  for lib in /usr/lib/*/libnss_wrapper.so /usr/lib*/libnss_wrapper.so; do
    [[ -f $lib ]] && { echo "$lib"; return; }
  done
}

# A process we started stays a zombie until waited for; that is not running.
httpd_alive() {
  local state
  state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
  [[ -n $state && $state != Z ]]
}

httpd_prepare() {
  local run=$1 program=$2
  mkdir -p "$run"/{site,home,cgi-bin,conf.d}
  cp -R --preserve=timestamps "$HTTPD_SOURCE_DIR/examples/site/." "$run/site/"
  cp -R --preserve=timestamps "$HTTPD_SOURCE_DIR/examples/home/." "$run/home/"
  install -m 755 "$program" "$run/cgi-bin/pagestamp"

  # A password database with the example users' homes in RUN, for the CGI
  # (users' web directories) and for mod_userdir in httpd itself. It keeps
  # the accounts httpd may switch to and the one running it.
  local users=() uid=2001 home
  mapfile -t users < <(getent passwd root www-data nobody "$(id -un)" | sort -u)
  for home in "$run"/home/*/; do
    home=${home%/}
    users+=("${home##*/}:x:$uid:$uid::$home:/usr/sbin/nologin")
    uid=$((uid + 1))
  done
  printf '%s\n' "${users[@]}" >"$run/passwd"
  getent group root www-data nogroup "$(id -gn)" | sort -u >"$run/group"
  chmod 755 "$run"
  chmod -R a+rX "$run"
}

httpd_start() {
  local run=$1; shift
  local port=0 mpm=event cgi=cgid tz=
  while (($#)); do
    case $1 in
      --port) port=$2; shift 2 ;;
      --mpm) mpm=$2; shift 2 ;;
      --cgi) cgi=$2; shift 2 ;;
      --tz) tz=$2; shift 2 ;;
      *) echo "httpd_start: unknown option $1" >&2; return 2 ;;
    esac
  done
  local modules nss env_lines
  modules=$(httpd_modules_dir) || return 1
  nss=$(httpd_nss_wrapper)
  local env=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
  [[ -n $tz ]] && env+=("TZ=$tz")
  if [[ -n $nss ]]; then
    env+=("LD_PRELOAD=$nss" "NSS_WRAPPER_PASSWD=$run/passwd" "NSS_WRAPPER_GROUP=$run/group")
    env_lines="PassEnv LD_PRELOAD NSS_WRAPPER_PASSWD NSS_WRAPPER_GROUP"
  else
    echo "httpd.sh: libnss_wrapper not found; users' pages will not be found" >&2
  fi
  # Whom httpd becomes when started as root; otherwise it stays who it is.
  local user=www-data group=www-data
  getent passwd www-data >/dev/null || user=nobody
  getent group www-data >/dev/null || group=nogroup

  local tries=20 fixed=$port
  while ((tries--)); do
    ((fixed)) || port=$((20000 + RANDOM % 40000))
    sed -e "s|@RUN@|$run|g" -e "s|@PORT@|$port|g" -e "s|@MODULES@|$modules|g" \
        -e "s|@MPM@|$mpm|g" -e "s|@CGI@|$cgi|g" -e "s|@USER@|$user|" -e "s|@GROUP@|$group|" \
        -e "s|@PASS_ENV@|${env_lines:-}|" \
        "$HTTPD_SOURCE_DIR/scripts/apache/httpd.conf.in" >"$run/httpd.conf"
    : >"$run/error.log"
    # A session of its own: prefork's parent signals its whole process group
    # when it stops, which must not be the caller's.
    env -i "${env[@]}" setsid "$HTTPD_BIN" -f "$run/httpd.conf" -DFOREGROUND >>"$run/httpd.out" 2>&1 &
    HTTPD_PID=$!
    HTTPD_PORT=$port
    echo "$HTTPD_PID" >"$run/httpd.started-pid"
    local waited=0
    while httpd_alive "$HTTPD_PID" && ((waited < 100)); do
      if [[ $(curl -s -o /dev/null -w '%{http_code}' --max-time 2 "http://127.0.0.1:$port/") != 000 ]]; then
        # Should the caller die without stopping httpd (killed at a test's
        # time limit, say), this stops it: in a session of its own, it is out
        # of reach of whatever killed the caller's process group.
        setsid bash -c 'while kill -0 "$1" && kill -0 "$2"; do sleep 1; done 2>/dev/null
                        kill -TERM "$2" 2>/dev/null' httpd-guard $$ "$HTTPD_PID" </dev/null >/dev/null 2>&1 &
        return 0
      fi
      sleep 0.1
      waited=$((waited + 1))
    done
    if httpd_alive "$HTTPD_PID"; then
      echo "httpd did not answer on 127.0.0.1:$port within 10 s" >&2
      httpd_stop "$run"
      return 1
    fi
    wait "$HTTPD_PID" 2>/dev/null || true
    if ((fixed)) || ! grep -q 'Address already in use' "$run/httpd.out" "$run/error.log"; then
      echo "httpd failed to start:" >&2
      cat "$run/httpd.out" "$run/error.log" >&2
      return 1
    fi
  done
  echo "httpd found no free port" >&2
  return 1
}

httpd_stop() {
  local run=$1 pid
  pid=$(cat "$run/httpd.started-pid" 2>/dev/null) || return 0
  rm -f "$run/httpd.started-pid"
  kill -TERM "$pid" 2>/dev/null || return 0
  local waited=0
  while httpd_alive "$pid" && ((waited < 100)); do
    sleep 0.1
    waited=$((waited + 1))
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  return 0
}
