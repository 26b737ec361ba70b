#!/usr/bin/env bash
# Configures and builds one flavour into build/<flavour>: release (default), asan or tsan.
set -euo pipefail
cd "$(dirname "$0")/.."

flavour="${1:-release}"
shift || true
case "$flavour" in
    release) options=() ;;
    asan) options=(-DLUMIVEX_SANITIZE=address) ;;
    tsan) options=(-DLUMIVEX_SANITIZE=thread) ;;
    *) echo "unknown build flavour: $flavour" >&2; exit 2 ;;
esac

jobs="$(nproc)"
cmake -S . -B "build/$flavour" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" "$@" >/dev/null
cmake --build "build/$flavour" -j "$jobs"
