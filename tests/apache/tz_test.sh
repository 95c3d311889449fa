#!/usr/bin/env bash
# Which TZ reaches the program: one the server sets for each request
# (Apache's SetEnv, nginx's fastcgi_param), the server's own environment
# where the server passes it on, and else the responder's own zone. Without
# any, stamps are in the machine's local time.
# Usage: tz_test.sh PROGRAM SERVER VIA   (see scripts/httpd/httpd.sh)
source "$(dirname "$0")/lib.sh"
program=$1 server=$2 via=$3
prepare_site "$program"

# check_dates ZONE: the stamps of dates.shtml as date(1) gives them in ZONE
# (empty: no TZ at all, the machine's local time).
check_dates() {
  local zone=$1
  in_zone() {
    if [[ -n $zone ]]; then TZ=$zone date -r "$RUN/site/docs/$1" "$2"; else env -u TZ date -r "$RUN/site/docs/$1" "$2"; fi
  }
  check_page /docs/dates.shtml <<EOF
d1 $(in_zone dates.shtml '+%Y-%-m-%-d')
d2 $(in_zone dates.shtml '+%A, %B %-d, %Y')
d3 $(in_zone dates.shtml '+%d.%m.%Y %H:%M %Z')
d4 $(in_zone dates.shtml '+%y%m%d-%H%M%S')
d5 $(in_zone notes.html '+notes.html %b %-d %-I:%M %p (1.1k)')
EOF
}

# serve_with DESCRIPTION [httpd_start options]: restarts the server so.
serve_with() {
  echo "$server ($via): $1"
  shift
  httpd_stop "$RUN"
  httpd_start "$RUN" --server "$server" --via "$via" "$@"
}

serve_with "no TZ anywhere"
check_dates ''

serve_with "TZ Asia/Tokyo for each request" --tz Asia/Tokyo
check_dates Asia/Tokyo

# The module reads its zone without touching nginx's: the server's own
# times (its log's) stay in the machine's.
if [[ $server/$via == nginx/module ]]; then
  curl -s -o /dev/null --max-time 30 "http://127.0.0.1:$HTTPD_PORT/gone.html"
  logged=$(sed -nE 's|^([0-9/]{10} [0-9:]{8}) \[error\].*gone\.html.*|\1|p' "$RUN/error.log" | tail -n 1)
  if [[ -z $logged ]]; then
    echo "FAIL: nginx logged no error for /gone.html" >&2
    failures=$((failures + 1))
  else
    drift=$(($(env -u TZ date +%s) - $(env -u TZ date -d "${logged//\//-}" +%s)))
    echo "nginx logged $logged, $drift s ago in the machine's zone"
    ((drift >= 0 && drift < 60)) || { echo "FAIL: nginx's log is not in the machine's zone" >&2; failures=$((failures + 1)); }
  fi
fi

# Apache hands its own TZ to a CGI and to what mod_fcgid starts;
# mod_proxy_fcgi does not send it, and nginx sends nothing it is not told to,
# but keeps TZ for its own workers, where the module answers.
serve_with "the server started with TZ=America/New_York" --env-tz America/New_York
case $server/$via in
  apache/cgi | apache/cgid | apache/fcgid | apache/module | nginx/module) check_dates America/New_York ;;
  *) check_dates '' ;;
esac

# SetEnv per directory: the page's directory gives its includes their zone,
# one for the site and another for docs/.
if [[ $server/$via == apache/cgid || $server/$via == apache/module ]]; then
  printf '<Directory "%s">\n    SetEnv TZ %s\n</Directory>\n' "$RUN/site" America/New_York \
    "$RUN/site/docs" Asia/Tokyo >"$RUN/conf.d/zones.conf"
  echo '<samp id="site"><!--#include virtual="/cgi-bin/pagestamp?%H2:%PM+%TZ" --></samp>' >"$RUN/site/zones.shtml"
  chmod a+r "$RUN/conf.d/zones.conf" "$RUN/site/zones.shtml"
  serve_with "SetEnv TZ America/New_York for the site, Asia/Tokyo for docs/"
  check_dates Asia/Tokyo
  check_page /zones.shtml <<<"site $(TZ=America/New_York date -r "$RUN/site/zones.shtml" '+%-H:%M %Z')"
  rm "$RUN/conf.d/zones.conf"
fi

# A responder that is handed a socket keeps the zone it was started with for
# the requests that bring none, and a request's own zone wins over it.
if [[ $via == proxy-fcgi || $via == fastcgi ]]; then
  RESPONDER_TZ=Europe/Paris serve_with "the responder started with TZ=Europe/Paris"
  check_dates Europe/Paris
  RESPONDER_TZ=Europe/Paris serve_with "... and TZ Asia/Tokyo for each request" --tz Asia/Tokyo
  check_dates Asia/Tokyo
fi

finish
