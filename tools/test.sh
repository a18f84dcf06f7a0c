#!/usr/bin/env bash
# Builds and runs every test: the unit, threaded, end-to-end (Xvfb) and Wine tests
# with warnings as errors; the unit tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer; the threaded tests under ThreadSanitizer; and the
# receive-path and network codec fuzzers for a bounded time. Ends with one "N passed, M failed" line.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

tools/install-deps.sh || { echo "dependency installation failed"; exit 1; }

jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-60}
passed=0
failed=0
failures=()
log_dir=$root/build-test/logs
mkdir -p "$log_dir"

# stage NAME BUILD_DIR "CXX FLAGS" "CMAKE ARGS" "CTEST ARGS"
stage() {
    local name=$1 dir=$2 flags=$3 cmake_args=$4 ctest_args=$5
    echo "==== $name"
    # shellcheck disable=SC2086
    if ! cmake -S "$root" -B "$dir" -DZANTROX_WERROR=ON "-DCMAKE_CXX_FLAGS=$flags" $cmake_args \
            >"$log_dir/$name-configure.log" 2>&1 ||
       ! cmake --build "$dir" -j"$jobs" >"$log_dir/$name-build.log" 2>&1; then
        echo "$name: build failed"; tail -40 "$log_dir/$name-build.log" "$log_dir/$name-configure.log"
        failed=$((failed + 1)); failures+=("$name build"); return
    fi
    # shellcheck disable=SC2086
    (cd "$dir" && ctest --output-on-failure --timeout 600 $ctest_args) 2>&1 | tee "$log_dir/$name-ctest.log"
    local line
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log_dir/$name-ctest.log" | tail -1)
    if [ -z "$line" ]; then
        echo "$name: ran no test"; failed=$((failed + 1)); failures+=("$name: no tests"); return
    fi
    local bad total
    bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    [ "$bad" -eq 0 ] || failures+=("$name: $bad failed")
}

stage main build-test/ci "" "-DCMAKE_BUILD_TYPE=Debug" ""

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
stage asan-ubsan build-test/asan "-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
    "-DCMAKE_BUILD_TYPE=Debug -DZANTROX_WIN_TESTS=OFF" "-L unit"

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
stage tsan build-test/tsan "-fsanitize=thread" "-DCMAKE_BUILD_TYPE=Debug -DZANTROX_WIN_TESTS=OFF" "-L threaded"

echo "==== fuzz (${fuzz_seconds}s over two targets)"
# The receive path and the network codec share the fuzzing time: half each.
fuzz_half=$(((fuzz_seconds + 1) / 2))
if CXX=clang++ cmake -S "$root" -B build-test/fuzz -DZANTROX_FUZZ=ON -DZANTROX_WIN_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined" >"$log_dir/fuzz-configure.log" 2>&1 &&
   cmake --build build-test/fuzz -j"$jobs" --target receive_fuzz rfc2217_fuzz >"$log_dir/fuzz-build.log" 2>&1; then
    for target in receive_fuzz rfc2217_fuzz; do
        corpus=$(mktemp -d)
        if build-test/fuzz/tests/$target -max_total_time="$fuzz_half" -print_final_stats=1 "$corpus" \
                >"$log_dir/$target.log" 2>&1; then
            echo "$target:"; grep -E 'stat::number_of_executed_units|Done' "$log_dir/$target.log" | tail -2
            passed=$((passed + 1))
        else
            tail -40 "$log_dir/$target.log"; failed=$((failed + 1)); failures+=("$target")
        fi
        rm -rf "$corpus"
    done
else
    tail -40 "$log_dir/fuzz-build.log"; failed=$((failed + 1)); failures+=("fuzz build")
fi

# The release packages: tools/package.sh builds out/zantrox_<version>_<arch>.deb and
# out/zantrox-win64.zip and out/zantrox-<version>-win64.msi; each check of
# tests/package/check_packages.sh (lintian, install, run, the zip's imports, the MSI
# under Wine, removal) counts as one test.
echo "==== packages"
if PKG_BUILD_DIR=build-test/pkg WIN_BUILD_DIR=build-test/pkg-win tools/package.sh \
        >"$log_dir/package.log" 2>&1; then
    tests/package/check_packages.sh out 2>&1 | tee "$log_dir/package-check.log"
    line=$(grep -E '^package checks: [0-9]+ passed, [0-9]+ failed$' "$log_dir/package-check.log" | tail -1)
    if [ -z "$line" ]; then
        failed=$((failed + 1)); failures+=("packages: checks did not finish")
    else
        bad=$(sed -E 's/.* ([0-9]+) failed$/\1/' <<<"$line")
        passed=$((passed + $(sed -E 's/^package checks: ([0-9]+) passed.*/\1/' <<<"$line")))
        failed=$((failed + bad))
        [ "$bad" -eq 0 ] || failures+=("packages: $bad failed")
    fi
else
    tail -40 "$log_dir/package.log"; failed=$((failed + 1)); failures+=("packages build")
fi

echo "===="
for f in "${failures[@]}"; do echo "FAILED: $f"; done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
