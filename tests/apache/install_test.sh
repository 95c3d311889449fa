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
644 ./share/man/man8/pagestamp.8
755 ./lib/cgi-bin/pagestamp'
# Each module and its files, in a build that has the module.
if [[ -f $build/mod_pagestamp.so ]]; then
  expected_listing=$(sort <<<"$expected_listing"$'\n644 ./etc/apache2/mods-available/pagestamp.conf\n644 ./etc/apache2/mods-available/pagestamp.load\n644 ./lib/apache2/modules/mod_pagestamp.so')
  grep -qx "LoadModule pagestamp_module $prefix/lib/apache2/modules/mod_pagestamp.so" \
    "$prefix/etc/apache2/mods-available/pagestamp.load" || { echo "FAIL: pagestamp.load" >&2; failures=$((failures + 1)); }
fi
if [[ -f $build/ngx_http_pagestamp_module.so ]]; then
  expected_listing=$(sort <<<"$expected_listing"$'\n644 ./etc/nginx/snippets/pagestamp-module.conf\n644 ./lib/nginx/modules/ngx_http_pagestamp_module.so')
  cmp "$HTTPD_SOURCE_DIR/packaging/nginx/pagestamp-module.conf.in" "$prefix/etc/nginx/snippets/pagestamp-module.conf" ||
    failures=$((failures + 1))
fi
if [[ $listing != "$expected_listing" ]]; then
  echo "FAIL: installed files:"$'\n'"$listing" >&2
  failures=$((failures + 1))
fi
cmp "$build/pagestamp" "$prefix/lib/cgi-bin/pagestamp" || failures=$((failures + 1))

check_installed "$prefix/etc/apache2/conf-available/pagestamp.conf"
finish
