#!/usr/bin/env bash
# Checks that every C++ source follows .clang-format; lists the files that do not and exits
# non-zero. `clang-format -i FILE` mends one.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(find . -path ./build -prune -o -path ./.git -prune -o \
    \( -name '*.cpp' -o -name '*.h' \) -type f -print | sort)
unformatted=()
for file in "${sources[@]}"; do
    clang-format --dry-run -Werror "$file" 2>/dev/null || unformatted+=("$file")
done
if [[ ${#unformatted[@]} -ne 0 ]]; then
    echo "not formatted as .clang-format says:"
    printf '  %s\n' "${unformatted[@]}"
    exit 1
fi
echo "${#sources[@]} sources formatted"
