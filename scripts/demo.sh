#!/usr/bin/env bash
# Builds pagestamp and shows the response it gives for the bundled example page.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target pagestamp >/dev/null
root=$PWD/examples/site
show() {
  printf '%-48s ' "$1"
  env -i TZ="${TZ:-UTC}" SERVER_NAME=localhost DOCUMENT_ROOT="$root" DOCUMENT_URI=/index.shtml \
    DOCUMENT_NAME=index.shtml ${2:+PATH_INFO=$2} QUERY_STRING="$1" build/pagestamp | tail -c +29
  echo
}
show ''
show '%WL,+%ML+%DM,+%Y4+at+%H1:%PM+%A3'
show '%FN+is+%SA+(%SB+bytes)'
show '%FP/%FN+changed+%Y4-%MP-%DP' /docs/notes.html
