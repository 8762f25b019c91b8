#!/usr/bin/env bash
# The test command, the gate before a change is shared: CONTRIBUTING.md's
# "The test command" says what it installs, what each stage checks and what
# it prints, and its "Figures" how long it takes.
#
#   bash scripts/check.sh              every stage, in order
#   bash scripts/check.sh STAGE...     the packages, then the stages named
#
# The stages are named as their logs are (check-<stage>.log): packages,
# formatting, sanitizers, memcheck, fuzzing, plain, release, cost, s390x,
# armhf, arm64, libcxx, analysis, coverage. Named ones run in that order,
# whatever the order given.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake make clang clang-format libclang-rt-14-dev libgtest-dev libgmock-dev
  libbenchmark-dev libc++-dev libc++abi-dev valgrind man-db lintian strace llvm clang-tidy
  cppcheck g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32:i386 zsh python3-pexpect
  g++-s390x-linux-gnu g++-arm-linux-gnueabihf g++-aarch64-linux-gnu googletest dpkg-dev gdb
  ksh mksh busybox fish)
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
# Debian's own Python. The release tree leaves out the Windows tests and the
# benchmark where their tools are missing; here it must have them, so that
# the gate loses nothing.
configure() {
  local required=()
  if [[ $1 == release ]]; then
    required=(-DAVOIDREC_REQUIRE_WINDOWS=ON -DAVOIDREC_REQUIRE_BENCHMARKS=ON)
  fi
  quietly cmake --preset "$1" -DPython3_EXECUTABLE=/usr/bin/python3 "${required[@]}" "${@:2}"
}

# Builds a preset's tree with the build preset's jobs, as a contributor's
# build does. A warning from make is a finding, like a compiler's.
compile() {
  quietly cmake --build --preset "$@"
  # Not grep -q, which would leave the pipe early.
  if output | LC_ALL=C grep -aE '^g?make(\[[0-9]+\])?: warning:' >/dev/null; then
    command+=" (make warned)"
    return 1
  fi
}

# Runs a tree's tests by its test preset, which chooses them (labels, names),
# their jobs and the output of a failing one. Tests that could not run on
# this machine are named, not hidden.
run_tests() {
  quietly ctest --preset "$1"
  local name
  output | LC_ALL=C sed -nE 's/^\t[0-9]+ - ([^ ]+).* \(Skipped\)$/\1/p' | while read -r name; do
    echo "  skipped: $name: $(skip_reason "build-$1/Testing/Temporary/LastTest.log" "$name")"
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

# Configures build-release unless this script has configured it already: a
# tree that a contributor configured may lack what the gate requires.
release_configured() {
  LC_ALL=C grep -qx 'AVOIDREC_REQUIRE_WINDOWS:BOOL=ON' build-release/CMakeCache.txt 2>/dev/null ||
    configure release
}

# What the stages that use build-release without being its stage need of it:
# the targets named, built there (the tree configured first if need be), not
# its tests. After the release stage, as in a whole run, they are built
# already.
from_release() {
  release_configured
  compile release --target "$@"
}

formatting() {
  quietly clang-format --dry-run --Werror src/* tests/*.cpp tests/*.h fuzz/*.cpp bench/*.cpp \
    bench/*.c
}

sanitizers() {
  configure asan
  compile asan
  run_tests asan
}

memcheck() {
  configure memcheck
  compile memcheck --target avoidrec
  run_tests memcheck
}

fuzzing() {
  configure fuzz -DAVOIDREC_FUZZ_SECONDS="${AVOIDREC_FUZZ_SECONDS:-60}"
  compile fuzz
  run_tests fuzz
}

plain() {
  configure plain
  compile plain
  run_tests plain
}

# The release suite, the tests labelled slow included: the sweep that stops
# or ends the wait at each of its system calls (half a minute) and the runs
# under real shells, which the other trees leave out.
release() {
  configure release
  compile release
  run_tests release
  # Which Windows programs ran under Wine, and, in the log, Wine's reason
  # where one did not.
  cat build-release/windows-under-wine.txt >>"$log"
  head -n 1 build-release/windows-under-wine.txt >>"$shown"
}

# Measures build-release's own program rather than building another: it
# builds the program there first.
cost() {
  from_release avoidrec
  showing bash bench/compare.sh build-release
}

# Another Linux architecture, cross-built with GoogleTest from its sources
# and tested under qemu-user, its bytes compared with those of the program
# of build-release, which it builds there first.
emulated() {
  from_release avoidrec
  configure "$1" -DAVOIDREC_REFERENCE_EXE="$PWD/build-release/avoidrec"
  compile "$1"
  run_tests "$1"
}

# The .deb for arm64, avoidrec_<version>_arm64.deb and its .sha256, as a
# packager would ship it, checked with its program run under qemu-user by
# cli_test; the unit tests' architectures are the two above. The tree is
# configured, as theirs are, to compare with build-release's program.
arm64() {
  from_release avoidrec
  configure arm64 -DAVOIDREC_REFERENCE_EXE="$PWD/build-release/avoidrec"
  compile arm64 --target avoidrec cli_test
  run_tests arm64
  quietly cmake --build --preset arm64 --target package
}

# Debian's GoogleTest is built for libstdc++, so this build has no unit tests
# of its own: the console tests of build-release, built there first, run on
# its program, the sweep's program left out as in the other trees. They run
# as programs, not through ctest, whose tests in build-release run that
# tree's own program.
libcxx() {
  configure libcxx
  compile libcxx
  from_release cli_test pause_test
  local test
  for test in cli_test pause_test; do
    AVOIDREC_EXE="$PWD/build-libcxx/avoidrec" quietly build-release/tests/$test --gtest_brief=1
  done
}

# clang-tidy, without its count of what it left out of the report.
tidy() {
  clang-tidy --quiet "$@" 2>&1 | { grep -v ' warnings\? generated\.$' || true; }
}

# The files of src/ that a tree compiles, from its compile_commands.json.
sources_of() {
  LC_ALL=C sed -nE 's/^ *"file": "(.*)",?$/\1/p' "$1/compile_commands.json" |
    { grep -F "$PWD/src/" || true; } | LC_ALL=C sort -u
}

# The files that the Windows build compiles and the Linux one does not, its
# console file, analysed with the 32-bit sub-build's own commands.
tidy_windows() {
  local cxx_includes cxx_include files
  cxx_includes=(/usr/lib/gcc/i686-w64-mingw32/*-win32/include/c++)
  cxx_include=${cxx_includes[0]}
  mapfile -t files < <(LC_ALL=C comm -13 <(sources_of build-plain) \
    <(sources_of build-release/windows))
  if ((${#files[@]} == 0)); then
    echo "no file of src/ that build-release/windows alone compiles"
    return 1
  fi
  tidy -p build-release/windows --extra-arg=-isystem"$cxx_include" \
    --extra-arg=-isystem"$cxx_include/i686-w64-mingw32" "${files[@]}"
}

# The files come from the builds: build-plain's for Linux (configured here,
# which the plain stage's build reuses), and the 32-bit Windows sub-build's in
# build-release (configured here without a build when the release stage has
# not run).
static_analysis() {
  configure plain
  release_configured
  compile release --target avoidrec_windows-configure
  local files
  mapfile -t files < <(sources_of build-plain)
  if ((${#files[@]} == 0)); then
    quietly echo "no file of src/ in build-plain/compile_commands.json"
    return 1
  fi
  quietly tidy -p build-plain "${files[@]}"
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

# The test preset puts each run's counters in build-coverage/profiles.
coverage() {
  local dir=build-coverage
  configure coverage
  compile coverage
  rm -rf $dir/profiles
  run_tests coverage
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

# The stages, in the order they run; the names are those of their logs.
all_stages=(packages formatting sanitizers memcheck fuzzing plain release cost s390x armhf arm64
  libcxx analysis coverage)
chosen=("$@")
for name in "${chosen[@]}"; do
  if [[ " ${all_stages[*]} " != *" $name "* ]]; then
    echo "check.sh: no stage named '$name'; the stages: ${all_stages[*]}" >&2
    exit 2
  fi
done

# Whether a stage runs: every one when none is named, else the packages and
# those named.
wanted() {
  ((${#chosen[@]} == 0)) || [[ $1 == packages || " ${chosen[*]} " == *" $1 "* ]]
}

started=$SECONDS
passed=0
running=""
running_since=0

# Writes its input with each line within 100 columns: a longer one is cut
# there, and goes whole to file $1, the stage's log. Characters count, not
# bytes.
fit_width() {
  local LC_ALL=C.UTF-8 line width=100
  while IFS= read -r line; do
    if ((${#line} > width)); then
      echo "${line:0:width-1}…"
      echo "$line" >>"$1"
    else
      echo "$line"
    fi
  done
}

# stage <name> <build tree> <description> <command...>
# Its line begins with the name that `scripts/check.sh NAME` takes.
stage() {
  wanted "$1" || return 0
  local tree=$2
  running=$1
  running_since=$SECONDS
  mkdir -p "$tree"
  log=$tree/check-$1.log
  shown=$tree/check-$1.shown
  : >"$log"
  : >"$shown"
  printf '%-11s%-38s' "$1" "$3"
  shift 3
  "$@"
  printf ' %4d s\n' $((SECONDS - running_since))
  fit_width "$log" <"$shown"
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
    # The command, its file list say, cut to the width as a passing stage's
    # lines are, and whole in the log; its output whole, the diagnosis.
    echo "-- failed: $command" | fit_width /dev/null
    output | { LC_ALL=C grep -aEv "$progress" || true; }
    echo "-- failed: $command" >>"$log"
    echo "check: FAILED in stage $running after $total s; its full log: $log"
  elif ((status != 0)); then
    echo "check: FAILED after $total s"
  else
    echo "check: all $passed stages passed in $total s"
  fi
}
trap verdict EXIT

stage packages build-check "the Debian packages" quietly install_missing
stage formatting build-check "clang-format" formatting
stage sanitizers build-asan "ASan and UBSan (build-asan)" sanitizers
stage memcheck build-memcheck "valgrind (build-memcheck)" memcheck
stage fuzzing build-fuzz "libFuzzer (build-fuzz)" fuzzing
stage plain build-plain "without GoogleTest (build-plain)" plain
stage release build-release "release and Windows (build-release)" release
stage cost build-release "instructions per run (build-release)" cost
stage s390x build-s390x "under qemu (build-s390x)" emulated s390x
stage armhf build-armhf "under qemu (build-armhf)" emulated armhf
stage arm64 build-arm64 "its .deb, under qemu (build-arm64)" arm64
stage libcxx build-libcxx "clang and libc++ (build-libcxx)" libcxx
stage analysis build-check "clang-tidy and cppcheck" static_analysis
stage coverage build-coverage "clang's coverage (build-coverage)" coverage
