# Runs a web server as a plain process on 127.0.0.1 serving a copy of the
# example site with a given pagestamp program: Apache httpd or nginx, with the
# program as a CGI or as a FastCGI responder behind the snippets packaging/
# ships. Sourced by scripts/demo.sh, the server tests and the benchmarks, so
# all of them serve alike.
#
#   httpd_prepare RUN PROGRAM   copy site, users' pages and program into RUN
#   httpd_start RUN [--server apache|nginx] [--via WAY] [--port N]
#               [--mpm event|prefork|worker] [--tz ZONE] [--env-tz ZONE]
#                               start; sets HTTPD_PID and HTTPD_PORT;
#                               HTTPD_PRELOAD="LIB..." preloads into httpd
#                               the sanitizers' runtimes a module needs
#   httpd_stop RUN              stop it, and the responder, by process id
#   responder_start RUN / responder_stop RUN
#                               the spawn-fcgi responder alone, for tests that
#                               take it away; sets RESPONDER_PID. With
#                               RESPONDER_HOLDER=1, a holder of the socket
#                               (tests/apache/socket_holder.py) runs it instead
#
# How /cgi-bin/pagestamp is answered (--via):
#   apache  cgid (the default), cgi: the CGI; fcgid: the responder, started
#           by mod_fcgid; proxy-fcgi: the responder on a socket, by mod_proxy_fcgi;
#           module: mod_pagestamp.so, from beside PROGRAM or $PAGESTAMP_MODULE
#   nginx   fastcgi (the default): the responder on a socket; fcgiwrap: the
#           CGI, run by fcgiwrap on a socket; module: ngx_http_pagestamp_module,
#           NGINX_MODULE (default: build/ngx_http_pagestamp_module.so),
#           which NGINX_WITH_MODULE=1 loads beside the other ways too
#           installed: the module as its package enabled it, with its snippet
#           (NGINX_ETC, default /etc/nginx); its zone is the server's (--env-tz)
#           NGINX_WORKERS sets nginx's worker processes (2); RUN/main.d/*.conf
#           and RUN/conf.d/*.conf are read in its main and server contexts
# A socket's program is started by spawn-fcgi, which hands it over as
# standard input exactly as systemd's pagestamp.socket would.
#
# --tz gives each request TZ as a webmaster would: Apache's SetEnv, nginx's
# fastcgi_param. --env-tz starts the server with TZ in its environment, and
# RESPONDER_TZ=ZONE in the caller's environment starts the responder so.
#
# RUN is an empty directory. Everything is copied so that the server's user
# (www-data when started as root) can read it wherever the sources live.
# Meant for scripts: from a shell with job control, setsid would fork and
# HTTPD_PID would not be the server's.

HTTPD_SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
HTTPD_BIN=${HTTPD_BIN:-$(command -v apache2 || echo /usr/sbin/apache2)}
NGINX_BIN=${NGINX_BIN:-$(command -v nginx || echo /usr/sbin/nginx)}
NGINX_MODULE=${NGINX_MODULE:-$HTTPD_SOURCE_DIR/build/ngx_http_pagestamp_module.so}
NGINX_ETC=${NGINX_ETC:-/etc/nginx}
NGINX_MODULES_DIR=${NGINX_MODULES_DIR:-/usr/lib/nginx/modules}
FCGIWRAP_BIN=${FCGIWRAP_BIN:-$(command -v fcgiwrap || echo /usr/sbin/fcgiwrap)}
HTTPD_PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

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

# The variables that let the program, wherever it runs, find users' homes in
# RUN's password database, one NAME=VALUE a line. With HTTPD_NSS_MODULE set
# to a libnss_NAME.so.2 (tests/support/nss_slow.c), nss_wrapper asks that
# module for users the file does not know, and it answers from
# RUN/passwd.slow.
httpd_nss_env() {
  local nss
  nss=$(httpd_nss_wrapper)
  [[ -n $nss ]] || return 0
  printf '%s\n' "LD_PRELOAD=$nss" "NSS_WRAPPER_PASSWD=$1/passwd" "NSS_WRAPPER_GROUP=$1/group"
  [[ -n ${HTTPD_NSS_MODULE:-} ]] || return 0
  # Deep binding is off: the sanitizers' runtimes refuse it.
  local prefix=${HTTPD_NSS_MODULE##*/libnss_}
  printf '%s\n' "NSS_WRAPPER_MODULE_SO_PATH=$HTTPD_NSS_MODULE" "NSS_WRAPPER_MODULE_FN_PREFIX=${prefix%%.so*}" \
    NSS_WRAPPER_DISABLE_DEEPBIND=1 "NSS_SLOW_PASSWD=$1/passwd.slow" "NSS_SLOW_LOG=$1/nss_slow.log"
}

# A process we started stays a zombie until waited for; that is not running.
httpd_alive() {
  local state
  state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
  [[ -n $state && $state != Z ]]
}

# Whom servers and responders become when started as root; otherwise they
# stay who they are.
httpd_user() { getent passwd www-data >/dev/null && echo www-data || echo nobody; }
httpd_group() { getent group www-data >/dev/null && echo www-data || echo nogroup; }

httpd_prepare() {
  local run=$1 program=$2
  mkdir -p "$run"/{site,home,cgi-bin,conf.d,main.d}
  cp -R --preserve=timestamps "$HTTPD_SOURCE_DIR/examples/site/." "$run/site/"
  cp -R --preserve=timestamps "$HTTPD_SOURCE_DIR/examples/home/." "$run/home/"
  install -m 755 "$program" "$run/cgi-bin/pagestamp"
  local module=${PAGESTAMP_MODULE:-$(dirname "$program")/mod_pagestamp.so}
  [[ ! -f $module ]] || install -m 644 "$module" "$run/mod_pagestamp.so"

  # A password database with the example users' homes in RUN, for the
  # program (users' web directories) and for mod_userdir in httpd itself. It
  # keeps the accounts servers may switch to and the one running them.
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

# httpd_snippet RUN TEMPLATE SOCKET: a shipped snippet as `cmake --install`
# writes it, naming RUN's program and SOCKET.
httpd_snippet() {
  sed -e "s|@PAGESTAMP_CGI@|$1/cgi-bin/pagestamp|g" -e "s|@PAGESTAMP_SOCKET@|$3|g" \
    "$HTTPD_SOURCE_DIR/packaging/$2"
}

# responder_start RUN [PROGRAM [ARGS...]]: spawn-fcgi binds RUN/SOCKET and
# hands it to the program as standard input; the program defaults to RUN's
# pagestamp on RUN/pagestamp.sock. RESPONDER_SOCKET names another socket.
responder_start() {
  local run=$1; shift
  (($#)) || set -- "$run/cgi-bin/pagestamp"
  local socket=${RESPONDER_SOCKET:-$run/pagestamp.sock} owner=() env
  mapfile -t env < <(echo "PATH=$HTTPD_PATH"; httpd_nss_env "$run")
  [[ -n ${RESPONDER_TZ:-} ]] && env+=("TZ=$RESPONDER_TZ")
  if [[ $(id -u) -eq 0 ]]; then
    owner=(-u "$(httpd_user)" -g "$(httpd_group)" -U "$(httpd_user)" -G "$(httpd_group)")
  fi
  rm -f "$socket"
  # A session and process group of its own, stopped whole: fcgiwrap's
  # processes outlive their parent.
  if [[ -n ${RESPONDER_HOLDER:-} ]]; then
    # The socket held apart from the program, as systemd's socket unit does:
    # SIGHUP to RESPONDER_PID restarts the program on it.
    ((${#owner[@]} == 0)) || owner=(--user "$(httpd_user)")
    env -i "${env[@]}" setsid python3 "$HTTPD_SOURCE_DIR/tests/apache/socket_holder.py" "$socket" \
      "$run/holder.log" "${owner[@]}" -- "$@" >>"$run/responder.out" 2>&1 &
  else
    env -i "${env[@]}" setsid spawn-fcgi -n -s "$socket" -M 0660 "${owner[@]}" -- "$@" \
      >>"$run/responder.out" 2>&1 &
  fi
  RESPONDER_PID=$!
  echo "$RESPONDER_PID" >"$run/responder.started-pid"
  local waited=0
  until [[ -S $socket ]]; do
    if ! httpd_alive "$RESPONDER_PID" || ((waited++ > 100)); then
      echo "responder did not start on $socket:" >&2
      cat "$run/responder.out" >&2
      return 1
    fi
    sleep 0.05
  done
}

responder_stop() { httpd_stop_pid "$1/responder.started-pid" group; }

# The Apache configuration for a way to the program: modules to load in
# RUN/via.load, the shipped snippet in RUN/pagestamp.conf.
httpd_apache_via() {
  local run=$1 via=$2 modules=$3
  : >"$run/pagestamp.conf"
  case $via in
    cgid | cgi)
      echo "LoadModule ${via}_module $modules/mod_$via.so" >"$run/via.load" ;;
    fcgid)
      echo "LoadModule fcgid_module $modules/mod_fcgid.so" >"$run/via.load"
      httpd_snippet "$run" apache2/pagestamp-fcgid.conf.in "" >"$run/pagestamp.conf"
      # mod_fcgid starts the responder with this environment, not httpd's.
      httpd_nss_env "$run" | sed 's/^\([^=]*\)=/FcgidInitialEnv \1 /' >>"$run/pagestamp.conf"
      mkdir -p "$run/fcgid"
      [[ $(id -u) -ne 0 ]] || chown "$(httpd_user)" "$run/fcgid" ;;
    proxy-fcgi)
      printf '%s\n' "LoadModule proxy_module $modules/mod_proxy.so" \
        "LoadModule proxy_fcgi_module $modules/mod_proxy_fcgi.so" >"$run/via.load"
      httpd_snippet "$run" apache2/pagestamp-proxy-fcgi.conf.in "$run/pagestamp.sock" >"$run/pagestamp.conf"
      responder_start "$run" || return 1 ;;
    module)
      [[ -f $run/mod_pagestamp.so ]] || { echo "httpd_start: no mod_pagestamp.so beside the program" >&2; return 1; }
      # mod_cgid too, for #exec cgi: the pages know no other way to run a program.
      printf '%s\n' "LoadModule pagestamp_module $run/mod_pagestamp.so" \
        "LoadModule cgid_module $modules/mod_cgid.so" >"$run/via.load"
      cp "$HTTPD_SOURCE_DIR/packaging/apache2/mods/pagestamp.conf" "$run/pagestamp.conf" ;;
    *) echo "httpd_start: Apache has no way $via" >&2; return 2 ;;
  esac
}

# The nginx configuration for a way to the program: the two shipped snippets
# in RUN, and what they pass on. fcgiwrap hands the CGI nothing but the
# request's params, so the password database goes there too.
httpd_nginx_via() {
  local run=$1 via=$2 tz=$3 socket extra=() drop=(-e '')
  : >"$run/pagestamp-main.conf"
  if httpd_nginx_loads_module "$via"; then
    echo "load_module \"$NGINX_MODULE\";" >"$run/pagestamp-main.conf"
  fi
  case $via in
    module)
      : >"$run/pagestamp-http.conf"
      local zone=(-e '')
      [[ -z $tz ]] || zone=(-e "s|#pagestamp_time_zone .*;|pagestamp_time_zone $tz;|")
      httpd_snippet "$run" nginx/pagestamp-module.conf.in "" | sed "${zone[@]}" >"$run/pagestamp.conf"
      return ;;
    installed)
      # The package's files as Debian's nginx.conf includes them. The load
      # file names the module under nginx's prefix, which is RUN here.
      ln -sfn "$NGINX_MODULES_DIR" "$run/modules"
      echo "include $NGINX_ETC/modules-enabled/*.conf;" >"$run/pagestamp-main.conf"
      : >"$run/pagestamp-http.conf"
      echo "include $NGINX_ETC/snippets/pagestamp-module.conf;" >"$run/pagestamp.conf"
      return ;;
    fastcgi)
      socket=$run/pagestamp.sock
      responder_start "$run" || return 1 ;;
    fcgiwrap)
      socket=$run/fcgiwrap.sock
      mapfile -t extra < <(httpd_nss_env "$run")
      # Debian's fcgiwrap.service runs one process; four keep two cores busy.
      RESPONDER_SOCKET=$socket responder_start "$run" "$FCGIWRAP_BIN" -c 4 || return 1
      drop=(-e '/keepalive/d') ;;
    *) echo "httpd_start: nginx has no way $via" >&2; return 2 ;;
  esac
  [[ -n $tz ]] && extra+=("TZ=$tz")
  # As the shipped snippet tells: an fcgiwrap process serves one connection
  # at a time, and connections nginx keeps would hold every one of them.
  httpd_snippet "$run" nginx/pagestamp-http.conf.in "$socket" | sed "${drop[@]}" >"$run/pagestamp-http.conf"
  local param insert=(-e '')
  for param in "${extra[@]}"; do
    insert+=(-e "/fastcgi_pass pagestamp;/i\\    fastcgi_param ${param%%=*} ${param#*=};")
  done
  httpd_snippet "$run" nginx/pagestamp.conf.in "" | sed "${insert[@]}" >"$run/pagestamp.conf"
}

# The module, for its own way or, with NGINX_WITH_MODULE set, beside
# another, for a test's locations of its own to compare the two.
httpd_nginx_loads_module() { [[ $1 == module || $1 == installed || -n ${NGINX_WITH_MODULE:-} ]]; }

# The module looks users up in nginx's own workers: they need the fake
# password database, which nginx hands on only when told to (it clears its
# workers' environment), and a module built with the sanitizers needs their
# shared runtimes (NGINX_PRELOAD) loaded first.
httpd_nginx_module_env() {
  local preload=${NGINX_PRELOAD:-} line
  while IFS= read -r line; do
    case $line in
      LD_PRELOAD=*) preload+="${preload:+ }${line#LD_PRELOAD=}" ;;
      *) env+=("$line"); echo "env ${line%%=*};" >>"$1/pagestamp-main.conf" ;;
    esac
  done < <(httpd_nss_env "$1")
  [[ -z $preload ]] || env+=("LD_PRELOAD=$preload")
  [[ -z ${NGINX_PRELOAD:-} ]] || env+=("ASAN_OPTIONS=${ASAN_OPTIONS:-}" "UBSAN_OPTIONS=${UBSAN_OPTIONS:-}")
}

# httpd_config SERVER RUN PORT MPM USER GROUP [MODULES PASS-ENV]: the
# server's configuration file, for PORT.
httpd_config() {
  local server=$1 run=$2 port=$3 mpm=$4 user=$5 group=$6 modules=${7:-} pass_env=${8:-}
  if [[ $server == nginx ]]; then
    local user_line=
    [[ $(id -u) -ne 0 ]] || user_line="user $user $group;"
    sed -e "s|@RUN@|$run|g" -e "s|@PORT@|$port|g" -e "s|@USER@|$user_line|" \
      -e "s|@WORKERS@|${NGINX_WORKERS:-2}|" "$HTTPD_SOURCE_DIR/scripts/httpd/nginx.conf.in" >"$run/nginx.conf"
  else
    sed -e "s|@RUN@|$run|g" -e "s|@PORT@|$port|g" -e "s|@MODULES@|$modules|g" \
      -e "s|@MPM@|$mpm|g" -e "/@LOAD_VIA@/{r $run/via.load" -e 'd}' \
      -e "s|@USER@|$user|" -e "s|@GROUP@|$group|" -e "s|@PASS_ENV@|$pass_env|" \
      "$HTTPD_SOURCE_DIR/scripts/httpd/apache.conf.in" >"$run/httpd.conf"
  fi
}

httpd_start() {
  local run=$1; shift
  local server=apache port=0 mpm=event via= tz= env_tz=
  while (($#)); do
    case $1 in
      --server) server=$2; shift 2 ;;
      --via) via=$2; shift 2 ;;
      --port) port=$2; shift 2 ;;
      --mpm) mpm=$2; shift 2 ;;
      --tz) tz=$2; shift 2 ;;
      --env-tz) env_tz=$2; shift 2 ;;
      *) echo "httpd_start: unknown option $1" >&2; return 2 ;;
    esac
  done
  local env=() pass_env= modules= command=()
  local user group
  user=$(httpd_user) group=$(httpd_group)
  case $server in
    apache)
      modules=$(httpd_modules_dir) || return 1
      httpd_apache_via "$run" "${via:-cgid}" "$modules" || return 1
      [[ -z $tz ]] || echo "SetEnv TZ $tz" >>"$run/pagestamp.conf"
      mapfile -t env < <(echo "PATH=$HTTPD_PATH"; httpd_nss_env "$run")
      if [[ -n ${HTTPD_PRELOAD:-} ]]; then
        # A sanitizer's runtime goes first into httpd alone: a sanitized CGI
        # carries its own, and gets the password database only.
        env=("${env[@]/#LD_PRELOAD=/LD_PRELOAD=$HTTPD_PRELOAD }" ASAN_OPTIONS=detect_leaks=0)
        pass_env="PassEnv NSS_WRAPPER_PASSWD NSS_WRAPPER_GROUP"
        echo "SetEnv LD_PRELOAD $(httpd_nss_wrapper)" >>"$run/pagestamp.conf"
      elif [[ -n $(httpd_nss_wrapper) ]]; then
        pass_env="PassEnv LD_PRELOAD NSS_WRAPPER_PASSWD NSS_WRAPPER_GROUP"
      else
        echo "httpd.sh: libnss_wrapper not found; users' pages will not be found" >&2
      fi
      command=("$HTTPD_BIN" -f "$run/httpd.conf" -DFOREGROUND) ;;
    nginx)
      httpd_nginx_via "$run" "${via:-fastcgi}" "$tz" || return 1
      mkdir -p "$run/nginx"
      command=("$NGINX_BIN" -p "$run/" -c "$run/nginx.conf" -e "$run/error.log")
      env=("PATH=$HTTPD_PATH")
      ! httpd_nginx_loads_module "${via:-fastcgi}" || httpd_nginx_module_env "$run" ;;
    *) echo "httpd_start: unknown server $server" >&2; return 2 ;;
  esac
  ((${#env[@]})) || env=("PATH=$HTTPD_PATH")
  [[ -z $env_tz ]] || env+=("TZ=$env_tz")

  local tries=20 fixed=$port
  while ((tries--)); do
    ((fixed)) || port=$((20000 + RANDOM % 40000))
    httpd_config "$server" "$run" "$port" "$mpm" "$user" "$group" "$modules" "$pass_env"
    : >"$run/error.log"
    # A session of its own: prefork's parent signals its whole process group
    # when it stops, which must not be the caller's.
    env -i "${env[@]}" setsid "${command[@]}" >>"$run/httpd.out" 2>&1 &
    HTTPD_PID=$!
    HTTPD_PORT=$port
    echo "$HTTPD_PID" >"$run/httpd.started-pid"
    local waited=0
    while httpd_alive "$HTTPD_PID" && ((waited < 100)); do
      if [[ $(curl -s -o /dev/null -w '%{http_code}' --max-time 2 "http://127.0.0.1:$port/") != 000 ]]; then
        httpd_guard "$run"
        return 0
      fi
      sleep 0.1
      waited=$((waited + 1))
    done
    if httpd_alive "$HTTPD_PID"; then
      echo "$server did not answer on 127.0.0.1:$port within 10 s" >&2
      httpd_stop "$run"
      return 1
    fi
    wait "$HTTPD_PID" 2>/dev/null || true
    if ((fixed)) || ! grep -q 'Address already in use' "$run/httpd.out" "$run/error.log"; then
      echo "$server failed to start:" >&2
      cat "$run/httpd.out" "$run/error.log" >&2
      httpd_stop "$run"
      return 1
    fi
  done
  echo "$server found no free port" >&2
  httpd_stop "$run"
  return 1
}

# Should the caller die without stopping the server (killed at a test's time
# limit, say), this stops it and the responder: in a session of its own, it is
# out of reach of whatever killed the caller's process group. It reads the
# process ids afresh each time, as a test may replace the responder.
httpd_guard() {
  setsid bash -c 'while kill -0 "$1" 2>/dev/null && [[ -f $2/httpd.started-pid ]]; do sleep 1; done
                  kill -0 "$1" 2>/dev/null && exit # stopped by the caller, who may start anew
                  [[ -f $2/httpd.started-pid ]] && kill -TERM "$(cat "$2/httpd.started-pid")"
                  [[ -f $2/responder.started-pid ]] && kill -TERM -- "-$(cat "$2/responder.started-pid")"
                  ' httpd-guard $$ "$1" </dev/null >/dev/null 2>&1 &
}

# httpd_stop_pid FILE [group]: stops the process whose id FILE holds (with
# group, its whole process group), and forgets it.
httpd_stop_pid() {
  local pid target
  pid=$(cat "$1" 2>/dev/null) || return 0
  rm -f "$1"
  target=$pid
  [[ ${2:-} != group ]] || target=-$pid
  kill -TERM -- "$target" 2>/dev/null || return 0
  local waited=0
  while httpd_alive "$pid" && ((waited < 100)); do
    sleep 0.1
    waited=$((waited + 1))
  done
  kill -KILL -- "$target" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  return 0
}

httpd_stop() {
  httpd_stop_pid "$1/httpd.started-pid"
  responder_stop "$1"
}
