#!/usr/bin/env bash
# Installs what pagestamp needs from Debian's packages, by group:
#   demo   builds the program and serves the example site (scripts/demo.sh)
#   test   everything the tests, fuzzing and benchmarks use (the default)
# As root it installs what is missing; otherwise it names the one command to run.
#
#   bash scripts/install-deps.sh [demo|test]
set -euo pipefail

group=${1:-test}
# apache2-dev: the demo serves the site through mod_pagestamp. libnss-wrapper:
# the server finds the example user's pages without an account.
demo_packages=(cmake ninja-build g++ apache2 apache2-dev curl libnss-wrapper)
test_packages=(
  "${demo_packages[@]}"
  clang libclang-rt-14-dev pkg-config
  googletest libgtest-dev libbenchmark-dev
  tzdata locales
  valgrind clang-tidy cppcheck
  apache2-utils wrk strace
  mandoc man-db manpages-dev devscripts
  build-essential dpkg-dev debhelper lintian autopkgtest
  # The responder under real servers: mod_fcgid, nginx with fcgiwrap for the
  # CGI, spawn-fcgi to hand it a socket, cgi-fcgi to ask it directly, and
  # systemd-analyze to check the units.
  libapache2-mod-fcgid nginx-light fcgiwrap spawn-fcgi libfcgi-bin systemd
  # Bare Debian 12 roots: one the README's commands are tried in, one booted
  # in a container for the responder under a real systemd.
  mmdebstrap systemd-container
  # The nginx module: nginx's configured source tree, and dh_nginx.
  nginx-dev
  # arm64: the cross compilers, an emulator to run what they build, and the
  # tests' own libraries for arm64 (multiarch, beside the amd64 ones).
  crossbuild-essential-arm64 qemu-user-static libgtest-dev:arm64 libnss-wrapper:arm64 libstdc++6:arm64
)
case $group in
  demo) packages=("${demo_packages[@]}") ;;
  test) packages=("${test_packages[@]}") ;;
  *) echo "usage: $0 [demo|test]" >&2; exit 2 ;;
esac
locales=(de_DE.UTF-8 tr_TR.UTF-8 fr_FR.UTF-8)

# A package named PACKAGE:ARCH needs dpkg to know ARCH. Adding one is for the
# whole machine, so it is done once and only for what is asked; apt then
# fetches that architecture's lists too, and installs the native one wherever
# no architecture is named.
add_foreign_architectures() {
  local package arch
  for package in "${missing[@]}"; do
    [[ $package == *:* ]] || continue
    arch=${package##*:}
    [[ $arch == "$(dpkg --print-architecture)" ]] && continue
    dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
  done
}

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done

if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "pagestamp's $group needs: ${missing[*]}" >&2
    [[ ${missing[*]} == *:arm64* ]] && echo "run: sudo dpkg --add-architecture arm64" >&2
    echo "run: sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  add_foreign_architectures
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The locale tests need these generated; the program itself never uses one.
[[ $group == test ]] || exit 0
for name in "${locales[@]}"; do
  if ! locale -a 2>/dev/null | grep -qi "^${name%%.*}\.utf-\?8$"; then
    if [[ $(id -u) -eq 0 ]]; then
      localedef -i "${name%%.*}" -f UTF-8 "$name"
    else
      echo "note: locale $name is not generated; the locale tests then prove less" >&2
    fi
  fi
done
