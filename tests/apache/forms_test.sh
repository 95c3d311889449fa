#!/usr/bin/env bash
# Every way to the program against the CGI under mod_cgid, one row of
# include_forms.rows at a time: the include forms a page may hold (fragments,
# dot segments, doubled slashes, "..", a long include, the location's form)
# and the methods of a request made directly. A row's second text is what
# nginx does instead by design.
# Usage: forms_test.sh PROGRAM SERVER VIA   (apache cgid|proxy-fcgi|module, nginx module)
source "$(dirname "$0")/lib.sh"
program=$1 server=$2 via=$3
prepare_site "$program"
error=$apache_error
[[ $server == apache ]] || error=$nginx_error
refusal=$'\r<P>One or more required environment variables was missing.</P>\n'

# expand TEXT: a row's placeholders filled in; {N C} is C N times.
expand() {
  RUN=$RUN ERROR=$error perl -pe 's/\{(\d+) (.)\}/$2 x $1/ge; s/\{RUN\}/$ENV{RUN}/g; s/\{error\}/(no CR)$ENV{ERROR}/g' <<<"$1"
}

# The other location forms, each naming the program as /cgi-bin/pagestamp does.
forms=(/stamp2/ /stamp3 /stamp4)
for prefix in "${forms[@]}"; do
  target=$RUN/cgi-bin/pagestamp
  [[ $prefix != */ ]] || target+=/
  case $server/$via in
    apache/cgid) echo "ScriptAlias $prefix \"$target\"" ;;
    apache/*)
      handler=pagestamp
      [[ $via == module ]] || handler="proxy:unix:$RUN/pagestamp.sock|fcgi://pagestamp"
      echo "Alias $prefix \"$target\""
      echo "<Location \"$prefix\">"$'\n'"    SetHandler \"$handler\""$'\n'"</Location>" ;;
  esac
done >"$RUN/conf.d/forms.conf"
if [[ $server == nginx ]]; then
  printf '%s\n' 'location ^~ /stamp2/ { pagestamp; }' 'location /stamp3 { pagestamp; }' \
    'location = /stamp4 { pagestamp; }' >"$RUN/conf.d/forms.conf"
fi

rows() { grep -v '^#' "$TEST_DIR/include_forms.rows"; }
page=
while IFS=$'\t' read -r kind id request _; do
  [[ $kind != include ]] || page+="<samp id=\"$id\"><!--#include virtual=\"$(expand "$request")\" --></samp>"$'\n'
done < <(rows)
printf '%s' "$page" >"$RUN/site/docs/forms.shtml"
chmod a+r "$RUN/site/docs/forms.shtml"
fixed_time site/docs/forms.shtml '2003-04-02 15:07:09'

httpd_start "$RUN" --server "$server" --via "$via" --tz Europe/London
echo "$server ($via) on 127.0.0.1:$HTTPD_PORT"

# nginx puts its own page for a missing file where an include failed so.
not_found=$(curl -s --max-time 30 "http://127.0.0.1:$HTTPD_PORT/no-such-file" | perl -0777 -pe 's/\r/\\r/g; s/\n/\\n/g')
expected=
while IFS=$'\t' read -r kind id _ text nginx_text; do
  [[ $kind == include ]] || continue
  [[ $server != nginx || -z $nginx_text ]] || text=$nginx_text
  expected+="$id $(expand "${text//\{not found\}/(no CR)$not_found}")"$'\n'
done < <(rows)
check_page /docs/forms.shtml <<<"${expected%$'\n'}"

# method ID METHOD BODY: a direct request, answered as the CGI answers it.
# mod_cgid gives HEAD the GET's length or none, as the CGI's output and its
# end happen to reach httpd: a length, when there is one, is the GET's.
method() {
  local how=(-X "$2") status length
  [[ $2 != HEAD ]] || how=(-I)
  status=$(curl -s "${how[@]}" -D "$RUN/headers" -o "$RUN/body" -w '%{http_code} %{content_type}' --max-time 30 \
    "http://127.0.0.1:$HTTPD_PORT/cgi-bin/pagestamp/x")
  length=$(sed -n 's/^content-length: *\([0-9]*\).*/\1/Ip' "$RUN/headers")
  [[ $2 != HEAD ]] || : >"$RUN/body"
  if [[ $status != '200 text/plain' ]] || ! printf '%s' "$3" | cmp -s - "$RUN/body" ||
    [[ -n $length && $length != "${#refusal}" ]]; then
    echo "FAIL $1: $2 answered $status, length ${length:-none}: $(od -c "$RUN/body" | head -3)" >&2
    failures=$((failures + 1))
  fi
}

# nginx_form ID LOCATION MESSAGE: nginx refuses to load the module there.
nginx_form() {
  [[ $server == nginx ]] || return 0
  echo "$2 { pagestamp; }" >"$RUN/conf.d/zz-form.conf"
  if env -i PATH="$HTTPD_PATH" ${NGINX_PRELOAD:+LD_PRELOAD="$NGINX_PRELOAD" ASAN_OPTIONS="${ASAN_OPTIONS:-}"} "$NGINX_BIN" -t -q -p "$RUN/" \
    -c "$RUN/nginx.conf" -e "$RUN/form.log" >"$RUN/form.out" 2>&1 || ! grep -qF "$3" "$RUN/form.out"; then
    echo "FAIL $1: nginx took \"$2\": $(cat "$RUN/form.out")" >&2
    failures=$((failures + 1))
  fi
  rm "$RUN/conf.d/zz-form.conf"
}

while IFS=$'\t' read -r kind id request text _; do
  case $kind in
    method) body=$refusal; [[ $text == '{refusal}' ]] || body=; method "$id" "$request" "$body" ;;
    nginx) nginx_form "$id" "$request" "$text" ;;
  esac
done < <(rows)
finish
