#!/usr/bin/env bash
# The CGI gets TZ only from httpd's own environment or a SetEnv: without
# either, stamps are in the machine's local time.
# Usage: tz_test.sh PROGRAM
source "$(dirname "$0")/lib.sh"
prepare_site "$1"

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

echo "httpd started without TZ"
httpd_start "$RUN"
check_dates ''
httpd_stop "$RUN"

echo "httpd started without TZ, SetEnv TZ Asia/Tokyo"
echo 'SetEnv TZ Asia/Tokyo' >"$RUN/conf.d/tz.conf"
chmod a+r "$RUN/conf.d/tz.conf"
httpd_start "$RUN"
check_dates Asia/Tokyo
httpd_stop "$RUN"

echo "httpd started with TZ=America/New_York"
rm "$RUN/conf.d/tz.conf"
httpd_start "$RUN" --tz America/New_York
check_dates America/New_York

finish
