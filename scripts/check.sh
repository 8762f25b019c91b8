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
#                   install, man page and .deb (lintian, a second build the
#                   same)
#   build-release   the release suite, with the 32-bit Windows build and its
#                   .zip under Wine, after a check, built in build-bench,
#                   that a run costs no more than bench/floor.c
#   build-libcxx    the program built with clang and libc++, and the console
#                   tests of build-release run on it
#   build-coverage  the same suite built for coverage: line and branch
#                   coverage of src/, a summary here and an HTML report in
#                   build-coverage/coverage/index.html, after clang-tidy
#                   and cppcheck over src/, which allow no finding
# The README's own build/ is never touched. Warnings are errors throughout.
# Any failure stops the script.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake make clang clang-format libclang-rt-14-dev libgtest-dev libgmock-dev
  libbenchmark-dev libc++-dev libc++abi-dev valgrind man-db lintian strace llvm clang-tidy
  cppcheck g++-mingw-w64-i686 wine wine32:i386 zsh python3-pexpect)

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

coverage() {
  local dir=build-coverage
  configure $dir -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DAVOIDREC_COVERAGE=ON
  compile $dir
  rm -rf $dir/profiles
  # Under a file size limit the counters cannot be written, so the program
  # could not even start: those two cases run in the other builds only.
  LLVM_PROFILE_FILE="$PWD/$dir/profiles/%c%p.profraw" \
    run_tests $dir -j 2 -LE package -E 'FileSizeLimit|XfszWritingTheHint' 
  llvm-profdata merge -sparse -o $dir/all.profdata $dir/profiles/*.profraw
  # The program and the unit tests hold all the code of src/.
  local objects=($dir/avoidrec)
  local test
  for test in rec_test fallback_test driver_test; do objects+=(-object "$dir/tests/$test"); done
  llvm-cov show "${objects[@]}" -instr-profile=$dir/all.profdata -format=html \
    -show-branches=count -output-dir=$dir/coverage "$PWD/src" >/dev/null
  llvm-cov report "${objects[@]}" -instr-profile=$dir/all.profdata -show-branch-summary \
    "$PWD/src"
  echo "HTML report: $dir/coverage/index.html"
}

# Debian's GoogleTest is built for libstdc++, so this build has no unit tests
# of its own: the console tests of the release build run on its program.
libcxx() {
  local dir=build-libcxx
  configure $dir -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
  compile $dir
  local test
  for test in cli_test pause_test; do
    AVOIDREC_EXE="$PWD/$dir/avoidrec" build-release/tests/$test --gtest_brief=1
  done
}

# clang-tidy, without its count of what it left out of the report.
tidy() {
  clang-tidy --quiet "$@" 2>&1 | { grep -v ' warnings\? generated\.$' || true; }
}

# The Windows console file is analysed with the cross build's own commands.
static_analysis() {
  local cxx_include
  cxx_include=$(ls -d /usr/lib/gcc/i686-w64-mingw32/*-win32/include/c++ | head -n 1)
  tidy -p build-plain src/rec.cpp src/fallback.cpp src/driver.cpp src/console_posix.cpp src/main.cpp
  tidy -p build-release/windows --extra-arg=-isystem"$cxx_include" \
    --extra-arg=-isystem"$cxx_include/i686-w64-mingw32" src/console_windows.cpp
  cppcheck --quiet --error-exitcode=1 --enable=warning,style,performance,portability \
    --inline-suppr --std=c++20 --library=posix -I src src
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
stage "clang and libc++ (build-libcxx)" libcxx
stage "clang-tidy and cppcheck" static_analysis
stage "coverage (build-coverage)" coverage
