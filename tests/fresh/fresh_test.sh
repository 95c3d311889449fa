#!/usr/bin/env bash
# The README's first commands as a newcomer meets them: in a bare Debian 12
# root (scripts/debian-root.sh) holding nothing but the committed tree, as
# root, the demo prints the stamped front page, and the hand build makes
# build/pagestamp.
#
# Needs root: it chroots, with /proc, /sys, /dev and /dev/pts mounted in the
# root. However it ends, it stops whatever still runs in the root (the demo's
# httpd), unmounts all it mounted and removes the root. apt's lists and the
# packages it fetched are kept beside the root's tarball, so that a second
# run downloads next to nothing; the root installs them afresh each time.
# Prints "PASS: check" or "FAIL: check" for each check.
# Usage: fresh_test.sh SOURCE-DIR [REVISION]
set -uo pipefail
source_dir=$(cd "$1" && pwd)
# One commit throughout, should the branch move while this runs.
revision=$(git -C "$source_dir" rev-parse --short --verify "${2:-HEAD}^{commit}") || exit 1
cache=${PAGESTAMP_ROOT_CACHE:-/var/cache/pagestamp}
apt_cache=$cache/fresh-apt
started=$SECONDS

work=$(mktemp -d /tmp/pagestamp-fresh-XXXXXX)
root=$work/root
tree=/root/pagestamp
mounted=()
# In memory: unpacking, installing and building write some 1.5 GB that no
# run keeps, and unmounting takes it away at once.
mount -t tmpfs -o size=4g,mode=700 pagestamp-fresh "$work" && mounted+=("$work")

# Every process whose root is this one.
root_processes() {
  local dir
  for dir in /proc/[0-9]*; do
    [[ $(readlink "$dir/root" 2>/dev/null) == "$root" ]] && echo "${dir#/proc/}"
  done
}

stop_root_processes() {
  local pids tries=50
  pids=$(root_processes)
  [[ -n $pids ]] || return 0
  # shellcheck disable=SC2086 # one id a word
  kill -TERM $pids 2>/dev/null
  while [[ -n $(root_processes) ]] && ((tries--)); do sleep 0.1; done
  pids=$(root_processes)
  # shellcheck disable=SC2086
  [[ -z $pids ]] || kill -KILL $pids 2>/dev/null
  sleep 0.2
}

# Unmounted in the reverse order, and the root removed only once nothing
# under it is mounted: removing a bound /dev would empty the machine's. Its
# lines go to the first standard output: a signal may end a check whose
# output goes to its log.
exec 3>&1
cleanup() {
  exec >&3
  stop_root_processes
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}"
  done
  if findmnt -rn -o TARGET | grep -Eq "^$work(/|\$)"; then
    echo "FAIL: nothing stays mounted in the root"
    findmnt -rn -o TARGET | grep -E "^$work(/|\$)" | sed 's/^/    /'
    return
  fi
  rm -rf --one-file-system "$work"
  if [[ -e $work ]]; then echo "FAIL: the root is removed"; else echo "PASS: the root is unmounted and removed"; fi
  echo "fresh: $((SECONDS - started)) s"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# check NAME COMMAND...: runs COMMAND with its output in a log, shown on failure.
check() {
  local name=$1 log=$work/log.$RANDOM start=$SECONDS
  shift
  if "$@" >"$log" 2>&1; then
    echo "PASS: $name ($((SECONDS - start)) s)"
  else
    echo "FAIL: $name ($((SECONDS - start)) s)"
    tail -30 "$log" | sed 's/^/    /'
    return 1
  fi
}

mount_in_root() {
  local target=$root$1; shift
  mkdir -p "$target" && mount "$@" "$target" && mounted+=("$target")
}

make_root() {
  local tarball
  tarball=$(bash "$source_dir/scripts/debian-root.sh") || return 1
  mkdir -p "$root" "$apt_cache/lists/partial" "$apt_cache/archives/partial" &&
    tar -x -C "$root" -f "$tarball" || return 1
  cp /etc/resolv.conf "$root/etc/resolv.conf" || return 1
  # The root lives for one run: dpkg need not wait for each file to reach the disk.
  echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/pagestamp-unsafe-io" || return 1
  mount_in_root /proc -t proc proc &&
    mount_in_root /sys --bind /sys &&
    mount_in_root /dev --bind /dev &&
    mount_in_root /dev/pts --bind /dev/pts &&
    mount_in_root /var/lib/apt/lists --bind "$apt_cache/lists" &&
    mount_in_root /var/cache/apt/archives --bind "$apt_cache/archives" || return 1
  mkdir -p "$root$tree" && git -C "$source_dir" archive "$revision" | tar -x -C "$root$tree"
}

# in_root COMMAND: a root's login shell in the tree, with nothing of ours in
# its environment.
in_root() {
  timeout 900 chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c "cd $tree && $1" </dev/null
}

# The README's demo command, its output kept for the checks after it.
demo() { in_root 'bash scripts/demo.sh --once' | tee "$work/demo.out"; }

# The front page's stamps about itself, index.shtml as committed: git
# archive gives it the commit's time, and the bare root's zone is UTC.
front_page_stamps() {
  local time size expected=() line
  time=$(git -C "$source_dir" log -1 --format=%ct "$revision") &&
    size=$(git -C "$source_dir" cat-file -s "$revision:examples/site/index.shtml") || return 1
  expected=(
    "This page was last changed on $(LC_ALL=C TZ=UTC date -d "@$time" '+%A, %B %-d, %Y')."
    "%P2 +hour, 24-hour clock, two digits +$(TZ=UTC date -d "@$time" +%H)"
    "%PM +minute, two digits +$(TZ=UTC date -d "@$time" +%M)"
    "%SB +size in bytes +$size"
    "%FN +file name +index.shtml"
    "answered by mod_pagestamp.*")
  local missing=0
  for line in "${expected[@]}"; do
    grep -Eq "^ *$line\$" "$work/demo.out" || { echo "no line: $line"; missing=1; }
  done
  return $missing
}

# The README's hand build: the program, the Apache module the demo's
# apache2-dev allows, and one line for each part it leaves out.
hand_build() { in_root 'cmake -S . -B build -G Ninja && cmake --build build' | tee "$work/build.out"; }
hand_build_output() {
  local file
  for file in build/pagestamp build/mod_pagestamp.so; do
    [[ -f $root$tree/$file ]] || { echo "no $file"; return 1; }
  done
  # Run in the root, where it was built: asked nothing, it refuses in its own words.
  local refusal
  refusal=$(in_root 'build/pagestamp')
  grep -q '^Content-type: text/plain' <<<"$refusal" || { echo "build/pagestamp answered: $refusal"; return 1; }
  local part
  for part in 'the nginx module: .*nginx-dev' 'the tests: .*libgtest-dev'; do
    [[ $(grep -Ec "^-- Leaving out $part" "$work/build.out") -eq 1 ]] || { echo "not one line: $part"; return 1; }
  done
}

if check "a bare Debian 12 root with the tree at $revision" make_root; then
  check "bash scripts/demo.sh --once, in the bare root" demo &&
    check "the demo's front page holds its stamps" front_page_stamps
  stop_root_processes
  check "cmake -S . -B build -G Ninja && cmake --build build, in the bare root" hand_build &&
    check "the hand build makes build/pagestamp and mod_pagestamp.so, and names what it leaves out" hand_build_output
fi
