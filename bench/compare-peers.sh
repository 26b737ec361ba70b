#!/usr/bin/env bash
# Times lumivex-batch against its peers on photos it makes itself, whole process each, in
# alternating rounds, and prints the medians and their ratios:
#   - one 24-megapixel JPEG with every stage on, against `vips copy` and ImageMagick's
#     `convert -modulate 110,120 -quality 75`, with the batch's peak memory and what its automatic
#     white balance costs (its time less the same run's with --wb off);
#   - the load step of the same photo stored sideways (EXIF Orientation 6) against upright (which
#     the batch streams, so that its load step is only the decoding);
#   - 16 photos of 6 megapixels against `xargs -P2 vips copy`, and against the batch one photo at
#     a time (--jobs 1);
#   - a 24-megapixel 16-bit LZW TIFF saved as one, against `tiffcp -c lzw`;
# then the pipeline and file benchmarks that hold the rest of the figures, when built.
# Installs libvips-tools, imagemagick, exiv2, libtiff-tools and time when missing; builds
# build/release when the tool is not there. Not part of the test command: the figures depend on
# the machine.
#
#   bench/compare-peers.sh [ROUNDS]    (default 7)
set -euo pipefail
cd "$(dirname "$0")/.."

rounds="${1:-7}"
missing=()
for p in libvips-tools imagemagick exiv2 libtiff-tools time; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [[ ${#missing[@]} -gt 0 ]]; then
    sudo_cmd=()
    [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
        --no-install-recommends "${missing[@]}" >/dev/null
fi

batch="$PWD/build/release/tools/lumivex-batch"
[[ -x "$batch" ]] || scripts/build.sh release

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
echo "making the test photos"
# Smooth colour fields, a little blur and sensor-like noise: it compresses about like a photo.
convert -size 6000x4000 -seed 7 plasma:fractal -blur 0x1 -attenuate 0.4 +noise Gaussian \
    -quality 90 photo.jpg
cp photo.jpg turned.jpg
exiv2 -M'set Exif.Image.Orientation Short 6' turned.jpg
convert photo.jpg -depth 16 -compress lzw deep.tif
mkdir many vout
for i in $(seq 1 16); do
    convert photo.jpg -resize 3000x2000 -modulate 100,$((80 + i * 3)),$((90 + i)) -quality 90 \
        "many/p$i.jpg"
done

stages=(--wb auto --brightness 20 --vividness 20 --add-light 30 --suppress-light 30
    --band blue:hue=500,vivid=10,bright=5)
run_lumivex() { "$batch" --quiet "${stages[@]}" photo.jpg lumivex.jpg; }
run_nowb() { "$batch" --quiet "${stages[@]}" --wb off photo.jpg lumivex.jpg; }
run_vips() { vips copy photo.jpg vips.jpg; }
run_magick() { convert photo.jpg -modulate 110,120 -quality 75 magick.jpg; }
run_many() { "$batch" --quiet "${stages[@]}" --out-dir out many/*.jpg; }
run_alone() { "$batch" --quiet --jobs 1 "${stages[@]}" --out-dir out many/*.jpg; }
run_vipsmany() { (cd many && ls ./*.jpg | xargs -P2 -I{} vips copy {} ../vout/{}); }
run_deep() { "$batch" --quiet --depth 16 "${stages[@]}" deep.tif lumivex.tif; }
run_tiffcp() { tiffcp -c lzw deep.tif tiffcp.tif; }

seconds() {
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# The median of one field ("load") of --timings over the rounds.
timing() {
    local field="$1" file="$2"
    shift 2
    for ((i = 1; i <= rounds; ++i)); do
        "$batch" --timings "$@" "$file" "timed.${file##*.}" |
            sed -n "s/.* $field \([0-9.]*\) ms.*/\1/p"
    done | tr '\n' ' ' | median
}

declare -A times
tools=(lumivex nowb vips magick many alone vipsmany deep tiffcp)
for ((i = 1; i <= rounds; ++i)); do
    for tool in "${tools[@]}"; do times[$tool]+="$(seconds "run_$tool") "; done
    echo "round $i of $rounds done"
done
declare -A m
for tool in "${tools[@]}"; do m[$tool]=$(median <<<"${times[$tool]}"); done
peak=$(/usr/bin/time -f %M "$batch" --quiet "${stages[@]}" photo.jpg lumivex.jpg 2>&1 >/dev/null | tail -1)
upright=$(timing load photo.jpg)
sideways=$(timing load turned.jpg)

echo
echo "cores: $(nproc), rounds: $rounds, medians of whole-process wall time"
printf 'lumivex-batch 24 MP, every stage            %8.3f s\n' "${m[lumivex]}"
printf 'vips copy                                  %8.3f s\n' "${m[vips]}"
printf 'convert -modulate 110,120 -quality 75      %8.3f s\n' "${m[magick]}"
printf 'lumivex-batch / vips copy                  %8s\n' "$(ratio "${m[lumivex]}" "${m[vips]}")"
printf 'ImageMagick / lumivex-batch                %8s\n' "$(ratio "${m[magick]}" "${m[lumivex]}")"
printf 'lumivex-batch peak memory                  %8d MB\n' "$((peak / 1024))"
printf 'automatic white balance (with - without)   %8.0f ms\n' "$(awk -v a="${m[lumivex]}" -v b="${m[nowb]}" 'BEGIN { print (a - b) * 1000 }')"
printf 'load Orientation 6 / Orientation 1         %8s\n' "$(ratio "$sideways" "$upright")"
printf '16 x 6 MP: batch / xargs -P2 vips copy     %8s\n' "$(ratio "${m[many]}" "${m[vipsmany]}")"
printf '16 x 6 MP: batch / batch --jobs 1          %8s\n' "$(ratio "${m[many]}" "${m[alone]}")"
printf '16-bit LZW TIFF: batch / tiffcp -c lzw     %8s\n' "$(ratio "${m[deep]}" "${m[tiffcp]}")"

cd - >/dev/null
for bench in pipeline_bench photo_formats_bench photo_io_bench; do
    [[ -x build/release/bench/$bench ]] || continue
    echo
    build/release/bench/$bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
        --benchmark_filter='PassWithDisplay|Tiff|Orientation' 2>/dev/null | grep median || true
done
