#!/usr/bin/env bash
# `cmake --install` into a fresh prefix, then Apache serves the example
# site with nothing but the installed program and the installed CGI snippet.
# (The FastCGI snippets and units are served and started from the same
# templates by the other server tests and systemd_test.sh.)
# Usage: install_test.sh BUILD-DIR
source "$(dirname "$0")/lib.sh"
build=$1
prefix=$RUN/prefix

prepare_site "$build/pagestamp"
rm "$RUN/cgi-bin/pagestamp"
"${CMAKE:-cmake}" --install "$build" --prefix "$prefix" >"$RUN/install.log"
chmod -R a+rX "$prefix"

listing=$(cd "$prefix" && find . -type f -printf '%m %p\n' | sort)
expected_listing='644 ./etc/apache2/conf-available/pagestamp-fcgid.conf
644 ./etc/apache2/conf-available/pagestamp-proxy-fcgi.conf
644 ./etc/apache2/conf-available/pagestamp.conf
644 ./etc/nginx/snippets/pagestamp-http.conf
644 ./etc/nginx/snippets/pagestamp.conf
644 ./lib/systemd/system/pagestamp.service
644 ./lib/systemd/system/pagestamp.socket
755 ./lib/cgi-bin/pagestamp'
if [[ $listing != "$expected_listing" ]]; then
  echo "FAIL: installed files:"$'\n'"$listing" >&2
  failures=$((failures + 1))
fi
cmp "$build/pagestamp" "$prefix/lib/cgi-bin/pagestamp" || failures=$((failures + 1))

# The snippet as a2enconf would load it, and Debian's own mapping of
# /cgi-bin/ after it (conf-enabled loads in name order), which must not win.
{
  echo "Include \"$prefix/etc/apache2/conf-available/pagestamp.conf\""
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

finish
