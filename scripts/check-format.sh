#!/usr/bin/env bash
# Every C and C++ source and header of ours is formatted as .clang-format says; prints the files that are
# not and fails.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files 'code/*.cpp' 'code/*.h' 'code/*.c' 2>/dev/null || find code -name '*.cpp' -o -name '*.h' -o -name '*.c')
if ! clang-format --dry-run --Werror "${files[@]}" 2>/tmp/morvex-format.$$; then
    grep -o '^[^:]*' /tmp/morvex-format.$$ | sort -u | sed 's/^/not formatted: /'
    rm -f /tmp/morvex-format.$$
    echo "run: clang-format -i <file> (clang-format $(clang-format --version | grep -o '[0-9][0-9.]*' | head -1))"
    exit 1
fi
rm -f /tmp/morvex-format.$$
echo "${#files[@]} files formatted"
