#!/usr/bin/env bash
# The example site through a real web server: the exact text each include
# puts into the pages, for the page itself, other files named through
# PATH_INFO, a user's web directory, a missing file, a visitor's query and an
# include inside an included page. Every server and way to the program puts
# the same text there as the CGI under mod_cgid, but for what the server does
# before the program runs (below).
# Usage: pages_test.sh PROGRAM SERVER VIA [MPM]   (see scripts/httpd/httpd.sh)
source "$(dirname "$0")/lib.sh"
program=$1 server=$2 via=$3 mpm=${4:-event}

prepare_site "$program"
# Users whose entries are long: past the first lookup's room, they are looked
# up again in more. One past the most a lookup is given (64 KiB) fails, which
# says nothing about the file, so the stamp is empty instead of saying it
# cannot be opened, through every way as from the CGI.
for user in long:2100 longer:61440 crowded:70000; do
  printf '%s:x:2999:2999:%s:%s:/usr/sbin/nologin\n' "${user%:*}" "$(printf '%*s' "${user#*:}" '' | tr ' ' g)" \
    "$RUN/home/ann" >>"$RUN/passwd"
  echo "<samp id=\"${user%:*}\"><!--#include virtual=\"/cgi-bin/pagestamp/~${user%:*}/notes.html?%Y4\" --></samp>"
done >"$RUN/site/docs/crowded.shtml"
echo '<samp id="again"><!--#include virtual="/cgi-bin/pagestamp/~crowded/notes.html?%Y4" --></samp>' \
  >>"$RUN/site/docs/crowded.shtml"
httpd_start "$RUN" --server "$server" --via "$via" --mpm "$mpm" --tz Europe/London
echo "$server ($via) on 127.0.0.1:$HTTPD_PORT, program $program"

# nginx's fastcgi_pass passes a doubled slash on as written, so the
# root-relative form meets the program's root rule, where the module merges
# it as Apache does; nginx refuses a URI holding ".." outright; and it has no
# #exec. Apache knows #exec only with mod_cgi or mod_cgid loaded, which the
# FastCGI ways leave out.
case $server/$via in
  apache/cgi | apache/cgid | apache/module)
    top_root='/docs/notes.html 2003-12-25'
    docs_dotdot='notes.html, 2003-12-25'
    docs_root='/index.shtml, 2002-11-05'
    exec_visitor='Wednesday 2 from the visitor'
    exec_none=2003-4-2 ;;
  apache/*)
    top_root='/docs/notes.html 2003-12-25'
    docs_dotdot='notes.html, 2003-12-25'
    docs_root='/index.shtml, 2002-11-05'
    exec_visitor="(no CR)$apache_error"
    exec_none=$exec_visitor ;;
  nginx/module)
    top_root='/docs/notes.html 2003-12-25'
    docs_dotdot="(no CR)$nginx_error"
    docs_root='/index.shtml, 2002-11-05'
    exec_visitor="(no CR)$nginx_error"
    exec_none=$exec_visitor ;;
  nginx/*)
    top_root='//docs/notes.html 2003-12-25'
    docs_dotdot="(no CR)$nginx_error"
    docs_root='//index.shtml, 2003-04-02'
    exec_visitor="(no CR)$nginx_error"
    exec_none=$exec_visitor ;;
esac

# %SN is the host the visitor asked for: Apache's UseCanonicalName is off.
check_page / <<EOF
worked Wednesday, April 2, 2003
default 2003-4-2
WS Wed
WL Wednesday
WN 4
WP 04
MS Apr
ML April
MN 4
MP 04
DM 2
DP 02
Y2 03
Y4 2003
YD 91
YP 091
H1 3
P1 03
H2 15
P2 15
MM 7
PM 07
SS 9
PS 09
A1 pm
A2 PM
A3 p.m.
A4 P.M.
TZ BST
SA 19.5k
SB 20000
SK 19.5
SM 0.0
SG 0.0
FN index.shtml
FP 
DR $RUN/site
SN 127.0.0.1
relative /docs/notes.html 2003-12-25
root $top_root
user /~ann/index.shtml 2001-01-01
missing [Error: Couldn't open file '$RUN/site/gone.html']\n
EOF

# Apache merges the doubled slash of the root-relative form and resolves
# "..", so both reach the program as paths relative to the page. The footer
# is an included page: its include stamps the page the visitor asked for.
check_page /docs/ <<EOF
self /docs/index.shtml, 2002-11-05
relative notes.html, 2003-12-25
dotdot $docs_dotdot
root $docs_root
user /~ann/notes.html, 2004-02-29
missing [Error: Couldn't open file '$RUN/site/docs/gone.html']\n
footer /docs/index.shtml, 2002-11-05
EOF

check_dates_page

# Every request header reaches the program as a variable it never reads, and
# a visitor's large but legal ones (Apache takes up to 8190 bytes a field)
# must not cost the page its stamps. mod_fcgid, like nginx below, puts the
# params in one record of at most 64 KiB and fails the include itself.
if [[ $server == apache ]]; then
  filler=$(printf '%*s' 8000 '' | tr ' ' x)
  for i in {1..10}; do fetch_extra+=(-H "X-Filler-$i: $filler"); done
  fetch_extra+=(-H "Cookie: visit=${filler:7}")
  if [[ $via == fcgid ]]; then
    check_page /docs/dates.shtml <<EOF
d1 (no CR)$apache_error
d2 (no CR)$apache_error
d3 (no CR)$apache_error
d4 (no CR)$apache_error
d5 (no CR)$apache_error
EOF
  else
    check_dates_page
  fi
  fetch_extra=()
else
  # Headers of more than 64 KiB: nginx cannot put the params into its one
  # record and fails the include, which must show as a failed include, not
  # as nginx's error page inside the paragraph. The module sends no record.
  filler=$(printf '%*s' 40000 '' | tr ' ' x)
  fetch_extra=(-H "X-Filler-1: $filler" -H "X-Filler-2: $filler")
  if [[ $via == module ]]; then
    check_dates_page
  else
    check_page /docs/dates.shtml <<EOF
d1 (no CR)$nginx_error
d2 (no CR)$nginx_error
d3 (no CR)$nginx_error
d4 (no CR)$nginx_error
d5 (no CR)$nginx_error
EOF
  fi
  fetch_extra=()
fi

# The visitor's query string reaches only #exec cgi.
check_page '/docs/visitor.shtml?%WL+%DM+from+the+visitor' <<EOF
own April 2003
none 2003-4-2
exec $exec_visitor
raw 100% sure, %2fkept/ 2003
EOF
check_page /docs/visitor.shtml <<EOF
own April 2003
none 2003-4-2
exec $exec_none
raw 100% sure, %2fkept/ 2003
EOF

check_page /docs/crowded.shtml <<'EOF'
long 2004
longer 2004
crowded 
again 
EOF
# The ways in a server say why in its log (a CGI's has nothing to say it
# with), once for a condition that lasts; the responder started by mod_fcgid
# writes to httpd's own standard error, and there may be two of them.
why="could not look up a user's home directory: no descriptor or memory to spare, or a password entry larger than 64 KiB"
case $via in
  cgi | cgid | fcgiwrap) ;;
  *)
    for ((tries = 50; tries > 0; tries--)); do
      grep -qsF "$why" "$RUN/error.log" "$RUN/responder.out" "$RUN/httpd.out" && break
      sleep 0.1
    done
    lines=$(cat "$RUN/error.log" "$RUN/responder.out" "$RUN/httpd.out" 2>/dev/null | grep -cF "$why" || true)
    if ((tries == 0)) || { [[ $via != fcgid ]] && ((lines != 1)); }; then
      echo "FAIL two empty stamps for one lasting reason left $lines lines in the log that say why" >&2
      failures=$((failures + 1))
    fi ;;
esac

check_page /~ann/ <<'EOF'
self Monday, January 1, 2001 (/~ann/index.shtml)
default 2001-1-1
relative notes.html, 2004-02-29
EOF

# The pages' one stylesheet, typed: a browser may refuse CSS served as
# anything else, and httpd.conf knows no types but the ones it names.
type=$(curl -s -o /dev/null -w '%{http_code} %{content_type}' --max-time 30 "http://127.0.0.1:$HTTPD_PORT/style.css")
if [[ $type != "200 text/css"* ]]; then
  echo "FAIL /style.css answered $type" >&2
  failures=$((failures + 1))
fi

# The program's URL asked for directly, not from a page: the refusal, typed
# and framed as the CGI's under mod_cgid.
if [[ $server == apache ]]; then
  direct=$(curl -s -o "$RUN/direct" -w '%{http_code} %{content_type}' --max-time 30 \
    "http://127.0.0.1:$HTTPD_PORT/cgi-bin/pagestamp/docs/notes.html?%Y4")
  if [[ $direct != "200 text/plain" ]] ||
    ! printf '\r<P>One or more required environment variables was missing.</P>\n' | cmp -s - "$RUN/direct"; then
    echo "FAIL a direct request answered $direct: $(od -c "$RUN/direct" | head -3)" >&2
    failures=$((failures + 1))
  fi
fi

finish
