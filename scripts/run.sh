#!/usr/bin/env bash
# Installs what is missing, builds Lumivex and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh release
exec build/release/app/lumivex "$@"
