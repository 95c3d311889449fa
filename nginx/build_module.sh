#!/usr/bin/env bash
# Builds ngx_http_pagestamp_module.so with nginx's own configure and make in a
# copy of the configured source tree that nginx-dev ships, with the flags
# Debian's nginx was configured with (--with-compat among them), so that the
# module carries the signature load_module checks.
# usage: build_module.sh NGINX_SOURCE TREE CORE_LIBRARY OUTPUT CC_OPT LD_OPT
set -euo pipefail
source_dir=$1 tree=$2 core=$3 output=$4 cc_opt=$5 ld_opt=$6
module_dir=$(cd "$(dirname "$0")" && pwd)

# configure takes a minute: run it again only when what it was given changed.
given="$source_dir|$core|$cc_opt|$ld_opt"
if [[ ! -f $tree/objs/Makefile || $(cat "$tree/configured-with" 2>/dev/null) != "$given" ||
      $module_dir/config -nt $tree/objs/Makefile ]]; then
  rm -rf "$tree"
  cp -R "$source_dir" "$tree"
  source "$tree/conf_flags"
  if ! (cd "$tree" && PAGESTAMP_CORE_LIBRARY=$core ./configure "${NGX_CONF_FLAGS[@]}" \
          --with-cc-opt="$cc_opt" --with-ld-opt="$ld_opt" --add-dynamic-module="$module_dir") \
        >"$tree.configure.log" 2>&1; then
    cat "$tree.configure.log" >&2
    exit 1
  fi
  echo "$given" >"$tree/configured-with"
fi
# nginx's make knows nothing of the core library: link again every time.
rm -f "$tree/objs/ngx_http_pagestamp_module.so"
make -s -C "$tree" -f objs/Makefile modules
cp "$tree/objs/ngx_http_pagestamp_module.so" "$output"
