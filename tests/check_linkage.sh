#!/usr/bin/env bash
# The shipped binary must not pay at start-up for a runtime it does not use:
# no libstdc++ to load, no static constructors to run, and no heap allocation
# of its own (libc's time-zone and password lookups allocate internally).
# A server module (second argument "module") must also leave the server's
# process alone: its requests share the process, so it touches nothing global.
# usage: check_linkage.sh BINARY [module]
set -u
binary=$1 kind=${2:-program}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A file that is missing or no ELF object would show no library and no import.
if ! dynamic=$(readelf -d "$binary"); then
  echo "FAIL: cannot read $binary"
  exit 1
fi
needed=$(sed -n -E 's/.*Shared library: \[(.*)\]/\1/p' <<<"$dynamic")
echo "needs: $(tr '\n' ' ' <<<"$needed")"
grep -q 'libstdc++' <<<"$needed" && fail "links libstdc++"
grep -q 'libgcc_s' <<<"$needed" && fail "links libgcc_s"

imports=$(nm -D --undefined-only "$binary" | awk '{print $NF}' | sed 's/@.*//')
for symbol in malloc calloc realloc free _Znwm _Znam _ZdlPv __cxa_throw __cxa_atexit setlocale; do
  grep -qx "$symbol" <<<"$imports" && fail "imports $symbol"
done

# A C++ runtime function the core calls (string_view::substr's throw, say)
# would be left for the loader to find, and nothing in a server provides it.
grep -q '^_Z' <<<"$imports" && fail "imports C++ runtime functions: $(grep '^_Z' <<<"$imports" | tr '\n' ' ')"
if [[ $kind == module ]]; then
  for symbol in getenv setenv putenv unsetenv tzset localtime gmtime getpwnam getpwuid; do
    grep -qx "$symbol" <<<"$imports" && fail "imports $symbol, which shares state across requests"
  done
fi

nm "$binary" 2>/dev/null | grep -q '_GLOBAL__sub_I' && fail "has static constructors"

if ((failures == 0)); then echo "linkage clean"; fi
exit $((failures != 0))
