#!/usr/bin/env bash
# Fuzzes every reader with libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer, two
# minutes in all shared among three targets: the TIFF readers on their own (the own one, and
# libtiff behind it), photo files as the programs load them (every decoder, Exiv2 reading and
# embedding), and the settings file. Each is seeded with small files of every kind it reads or
# refuses, made here by libtiff's tools, ImageMagick and exiftool, and with the regression files
# of earlier faults. Exits non-zero on any crash, leak, hang or runaway memory use; the input that
# caused it is left in build/fuzz/artifacts/. Once the fault is mended, commit the input to
# tests/imageio/fuzz-regressions/, where the test suite replays it through every reader.
set -euo pipefail
cd "$(dirname "$0")/.."

out=build/fuzz
seeds="$out/seeds"
artifacts="$out/artifacts"
rm -rf "$seeds"
mkdir -p "$seeds"/{tiff,photo,settings} "$artifacts"

regressions=tests/imageio/fuzz-regressions

echo "building the fuzz targets"
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
    -DLUMIVEX_FUZZ=ON "$@" >/dev/null
cmake --build "$out" --target tiff_reader_fuzz photo_file_fuzz settings_fuzz -j "$(nproc)"

echo "making the seed files"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
(
    cd "$work"
    size=13x7
    convert -size "$size" gradient:black-white -depth 8 gray:g8.raw
    convert -size "$size" gradient:red-blue -depth 8 rgb:rgb8.raw
    convert -size "$size" gradient:red-blue -depth 16 -endian LSB rgb:rgb16.raw
    convert -size "$size" gradient:black-white -depth 16 -endian LSB gray:g16.raw
    convert -size "$size" pattern:checkerboard -monochrome g1.pbm

    raw2tiff -M -c none -w 13 -l 7 -r 3 g8.raw g8.tif
    raw2tiff -M -c none -w 13 -l 7 -p miniswhite g8.raw g8white.tif
    raw2tiff -M -c none -w 13 -l 7 -r 2 -b 3 -p rgb rgb8.raw rgb8.tif
    raw2tiff -M -c none -w 13 -l 7 -r 4 -d short -b 3 -p rgb rgb16.raw rgb16.tif
    raw2tiff -M -c none -w 13 -l 7 -d short g16.raw g16.tif
    tiffcp -B rgb16.tif rgb16be.tif
    tiffcp -B g16.tif g16be.tif
    convert g8.tif -depth 4 -compress none -define tiff:rows-per-strip=2 g4.tif
    convert g1.pbm -depth 1 -compress none g1.tif
    ppm2tiff -c none g1.pbm g1white.tif
    convert rgb8.tif -compress none -density 72 -units PixelsPerInch rgb8dpi.tif

    tiffcp -c lzw rgb8.tif lzw.tif
    tiffcp -c packbits g8.tif packbits.tif
    tiffcp -t -w 16 -l 16 rgb8.tif tiled.tif
    tiffcp -p separate rgb8.tif planar.tif
    tiffcp -f lsb2msb g8.tif fill2.tif
    convert rgb8.tif -type Palette -compress none palette.tif
    tiffcp g8.tif rgb16.tif pages.tif
    cp rgb16.tif rotated.tif
    tiffset -s 274 6 rotated.tif
)
(
    cd "$work"
    convert rgb8.tif -quality 80 plain.jpg
    convert rgb8.tif -interlace JPEG progressive.jpg
    convert g8.tif grey.jpg
    cp plain.jpg tagged.jpg
    exiftool -q -overwrite_original -Orientation#=6 -XMP:Title=seed -IPTC:Keywords=seed \
        '-ICC_Profile<=/usr/share/color/icc/sRGB.icc' tagged.jpg
    convert rgb16.tif deep.png
    convert rgb8.tif -define png:exclude-chunks=date,time shallow.png
    cp shallow.png tagged.png
    exiftool -q -overwrite_original -Orientation#=8 tagged.png
    convert rgb8.tif rgb8.bmp
    convert rgb8.tif -colors 16 palette.gif
    convert rgb8.tif -quality 50 lossy.webp
)
cp "$work"/*.tif "$seeds"/tiff/
cp "$work"/{*.jpg,*.png,*.bmp,*.gif,*.webp,rgb16.tif,tiled.tif,rotated.tif} "$seeds"/photo/
cat >"$seeds"/settings/every-key.lumivex <<'JSON'
{"format": "lumivex-settings", "version": 2,
 "white-balance": {"mode": "spot", "grey-point": [0.5, 0.25, 1]},
 "geometry": {"rotate": 270, "flip": true},
 "adjustments": {"brightness": -45, "vividness": 45, "add-light": -1, "suppress-light": 100},
 "bands": {"red": {"hue": -5000, "vivid": 40, "bright": -40}, "blue": {"hue": 5000}}}
JSON
printf '%s' '{"format": "lumivex-settings", "version": 3, "later": {"a": [1, {"b": "\u00e9"}]}}' \
    >"$seeds"/settings/later.lumivex
echo "seed files: $(for kind in tiff photo settings; do echo -n "$(ls "$seeds/$kind" | wc -l) $kind "; done)"

# Each target runs for its share of the time on a corpus of its own, kept between runs.
fuzz() {
    local target="$1" seconds="$2" kind="$3"
    mkdir -p "$out/corpus/$kind"
    echo "fuzzing $target for $seconds seconds (log in $out/$target.log)"
    if ! ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        "$out/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$artifacts/" -print_final_stats=1 "$out/corpus/$kind" "$seeds/$kind" \
        "$regressions" >"$out/$target.log" 2>&1; then
        tail -n 60 "$out/$target.log"
        echo "fuzzing $target found a fault; the input is in $artifacts/ (add it to $regressions/ once mended)"
        cp "$out/$target.log" "$out/fuzz.log"
        exit 1
    fi
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$out/$target.log"
}
fuzz tiff_reader_fuzz 40 tiff
fuzz photo_file_fuzz 60 photo
fuzz settings_fuzz 20 settings
echo "fuzzing found nothing"
