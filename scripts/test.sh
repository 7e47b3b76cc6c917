#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs the whole suite, then runs
# it again in an AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
install_missing_packages "${BREVANE_PACKAGES[@]}"

cd "$BREVANE_ROOT"
jobs=$(build_jobs)

run_suite() {
    local build_dir=$1
    shift
    cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBREVANE_WERROR=ON "$@"
    cmake --build "$build_dir" -j "$jobs"
    ctest --test-dir "$build_dir" --output-on-failure -j "$jobs"
}

echo "== Build with -Wall -Wextra -Werror and run the suite"
run_suite build-test

echo "== Build with -fsanitize=address,undefined and run the suite again"
run_suite build-sanitize -DBREVANE_SANITIZE=ON

echo "All test runs passed."
