#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for a bounded
# time from the seed corpus; exits non-zero when any target finds a crash,
# a hang or a broken contract. Crash inputs are left in build/fuzz/artifacts.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 15)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-15}
build_dir=build/fuzz
targets=(config proxy_header admin_request)

scripts/setup.sh
cmake -S . -B "$build_dir" -G Ninja \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARNWICKET_BUILD_FUZZ=ON -DTARNWICKET_BUILD_TESTS=OFF -DTARNWICKET_BUILD_BENCH=OFF \
  -DTARNWICKET_WERROR=ON
cmake --build "$build_dir" --target "${targets[@]/#/fuzz_}"

mkdir -p "$build_dir/artifacts"
failed=()
for target in "${targets[@]}"; do
  echo "==> fuzz $target for ${seconds}s"
  # New inputs go to a scratch copy; the seed corpus in the repo stays as is.
  work="$build_dir/corpus/$target"
  mkdir -p "$work"
  dict=fuzz/$target.dict
  [ -f "$dict" ] || dict=fuzz/config.dict
  if ! "$build_dir/fuzz/fuzz_$target" "$work" "fuzz/corpus/$target" \
      -dict="$dict" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build_dir/artifacts/$target-" 2>"$build_dir/$target.log"; then
    tail -n 40 "$build_dir/$target.log" >&2
    failed+=("$target")
  else
    grep -E '^(Done|stat::number_of_executed_units)' "$build_dir/$target.log" || true
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failed: ${failed[*]} (inputs in $build_dir/artifacts)" >&2
  exit 1
fi
echo "fuzz: no crash in ${#targets[@]} targets"
