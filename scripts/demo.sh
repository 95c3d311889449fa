#!/usr/bin/env bash
# The live demo: builds pagestamp and mod_pagestamp, serves the example site
# through Apache httpd and the module on 127.0.0.1, prints the address and the
# front page as text, and serves until Ctrl-C.
#
#   bash scripts/demo.sh [--port N] [--once]
#
# The port is 8080 unless given (or set in PORT); --once prints and exits.
# Stamps are in the zone of TZ when it is set, else the machine's.
set -euo pipefail
cd "$(dirname "$0")/.."

port=${PORT:-8080}
once=
while (($#)); do
  case $1 in
    --port) port=$2; shift 2 ;;
    --port=*) port=${1#--port=}; shift ;;
    --once) once=1; shift ;;
    *) echo "usage: $0 [--port N] [--once]" >&2; exit 2 ;;
  esac
done

bash scripts/install-deps.sh demo
# A build directory of its own: turning the tests off in the one the test
# command uses would leave it with none to run.
build=${BUILD_DIR:-build-demo}
# The module, as the README recommends for a server one administers; the
# program too, which the module's URL names and #exec cgi runs.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPAGESTAMP_TESTS=OFF \
  -DPAGESTAMP_APACHE_MODULE=ON -DPAGESTAMP_NGINX_MODULE=OFF >/dev/null
cmake --build "$build" --target pagestamp mod_pagestamp >/dev/null

source scripts/httpd/httpd.sh
run=$(mktemp -d /tmp/pagestamp-demo-XXXXXX)
trap 'httpd_stop "$run"; rm -rf "$run"' EXIT
trap 'echo; exit 0' INT TERM
httpd_prepare "$run" "$build/pagestamp"
httpd_start "$run" --port "$port" --via module ${TZ:+--tz "$TZ"}

# A page as plain text: tags dropped, each table in aligned columns (or one
# cell a line when too wide), the CR that starts each stamp (the end of the
# program's header) left out.
render() {
  perl -0777 -ne '
    sub cells { map { s/<[^>]+>//gr =~ s/\s+/ /gr =~ s/^ | $//gr } ($_[0] =~ m{<t[dh]>(.*?)</t[dh]>}gs) }
    sub table {
      my @rows = map { [cells($_)] } ($_[0] =~ m{<tr>(.*?)</tr>}gs);
      my @width = (0, 0);
      for my $row (@rows) { for (0, 1) { $width[$_] = length $row->[$_] if length $row->[$_] > $width[$_] } }
      my $out = "";
      if ($width[0] + $width[1] < 72) {
        $out .= sprintf("  %-*s  %-*s  %s", $width[0], $_->[0], $width[1], $_->[1], $_->[2]) =~ s/\s+$//r . "\n" for @rows;
      } else {
        $out .= "  $_->[0]\n      $_->[1]\n      -> $_->[2]\n" for @rows[1 .. $#rows];
      }
      return $out;
    }
    s/\r//g;
    s/<head>.*?<\/head>//s;
    s{<table>(.*?)</table>}{table($1)}gse;
    s/<[^>]+>//g;
    s/&lt;/</g; s/&gt;/>/g; s/&amp;/&/g;
    s/\n{3,}/\n\n/g; s/^\s+|\s+$//g;
    print "$_\n";'
}

address="http://127.0.0.1:$port"
echo
echo "pagestamp example site: $address/"
echo "answered by mod_pagestamp, inside Apache httpd"
echo "----------------------------------------------------------------------"
curl -s "$address/" | render
echo "----------------------------------------------------------------------"
echo "More pages: $address/docs/  $address/docs/dates.shtml  $address/~ann/"
echo "            $address/docs/visitor.shtml?%WL+from+the+visitor"
[[ -z $once ]] || exit 0
echo "Serving until Ctrl-C."
wait "$HTTPD_PID" || true
