#!/usr/bin/env bash
# What a studio ships, run the way a player's machine would run it:
#  1. `cmake --install` of the Release build into a temporary prefix: the demo (the example game
#     crashing, its dump sent) runs from another working directory against the installed tree, a
#     test run goes through bin/CrashReporter, and a C program builds against the installed crash
#     hook with pkg-config;
#  2. the .deb and the tarball from CPack: the .deb is installed with dpkg (when this is root) and
#     runs a test run and the demo, the tarball is unpacked and runs;
#  3. a portable tree (MORVEX_PORTABLE=ON, minizip + libcurl + OpenSSL bundled): its libraries
#     resolve inside the tree with an empty library path, the demo runs from another folder, and
#     no shipped binary needs a newer C library than README.md states (2.34).
# Expects the Release build in build/ (scripts/test-all.sh makes it first).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
work=$(mktemp -d "${TMPDIR:-/tmp}/morvex-ship.XXXXXX")
installed_deb=0
cleanup() {
    if [ "$installed_deb" = 1 ]; then dpkg -r morvex-crash-reporter >/dev/null 2>&1 || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "ship: $*" >&2; exit 1; }

# A demo run against the tree in $1 from the folder $work/elsewhere; fails unless the report arrived.
demo_from() {
    local app=$1 label=$2
    mkdir -p "$work/elsewhere"
    (cd "$work/elsewhere" && env LD_LIBRARY_PATH= APP_DIR="$app" SKIP_INSTALL=1 "$root/scripts/demo.sh") \
        >"$work/demo.out" 2>&1 || { cat "$work/demo.out"; fail "$label: the demo failed"; }
    grep -q "Sent successfully" "$work/demo.out" || { cat "$work/demo.out"; fail "$label: nothing was sent"; }
    echo "ship: $label: the demo sent its report"
}

# A test run of the reporter at $1: its dialog module and string tables must be found beside it.
test_run() {
    local reporter=$1 label=$2 out
    out=$(cd "$work" && env DISPLAY= WAYLAND_DISPLAY= XDG_DATA_HOME="$work/data" "$reporter" --test 2>&1) ||
        fail "$label: --test failed: $out"
    if grep -q "No string tables\|Crash dialog not available" <<<"$out"; then
        echo "$out"
        fail "$label: the module or the string tables were not found"
    fi
    "$reporter" --version | grep -q "^Morvex Crash Reporter " || fail "$label: --version"
    "$reporter" --help | grep -q -- "--send-pending" || fail "$label: --help"
    echo "ship: $label: $("$reporter" --version)"
}

echo "ship: 1. cmake --install"
cmake --install build --prefix "$work/prefix" >/dev/null
test_run "$work/prefix/bin/CrashReporter" "installed (bin/ link)"
demo_from "$work/prefix/lib/morvex-crash-reporter" "installed"
# A game built against the installed crash hook through its pkg-config file.
cat >"$work/game.c" <<'C'
#include <CrashHook/CrashHook.h>
#include <stdio.h>
int main(void)
{
    MxCrashHookConfig config = {0};
    config.size = sizeof(config);
    config.reporterPath = "/nonexistent/CrashReporter";
    config.dumpFolder = "/tmp";
    int result = MxCrashHook_Install(&config);
    printf("installed: %d\n", result);
    return result;
}
C
flags=$(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs morvex-crash-hook)
# shellcheck disable=SC2086
cc -o "$work/game" "$work/game.c" $flags -Wl,-rpath,"$work/prefix/lib" || fail "a game does not build against the hook"
"$work/game" | grep -q "installed: 0" || fail "the hook does not install in a game built against it"
echo "ship: installed: a C game builds with \`pkg-config morvex-crash-hook\` and installs the hook"

echo "ship: 2. packages"
(cd build && cpack -G "DEB;TGZ" >"$work/cpack.out" 2>&1) || { cat "$work/cpack.out"; fail "cpack failed"; }
deb=$(ls build/morvex-crash-reporter_*.deb)
tgz=$(ls build/morvex-crash-reporter-*.tar.gz)
dpkg-deb --info "$deb" | grep -E "Package|Version|Depends|Recommends"
mkdir -p "$work/tarball"
tar -xzf "$tgz" -C "$work/tarball"
test_run "$(ls -d "$work"/tarball/*/bin/CrashReporter)" "tarball"
if [ "$(id -u)" = 0 ]; then
    dpkg -i "$deb" >/dev/null
    installed_deb=1
    test_run /usr/bin/CrashReporter ".deb"
    demo_from /usr/lib/morvex-crash-reporter ".deb"
else
    echo "ship: not root: the .deb is built but not installed"
fi

echo "ship: 3. portable tree"
cmake -S . -B build-portable -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORVEX_PORTABLE=ON -DMORVEX_BUILD_TESTS=OFF \
    "-DMORVEX_PORTABLE_LIBS=minizip;curl;openssl" >/dev/null
cmake --build build-portable -j"$(nproc)" --target CrashReporter Collector CrashReporterDialog CrashDumpWriter \
    CrashDemoGame MorvexCrashHook >/dev/null
cmake --install build-portable --prefix "$work/portable" >/dev/null
libs=$(cd / && env -u LD_LIBRARY_PATH ldd "$work/portable/CrashReporter")
for lib in libminizip libcurl libssl libcrypto libnghttp2; do
    grep -q "$lib.* => $work/portable/" <<<"$libs" || { echo "$libs"; fail "portable: $lib is not taken from the tree"; }
done
test_run "$work/portable/CrashReporter" "portable"
demo_from "$work/portable" "portable"
newest=$(for f in "$work"/portable/CrashReporter "$work"/portable/Collector "$work"/portable/CrashDumpWriter \
    "$work"/portable/CrashDemoGame "$work"/portable/*.so*; do
    [ -L "$f" ] || objdump -T "$f" | grep -o 'GLIBC_[0-9.]*'
done | sort -uV | tail -n 1)
echo "ship: portable: the newest C library symbol needed is $newest"
[ "$(printf '%s\n' "$newest" GLIBC_2.34 | sort -V | tail -n 1)" = GLIBC_2.34 ] ||
    fail "portable: needs $newest, newer than the glibc 2.34 README.md states"
echo "ship: all shipped trees run"
