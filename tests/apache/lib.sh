# Sourced by the server tests: the example site served by a real Apache httpd
# or nginx, its files given fixed times and sizes so that every stamp is known
# exactly. The server is stopped and the directory removed however the test
# ends.
set -euo pipefail
TEST_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$TEST_DIR/../../scripts/httpd/httpd.sh"

RUN=$(mktemp -d "${PAGESTAMP_RUN_PARENT:-/tmp}/pagestamp-httpd-XXXXXX")
chmod 755 "$RUN"
cleanup() {
  httpd_stop "$RUN"
  if [[ ${KEEP_RUN:-} ]]; then echo "kept $RUN"; else rm -rf "$RUN"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM
failures=0

# fixed_time FILE 'YYYY-MM-DD HH:MM:SS' (London time)
fixed_time() { TZ=Europe/London touch -d "$2" "$RUN/$1"; }

# Pads FILE with spaces to SIZE bytes, so that size stamps do not move
# whenever the example page is edited.
pad() {
  local size
  size=$(stat -c %s "$RUN/$1")
  ((size <= $2)) || { echo "$1 is $size bytes, more than the $2 the test expects" >&2; exit 1; }
  printf '%*s' $(($2 - size)) '' >>"$RUN/$1"
}

prepare_site() {
  httpd_prepare "$RUN" "$1"
  pad site/index.shtml 20000
  pad site/docs/notes.html 1124
  fixed_time site/index.shtml '2003-04-02 15:07:09'
  fixed_time site/docs/index.shtml '2002-11-05 18:45:30'
  fixed_time site/docs/notes.html '2003-12-25 09:30:00'
  fixed_time site/docs/visitor.shtml '2003-04-02 15:07:09'
  fixed_time site/docs/dates.shtml '2003-04-02 15:07:09'
  fixed_time site/docs/footer.shtml '2003-04-02 15:07:09'
  fixed_time home/ann/www/index.shtml '2001-01-01 00:00:01'
  fixed_time home/ann/www/notes.html '2004-02-29 12:00:00'
}

# fetch PATH: the body, failing unless the status is 200. The request also
# carries the curl arguments in the array fetch_extra, when it is set.
fetch_extra=()
fetch() {
  local out=$RUN/fetched status
  status=$(curl -s -o "$out" -w '%{http_code}' --max-time 30 ${fetch_extra[@]+"${fetch_extra[@]}"} \
    "http://127.0.0.1:$HTTPD_PORT$1") || true
  if [[ $status != 200 ]]; then
    echo "GET $1 answered $status" >&2
    return 1
  fi
  cat "$out"
}

# Every <samp id="ID">...</samp> of a page as "ID text", one a line. An
# included stamp starts with the CR that ends the program's header; it is
# taken off here, and its absence shows as "(no CR)". Line ends show as \n.
samples() {
  perl -0777 -ne 'while (/<samp id="([^"]*)">(.*?)<\/samp>/sg) {
      my ($id, $text) = ($1, $2);
      $text = "(no CR)" . $text unless $text =~ s/^\r//;
      $text =~ s/\r/\\r/g; $text =~ s/\n/\\n/g;
      print "$id $text\n";
  }'
}

# What Apache and nginx put in the page for an include that failed.
apache_error='[an error occurred while processing this directive]'
nginx_error='[an error occurred while processing the directive]'

# check_page PATH < "ID expected" lines: the page's stamps, all of them, in
# order. No include may fail but those the table expects to.
check_page() {
  local page
  if ! page=$(fetch "$1"); then
    failures=$((failures + 1))
    return
  fi
  check_served "$1" "$page"
}

# check_served PATH PAGE < "ID expected" lines: check_page of a page fetched
# already.
check_served() {
  local page=$2 expected error='an error occurred while processing (this|the) directive'
  expected=$(cat)
  if [[ $(grep -cE "$error" <<<"$page") != $(grep -cE "$error" <<<"$expected") ]]; then
    echo "FAIL $1: an include failed" >&2
    failures=$((failures + 1))
  fi
  if ! diff -u --label "expected $1" --label "served $1" <(echo "$expected") <(samples <<<"$page"); then
    failures=$((failures + 1))
  fi
}

# The page that shows one date five ways, served with TZ=Europe/London.
check_dates_page() {
  check_page /docs/dates.shtml <<'EOF'
d1 2003-4-2
d2 Wednesday, April 2, 2003
d3 02.04.2003 15:07 BST
d4 030402-150709
d5 notes.html Dec 25 9:30 AM (1.1k)
EOF
}

# check_installed SNIPPET: the example site served with nothing but an
# installed program and the snippet that maps it, loaded as a2enconf would,
# with Debian's own mapping of /cgi-bin/ after it (conf-enabled loads in name
# order), which must not win.
check_installed() {
  rm "$RUN/cgi-bin/pagestamp"
  {
    echo "Include \"$1\""
    echo "<Directory \"$RUN/site\">"$'\n'"    Options -Includes +IncludesNOEXEC"$'\n'"</Directory>"
    if [[ -f /etc/apache2/conf-available/serve-cgi-bin.conf ]]; then
      echo 'Include /etc/apache2/conf-available/serve-cgi-bin.conf'
    fi
  } >"$RUN/conf.d/00-installed.conf"
  chmod a+r "$RUN/conf.d/00-installed.conf"
  httpd_start "$RUN" --tz Europe/London

  check_dates_page
  # IncludesNOEXEC, as the snippet sets for /var/www, refuses #exec alone.
  check_page '/docs/visitor.shtml?%Y4' <<'EOF'
own April 2003
none 2003-4-2
exec (no CR)[an error occurred while processing this directive]
raw 100% sure, %2fkept/ 2003
EOF
}

# start_load PATH REQUESTS [held]: that many answers for PATH from
# LOAD_CONNECTIONS (16) connections, in the background, each checked against
# the page as served alone (load_check.lua). Each wrk thread leaves a file in
# RUN/done when a quarter of its share is checked, and one when all is. A
# held load goes on past its requests until release_load.
start_load() {
  fetch "$1" >"$RUN/reference.html"
  rm -rf "$RUN/done"
  mkdir "$RUN/done"
  [[ ${3:-} == held ]] || release_load
  wrk -t 2 -c "${LOAD_CONNECTIONS:-16}" -d 300s --timeout 20s -s "$TEST_DIR/load_check.lua" "http://127.0.0.1:$HTTPD_PORT$1" \
    -- "$RUN/reference.html" $(($2 / 2)) "$RUN/done" >"$RUN/wrk.out" 2>&1 &
  LOAD_PID=$!
}

release_load() { : >"$RUN/done/release"; }

# wait_load SUFFIX: until both threads have left their SUFFIX file (empty:
# done), or wrk has ended.
wait_load() {
  while httpd_alive "$LOAD_PID" && (($(ls "$RUN/done" | grep -c "^[0-9]*$1\$") < 2)); do
    sleep 0.1
  done
}

# end_load: waits for every answer, then sets checked, wrong_status,
# wrong_body, failed_includes, socket_errors and timeouts from wrk's summary.
end_load() {
  wait_load ''
  kill -INT "$LOAD_PID" 2>/dev/null || true
  wait "$LOAD_PID" || true
  cat "$RUN/wrk.out"
  read -r checked wrong_status wrong_body failed_includes socket_errors timeouts < <(
    sed -nE 's/^checked ([0-9]+) wrong_status ([0-9]+) wrong_body ([0-9]+) failed_includes ([0-9]+) socket_errors ([0-9]+) timeouts ([0-9]+)$/\1 \2 \3 \4 \5 \6/p' "$RUN/wrk.out")
  if [[ -z ${checked:-} ]]; then
    echo "FAIL: no summary from wrk" >&2
    failures=$((failures + 1))
    checked=0
  fi
}

# expect_none NAME...: each named count must be 0.
expect_none() {
  local count
  for count in "$@"; do
    ((${!count:-0} == 0)) || { echo "FAIL: $count ${!count}" >&2; failures=$((failures + 1)); }
  done
}

# The lines of the server's log that tell of an error.
server_errors() {
  grep -E '\[[a-z_]+:(error|crit|alert|emerg)\]|\[(error|crit|alert|emerg)\]' "$RUN/error.log"
}

finish() {
  # A sanitized module reports into the server's log, and the child dies.
  if grep -hE 'ERROR: AddressSanitizer|runtime error:' "$RUN/error.log" "$RUN/httpd.out" 2>/dev/null | head -5 >&2; then
    echo "FAIL: the sanitizers found a fault" >&2
    failures=$((failures + 1))
  fi
  if ((failures)); then
    echo "$failures check(s) failed" >&2
    # A test that kills the responder leaves thousands of expected errors.
    if [[ -f $RUN/error.log ]]; then
      echo "server log, the last 40 of $(wc -l <"$RUN/error.log") lines:" >&2
      tail -n 40 "$RUN/error.log" >&2
    fi
    exit 1
  fi
  echo "all checks passed"
}
