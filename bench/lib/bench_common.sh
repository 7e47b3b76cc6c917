# Shared by the benchmarks that run the whole program: the generated inputs, a default build,
# brevane's own resource report and a median. Sourced after scripts/lib/common.sh.

# Inputs: a tone broken by pauses, as speech is: a 1.2 s pause every 7 s and a 0.3 s one
# every 3.1 s. Made once and kept in $cache.
make_input() { # name seconds rate channels codec-arguments...
    local file=$cache/$1 seconds=$2 rate=$3 channels=$4
    shift 4
    [ -s "$file" ] && return 0
    echo "Making $file" >&2
    ffmpeg -hide_banner -loglevel error -y \
        -f lavfi -i "sine=frequency=220:sample_rate=$rate:duration=$seconds" \
        -af "volume=0:enable='lt(mod(t\,7)\,1.2)+between(mod(t\,3.1)\,1.5\,1.8)'" \
        -ac "$channels" "$@" "$file.partial.${file##*.}"
    mv "$file.partial.${file##*.}" "$file"
}

# Builds brevane (RelWithDebInfo, no tests) in the named folder unless BREVANE is set.
default_brevane() { # build-folder-name
    if [ -z "${BREVANE:-}" ]; then
        local build=$BREVANE_ROOT/$1
        cmake -S "$BREVANE_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DBREVANE_BUILD_TESTS=OFF >/dev/null
        cmake --build "$build" -j "$(build_jobs)" --target brevane >/dev/null
        BREVANE=$build/src/frontend/brevane
    fi
}

# A library preloaded into brevane only: at exit it writes brevane's own CPU seconds and peak
# resident memory in KiB to $SELF_USAGE_FILE (getrusage RUSAGE_SELF counts no child; GNU time's
# %M would take the largest child in too). It takes itself out of the environment at start, so
# that the children run without it. Made in $work.
build_self_usage() {
cat >"$work/self_usage.cpp" <<'EOF'
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>

// A plain array: a C++ string object could be constructed after, or destroyed before, these
// functions run.
static char reportPath[4096];

__attribute__((constructor)) static void start()
{
    if (const char* path = std::getenv("SELF_USAGE_FILE"))
        std::strncpy(reportPath, path, sizeof reportPath - 1);
    unsetenv("SELF_USAGE_FILE");
    unsetenv("LD_PRELOAD");
}

__attribute__((destructor)) static void finish()
{
    rusage usage {};
    if (!reportPath[0] || getrusage(RUSAGE_SELF, &usage) != 0)
        return;
    if (FILE* file = std::fopen(reportPath, "w")) {
        std::fprintf(file, "%.3f %ld\n",
            double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
                + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6,
            usage.ru_maxrss);
        std::fclose(file);
    }
}
EOF
g++ -O2 -shared -fPIC -o "$work/self_usage.so" "$work/self_usage.cpp"
}

median() {
    sort -g | awk '{ v[NR] = $1 }
        END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
