#!/usr/bin/env bash
# Native fuzzing of the kernels and models: builds the libFuzzer harnesses of
# fuzz/ with clang under AddressSanitizer and UndefinedBehaviorSanitizer (any
# finding fatal), then runs each from its committed corpus for a bounded time.
# A crash, a failed check, undefined behaviour, an out-of-bounds access or an
# input that runs longer than the per-input timeout ends the run with the
# input saved under build/fuzz/artifacts/.
#
#   bash scripts/fuzz.sh                 # every harness, FUZZ_SECONDS (45) each
#   FUZZ_SECONDS=600 bash scripts/fuzz.sh models
#   FUZZ_MERGE=1 bash scripts/fuzz.sh    # also fold new inputs, minimised, into fuzz/corpus
#
# Debian 12's default clang (14) cannot compile libstdc++'s <expected>, so the
# harnesses use clang 19 and its runtime (libclang-rt-19-dev), both from
# Debian 12 itself; they are installed here when missing.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-45}
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(ellip quadrature interp models laws)
clang=clang++-19
runtime=/usr/lib/llvm-19/lib/clang/19/lib/linux/libclang_rt.fuzzer-x86_64.a

if ! command -v "$clang" >/dev/null 2>&1 || [ ! -e "$runtime" ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-19 libclang-rt-19-dev >/dev/null
fi

# CMake and Ninja from the CPython test environment of scripts/test.sh when
# it exists, else from PATH.
tools=.venv/cpython/bin
cmake=cmake
[ -x "$tools/cmake" ] && cmake=$tools/cmake
build=build/fuzz
generator=()
if [ ! -e "$build/CMakeCache.txt" ]; then
  if [ -x "$tools/ninja" ]; then
    generator=(-G Ninja -DCMAKE_MAKE_PROGRAM="$(realpath "$tools/ninja")")
  elif command -v ninja >/dev/null 2>&1; then
    generator=(-G Ninja)
  fi
fi
"$cmake" -S . -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER="$clang" -DTAVLOMER_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
"$cmake" --build "$build" -j2 --target "${harnesses[@]/#/fuzz_}" >/dev/null

mkdir -p "$build/artifacts"
total=0
for harness in "${harnesses[@]}"; do
  corpus=fuzz/corpus/$harness
  found=$(mktemp -d)
  log=$build/fuzz_$harness.log
  mkdir -p "$corpus"
  # New inputs go to the scratch folder; the committed corpus is only read.
  if ! "$build/fuzz_$harness" "$found" "$corpus" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -max_len=512 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$harness-" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz_$harness: FAILED (inputs kept in $build/artifacts/)"
    rm -rf "$found"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  total=$((total + runs))
  echo "fuzz_$harness: $runs inputs in ${seconds}s, no finding"
  if [ "${FUZZ_MERGE:-0}" = 1 ]; then
    "$build/fuzz_$harness" -merge=1 -set_cover_merge=1 -max_len=512 "$corpus" "$found" \
      >>"$log" 2>&1
  fi
  rm -rf "$found"
done
echo "fuzz: ${#harnesses[@]} harnesses, $total inputs, no finding"
