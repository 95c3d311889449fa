#!/usr/bin/env bash
# Prints the path of a minimal Debian 12 root, as a tarball made by
# mmdebstrap (variant apt) from this machine's own apt sources, with the
# packages named added. The first run makes it; later runs on the same
# machine take it from /var/cache/pagestamp. Needs root and mmdebstrap.
#
#   bash scripts/debian-root.sh [PACKAGE...]
set -euo pipefail

cache=${PAGESTAMP_ROOT_CACHE:-/var/cache/pagestamp}
packages=$(printf '%s\n' "$@" | sort -u | paste -sd, -)
key=$(printf 'bookworm apt %s' "$packages" | sha256sum | cut -c1-16)
tarball=$cache/bookworm-$key.tar
if [[ ! -s $tarball ]]; then
  mkdir -p "$cache"
  sources=()
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [[ -s $file ]] && sources+=("$file")
  done
  # Made under another name and moved, so that a run cut short leaves no
  # half a root for the next one to take.
  partial=$cache/partial-$key-$$.tar
  trap 'rm -f "$partial"' EXIT
  mmdebstrap --quiet --variant=apt ${packages:+--include="$packages"} \
    --aptopt='Acquire::Check-Valid-Until "false"' bookworm "$partial" "${sources[@]}" >&2
  mv "$partial" "$tarball"
  trap - EXIT
fi
echo "$tarball"
