#!/usr/bin/env bash
# The folders depend one way: driver/ on request/ and stamp/, stamp/ only on
# the records request/ fills, and everything on text/, which needs nothing.
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
forbid request 'stamp/|driver/' "request/ knows nothing of templates or of the driver"
forbid stamp 'driver/|request/(fastcgi|response|system_calls|time_zone)' "stamp/ takes only request's records"
forbid text 'request/|stamp/|driver/' "text/ stands below everything"
((failures == 0)) && echo "layers clean"
exit $((failures != 0))
