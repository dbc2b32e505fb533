#!/bin/sh
# Every C++ file as clang-format writes it with the tree's .clang-format, so
# that the next change's diff is only that change. Fix with:
#     git ls-files '*.cpp' '*.h' | xargs clang-format -i
set -eu
cd "${1:?source directory}"
command -v clang-format >/dev/null || { echo "clang-format is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
else
    # An exported tree: every source beside this script's, build trees aside.
    find . -name 'build*' -prune -o \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 clang-format --dry-run -Werror
fi
