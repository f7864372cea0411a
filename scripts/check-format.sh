#!/usr/bin/env bash
# check-format.sh [--fix] — fails, naming each file and line, where a C or C++ source differs
# from what clang-format makes of it with the committed .clang-format; --fix rewrites them.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t sources < <(git ls-files '*.c' '*.h' '*.cpp' '*.hpp')
if [ "${1:-}" = --fix ]; then
    clang-format -i "${sources[@]}"
else
    clang-format --dry-run --Werror "${sources[@]}"
fi
