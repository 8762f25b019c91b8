#!/usr/bin/env bash
# The whole test run, from a fresh Debian 12 machine: the gate before a change
# is shared. It installs the Debian packages it needs where they are missing
# (as root; otherwise it prints the command and stops), then runs these
# stages, each configuration built once, in a build tree of its own, with
# warnings as errors throughout:
#   packages                  the Debian packages the stages below need
#   formatting                clang-format, which must change nothing
#   build-asan                the whole suite under AddressSanitizer and UBSan
#   build-memcheck            the release program, linked dynamically as
#                             valgrind needs, under valgrind memcheck
#   build-fuzz                a bounded libFuzzer run over the console run
#   build-plain               the program alone, built without GoogleTest, and
#                             its install, man page and .deb (lintian, a second
#                             build elsewhere the same)
#   build-release             the release suite, with the Windows builds, 64-bit
#                             and 32-bit, and their .zip files (a second build
#                             elsewhere the same), run under Wine where it can
#   cost (build-release)      a run of the release program costs no more than
#                             1.05 times bench/floor.c
#   build-s390x, build-armhf  cross-built for Linux on s390x and armhf, unit
#                             tests and pipe cases under qemu-user, the same
#                             bytes as build-release's program
#   build-arm64               the .deb for arm64: lintian, a second build the
#                             same, its program run by cli_test under qemu
#   build-libcxx              the program built with clang and libc++, and the
#                             console tests of build-release run on it
#   clang-tidy and cppcheck   over src/, which must find nothing
#   build-coverage            the suite built for coverage: line and branch
#                             coverage of src/, a summary here and an HTML
#                             report in build-coverage/coverage/index.html
# A stage that passes prints one line, its name and time (the cost stage its
# table too, the coverage stage its summary). The first one that fails stops
# the run and prints what failed: the output of the command that failed, with
# ctest's passing tests and make's progress left out. The last line is the
# verdict. Each stage's full log stays in its build tree as check-<stage>.log
# (in build-check/ for the stages without one). The README's own build/ is
# never touched.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake make clang clang-format libclang-rt-14-dev libgtest-dev libgmock-dev
  libbenchmark-dev libc++-dev libc++abi-dev valgrind man-db lintian strace llvm clang-tidy
  cppcheck g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32:i386 zsh python3-pexpect
  g++-s390x-linux-gnu g++-arm-linux-gnueabihf g++-aarch64-linux-gnu googletest dpkg-dev)
# Installed without what they recommend: qemu-user's recommends would
# register binfmt handlers, and the machine's binfmt set-up is not this
# script's to change; the tests start foreign programs through qemu
# themselves. The other packages keep their recommends, as they always had.
bare_packages=(qemu-user)

installed() {
  [[ $(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null) == installed ]]
}

install_missing() {
  local missing=() bare=() steps=() p
  for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
  for p in "${bare_packages[@]}"; do installed "$p" || bare+=("$p"); done
  ((${#missing[@]} + ${#bare[@]})) || return 0
  # Wine runs 32-bit programs with its i386 half.
  dpkg --print-foreign-architectures | grep -qx i386 || steps+=("dpkg --add-architecture i386")
  steps+=("apt-get update")
  ((${#missing[@]} == 0)) || steps+=("apt-get install -y ${missing[*]}")
  ((${#bare[@]} == 0)) || steps+=("apt-get install -y --no-install-recommends ${bare[*]}")
  missing+=("${bare[@]}")
  if ((EUID != 0)); then
    echo "check.sh: these Debian packages are missing: ${missing[*]}" >&2
    echo "Install them as root with the command below, then run check.sh again:" >&2
    local command="" step
    for step in "${steps[@]}"; do command+="${command:+ && }sudo $step"; done
    echo "  $command" >&2
    return 1
  fi
  for step in "${steps[@]}"; do DEBIAN_FRONTEND=noninteractive $step; done
}

log=/dev/null  # the running stage's full log
since=0        # where the running command's output starts in it, in bytes
command=""     # the running command
shown=""       # what the running stage shows when it passes

# Runs a command of the running stage with its output going to the stage's log.
quietly() {
  command=$*
  since=$(stat -c %s "$log")
  "$@" >>"$log" 2>&1
}

# The same, for a command whose output the stage shows when it passes.
showing() {
  command=$*
  since=$(stat -c %s "$log")
  "$@" 2>&1 | tee -a "$log" >>"$shown"
}

# What the running command has written so far.
output() {
  tail -c +$((since + 1)) "$log"
}

# Configures the build tree of a preset (CMakePresets.json, which holds
# every tree's options, warnings as errors included), build-<preset>. The
# tests under real shells need pexpect, which this script installs for
# Debian's own Python.
configure() {
  quietly cmake --preset "$1" -DPython3_EXECUTABLE=/usr/bin/python3 "${@:2}"
}

# A warning from make is a finding, like a compiler's.
compile() {
  quietly cmake --build "$@" --parallel "$(nproc)"
  # Not grep -q, which would leave the pipe early.
  if output | LC_ALL=C grep -aE '^g?make(\[[0-9]+\])?: warning:' >/dev/null; then
    command+=" (make warned)"
    return 1
  fi
}

# Tests labelled slow, the sweep that stops or ends the wait at each of its
# system calls (half a minute) and the runs under real shells, run in the
# release tree only; the other trees leave them out with the package tests,
# which build-plain runs.
left_out='^(package|slow)$'

# Tests that could not run on this machine are named, not hidden.
run_tests() {
  quietly ctest --test-dir "$@" --output-on-failure --no-tests=error
  local name
  output | LC_ALL=C sed -nE 's/^\t[0-9]+ - ([^ ]+).* \(Skipped\)$/\1/p' | while read -r name; do
    echo "  skipped: $name: $(skip_reason "$1/Testing/Temporary/LastTest.log" "$name")"
  done >>"$shown"
}

# Why a test was skipped, from ctest's log of its output: the last line that
# is not one of GoogleTest's own.
skip_reason() {
  LC_ALL=C awk -v test="$2" '
    $0 ~ /^[0-9]+\/[0-9]+ Test: / { current = $3; next }
    /^Output:$/ { in_output = current == test; next }
    /^<end of output>$/ { in_output = 0; next }
    in_output && NF && !/^-+$/ && !/^\[/ && !/: Skipped$/ { reason = $0 }
    END { print reason }' "$1"
}

formatting() {
  quietly clang-format --dry-run --Werror src/* tests/*.cpp fuzz/*.cpp bench/*.cpp bench/*.c
}

sanitizers() {
  configure asan
  compile build-asan
  run_tests build-asan -j 2 -LE "$left_out"
}

memcheck() {
  configure memcheck
  compile build-memcheck --target avoidrec
  run_tests build-memcheck -L memcheck
}

fuzzing() {
  configure fuzz -DAVOIDREC_FUZZ_SECONDS="${AVOIDREC_FUZZ_SECONDS:-60}"
  compile build-fuzz
  run_tests build-fuzz
}

plain() {
  configure plain
  compile build-plain
  run_tests build-plain -L package
}

release() {
  configure release
  compile build-release
  run_tests build-release -j 2 -LE package
  cat build-release/windows-under-wine.txt >>"$shown"
}

# Measures the release tree's own program rather than building another.
cost() {
  showing bash bench/compare.sh build-release
}

# Another Linux architecture, cross-built with GoogleTest from its sources
# and tested under qemu-user, its bytes compared with build-release's
# program.
emulated() {
  configure "$1" -DAVOIDREC_REFERENCE_EXE="$PWD/build-release/avoidrec"
  compile "build-$1"
  run_tests "build-$1" -j 2
}

# The .deb for arm64, avoidrec_<version>_arm64.deb and its .sha256, as a
# packager would ship it, checked with its program run under qemu-user by
# cli_test; the unit tests' architectures are the two above.
arm64() {
  configure arm64 -DAVOIDREC_REFERENCE_EXE="$PWD/build-release/avoidrec"
  compile build-arm64 --target avoidrec cli_test
  run_tests build-arm64 -L package -R deb_package
  quietly cmake --build build-arm64 --target package
}

# Debian's GoogleTest is built for libstdc++, so this build has no unit tests
# of its own: the console tests of the release build run on its program, the
# sweep's program left out as in the other trees.
libcxx() {
  local dir=build-libcxx
  configure libcxx
  compile $dir
  local test
  for test in cli_test pause_test; do
    AVOIDREC_EXE="$PWD/$dir/avoidrec" quietly build-release/tests/$test --gtest_brief=1
  done
}

# clang-tidy, without its count of what it left out of the report.
tidy() {
  clang-tidy --quiet "$@" 2>&1 | { grep -v ' warnings\? generated\.$' || true; }
}

# The Windows console file, analysed with the cross build's own commands.
tidy_windows() {
  local cxx_include
  cxx_include=$(ls -d /usr/lib/gcc/i686-w64-mingw32/*-win32/include/c++ | head -n 1)
  tidy -p build-release/windows --extra-arg=-isystem"$cxx_include" \
    --extra-arg=-isystem"$cxx_include/i686-w64-mingw32" src/console_windows.cpp
}

static_analysis() {
  quietly tidy -p build-plain src/rec.cpp src/fallback.cpp src/driver.cpp src/options.cpp \
    src/key.cpp src/console_posix.cpp src/terminal_modes.cpp src/signals.cpp src/main.cpp
  quietly tidy_windows
  quietly cppcheck --quiet --error-exitcode=1 --enable=warning,style,performance,portability \
    --inline-suppr --std=c++20 --library=posix -I src src
}

# llvm-cov's table, some 230 columns wide, narrowed to its lines and branches
# per file, to fit a terminal of 100 columns. Its columns after the file:
# regions, missed, cover; functions, missed, executed; lines, missed, cover;
# branches, missed, cover.
narrow_coverage() {
  awk '$1 == "Filename" || $1 == "TOTAL" || $1 ~ /\.(cpp|h)$/ {
    name = $1
    if (name == "Filename") {
      printf "%-28s %7s %7s %8s %9s %7s %8s\n", "file", "lines", "missed", "cover", \
        "branches", "missed", "cover"
      next
    }
    sub(/.*\/src\//, "src/", name)
    printf "%-28s %7s %7s %8s %9s %7s %8s\n", name, $8, $9, $10, $11, $12, $13
  }'
}

coverage() {
  local dir=build-coverage
  configure coverage
  compile $dir
  rm -rf $dir/profiles
  # Under a file size limit the counters cannot be written, so the program
  # could not even start: those cases run in the other builds only.
  LLVM_PROFILE_FILE="$PWD/$dir/profiles/%c%p.profraw" \
    run_tests $dir -j 2 -LE "$left_out" -E FileSizeLimit
  quietly llvm-profdata merge -sparse -o $dir/all.profdata $dir/profiles/*.profraw
  # The program and the unit tests hold all the code of src/.
  local objects=("$dir/avoidrec")
  local test
  for test in rec_test fallback_test driver_test; do objects+=(-object "$dir/tests/$test"); done
  quietly llvm-cov show "${objects[@]}" -instr-profile=$dir/all.profdata -format=html \
    -show-branches=count -output-dir=$dir/coverage "$PWD/src"
  quietly llvm-cov report "${objects[@]}" -instr-profile=$dir/all.profdata \
    -show-branch-summary "$PWD/src"
  output | narrow_coverage >>"$shown"
  echo "HTML report: $dir/coverage/index.html; the whole table: $log" >>"$shown"
}

started=$SECONDS
passed=0
running=""
running_since=0

# stage <log name> <build tree> <title> <command...>
stage() {
  local tree=$2
  running=$3
  running_since=$SECONDS
  mkdir -p "$tree"
  log=$tree/check-$1.log
  shown=$tree/check-$1.shown
  : >"$log"
  : >"$shown"
  printf '%-40s' "$running"
  shift 3
  "$@"
  printf ' %4d s\n' $((SECONDS - running_since))
  cat "$shown"
  rm -f "$shown"
  running=""
  passed=$((passed + 1))
}

# What ctest and make write for each passing test and each step.
progress='^\[ *[0-9]+%\] |^ +Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* +Passed +[0-9.]+ sec$'

verdict() {
  local status=$? total=$((SECONDS - started))
  if [[ -n $running ]]; then
    printf ' %4d s  FAILED\n' $((SECONDS - running_since))
    echo "-- failed: $command"
    output | { LC_ALL=C grep -aEv "$progress" || true; }
    echo "check: FAILED in stage $running after $total s; its full log: $log"
  elif ((status != 0)); then
    echo "check: FAILED after $total s"
  else
    echo "check: all $passed stages passed in $total s"
  fi
}
trap verdict EXIT

stage packages build-check "packages" quietly install_missing
stage formatting build-check "formatting" formatting
stage sanitizers build-asan "sanitizers (build-asan)" sanitizers
stage memcheck build-memcheck "valgrind memcheck (build-memcheck)" memcheck
stage fuzzing build-fuzz "fuzzing (build-fuzz)" fuzzing
stage plain build-plain "without GoogleTest (build-plain)" plain
stage release build-release "release and Windows (build-release)" release
stage cost build-release "cost (build-release)" cost
stage s390x build-s390x "s390x under qemu (build-s390x)" emulated s390x
stage armhf build-armhf "armhf under qemu (build-armhf)" emulated armhf
stage arm64 build-arm64 "arm64 and its .deb (build-arm64)" arm64
stage libcxx build-libcxx "clang and libc++ (build-libcxx)" libcxx
stage analysis build-check "clang-tidy and cppcheck" static_analysis
stage coverage build-coverage "coverage (build-coverage)" coverage
