#!/usr/bin/env bash
# Checks the formatting, then builds and runs every test, each kind in its
# own build tree:
#   build-asan      the whole suite under AddressSanitizer and UBSan
#   build-memcheck  the release executable under valgrind memcheck
#   build-fuzz      a bounded libFuzzer run over the console run
#   build           the release suite, with the 32-bit Windows build under Wine,
#                   after a check that a run costs no more than bench/floor.c
# Warnings are errors throughout. Any failure stops the script.
set -euo pipefail
cd "$(dirname "$0")/.."

configure() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DAVOIDREC_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" --parallel "$(nproc)"
}

echo "== formatting"
clang-format --dry-run --Werror src/* tests/*.cpp fuzz/*.cpp bench/*.cpp bench/*.c

echo "== sanitizers"
configure build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAVOIDREC_SANITIZE=ON
ctest --test-dir build-asan --output-on-failure -j 2

echo "== valgrind memcheck"
configure build-memcheck -DCMAKE_BUILD_TYPE=Release -DAVOIDREC_MEMCHECK=ON
ctest --test-dir build-memcheck --output-on-failure -L memcheck

echo "== fuzzing"
configure build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DAVOIDREC_FUZZ=ON -DAVOIDREC_FUZZ_SECONDS="${AVOIDREC_FUZZ_SECONDS:-60}"
ctest --test-dir build-fuzz --output-on-failure

echo "== release, and Windows under Wine"
configure build -DCMAKE_BUILD_TYPE=Release -DAVOIDREC_WINDOWS_TESTS=ON -DAVOIDREC_BENCHMARKS=ON
bash bench/compare.sh
ctest --test-dir build --output-on-failure
