#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Lumivex need, when missing.
# Idempotent and quiet when everything is already there. Needs root (or sudo).
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    libtiff-dev libexiv2-dev zlib1g-dev libjpeg62-turbo-dev exiv2 liblcms2-dev libxcb1-dev
    qt6-base-dev qt6-image-formats-plugins qt6-translations-l10n
    fonts-ipafont-gothic
    libgtest-dev libgmock-dev libbenchmark-dev
    clang-14 libclang-rt-14-dev clang-format
    libtiff-tools imagemagick libjpeg-turbo-progs icc-profiles-free libimage-exiftool-perl
    desktop-file-utils help2man
    xvfb xauth xdotool x11-utils
)
if [[ "${1:-}" == "--print" ]]; then
    printf '%s\n' "${packages[@]}"
    exit 0
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
