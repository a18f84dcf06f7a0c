#!/usr/bin/env bash
# Builds and runs every test: the unit, threaded, end-to-end (Xvfb) and Wine tests
# with warnings as errors; the unit tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer; the threaded tests under ThreadSanitizer; the
# receive-path and network codec fuzzers for a bounded time; and the packages.
#
# Five phases, each using the machine as it can bear: first every build but the
# fuzzers', one after the other with all cores (the arm64 toolchain installing
# beside them); then the unit and threaded tests of the three builds side by side
# (they wait on line windows far more than they compute, but a build or Wine beside
# them can starve a 100 ms window, so nothing else runs then); then the end-to-end
# suites, three at a time (each has its own HOME, display, Wine prefix and ports);
# then the two Wine suites side by side, and after them, alone, the arm64 package
# (built in the first phase by tools/package.sh --arch arm64) unpacked and its
# programs run under qemu against its own simulator; last the package checks, which
# install the .debs on the machine for a while, beside the fuzz build and the
# fuzzers. Each stage's output is in build-test/logs/; the terminal gets a line a
# stage. At the end, the output of whatever failed, then a summary that names each
# failed check with its suite and the log that holds it, then one "N passed, M
# failed" line.
#
# Environment: FUZZ_SECONDS (default 60; each fuzz target runs for half of it, all at once).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

tools/install-deps.sh || { echo "dependency installation failed"; exit 1; }

jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-60}
# The receive path, the network codec and the capture reader.
fuzz_targets="receive_fuzz rfc2217_fuzz pcapng_fuzz"
log_dir=$root/build-test/logs
rm -rf "$log_dir"
mkdir -p "$log_dir"
# One line a stage ("NAME<TAB>PASSED<TAB>FAILED<TAB>SECONDS") and one a failed
# check ("SUITE<TAB>CHECK<TAB>LOG"); stages that run side by side append to both.
results=$log_dir/results.tsv
failures=$log_dir/failures.tsv
: >"$results"
: >"$failures"
run_start=$(date +%s)

say() { printf '%4d s  %s\n' $(($(date +%s) - run_start)) "$*"; }
# record NAME PASSED FAILED START: a stage's counts.
record() { printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$3" $(($(date +%s) - $4)) >>"$results"; }
# failure SUITE CHECK LOG: a failed check.
failure() { printf '%s\t%s\t%s\n' "$1" "$2" "${3#"$root"/}" >>"$failures"; }
# build NAME DIR "CXX FLAGS" "CMAKE ARGS" [TARGET...]: configures and builds (all
# targets when none is named); a failure counts as one failed check.
build() {
    local name=$1 dir=$2 flags=$3 cmake_args=$4 t0
    shift 4
    t0=$(date +%s)
    local targets=()
    [ $# -gt 0 ] && targets=(--target "$@")
    # shellcheck disable=SC2086
    if cmake -S "$root" -B "$dir" -DZANTROX_WERROR=ON "-DCMAKE_CXX_FLAGS=$flags" $cmake_args \
            >"$log_dir/$name-configure.log" 2>&1 &&
       cmake --build "$dir" -j"$jobs" "${targets[@]}" >"$log_dir/$name-build.log" 2>&1; then
        record "$name build" 0 0 "$t0"
        say "$name: built in $(($(date +%s) - t0)) s"
        return 0
    fi
    record "$name build" 0 1 "$t0"
    failure "$name" "build failed" "$log_dir/$name-build.log"
    tail -40 "$log_dir/$name-configure.log" "$log_dir/$name-build.log" >"$log_dir/$name-build-failed-output.txt" 2>/dev/null
    say "$name: build FAILED (log: ${log_dir#"$root"/}/$name-build.log)"
    return 1
}

# tests NAME DIR CTEST_ARGS...: ctest in DIR; every test counts, and every failed
# check in a failed test is named (the FAIL lines of a script suite, the failed
# assertions of a unit test).
tests() {
    local name=$1 dir=$2 t0 counts
    shift 2
    t0=$(date +%s)
    (cd "$dir" && ctest --output-on-failure --timeout 600 --output-junit "$log_dir/$name-ctest.xml" "$@") \
        >"$log_dir/$name-ctest.log" 2>&1
    counts=$(python3 "$root/tools/lib/junit_failures.py" "$name" "$log_dir/$name-ctest.xml" \
                 "${log_dir#"$root"/}/$name-ctest.log" "$failures" "$log_dir/$name-failed-output.txt")
    if [ -z "$counts" ]; then
        record "$name tests" 0 1 "$t0"
        failure "$name" "ctest ran no test or wrote no results" "$log_dir/$name-ctest.log"
        say "$name: tests did not run (log: ${log_dir#"$root"/}/$name-ctest.log)"
        return
    fi
    # shellcheck disable=SC2086
    record "$name tests" $counts "$t0"
    set -- $counts
    say "$name: $1 passed, $2 failed in $(($(date +%s) - t0)) s"
}

# fuzz: the targets at once, each for half the fuzzing time (they share the cores).
fuzz() {
    local t0 target pids=() corpus half=$(((fuzz_seconds + 1) / 2)) ok=0 bad=0
    t0=$(date +%s)
    for target in $fuzz_targets; do
        corpus=$(mktemp -d)
        (build-test/fuzz/tests/$target -max_total_time="$half" -print_final_stats=1 "$corpus" \
             >"$log_dir/$target.log" 2>&1; echo $? >"$log_dir/$target.status"; rm -rf "$corpus") &
        pids+=($!)
    done
    wait "${pids[@]}"
    for target in $fuzz_targets; do
        if [ "$(cat "$log_dir/$target.status")" = 0 ]; then
            ok=$((ok + 1))
            say "$target: $(grep -E 'stat::number_of_executed_units' "$log_dir/$target.log" | tail -1)"
        else
            bad=$((bad + 1))
            failure fuzz "$target found a fault" "$log_dir/$target.log"
            tail -40 "$log_dir/$target.log" >"$log_dir/fuzz-$target-failed-output.txt"
            say "$target: FAILED (log: ${log_dir#"$root"/}/$target.log)"
        fi
    done
    record fuzz "$ok" "$bad" "$t0"
}

# packages: tools/package.sh made them (in the build phase); each check of
# tests/package/check_packages.sh (lintian, install, run, the zip's imports, the
# MSI under Wine, removal) counts as one test.
packages() {
    local t0 line ok bad
    t0=$(date +%s)
    ARM64_SMOKE=0 tests/package/check_packages.sh out >"$log_dir/package-check.log" 2>&1
    line=$(grep -E '^package checks: [0-9]+ passed, [0-9]+ failed$' "$log_dir/package-check.log" | tail -1)
    if [ -z "$line" ]; then
        record packages 0 1 "$t0"
        failure packages "the checks did not finish" "$log_dir/package-check.log"
        tail -40 "$log_dir/package-check.log" >"$log_dir/packages-failed-output.txt"
        say "packages: checks did not finish"
        return
    fi
    ok=$(sed -E 's/^package checks: ([0-9]+) passed.*/\1/' <<<"$line")
    bad=$(sed -E 's/.* ([0-9]+) failed$/\1/' <<<"$line")
    grep -E '^FAIL  ' "$log_dir/package-check.log" | sed 's/^FAIL  //' | while IFS= read -r what; do
        failure packages "$what" "$log_dir/package-check.log"
    done
    [ "$bad" -eq 0 ] || grep -A30 -E '^FAIL  ' "$log_dir/package-check.log" >"$log_dir/packages-failed-output.txt"
    record packages "$ok" "$bad" "$t0"
    say "packages: $ok passed, $bad failed in $(($(date +%s) - t0)) s"
}

# arm64_smoke: the arm64 package's zantrox-cli and zantrox-sim, unpacked, under qemu
# (tests/package/programs_smoke.sh); each of its checks counts.
arm64_smoke() {
    local t0 line ok bad deb tree
    t0=$(date +%s)
    deb=$(compgen -G "out/zantrox-cli_*_arm64.deb" | head -n 1)
    tree=build-test/pkg-arm64/unpacked
    rm -rf "$tree" && mkdir -p "$tree"
    if [ -n "$deb" ] && dpkg-deb -x "$deb" "$tree"; then
        tests/package/programs_smoke.sh "$tree/usr/bin/zantrox-cli" "$tree/usr/bin/zantrox-sim" \
            qemu-aarch64-static >"$log_dir/arm64-smoke.log" 2>&1
    fi
    line=$(grep -E '^smoke: [0-9]+ passed, [0-9]+ failed$' "$log_dir/arm64-smoke.log" 2>/dev/null | tail -1)
    if [ -z "$line" ]; then
        record "arm64 smoke" 0 1 "$t0"
        failure "arm64 smoke" "did not finish" "$log_dir/arm64-smoke.log"
        say "arm64 smoke: did not finish"
        return
    fi
    ok=$(sed -E 's/^smoke: ([0-9]+) passed.*/\1/' <<<"$line")
    bad=$(sed -E 's/.* ([0-9]+) failed$/\1/' <<<"$line")
    grep -E '^FAIL: ' "$log_dir/arm64-smoke.log" | sed 's/^FAIL: //' | while IFS= read -r what; do
        failure "arm64 smoke" "$what" "$log_dir/arm64-smoke.log"
    done
    [ "$bad" -eq 0 ] || cp "$log_dir/arm64-smoke.log" "$log_dir/arm64-smoke-failed-output.txt"
    record "arm64 smoke" "$ok" "$bad" "$t0"
    say "arm64 smoke: $ok passed, $bad failed in $(($(date +%s) - t0)) s; $(grep -o 'CPU per transaction: [0-9.]* ms' "$log_dir/arm64-smoke.log")"
}

asan_flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# The arm64 cross toolchain and libraries come over the network and unpack while the
# first builds compute (apt waits on the network and the disk more than on the
# cores); the package builds wait for them.
arm64_dir=build-test/pkg-arm64
tools/lib/arm64-deps.sh "$arm64_dir/sysroot" >"$log_dir/arm64-deps.log" 2>&1 &
arm64_deps_pid=$!

# ---- Builds: the Windows programs in build-test/ci/win serve the Wine suites and the
# packages; the sanitizer builds compile only what their tests run.
main_built=0 asan_built=0 tsan_built=0 packages_built=0
# The Debug builds keep line tables only (-g1): the sanitizers' stack traces still name
# file and line, and compiling and linking take a fifth less than with full -g.
debug="-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1"
build main build-test/ci "" "$debug" && main_built=1
build asan-ubsan build-test/asan "$asan_flags" "$debug -DZANTROX_WIN_TESTS=OFF" \
    zantrox_unit_tests && asan_built=1
build tsan build-test/tsan "-fsanitize=thread" "$debug -DZANTROX_WIN_TESTS=OFF" \
    zantrox_threaded_tests && tsan_built=1
# The package builds read the dpkg database (dpkg-shlibdeps): apt is done with it first.
# Its outcome shows again when the arm64 package build asks for the same.
wait "$arm64_deps_pid"
t0=$(date +%s)
if [ "$main_built" = 1 ] && PKG_BUILD_DIR=build-test/pkg WIN_BUILD_DIR=build-test/ci/win tools/package.sh \
        >"$log_dir/package.log" 2>&1; then
    record "packages build" 0 0 "$t0"
    say "packages: built in $(($(date +%s) - t0)) s"
    packages_built=1
else
    record "packages build" 0 1 "$t0"
    failure packages "build failed" "$log_dir/package.log"
    tail -40 "$log_dir/package.log" >"$log_dir/packages-build-failed-output.txt"
    say "packages: build FAILED (log: ${log_dir#"$root"/}/package.log)"
fi
# The headless package for arm64, cross-built; the native package build above gave
# the man pages. Its programs run under qemu in the package checks.
t0=$(date +%s)
arm64_built=0
if [ "$packages_built" = 1 ] && PKG_BUILD_DIR=build-test/pkg ARM64_BUILD_DIR=$arm64_dir \
        tools/package.sh --arch arm64 >"$log_dir/package-arm64.log" 2>&1; then
    record "arm64 package build" 0 0 "$t0"
    arm64_built=1
    say "arm64 package: built in $(($(date +%s) - t0)) s"
else
    record "arm64 package build" 0 1 "$t0"
    failure packages "arm64 build failed" "$log_dir/package-arm64.log"
    tail -40 "$log_dir/package-arm64.log" >"$log_dir/packages-arm64-build-failed-output.txt"
    say "arm64 package: build FAILED (log: ${log_dir#"$root"/}/package-arm64.log)"
fi

# ---- Unit and threaded tests of the three builds, side by side.
pids=()
[ "$main_built" = 1 ] && { tests main-unit build-test/ci -j3 -L unit & pids+=($!); }
[ "$asan_built" = 1 ] && { tests asan-ubsan build-test/asan -j3 -L unit & pids+=($!); }
[ "$tsan_built" = 1 ] && { tests tsan build-test/tsan -j2 -L threaded & pids+=($!); }
wait "${pids[@]}"

# ---- End-to-end suites, three at a time and nothing else. With four, or with the
# fuzzers beside them (even at the lowest priority), simulators answering at once
# were heard too late for a 100 ms window: 8 to 12 "no ACK" in a check, run after run.
[ "$main_built" = 1 ] && tests main-e2e build-test/ci -j3 -L e2e

# ---- The Wine suites, side by side with nothing else. A Windows program's receive
# windows are 100 ms like any other, and Wine adds its server to every read: beside
# the end-to-end suites, a Prometheus server and the package checks, a simulator
# starved for 250 ms once cost a reply its window (the capture showed it).
[ "$main_built" = 1 ] && tests main-wine build-test/ci -j2 -L wine

# ---- The arm64 programs under qemu, alone for the same reason: qemu costs CPU,
# and the exchanges are judged with the same 100 ms windows.
[ "$arm64_built" = 1 ] && arm64_smoke

# ---- Last, the package checks and, beside them, the fuzz build and the fuzzers (at
# the lowest priority: they only compute). The package checks judge no 100 ms window
# and wait on apt and Wine more than they compute, so the fuzz build costs them little
# and leaves the first phase. They install the .deb for a while: its dissector and
# extcap in Wireshark's global folders would be met by the suites that give tshark
# the tree's own, so nothing of those runs then.
pids=()
[ "$packages_built" = 1 ] && { packages & pids+=($!); }
(
    CXX=clang++ build fuzz build-test/fuzz "-fsanitize=fuzzer-no-link,address,undefined" \
        "-DZANTROX_FUZZ=ON -DZANTROX_WIN_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo" $fuzz_targets || exit 0
    renice -n 19 -p $BASHPID >/dev/null
    fuzz
) &
pids+=($!)
wait "${pids[@]}"
# What failed, in full, then the summary.
for f in "$log_dir"/*failed-output.txt; do
    [ -s "$f" ] || continue
    echo "---- ${f#"$root"/}"
    cat "$f"
done
echo "==== summary ($(($(date +%s) - run_start)) s in all)"
awk -F'\t' '{ printf "  %-22s %4d passed %3d failed %5d s\n", $1, $2, $3, $4 }' "$results"
while IFS=$'\t' read -r suite check log; do
    echo "FAILED: $suite: $check  (log: $log)"
done <"$failures"
awk -F'\t' '{ p += $2; f += $3 } END { printf "%d passed, %d failed\n", p, f; exit (f > 0 || NR == 0) }' "$results"
