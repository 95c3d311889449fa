#!/usr/bin/env bash
# `cpack -G DEB` makes a package that holds exactly what `cmake --install`
# puts under /usr (and /etc), with the snippet marked as a conffile.
# Usage: package_test.sh BUILD-DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d /tmp/pagestamp-package-XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

(cd "$work" && "${CPACK:-cpack}" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log") \
  || { cat "$work/cpack.log" >&2; exit 1; }
debs=("$work"/out/*.deb)
((${#debs[@]} == 1)) || { fail "expected one package: ${debs[*]}"; exit 1; }
deb=${debs[0]}

listing=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $2, $6}')
expected='-rw-r--r-- root/root ./etc/apache2/conf-available/pagestamp-fcgid.conf
-rw-r--r-- root/root ./etc/apache2/conf-available/pagestamp-proxy-fcgi.conf
-rw-r--r-- root/root ./etc/apache2/conf-available/pagestamp.conf
-rw-r--r-- root/root ./etc/nginx/snippets/pagestamp-http.conf
-rw-r--r-- root/root ./etc/nginx/snippets/pagestamp.conf
-rw-r--r-- root/root ./lib/systemd/system/pagestamp.service
-rw-r--r-- root/root ./lib/systemd/system/pagestamp.socket
-rwxr-xr-x root/root ./usr/lib/cgi-bin/pagestamp'
[[ $listing == "$expected" ]] || fail "package contents:"$'\n'"$listing"

[[ $(dpkg-deb -f "$deb" Package Architecture | tr '\n' ' ') == "Package: pagestamp Architecture: $(dpkg --print-architecture) " ]] \
  || fail "control: $(dpkg-deb -f "$deb" Package Architecture)"
conffiles=$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | sort)
[[ $conffiles == "$(dpkg-deb -c "$deb" | awk '$6 ~ /^\.\/etc\// && $1 !~ /^d/ {print substr($6, 2)}' | sort)" ]] \
  || fail "conffiles are not the files under /etc: $conffiles"

# The same files, byte for byte, as an install with the package's prefix.
DESTDIR=$work/installed "${CMAKE:-cmake}" --install "$build" --prefix /usr >/dev/null
dpkg-deb -x "$deb" "$work/unpacked"
diff -r "$work/installed" "$work/unpacked" || fail "package and install differ"
grep -qx 'ScriptAlias /cgi-bin/pagestamp "/usr/lib/cgi-bin/pagestamp"' \
  "$work/unpacked/etc/apache2/conf-available/pagestamp.conf" || fail "the snippet does not name /usr/lib/cgi-bin/pagestamp"

if ((failures)); then exit 1; fi
echo "all checks passed"
