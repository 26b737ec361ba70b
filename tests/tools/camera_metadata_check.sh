#!/usr/bin/env bash
# Real camera JPEGs (maker notes, GPS, XMP, a Photoshop resource block, orientations 6 and 8) and
# a TIFF made from one, corrected by lumivex-batch to JPEG, PNG and TIFF: exiftool reads every tag
# of the input from each output with the same value, but those the correction changes, no tag
# twice and no thumbnail. With "limits", damaged and oversized metadata instead (see below). The
# files come from Debian packages downloaded here; without them (no network) the check is skipped.
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

# With "limits": metadata damaged or too large for a format is kept where the format allows, and
# otherwise left out with a warning naming it, never taking the rest with it.
if [[ "${2:-}" == limits ]]; then
    icc=usr/share/color/icc
    put() { printf "$2" | dd of="$1" bs=1 seek="$3" conv=notrunc status=none; }
    # A profile of 7 chunks, then its chunks numbered backwards, one repeated, and a size that lies.
    exiftool -q -IPTC:Keywords=kw -XMP-dc:Subject=xs "-ICC_Profile<=$icc/ITULab.icc" -o icc.jpg \
        "$samples/sample1.jpg"
    mapfile -t at < <(grep -obUaP 'ICC_PROFILE\x00' icc.jpg | cut -d: -f1)
    cp icc.jpg reversed.jpg
    for i in "${!at[@]}"; do put reversed.jpg "\\x$(printf %02x $((${#at[@]} - i)))" $((at[i] + 12)); done
    { head -c $((at[2] - 4)) icc.jpg && tail -c +$((at[1] - 3)) icc.jpg; } >repeated.jpg
    cp icc.jpg lying.jpg && put lying.jpg '\x7f' $((at[0] + 15))
    # A 20 MB profile, a 100 KB description in EXIF and a 200 KB one in XMP.
    { cat $icc/sRGB.icc && head -c $((20000000 - $(stat -c %s $icc/sRGB.icc))) /dev/zero; } >big.icc
    put big.icc '\x01\x31\x2d\x00' 0
    head -c 100000 /dev/zero | tr '\0' e >exif.txt && head -c 200000 /dev/zero | tr '\0' x >xmp.txt
    "$batch" "$samples/sample1.jpg" big.tif >/dev/null
    exiftool -q -overwrite_original '-ICC_Profile<=big.icc' '-ImageDescription<=exif.txt' \
        '-XMP-dc:Description<=xmp.txt' big.tif
    "$batch" big.tif big.jpg 2>/dev/null
    # input | options | output | the warning, else none | tags as the input's | tags not there
    cases=(
        'icc.jpg||jpg||ICC_Profile Keywords Subject Make|'
        'reversed.jpg||jpg|colour profile is left out|Keywords Subject Make|ICC_Profile'
        'repeated.jpg||jpg|colour profile is left out|Keywords Subject Make|ICC_Profile'
        'lying.jpg||jpg|colour profile is left out|Keywords Subject Make|ICC_Profile'
        'big.tif||jpg|profile .20000000 bytes. is left out.*ImageDescription|Description Make|ICC_Profile ImageDescription'
        'big.tif|--strip-metadata|jpg|profile .20000000 bytes. is left out||ICC_Profile Description Make'
        'big.tif||png||ICC_Profile ImageDescription Description Make|'
        'big.tif||tif||ICC_Profile ImageDescription Description Make|'
        'big.jpg||jpg||Description Make|'
        'icc.jpg||bmp|metadata and colour profile are left out||ICC_Profile Make'
    )
    failures=0
    for case in "${cases[@]}"; do
        IFS='|' read -r input options format warning kept absent <<<"$case"
        fail() {
            echo "FAIL: $input $options as $format: $*" >&2
            failures=$((failures + 1))
        }
        rm -f "out.$format"
        # shellcheck disable=SC2086
        "$batch" $options "$input" "out.$format" >/dev/null 2>err.txt || fail "not saved: $(cat err.txt)"
        if [[ -n "$warning" ]]; then
            grep -q -E "^lumivex-batch: warning: $input: .*$warning" err.txt || fail "no warning: $(cat err.txt)"
        elif [[ -s err.txt ]]; then
            fail "said $(cat err.txt)"
        fi
        for tag in $kept $absent; do
            exiftool -q -q -b "-$tag" "$input" >in.bin && exiftool -q -q -b "-$tag" "out.$format" >out.bin
            if [[ " $kept " == *" $tag "* ]]; then
                [[ -s in.bin ]] && cmp -s in.bin out.bin || fail "$tag not kept"
            elif [[ -s out.bin ]]; then
                fail "$tag still there"
            fi
        done
    done
    [[ $failures -eq 0 ]] || exit 1
    echo "${#cases[@]} damaged or large metadata cases kept or warned of"
    exit 0
fi

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
