#!/usr/bin/env bash
# Installs the build in $1 into a scratch root and checks that a desktop finds every piece: both
# programs, a valid menu entry that starts the installed program, the icon at each size drawn
# for it, and the manual page of the batch tool.
set -euo pipefail
build="$1"
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
DESTDIR="$root" cmake --install "$build" --prefix /usr >/dev/null
usr="$root/usr"

fail() {
    echo "install: $*" >&2
    exit 1
}

for program in lumivex lumivex-batch; do
    [[ -x "$usr/bin/$program" ]] || fail "bin/$program is missing"
done

entry="$usr/share/applications/lumivex.desktop"
desktop-file-validate "$entry" || fail "the menu entry is not valid"
program="$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")"
[[ -x "$usr/bin/$program" ]] || fail "Exec=$program is not an installed program"
icon="$(sed -n 's/^Icon=//p' "$entry")"

sizes=0
for folder in "$usr"/share/icons/hicolor/*x*; do
    size="${folder##*/}"
    [[ "$(identify -format '%wx%h' "$folder/apps/$icon.png")" == "$size" ]] ||
        fail "$folder/apps/$icon.png is not $size pixels"
    sizes=$((sizes + 1))
done
for size in 16x16 256x256; do
    [[ -f "$usr/share/icons/hicolor/$size/apps/$icon.png" ]] || fail "no $size icon"
done

manual="$usr/share/man/man1/lumivex-batch.1"
[[ -f "$manual" ]] || fail "no manual page"
for option in --wb --brightness --suppress-light --band --out-dir; do
    # The page writes each hyphen as \-.
    grep -qF -- "${option//-/\\-}" "$manual" || fail "the manual page misses $option"
done
echo "installed: 2 programs, the menu entry, $sizes icon sizes, the manual page"
