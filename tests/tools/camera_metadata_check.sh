#!/usr/bin/env bash
# Real camera JPEGs (maker notes, GPS, XMP, a Photoshop resource block, orientations 6 and 8) and
# a TIFF made from one, corrected by lumivex-batch to JPEG, PNG and TIFF: exiftool reads every tag
# of the input from each output with the same value, but those the correction changes, no tag
# twice and no thumbnail. The files come from Debian packages downloaded here; without them (no
# network) the check is skipped.
set -euo pipefail
batch="$(realpath "$1")"
skip() {
    echo "SKIPPED: $*"
    exit 77
}
command -v exiftool >/dev/null || skip "exiftool is missing: scripts/setup.sh installs it"

dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
cd "$dir"
apt-get download -q golang-github-rwcarlsen-goexif-dev icc-profiles-free >/dev/null 2>&1 ||
    skip "could not download the camera files' Debian packages (no network or no package lists)"
for package in *.deb; do dpkg-deb -x "$package" .; done
samples=usr/share/gocode/src/github.com/rwcarlsen/goexif/exif

# A Nikon photo edited in Photoshop, given IPTC whose time is the old six digits, and a profile.
iptc='\x1c\x02\x00\x00\x02\x00\x04\x1c\x02\x19\x00\x03one\x1c\x02\x19\x00\x03two'
iptc+='\x1c\x02\x37\x00\x0820050702\x1c\x02\x3c\x00\x06101500\x1c\x02\x78\x00\x0eForbidden City'
printf "$iptc" >iptc.bin
exiftool -q '-IPTC<=iptc.bin' '-ICC_Profile<=usr/share/color/icc/sRGB.icc' -o nikon.jpg \
    "$samples/sample1.jpg"
cp "$samples/samples/has-lens-info.jpg" iphone-6.jpg
exiftool -q -n -Orientation=8 -o iphone-8.jpg iphone-6.jpg
cp "$samples/samples/geodegrees_as_string.jpg" gps-text.jpg
# The Nikon photo's TIFF output in turn, which holds the resources and IPTC in fields of its own.
"$batch" nikon.jpg nikon.tif >/dev/null

# What the correction changes: the file and the encoder's own headers, the orientation and size,
# the thumbnails, a TIFF's pixel layout and the YCbCr layout it does not have, the XMP toolkit's
# name and the uuid it moves from rdf:about into xmpMM:InstanceID.
changed='^\[(ExifTool|File|System|Composite|IFD1|Adobe)\]|^\[JFIF\] JFIFVersion|Orientation :'
changed+='|ExifImage(Width|Height) :|Pixel[XY]Dimension :|\[XMP-tiff\] Image(Width|Length) :'
changed+='|PhotoshopThumbnail :|YCbCr|^\[XMP-x\] XMPToolkit :|^\[XMP-rdf\] About :'
changed+='|^\[IFD0\] (Image(Width|Height)|BitsPerSample|Compression|PhotometricInterpretation|Strip'
changed+='|SamplesPerPixel|RowsPerStrip|PlanarConfiguration|Predictor)'
# Where each format keeps what it keeps elsewhere: a TIFF's IPTC in the resources stands as the
# only IPTC of a JPEG or PNG, a TIFF holds the JFIF density in its own fields.
declare -A moved=(
    [jpg]='s/^\[IPTC2\]/[IPTC]/'
    [png]='s/^\[IPTC2\]/[IPTC]/; /^\[JFIF\]/d'
    [tif]='s/^\[JFIF\] /[IFD0] /'
)
# What each photo is there for, so that a file read wrongly cannot pass by carrying nothing.
declare -A carries=(
    [nikon.jpg]='^\[Photoshop\] SlicesGroupName|^\[IPTC\] TimeCreated : 10:15:00$|^\[ICC_Profile\]'
    [nikon.tif]='^\[Photoshop\] SlicesGroupName|^\[IPTC\] TimeCreated : 10:15:00$|^\[ICC_Profile\]'
    [iphone-6.jpg]='^\[Apple\] RunTimeValue|^\[GPS\] GPSLatitude :|^\[XMP-GPano\]'
    [iphone-8.jpg]='^\[Apple\] RunTimeValue'
    [gps-text.jpg]='^\[GPS\] GPSLatitude :'
)
lines() { exiftool -a -G1 -s -u "$1" | sed -E 's/ +/ /g' | grep -a -v -E "$changed"; }

failures=0
for photo in "${!carries[@]}"; do
    lines "$photo" >source.txt
    IFS='|' read -r -a wanted <<<"${carries[$photo]}"
    for pattern in "${wanted[@]}"; do
        grep -a -q -E "$pattern" source.txt || {
            echo "FAIL: $photo lacks $pattern" >&2
            failures=$((failures + 1))
        }
    done
    for format in jpg png tif; do
        out="out.$format"
        "$batch" --brightness 10 --wb auto "$photo" "$out" >/dev/null
        sed -E "${moved[$format]}" source.txt | sort -u >in.txt
        lines "$out" | sort >out.txt
        lost="$(comm -23 in.txt <(sort -u out.txt))"
        extra="$(comm -13 <(sort source.txt | uniq -d) <(uniq -d out.txt))"
        # The thumbnails show the uncorrected pixels.
        extra+="$(exiftool -q -q -ThumbnailImage -PhotoshopThumbnail "$out")"
        if [[ -n "$lost$extra" ]]; then
            echo "FAIL: $photo as $format lost: ${lost:-nothing}" | head -n 8 >&2
            echo "      and has twice or stale: ${extra:-nothing}" | head -n 8 >&2
            failures=$((failures + 1))
        fi
    done
done
[[ $failures -eq 0 ]] || exit 1
echo "${#carries[@]} camera files kept every tag in JPEG, PNG and TIFF"
