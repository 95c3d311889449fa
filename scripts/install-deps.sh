#!/usr/bin/env bash
# Installs what building and testing pagestamp needs, from Debian's packages.
# As root it installs what is missing; otherwise it names the one command to run.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  googletest libgtest-dev libbenchmark-dev
  libnss-wrapper tzdata locales
  valgrind clang-tidy cppcheck
  apache2 apache2-utils curl wrk strace
  mandoc man-db manpages-dev devscripts
  build-essential dpkg-dev debhelper apache2-dev lintian autopkgtest
)
locales=(de_DE.UTF-8 tr_TR.UTF-8 fr_FR.UTF-8)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done

if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "pagestamp needs: ${missing[*]}" >&2
    echo "run: sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The locale tests need these generated; the program itself never uses one.
for name in "${locales[@]}"; do
  if ! locale -a 2>/dev/null | grep -qi "^${name%%.*}\.utf-\?8$"; then
    if [[ $(id -u) -eq 0 ]]; then
      localedef -i "${name%%.*}" -f UTF-8 "$name"
    else
      echo "note: locale $name is not generated; the locale tests then prove less" >&2
    fi
  fi
done
