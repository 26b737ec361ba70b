#!/usr/bin/env bash
# Fuzzes the TIFF readers (the own one, and libtiff behind it) for about a minute with libFuzzer
# under AddressSanitizer and UndefinedBehaviorSanitizer, seeded with small TIFF files of every
# kind the reader loads or refuses, made here by libtiff's tools and ImageMagick, and with the
# regression files of earlier faults. Exits non-zero on any crash, leak, hang or runaway memory
# use; the input that caused it is left in build/fuzz/artifacts/. Once the fault is mended,
# commit the input to tests/imageio/fuzz-regressions/, where the test suite replays it.
set -euo pipefail
cd "$(dirname "$0")/.."

out=build/fuzz
seeds="$out/seeds"
corpus="$out/corpus"
artifacts="$out/artifacts"
rm -rf "$seeds"
mkdir -p "$seeds" "$corpus" "$artifacts"

regressions=tests/imageio/fuzz-regressions

echo "building the fuzz target"
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
    -DLUMIVEX_FUZZ=ON "$@" >/dev/null
cmake --build "$out" --target tiff_reader_fuzz -j "$(nproc)"

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
cp "$work"/*.tif "$seeds"/
echo "$(ls "$seeds" | wc -l) seed files in $seeds"

echo "fuzzing for 60 seconds (log in $out/fuzz.log)"
if ! ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    "$out/fuzz/tiff_reader_fuzz" -max_total_time=60 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$artifacts/" -print_final_stats=1 "$corpus" "$seeds" "$regressions" >"$out/fuzz.log" 2>&1; then
    tail -n 60 "$out/fuzz.log"
    echo "fuzzing found a fault; the input is in $artifacts/ (add it to $regressions/ once mended)"
    exit 1
fi
grep -E '^(Done|stat::)' "$out/fuzz.log"
echo "fuzzing found nothing"
