#!/usr/bin/env bash
# Installs the build in $1 into a scratch root and checks that a desktop finds every piece: both
# programs, a valid menu entry that starts the installed program, the icon at each size drawn
# for it with a transparent surround, and the manual pages of both programs. Installed without
# DESTDIR, the menu entry must also be in the desktop's MIME cache at once.
set -euo pipefail
build="$1"
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
DESTDIR="$root" cmake --install "$build" --prefix /usr >/dev/null
usr="$root/usr"
fail() { echo "install: $*" >&2; exit 1; }

for program in lumivex lumivex-batch; do [[ -x "$usr/bin/$program" ]] || fail "no bin/$program"; done

entry="$usr/share/applications/lumivex.desktop"
desktop-file-validate "$entry" || fail "the menu entry is not valid"
program="$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")"
[[ -x "$usr/bin/$program" ]] || fail "Exec=$program is not an installed program"
icon="$(sed -n 's/^Icon=//p' "$entry")"

# Each size folder holds the icon drawn at that size, from 16 x 16 to 256 x 256, its corner
# transparent so that it sits on any panel.
for folder in "$usr"/share/icons/hicolor/{16x16,256x256,*x*}; do
    [[ "$(identify -format '%wx%h' "$folder/apps/$icon.png")" == "${folder##*/}" ]] ||
        fail "$folder/apps/$icon.png is not ${folder##*/} pixels"
    [[ "$(convert "$folder/apps/$icon.png" -format '%[fx:p{0,0}.a]' info:)" == 0 ]] ||
        fail "$folder/apps/$icon.png has an opaque corner"
done

manual="$usr/share/man/man1/lumivex-batch.1"
# The page writes each hyphen as \-.
for option in --wb --brightness --suppress-light --band --out-dir; do
    grep -qF -- "${option//-/\\-}" "$manual" || fail "the manual page misses $option"
done
# Each example is a paragraph of its own, not run into the one before.
examples="$(grep -c '^lumivex\\-batch \\-\\-' "$manual")"
[[ "$examples" -ge 2 && "$(grep -A1 '^\.IP$' "$manual" | grep -c '^lumivex\\-batch \\-\\-')" == "$examples" ]] ||
    fail "the examples of the manual page run together"
grep -qF 'lumivex \- correct the colour and tone of a photo' "$usr/share/man/man1/lumivex.1" ||
    fail "the window program has no manual page"

prefix="$root/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
grep -q '^image/jpeg=.*lumivex.desktop' "$prefix/share/applications/mimeinfo.cache" ||
    fail "an install leaves the desktop's MIME cache without the menu entry"
