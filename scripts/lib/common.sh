# Shared by the project's scripts: the Debian packages the project needs, installed only when
# missing, and the source folder.

BREVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

BREVANE_PACKAGES=(
    cmake g++ make pkg-config
    qt6-base-dev
    libavformat-dev libavutil-dev libavcodec-dev ffmpeg
    libgtest-dev libbenchmark-dev
    # The packaging tests: groff checks the manual, cpack's Debian generator needs file and
    # dpkg-shlibdeps.
    groff-base file dpkg-dev
)

# The fuzz step of scripts/test.sh: libFuzzer and the sanitizers come with clang.
BREVANE_FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)

# Installs the named Debian packages that are not installed yet. apt-get update runs once, and
# only when something is missing.
install_missing_packages() {
    local missing=()
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    if [ "${#missing[@]}" -eq 0 ]; then
        return 0
    fi
    echo "Installing missing packages: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo=(sudo)
    fi
    "${sudo[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
}

build_jobs() {
    nproc 2>/dev/null || echo 2
}

# Builds the program alone (Release) in build_dir, quietly; on a failure prints the build's log
# (kept in build_dir as build.log) and exits.
build_release_program() { # build_dir
    local build_dir=$1
    echo "== Building brevane (Release, ${build_dir#"$BREVANE_ROOT"/})"
    mkdir -p "$build_dir"
    if ! { cmake -S "$BREVANE_ROOT" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release \
        -DBREVANE_BUILD_TESTS=OFF && cmake --build "$build_dir" --target brevane -j "$(build_jobs)"; } \
        >"$build_dir/build.log" 2>&1; then
        cat "$build_dir/build.log"
        exit 1
    fi
}
