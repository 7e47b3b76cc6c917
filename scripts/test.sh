#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs the whole suite, then runs
# it again in an AddressSanitizer + UndefinedBehaviorSanitizer build, then runs each fuzz target
# for a short while.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
install_missing_packages "${BREVANE_PACKAGES[@]}"

cd "$BREVANE_ROOT"
jobs=$(build_jobs)

run_suite() {
    local build_dir=$1
    shift
    cmake -S . -B "$build_dir" -DBREVANE_WERROR=ON "$@"
    cmake --build "$build_dir" -j "$jobs"
    ctest --test-dir "$build_dir" --output-on-failure -j "$jobs"
}

# The suite needs no debug information, which takes a third of the plain build's time; the
# program is optimised as it is packaged (-O2).
echo "== Build with -Wall -Wextra -Werror and run the suite"
run_suite build-test -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG"

# -O1, as the sanitizers' own documentation advises, with line tables for their reports: the
# instrumented build then takes a third of the time it takes at -O2 with full debug information.
echo "== Build with -fsanitize=address,undefined and run the suite again"
run_suite build-sanitize -DBREVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"

echo "== Build the fuzz targets with clang and run each for ${BREVANE_FUZZ_SECONDS:=10} seconds"
install_missing_packages "${BREVANE_FUZZ_PACKAGES[@]}"
cmake -S . -B build-test-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
    -DBREVANE_WERROR=ON -DBREVANE_BUILD_FUZZ=ON -DBREVANE_BUILD_TESTS=OFF
fuzzers=(duration_text_fuzzer detector_fuzzer format_duration_fuzzer)
cmake --build build-test-fuzz -j "$jobs" --target "${fuzzers[@]}"
# The three run side by side; each stops at the first property broken or sanitizer report, and
# the step fails if any did.
pids=()
for target in "${fuzzers[@]}"; do
    # New inputs go to a scratch folder, so the seed corpus in the repository stays as it is;
    # an input that breaks a property is kept in the build folder.
    scratch=$(mktemp -d)
    (
        trap 'rm -rf "$scratch"' EXIT
        "build-test-fuzz/fuzz/$target" -max_total_time="$BREVANE_FUZZ_SECONDS" \
            -artifact_prefix="build-test-fuzz/$target-" -print_final_stats=1 \
            "$scratch" "fuzz/corpus/$target" >"build-test-fuzz/$target.log" 2>&1 \
            || { cat "build-test-fuzz/$target.log"; exit 1; }
        sed -n "/^Done /,\$ s/^/$target: /p" "build-test-fuzz/$target.log"
    ) &
    pids+=($!)
done
failed=0
for pid in "${pids[@]}"; do
    wait "$pid" || failed=1
done
if [ "$failed" -ne 0 ]; then
    echo "A fuzz target failed (its log is above)."
    exit 1
fi

echo "All test runs passed."
