#!/usr/bin/env bash
# Runs the end-to-end test programs (those that start the built brevane) under valgrind
# memcheck, following every brevane process they start, and sums up the errors and leaks of each
# process. ffmpeg, fake or real, and the shell tools run natively: their memory is not ours.
# Too slow for every CI run (7 to 13 minutes on two shared cores); run it by hand:
#   scripts/valgrind.sh [build-dir]      (default build-valgrind; logs in <build-dir>/valgrind)
# It ends with status 1 when any process made an invalid access or lost memory.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
install_missing_packages "${BREVANE_PACKAGES[@]}" valgrind

cd "$BREVANE_ROOT"
build_dir=${1:-build-valgrind}
mkdir -p "$build_dir"
# Absolute, since the tests run the program in working directories of their own.
build_path=$(cd "$build_dir" && pwd)
logs="$build_path/valgrind"
rm -rf "$logs"
mkdir -p "$logs"

# Highway, loaded with FFmpeg's JPEG XL codec, calibrates its timer with RDTSCP when it is
# loaded. valgrind cannot run that instruction where the CPU does not announce it, as on some
# virtual machines, so every program of this build links a stub in its place. Linked rather
# than preloaded, it holds also in children that the tests start with an environment of their
# own.
printf '%s\n' '#include <cstdint>' \
    'namespace hwy::platform { std::uint64_t TimerResolution() { return 1; } }' \
    > "$build_path/timer_stub.cpp"
g++ -shared -fPIC -O1 -o "$build_path/libtimer_stub.so" "$build_path/timer_stub.cpp"

# valgrind cannot run a sanitizer build, so this one is plain.
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBREVANE_SANITIZE=OFF \
    -DCMAKE_EXE_LINKER_FLAGS="-Wl,--no-as-needed $build_path/libtimer_stub.so"
cmake --build "$build_dir" -j "$(build_jobs)"

for source in $(grep -l 'brevaneProgram()' tests/*.cpp); do
    test=$(basename "$source" .cpp)
    [ -x "$build_dir/tests/$test" ] || continue
    echo "== $test"
    valgrind --tool=memcheck --leak-check=full \
        --show-leak-kinds=definite,indirect,possible \
        --errors-for-leak-kinds=definite,indirect --track-origins=yes \
        --suppressions="$BREVANE_ROOT/scripts/valgrind.supp" \
        --trace-children=yes --trace-children-skip='*/ffmpeg,/bin/*,/usr/bin/*' \
        --log-file="$logs/$test.%p.log" "$build_dir/tests/$test" --gtest_brief=1 || true
done

# One line per program: its processes, their errors and what they lost. A log without a summary
# belongs to a child that went on to run an untraced program (ffmpeg, a shell tool).
awk '
    function flush(    parts, n, name) {
        if (file == "" || errors == "")
            return
        n = split(program, parts, "/")
        name = parts[n]
        processes[name]++
        totalErrors[name] += errors
        totalLost[name] += definite + indirect
        totalPossible[name] += possible
        # interruption_test ends brevane by signals on purpose.
        if (errors + definite + indirect > 0 || (signalled && file !~ /\/interruption_test\./)) {
            bad++
            print "  " file ": " errors " errors, " definite + indirect " bytes lost" \
                (signalled ? ", ended by a signal" : "")
        }
    }
    FNR == 1 {
        flush()
        file = FILENAME; program = errors = ""; definite = indirect = possible = signalled = 0
    }
    { gsub(",", "") }
    /== Command: / { program = $3 }
    /definitely lost:/ { definite = $4 }
    /indirectly lost:/ { indirect = $4 }
    /possibly lost:/ { possible = $4 }
    /ERROR SUMMARY:/ { errors = $4 }
    /Process terminating with default action/ { signalled = 1 }
    END {
        flush()
        for (name in processes)
            printf "%-20s %4d processes, %d errors, %d bytes lost, %d bytes possibly lost\n",
                name, processes[name], totalErrors[name], totalLost[name], totalPossible[name]
        exit bad > 0
    }
' "$logs"/*.log
