#!/usr/bin/env bash
# The whole test run, from a fresh Debian 12 machine. It installs the Debian
# packages it needs where they are missing (as root; otherwise it prints the
# command and stops), checks the formatting, then builds and runs every
# test, each kind in a build tree of its own, and ends with how long each
# stage took:
#   build-asan      the whole suite under AddressSanitizer and UBSan
#   build-memcheck  the release executable under valgrind memcheck
#   build-fuzz      a bounded libFuzzer run over the console run
#   build-plain     the program alone, built without GoogleTest, and its
#                   install, man page and .deb
#   build-release   the release suite, with the 32-bit Windows build and its
#                   .zip under Wine, after a check that a run costs no more
#                   than bench/floor.c
# The README's own build/ is never touched. Warnings are errors throughout.
# Any failure stops the script.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake make clang clang-format libclang-rt-14-dev libgtest-dev libgmock-dev
  libbenchmark-dev valgrind man-db strace g++-mingw-w64-i686 wine wine32:i386)

install_missing() {
  local missing=() steps=() p
  for p in "${packages[@]}"; do
    [[ $(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null) == installed ]] || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  # Wine runs 32-bit programs with its i386 half.
  dpkg --print-foreign-architectures | grep -qx i386 || steps+=("dpkg --add-architecture i386")
  steps+=("apt-get update" "apt-get install -y ${missing[*]}")
  if ((EUID != 0)); then
    echo "check.sh: these Debian packages are missing: ${missing[*]}" >&2
    echo "Install them as root with the command below, then run check.sh again:" >&2
    local command="" step
    for step in "${steps[@]}"; do command+="${command:+ && }sudo $step"; done
    echo "  $command" >&2
    exit 1
  fi
  for step in "${steps[@]}"; do DEBIAN_FRONTEND=noninteractive $step; done
}

configure() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DAVOIDREC_WERROR=ON "$@" >/dev/null
}

compile() {
  cmake --build "$@" --parallel "$(nproc)"
}

run_tests() {
  ctest --test-dir "$@" --output-on-failure --no-tests=error
}

formatting() {
  clang-format --dry-run --Werror src/* tests/*.cpp fuzz/*.cpp bench/*.cpp bench/*.c
}

sanitizers() {
  configure build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAVOIDREC_SANITIZE=ON
  compile build-asan
  run_tests build-asan -j 2 -LE package
}

memcheck() {
  configure build-memcheck -DCMAKE_BUILD_TYPE=Release -DAVOIDREC_MEMCHECK=ON
  compile build-memcheck --target avoidrec
  run_tests build-memcheck -L memcheck
}

fuzzing() {
  configure build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DAVOIDREC_FUZZ=ON -DAVOIDREC_FUZZ_SECONDS="${AVOIDREC_FUZZ_SECONDS:-60}"
  compile build-fuzz
  run_tests build-fuzz
}

plain() {
  configure build-plain -DCMAKE_BUILD_TYPE=Release -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
  compile build-plain
  run_tests build-plain -L package
}

release() {
  configure build-release -DCMAKE_BUILD_TYPE=Release -DAVOIDREC_WINDOWS_TESTS=ON \
    -DAVOIDREC_BENCHMARKS=ON
  compile build-release
  bash bench/compare.sh
  run_tests build-release -j 2 -LE package
}

names=()
took=()
started=$SECONDS

running=""
running_since=0

stage() {
  running=$1
  running_since=$SECONDS
  shift
  echo "== $running"
  "$@"
  names+=("$running")
  took+=($((SECONDS - running_since)))
  running=""
}

report() {
  local k
  echo "== time taken"
  for k in "${!names[@]}"; do printf '%-40s %4d s\n' "${names[k]}" "${took[k]}"; done
  [[ -z $running ]] || printf '%-40s %4d s  FAILED\n' "$running" $((SECONDS - running_since))
  printf '%-40s %4d s\n' total $((SECONDS - started))
}
trap report EXIT

stage "packages" install_missing
stage "formatting" formatting
stage "sanitizers (build-asan)" sanitizers
stage "valgrind memcheck (build-memcheck)" memcheck
stage "fuzzing (build-fuzz)" fuzzing
stage "without GoogleTest (build-plain)" plain
stage "release and Windows (build-release)" release
