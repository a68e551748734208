#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (everything compiled with fuzzer coverage, ASan and
# UBSan), writes each target's seed corpus with the package builder, and runs every target for a
# bounded time. Any crash, leak, timeout or sanitizer report fails the script.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]     (default 300 s, every target)
#   FUZZ_JOBS=2 runs that many targets at once; FUZZ_BUILD_ONLY=1 stops after building.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
shift || true
all_targets=(json snapshot_manifest release_manifest tuf_root signature theme initial_package extract)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")
jobs=${FUZZ_JOBS:-1}
build=build/fuzz
work=$build/runs

bash scripts/install-deps.sh
if ! command -v clang++-14 >/dev/null || [ ! -e /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends clang-14 libclang-rt-14-dev >/dev/null
fi

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g -O1"
cmake -S . -B $build -G Ninja -DCMAKE_BUILD_TYPE=None -DTOVRA_FUZZ=ON -DTOVRA_TESTS=OFF \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build $build -j "$(nproc)" --target fuzz_all
[ "${FUZZ_BUILD_ONLY:-0}" = 1 ] && exit 0

rm -rf $work/seeds
mkdir -p $work
ASAN_OPTIONS=detect_leaks=0 $build/fuzz/tovra_fuzz_seeds $work/seeds

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

run_target() {
  local target=$1 corpus=$work/corpus/$1 log=$work/$1.log
  mkdir -p "$corpus" "$work/findings/$1"
  # -rss_limit_mb bounds memory; -timeout flags an input that takes over 10 s; a finding is
  # written to findings/<target>/ and makes libFuzzer exit non-zero.
  if "$build/fuzz/fuzz_$target" "$corpus" "$work/seeds/$target" -max_total_time="$seconds" \
      -rss_limit_mb=2048 -timeout=10 -max_len=65536 -print_final_stats=1 \
      -artifact_prefix="$work/findings/$1/" >"$log" 2>&1; then
    local runs cov
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
    cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1 || echo 'cov: ?')
    echo "$target: ok, $runs executions, $cov, corpus $(ls "$corpus" | wc -l) files"
  else
    echo "$target: FINDING (see $log and $work/findings/$target/)"
    return 1
  fi
}

failed=0
pids=()
for target in "${targets[@]}"; do
  run_target "$target" &
  pids+=($!)
  if [ ${#pids[@]} -ge "$jobs" ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
exit $failed
