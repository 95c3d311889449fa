#!/usr/bin/env bash
# The folders depend one way: text/ needs nothing; zone/ (reading a zone and
# breaking a time down in it) needs only text/; request/ (what a request is:
# environment, locator, file status, response) needs only zone/ and text/; stamp/
# takes request's records; driver/ answers a request with both; the ways in
# and out (fastcgi/, the server modules) call driver/, and only main picks one.
# usage: check_layers.sh SOURCE_DIR
set -u
cd "$1" || exit 1
failures=0
# forbid FOLDER PATTERN WHY: no file in FOLDER includes a path matching PATTERN.
forbid() {
  local hits
  hits=$(grep -rn -E "#include \"($2)" "$1" || true)
  if [[ -n $hits ]]; then
    echo "FAIL: $3:"; echo "$hits"; failures=$((failures + 1))
  fi
}
forbid request 'stamp/|driver/|fastcgi/|apache/|nginx/' "request/ knows nothing of templates, the driver or the ways in"
forbid zone 'request/|stamp/|driver/|fastcgi/|apache/|nginx/' "zone/ reads zones and needs only text/"
forbid stamp 'driver/|fastcgi/|apache/|nginx/|request/response|zone/' "stamp/ takes only request's records"
forbid text 'zone/|request/|stamp/|driver/|fastcgi/|apache/|nginx/' "text/ stands below everything"
forbid driver/answer_request.cpp 'fastcgi/|apache/|nginx/' "the answer knows no way in"
forbid driver/answer_page.cpp 'fastcgi/|apache/|nginx/' "the page's answer knows no way in"
forbid fastcgi 'apache/|nginx/' "the responder is a way in of its own"
((failures == 0)) && echo "layers clean"
exit $((failures != 0))
