#!/usr/bin/env bash
# Runs each fuzz target long, one after another: by default until 10 million
# executions or 30 minutes, whichever comes first. Anything found lands in
# fuzz/corpus-work/artifacts/; keep it as a regression in fuzz/regressions/.
#
#   bash scripts/fuzz-long.sh                  # every target
#   FUZZ_SECONDS=600 bash scripts/fuzz-long.sh fuzz_request
#
# Settings: FUZZ_SECONDS, FUZZ_RUNS, BUILD_DIR (default build-fuzz).
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-1800}
runs=${FUZZ_RUNS:-10000000}
build=${BUILD_DIR:-build-fuzz}
targets=("$@")
((${#targets[@]})) || targets=(fuzz_template fuzz_locate fuzz_request fuzz_fastcgi fuzz_zone)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPAGESTAMP_WERROR=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DPAGESTAMP_FUZZ=ON -DPAGESTAMP_TESTS=OFF >/dev/null &&
  cmake --build "$build" -j2 >/dev/null || { echo "build failed in $build" >&2; exit 1; }

work=fuzz/corpus-work
mkdir -p "$work/artifacts"
status=0
summary=()
for target in "${targets[@]}"; do
  mkdir -p "$work/$target"
  log="$work/$target.log"
  dict=fuzz/pagestamp.dict
  [[ -f fuzz/$target.dict ]] && dict=fuzz/$target.dict
  echo "=== $target: up to $runs executions or $seconds s (log: $log)"
  "$build/fuzz/$target" -runs="$runs" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -dict="$dict" -artifact_prefix="$work/artifacts/$target-" \
    "$work/$target" "fuzz/corpus/$target" >"$log" 2>&1
  result=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log")
  coverage=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1 | sed -E 's/.*(cov: [0-9]+ ft: [0-9]+).*/\1/')
  line="$target: exit $result, ${executions:-?} executions in ${took:-?} s, $coverage"
  summary+=("$line")
  if ((result != 0)); then
    status=1
    grep -E -A3 'property violated|ERROR|runtime error' "$log" | head -20
  fi
done
printf '%s\n' "${summary[@]}"
exit $status
