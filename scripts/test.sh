#!/usr/bin/env bash
# Builds pagestamp and runs every test: a normal build, one under
# AddressSanitizer + UndefinedBehaviorSanitizer, the fuzz targets, and an
# arm64 build under qemu; as root, the Debian package, and the README tried in a
# bare Debian 12 root.
# Ends with "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."

passed=0
failed=0
status=0
failure_reasons=
# Each stage's time, for the closing lines: the whole must stay short.
stage_times=
stage_started=$SECONDS
# stage NAME: starts a stage, ending the one before.
stage() {
  [[ -z ${stage_name:-} ]] || stage_times+="$stage_name $((SECONDS - stage_started)) s, "
  stage_name=$1 stage_started=$SECONDS
  [[ -z $1 ]] || echo "=== $1"
}

stage install-deps
bash scripts/install-deps.sh || exit 1

# build_and_test DIR CTEST-ARGS -- CMAKE-ARGS
build_and_test() {
  local dir=$1; shift
  local ctest_args=()
  while [[ $1 != -- ]]; do ctest_args+=("$1"); shift; done
  shift
  stage "$dir"
  mkdir -p "$dir"
  if ! cmake -S . -B "$dir" -G Ninja -DPAGESTAMP_WERROR=ON "$@" >"$dir/configure.log" 2>&1; then
    cat "$dir/configure.log"; failed=$((failed + 1)); status=1; return
  fi
  if ! cmake --build "$dir" >"$dir/build.log" 2>&1; then
    tail -50 "$dir/build.log"; failed=$((failed + 1)); status=1; return
  fi
  local log="$dir/ctest.log"
  ctest --test-dir "$dir" --output-on-failure -j2 "${ctest_args[@]}" 2>&1 | tee "$log" | grep -v -E '^ *(Start|[0-9]+/[0-9]+ Test)' || true
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
  if [[ -z $line ]]; then
    echo "no test summary from $dir"; failed=$((failed + 1)); status=1; return
  fi
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  ((bad == 0)) || status=1
  # The failed tests' own reasons, repeated at the end where they are seen.
  if ((bad)); then
    failure_reasons+=$(sed -n '/The following tests FAILED/,$p' "$log" | grep -E '^\s+[0-9]+ - ')$'\n'
    failure_reasons+=$(grep -E '^(FAIL|.*: Failure$)' "$log" | head -20)$'\n'
  fi
}

# Every part asked for: one that cannot be built fails the configure instead
# of dropping out of the tests.
every_part=(-DPAGESTAMP_APACHE_MODULE=ON -DPAGESTAMP_NGINX_MODULE=ON -DPAGESTAMP_TESTS=ON
  -DPAGESTAMP_APACHE_TESTS=ON -DPAGESTAMP_TOOL_TESTS=ON)
build_and_test build -- -DCMAKE_BUILD_TYPE=Release "${every_part[@]}"
build_and_test build-asan -- -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPAGESTAMP_SANITIZE=ON "${every_part[@]}"
# The fuzz targets, each for a few seconds, and a replay of every kept input.
build_and_test build-fuzz -L fuzz -- -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DPAGESTAMP_FUZZ=ON -DPAGESTAMP_TESTS=OFF \
  -DPAGESTAMP_APACHE_MODULE=OFF -DPAGESTAMP_NGINX_MODULE=OFF
# arm64, cross-built and run under qemu: the unit, binary and zone tests, the
# binary tests once more through the responder, and the Apache module built
# and checked for what it links. Left out: every zone file against glibc's
# (75 s under qemu; the native builds run it), and the nginx module, whose
# headers need OpenSSL's and PCRE2's for arm64 too.
build_and_test build-arm64 -L 'unit|binary|zone|fastcgi' -E 'ZoneDifferential\.EveryZoneFile' -- \
  -DCMAKE_BUILD_TYPE=Release --toolchain cmake/aarch64-linux-gnu.cmake -DPAGESTAMP_TOOL_TESTS=OFF \
  -DPAGESTAMP_APACHE_TESTS=OFF -DPAGESTAMP_NGINX_MODULE=OFF

# count_checks STAGE LOG CODE: a script's "PASS: " and "FAIL: " lines in
# LOG, and its exit CODE, into the closing count.
count_checks() {
  local stage=$1 log=$2 code=$3 good bad
  good=$(grep -c '^PASS: ' "$log")
  bad=$(grep -c '^FAIL: ' "$log")
  # A stage that stopped before its first check still counts as a failure.
  if ((code != 0 && bad == 0)); then bad=1; fi
  passed=$((passed + good))
  failed=$((failed + bad))
  ((bad == 0)) || status=1
  ((bad == 0)) || failure_reasons+="$stage: $(grep '^FAIL: ' "$log" | head -20)"$'\n'
}

# The stages below install packages or chroot, so they run only as root, as
# CI does; the machine is put back as it was.
as_root() {
  stage "$1"
  [[ $(id -u) -eq 0 ]] && return
  echo "skipped: $2"
  return 1
}

# script_stage NAME WHY-ROOT SCRIPT: a script of checks, its log kept in build/.
script_stage() {
  as_root "$1" "$2" || return 0
  mkdir -p build
  local log=build/$1-test.log
  bash "$3" . 2>&1 | tee "$log"
  count_checks "$1" "$log" "${PIPESTATUS[0]}"
}
# The Debian package, built from a scratch copy, linted, installed, served by
# the system Apache, removed, purged and tested as installed.
script_stage package "installing the package and running the system Apache need root" tests/package/package_test.sh
# The README's demo and hand build in a bare Debian 12 root, from the
# committed tree.
script_stage fresh "a chroot with /proc, /sys and /dev mounted needs root" tests/fresh/fresh_test.sh

stage ""
echo "=== times: ${stage_times%, }"
[[ -z $failure_reasons ]] || printf '=== what failed\n%s' "$failure_reasons"
echo "$passed passed, $failed failed"
exit $status
