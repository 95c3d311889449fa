#!/usr/bin/env bash
# The Debian package as a distribution and a webmaster meet it, on this
# machine: dpkg-buildpackage in a scratch copy of the tree, lintian,
# hardening-check, installation, a stamped page through the system Apache
# and, from the nginx module's package, through the system nginx, removal,
# purge, and the package's own autopkgtest.
#
# Needs root: it installs the packages and runs the system Apache on
# 127.0.0.1:80 and the system nginx on 127.0.0.1:81. It puts the machine back
# as it found it: packages purged, Apache and nginx stopped (unless they were
# running), modules, ports.conf and nginx's sites restored.
# Prints "PASS: check" or "FAIL: check" for each check.
# Usage: package_test.sh SOURCE-DIR
set -uo pipefail
source_dir=$(cd "$1" && pwd)
source "$source_dir/tests/package/system_apache.sh"
source "$source_dir/tests/package/system_nginx.sh"

work=$(mktemp -d /tmp/pagestamp-package-XXXXXX)
chmod 755 "$work"
src=$work/src
page=/var/www/html/pagestamp-package-test.shtml
include='<!--#include virtual="/cgi-bin/pagestamp?%ML+%Y4" -->'
apt=(env DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=120)

# Installed, or removed with its conffiles left: anything short of purged.
known_to_dpkg() {
  local state
  state=$(dpkg-query -W -f='${db:Status-Status}' "${1:-pagestamp}" 2>/dev/null) && [[ $state != not-installed ]]
}
nginx_package=libnginx-mod-http-pagestamp

cleanup() {
  known_to_dpkg && "${apt[@]}" purge libapache2-mod-pagestamp pagestamp >/dev/null 2>&1
  known_to_dpkg $nginx_package && "${apt[@]}" purge $nginx_package >/dev/null 2>&1
  rm -f "$page"
  system_apache_restore >/dev/null 2>&1
  system_nginx_restore >/dev/null 2>&1
  rm -rf "$work"
}

# check NAME COMMAND...: runs COMMAND with its output in a log, shown on failure.
failures=0
check() {
  local name=$1 log=$work/log.$RANDOM
  shift
  if "$@" >"$log" 2>&1; then
    echo "PASS: $name"
  else
    echo "FAIL: $name"
    tail -40 "$log" | sed 's/^/    /'
    failures=$((failures + 1))
    return 1
  fi
}

for package in pagestamp $nginx_package; do
  if known_to_dpkg $package; then
    echo "$package is already installed here; this check installs and purges it: purge it first" >&2
    exit 1
  fi
done
trap cleanup EXIT

# left_behind LIST: true if a file or link of dpkg's LIST is still there.
left_behind() {
  local path found=1
  while read -r path; do
    [[ -d $path ]] && continue
    if [[ -e $path || -L $path ]]; then echo "left behind: $path"; found=0; fi
  done <"$1"
  return $found
}

build() {
  mkdir -p "$src"
  (cd "$source_dir" && git ls-files -co --exclude-standard -z | tar -c --null -T -) | tar -x -C "$src" &&
    (cd "$src" && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -b) &&
    ls "$work"/pagestamp_*.deb "$work"/libapache2-mod-pagestamp_*.deb "$work"/${nginx_package}_*.deb "$work"/pagestamp_*.changes
}
check "dpkg-buildpackage -us -uc -b builds the package" build || exit 1
deb=$(ls "$work"/pagestamp_*_*.deb)
module_deb=$(ls "$work"/libapache2-mod-pagestamp_*_*.deb)
nginx_deb=$(ls "$work"/${nginx_package}_*_*.deb)

lintian_clean() {
  lintian --pedantic "$work"/pagestamp_*.changes | tee "$work/lintian.txt"
  ! grep -E '^[EW]: ' "$work/lintian.txt"
}
check "lintian --pedantic: no error, no warning" lintian_clean

hardened() {
  dpkg-deb -x "$deb" "$work/unpacked" && hardening-check --nocfprotection "$work/unpacked/usr/lib/cgi-bin/pagestamp"
}
check "hardening-check on the packaged program" hardened
module_hardened() {
  dpkg-deb -x "$module_deb" "$work/unpacked" &&
    hardening-check --nocfprotection "$work/unpacked/usr/lib/apache2/modules/mod_pagestamp.so"
}
check "hardening-check on the packaged module" module_hardened
nginx_module_hardened() {
  dpkg-deb -x "$nginx_deb" "$work/unpacked" &&
    hardening-check --nocfprotection "$work/unpacked/usr/lib/nginx/modules/ngx_http_pagestamp_module.so"
}
check "hardening-check on the packaged nginx module" nginx_module_hardened

# Installed, the package enables its snippet; its files are noted for purge.
install_enables() {
  "${apt[@]}" install "$deb" &&
    dpkg-query -L pagestamp >"$work/files" &&
    [[ $(readlink /etc/apache2/conf-enabled/pagestamp.conf) == ../conf-available/pagestamp.conf ]]
}
check "apt-get install enables the snippet" install_enables

printf '<p>%s</p>\n' "$include" >"$page"
TZ=UTC touch -d '2003-04-02 12:00:00' "$page"
check "the system Apache starts with mod_include and mod_cgid" system_apache_start include cgid
# Noon in UTC is 2 April in every zone, whatever the machine's.
check "a page through the system Apache includes the stamp" \
  system_apache_page_is /pagestamp-package-test.shtml $'<p>\rApril 2003</p>\n'

# The FastCGI snippet in place of the CGI one, as the README says to switch:
# mod_fcgid starts the installed program as a responder, and the page is the same.
switch_to_fcgid() {
  a2disconf -q pagestamp && a2enconf -q pagestamp-fcgid && system_apache_start fcgid
}
check "a2enconf pagestamp-fcgid in its place" switch_to_fcgid
check "the same page through the responder under mod_fcgid" \
  system_apache_page_is /pagestamp-package-test.shtml $'<p>\rApril 2003</p>\n'

# The module takes the URL from the responder, and its removal gives it back.
enabled_now() { (cd /etc/apache2 && ls conf-enabled mods-enabled | grep pagestamp | tr '\n' ' '); }
module_installed() {
  "${apt[@]}" install "$module_deb" && system_apache_reload && dpkg-query -L libapache2-mod-pagestamp >"$work/module-files" &&
    [[ $(enabled_now) == "pagestamp.conf pagestamp.conf pagestamp.load " ]] || { enabled_now; return 1; }
}
check "apt-get install of the module moves the URL from the responder to it" module_installed
check "the same page through the module" \
  system_apache_page_is /pagestamp-package-test.shtml $'<p>\rApril 2003</p>\n'
module_removed() {
  "${apt[@]}" purge libapache2-mod-pagestamp && system_apache_reload &&
    [[ $(enabled_now) == "pagestamp-fcgid.conf " ]] || { enabled_now; return 1; }
  local left=0
  left_behind "$work/module-files" && left=1
  find /etc/apache2/mods-* /var/lib/apache2/module /var/lib/libapache2-mod-pagestamp -name '*pagestamp*' 2>/dev/null | grep . && left=1
  ((left == 0))
}
check "apt-get purge of the module gives the URL back, and leaves nothing" module_removed
check "the same page through the responder again" \
  system_apache_page_is /pagestamp-package-test.shtml $'<p>\rApril 2003</p>\n'

# The nginx module's package: enabled as Debian's own modules are, it stamps
# the same page through the system nginx and its own configuration.
nginx_load=/etc/nginx/modules-enabled/50-mod-http-pagestamp.conf
# nginx_site [snippet]: the test's server block, with the snippet or without.
nginx_site() {
  echo "server {"
  echo "    listen 127.0.0.1:$system_nginx_port;"
  echo "    root /var/www/html;"
  [[ -z ${1:-} ]] || echo "    include snippets/pagestamp-module.conf;"
  echo "}"
}
nginx_module_installed() {
  "${apt[@]}" install "$nginx_deb" && dpkg-query -L $nginx_package >"$work/nginx-files" &&
    [[ $(readlink $nginx_load) == /usr/share/nginx/modules-available/mod-http-pagestamp.conf ]]
}
check "apt-get install of the nginx module enables it" nginx_module_installed
nginx_started() { system_nginx_site "$(nginx_site snippet)" && system_nginx_start; }
check "the system nginx starts with the module and its snippet" nginx_started
check "the same page through the nginx module" \
  system_nginx_page_is /pagestamp-package-test.shtml $'<p>\rApril 2003</p>\n'
# The snippet, a conffile, stays and names the directive: the include goes
# first, as the README says, then the package.
nginx_module_removed() {
  system_nginx_site "$(nginx_site)" && "${apt[@]}" remove $nginx_package &&
    [[ ! -e $nginx_load && ! -e /usr/lib/nginx/modules/ngx_http_pagestamp_module.so ]] && system_nginx_restart
}
check "apt-get remove of the nginx module disables it, and nginx still starts" nginx_module_removed
nginx_module_purged() {
  "${apt[@]}" purge $nginx_package && system_nginx_restart || return 1
  local left=0
  left_behind "$work/nginx-files" && left=1
  find /etc/nginx /usr/share/nginx/modules-available -name '*mod-http-pagestamp*' -o -name 'pagestamp-module*' |
    grep . && left=1
  ! known_to_dpkg $nginx_package && ((left == 0))
}
check "apt-get purge of the nginx module leaves nothing, and nginx still starts" nginx_module_purged
system_nginx_restore >"$work/nginx-restore.log" 2>&1

# Removal disables the snippet, whichever the webmaster left enabled: the
# page is no longer parsed for includes, so it shows no error where the stamp
# was. The conffiles stay until purge.
removed() {
  "${apt[@]}" remove pagestamp && system_apache_reload &&
    [[ ! -e /etc/apache2/conf-enabled/pagestamp.conf && ! -e /etc/apache2/conf-enabled/pagestamp-fcgid.conf ]] &&
    [[ ! -e /usr/lib/cgi-bin/pagestamp && -f /etc/apache2/conf-available/pagestamp.conf ]]
}
check "apt-get remove disables the snippet and removes the program" removed
check "after remove the page no longer includes the program" \
  system_apache_page_is /pagestamp-package-test.shtml "<p>$include</p>"$'\n'

purged() {
  "${apt[@]}" purge pagestamp || return 1
  local left=0
  left_behind "$work/files" && left=1
  find /etc/apache2 /var/lib/apache2 -name 'pagestamp*' | grep . && left=1
  ! known_to_dpkg && ((left == 0))
}
check "apt-get purge leaves no file and no link" purged

system_apache_restore >"$work/restore.log" 2>&1
rm -f "$page"
tested() {
  autopkgtest --output-dir "$work/autopkgtest" "$deb" "$module_deb" "$nginx_deb" "$src" -- null || return 1
  "${apt[@]}" purge libapache2-mod-pagestamp pagestamp $nginx_package
}
check "autopkgtest of the package (null)" tested
exit $((failures != 0))
