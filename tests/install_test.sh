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
fail() { echo "install: $*" >&2; exit 1; }

for program in lumivex lumivex-batch; do [[ -x "$usr/bin/$program" ]] || fail "no bin/$program"; done

entry="$usr/share/applications/lumivex.desktop"
desktop-file-validate "$entry" || fail "the menu entry is not valid"
program="$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")"
[[ -x "$usr/bin/$program" ]] || fail "Exec=$program is not an installed program"
icon="$(sed -n 's/^Icon=//p' "$entry")"

# Each size folder holds the icon drawn at that size, from 16 x 16 to 256 x 256.
for folder in "$usr"/share/icons/hicolor/{16x16,256x256,*x*}; do
    [[ "$(identify -format '%wx%h' "$folder/apps/$icon.png")" == "${folder##*/}" ]] ||
        fail "$folder/apps/$icon.png is not ${folder##*/} pixels"
done

manual="$usr/share/man/man1/lumivex-batch.1"
# The page writes each hyphen as \-.
for option in --wb --brightness --suppress-light --band --out-dir; do
    grep -qF -- "${option//-/\\-}" "$manual" || fail "the manual page misses $option"
done
