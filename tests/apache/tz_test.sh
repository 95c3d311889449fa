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

# Zones that visitors choose (SetEnvIf from a header) never use up a child's
# zones: one connection (one child) names 80, and a site's zone past the
# 64th, and every other, is still served; the full cache is logged once a
# child, not once a request.
if [[ $server/$via == apache/module || $server/$via == apache/proxy-fcgi ]]; then
  printf '<IfModule !setenvif_module>\nLoadModule setenvif_module "%s/mod_setenvif.so"\n</IfModule>\n%s\n' \
    "$(httpd_modules_dir)" 'SetEnvIf X-TZ "^([A-Za-z0-9/]+)$" TZ=$1' >"$RUN/conf.d/zones.conf"
  chmod a+r "$RUN/conf.d/zones.conf"
  serve_with "a zone for each visitor from an X-TZ header"
  letters=(A B C D E F G H I J K L M N O P Q R S T U V W X Y Z)
  zones=() flood=$RUN/flood
  mkdir -p "$flood"
  for ((i = 0; i < 80; i++)); do
    zones+=("Q${letters[i / 26]}${letters[i % 26]}$((i % 24))")
  done
  zones[75]=Australia/Sydney
  for ((i = 0; i < 80; i++)); do
    printf 'url = "http://127.0.0.1:%s/zones.shtml"\nheader = "X-TZ: %s"\noutput = "%s/%s"\nnext\n' \
      "$HTTPD_PORT" "${zones[i]}" "$flood" "$i"
  done >"$RUN/flood.curl"
  echo '<samp id="z"><!--#include virtual="/cgi-bin/pagestamp?%H2:%PM+%TZ" --></samp>' >"$RUN/site/zones.shtml"
  chmod a+r "$RUN/site/zones.shtml"
  curl -s --max-time 60 -K "$RUN/flood.curl" || true
  wrong=0
  for ((i = 0; i < 80; i++)); do
    expected="z $(TZ=${zones[i]} date -r "$RUN/site/zones.shtml" '+%-H:%M %Z')"
    [[ $(samples <"$flood/$i") == "$expected" ]] || wrong=$((wrong + 1))
  done
  echo "80 visitor zones: $wrong wrong"
  ((wrong == 0)) || { echo "FAIL: $wrong of 80 visitor zones not served" >&2; failures=$((failures + 1)); }
  logged=$(grep -c 'zone cache is full' "$RUN/error.log" || true)
  if [[ $via == module ]] && ((logged < 1 || logged > 4)); then
    echo "FAIL: the full cache logged $logged times, not once a child" >&2
    failures=$((failures + 1))
  fi
  rm "$RUN/conf.d/zones.conf"
fi

# httpd's own zone, when it is one no request can use, is named in the log.
if [[ $server/$via == apache/module ]]; then
  serve_with "the server started with a TZ of 300 bytes" --env-tz "$(printf 'A%.0s' {1..300})"
  fetch /docs/dates.shtml >/dev/null || true
  grep -q 'TZ "A\{64\}"\.\.\. is longer than' "$RUN/error.log" ||
    { echo "FAIL: the server's own TZ is not named in the log" >&2; failures=$((failures + 1)); }
fi

# nginx reads pagestamp_time_zone afresh on each reload, so a zone file that
# changed is seen, and refuses what is no zone at configuration time.
if [[ $server/$via == nginx/module ]]; then
  cp /usr/share/zoneinfo/Asia/Tokyo "$RUN/zone"
  chmod a+r "$RUN/zone"
  serve_with "pagestamp_time_zone a file that holds Asia/Tokyo" --tz "$RUN/zone"
  check_dates Asia/Tokyo
  cp /usr/share/zoneinfo/America/New_York "$RUN/zone"
  kill -HUP "$(cat "$RUN/nginx.pid")"
  for ((tries = 0; tries < 50; tries++)); do
    fetch /docs/dates.shtml | grep -q 'E[SD]T' && break
    sleep 0.1
  done
  echo "$server ($via): ... and America/New_York in its place, then a reload"
  check_dates America/New_York
  for value in 'Europe/Londn' '$arg_tz' 'EST5 EDT'; do
    sed "s|pagestamp_time_zone .*;|pagestamp_time_zone '$value';|" "$RUN/pagestamp.conf" >"$RUN/pagestamp.conf.new"
    mv "$RUN/pagestamp.conf.new" "$RUN/pagestamp.conf"
    if said=$(env ${NGINX_PRELOAD:+LD_PRELOAD="$NGINX_PRELOAD"} ASAN_OPTIONS=detect_leaks=0 \
      "$NGINX_BIN" -t -p "$RUN/" -c "$RUN/nginx.conf" -e "$RUN/test.log" 2>&1); then
      echo "FAIL: pagestamp_time_zone '$value' was accepted" >&2
      failures=$((failures + 1))
    else
      grep 'pagestamp_time_zone' <<<"$said" | head -n 1
    fi
  done
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
