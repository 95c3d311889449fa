#!/usr/bin/env bash
# The installed systemd units: systemd-analyze finds nothing to say about
# them, and the responder started as they describe (their program, user,
# socket group and mode, here by spawn-fcgi on standard input)
# answers the web server's group exactly as the CGI does, and nobody else.
# Usage: systemd_test.sh BUILD-DIR
source "$(dirname "$0")/lib.sh"
build=$1
prefix=$RUN/prefix
units=$prefix/lib/systemd/system

"${CMAKE:-cmake}" --install "$build" --prefix "$prefix" >"$RUN/install.log"
chmod -R a+rX "$prefix"

# MANPATH: the units' Documentation= names the manual page installed beside them.
if ! report=$(cd "$units" && MANPATH=$prefix/share/man systemd-analyze verify ./pagestamp.socket ./pagestamp.service 2>&1) ||
  [[ -n $report ]]; then
  echo "FAIL: systemd-analyze verify:"$'\n'"$report" >&2
  failures=$((failures + 1))
fi

# unit_value FILE KEY: the value the unit gives KEY.
unit_value() { sed -n "s/^$2=//p" "$units/$1"; }
program=$(unit_value pagestamp.service ExecStart)
# With the socket as standard input systemd would pass it alone, never the
# connections its store keeps for the next start.
[[ -z $(unit_value pagestamp.service StandardInput) ]] || { echo "FAIL: the unit sets StandardInput" >&2; failures=$((failures + 1)); }
[[ $(unit_value pagestamp.socket Accept) == no ]] || { echo "FAIL: Accept is not no" >&2; failures=$((failures + 1)); }

prepare_site "$program"
socket=$RUN/pagestamp.sock
owner=()
if [[ $(id -u) -eq 0 ]]; then
  owner=(-u "$(unit_value pagestamp.service User)" -g "$(unit_value pagestamp.service Group)"
         -G "$(unit_value pagestamp.socket SocketGroup)")
fi
# A process group of its own, as lib.sh stops the responder's whole group.
setsid spawn-fcgi -n -s "$socket" -M "$(unit_value pagestamp.socket SocketMode)" "${owner[@]}" -- "$program" \
  >"$RUN/responder.out" 2>&1 &
echo $! >"$RUN/responder.started-pid"
for ((waited = 0; waited < 100; waited++)); do [[ -S $socket ]] && break; sleep 0.05; done
if [[ ! -S $socket ]]; then
  echo "FAIL: spawn-fcgi could not start the responder as the units say:" >&2
  cat "$RUN/responder.out" >&2
  failures=$((failures + 1))
  finish
fi
# spawn-fcgi gives the socket to the user it runs the program as, and will
# not be told root: the owner is set here, before anyone connects.
[[ $(id -u) -ne 0 ]] || chown "$(unit_value pagestamp.socket SocketUser)" "$socket"

request=(SERVER_NAME=www.example.org DOCUMENT_ROOT="$RUN/site" DOCUMENT_URI=/docs/dates.shtml
         DOCUMENT_NAME=dates.shtml PATH_INFO=/notes.html 'QUERY_STRING=%FN+%WL+%H2:%PM+%TZ+(%SA)' TZ=Europe/London)
# as USER|- COMMAND...: runs COMMAND as USER (- for whoever runs the test).
as() {
  local user=$1; shift
  if [[ $user == - ]]; then "$@"; else setpriv --reuid="$(id -u "$user")" --regid="$(id -g "$user")" --clear-groups "$@"; fi
}
cgi=$(env -i "${request[@]}" "$program" | tail -c +28 | od -c)
# The web server's user, as it runs when started as root.
client=-
[[ $(id -u) -ne 0 ]] || client=$(httpd_user)
fastcgi=$(as "$client" env -i "${request[@]}" cgi-fcgi -bind -connect "$socket" | tail -c +29 | od -c) || true
if [[ -z $cgi || $fastcgi != "$cgi" ]]; then
  echo "FAIL: the responder's page text differs from the CGI's:"$'\n'"$cgi"$'\n'"$fastcgi" >&2
  failures=$((failures + 1))
fi
if [[ $(id -u) -eq 0 ]] && as nobody env -i "${request[@]}" cgi-fcgi -bind -connect "$socket" >/dev/null 2>&1; then
  echo "FAIL: nobody may connect to the socket" >&2
  failures=$((failures + 1))
fi

finish
