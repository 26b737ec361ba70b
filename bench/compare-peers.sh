#!/usr/bin/env bash
# Times lumivex-batch with every stage on against `vips copy` and ImageMagick's
# `convert -modulate 110,120 -quality 75` on the same 24-megapixel photo, whole process each,
# in alternating rounds, and prints the median times, their ratios and lumivex-batch's peak
# memory. Installs libvips-tools, imagemagick and time when missing; builds build/release when
# the tool is not there. Not part of the test command: the figures depend on the machine.
#
#   bench/compare-peers.sh [ROUNDS]    (default 7)
set -euo pipefail
cd "$(dirname "$0")/.."

rounds="${1:-7}"
missing=()
for p in libvips-tools imagemagick time; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [[ ${#missing[@]} -gt 0 ]]; then
    sudo_cmd=()
    [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
        --no-install-recommends "${missing[@]}" >/dev/null
fi

batch=build/release/tools/lumivex-batch
[[ -x "$batch" ]] || scripts/build.sh release -DLUMIVEX_BUILD_BENCH=OFF

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
photo="$work/photo.jpg"
echo "making a 6000 x 4000 test photo"
# Smooth colour fields, a little blur and sensor-like noise: it compresses about like a photo.
convert -size 6000x4000 -seed 7 plasma:fractal -blur 0x1 -attenuate 0.4 +noise Gaussian \
    -quality 90 "$photo"

stages=(--wb auto --brightness 20 --vividness 20 --add-light 30 --suppress-light 30
    --band blue:hue=500,vivid=10,bright=5)
run_lumivex() { "$batch" --quiet "${stages[@]}" "$photo" "$work/lumivex.jpg"; }
run_vips() { vips copy "$photo" "$work/vips.jpg"; }
run_magick() { convert "$photo" -modulate 110,120 -quality 75 "$work/magick.jpg"; }

seconds() {
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

declare -A times
for ((i = 1; i <= rounds; ++i)); do
    for tool in lumivex vips magick; do
        times[$tool]+="$(seconds "run_$tool") "
    done
    echo "round $i of $rounds done"
done

lumivex=$(tr ' ' '\n' <<<"${times[lumivex]}" | grep . | median)
vips=$(tr ' ' '\n' <<<"${times[vips]}" | grep . | median)
magick=$(tr ' ' '\n' <<<"${times[magick]}" | grep . | median)
peak=$(/usr/bin/time -f %M "$batch" --quiet "${stages[@]}" "$photo" "$work/lumivex.jpg" 2>&1 >/dev/null | tail -1)

echo
echo "cores: $(nproc), rounds: $rounds, medians of whole-process wall time"
printf 'lumivex-batch, every stage       %8.3f s\n' "$lumivex"
printf 'vips copy                        %8.3f s\n' "$vips"
printf 'convert -modulate 110,120 -q 75  %8.3f s\n' "$magick"
printf 'lumivex-batch / vips copy        %8.2f\n' "$(awk -v a="$lumivex" -v b="$vips" 'BEGIN { print a / b }')"
printf 'ImageMagick / lumivex-batch      %8.2f\n' "$(awk -v a="$magick" -v b="$lumivex" 'BEGIN { print a / b }')"
printf 'lumivex-batch peak memory        %8d MB\n' "$((peak / 1024))"
