#!/usr/bin/env bash
# Checks a built .deb as Debian, a software centre and a user would see it:
# what it holds, lintian, the desktop entry and AppStream metadata together,
# its dependencies, and that the program in it starts.
set -euo pipefail
deb=$(realpath "$1")
fail() { echo "package check: $*" >&2; exit 1; }
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"

for path in usr/bin/pelkoupdate usr/share/applications/pelkoupdate.desktop \
            usr/share/mime/packages/pelkoupdate.xml \
            usr/share/man/man1/pelkoupdate.1.gz usr/share/doc/pelkoupdate/copyright \
            usr/share/doc/pelkoupdate/changelog.gz; do
    [ -e "$unpacked/$path" ] || fail "no /$path in the package"
done
for size in 16 24 32 48 64 96 128; do
    [ -e "$unpacked/usr/share/icons/hicolor/${size}x${size}/apps/pelkoupdate.png" ] \
        || fail "no ${size}x${size} icon in the package"
done
metainfo=$(find "$unpacked/usr/share/metainfo" -name '*.metainfo.xml')
[ -n "$metainfo" ] || fail "no AppStream metadata in the package"

# help2man makes these sections of --help; a reworded heading would lose them.
manual=$(zcat "$unpacked/usr/share/man/man1/pelkoupdate.1.gz")
for section in DESCRIPTION OPTIONS FILES EXAMPLES; do
    grep -q "^\.SH $section" <<<"$manual" || fail "the manual page has no $section section"
done

depends=$(dpkg-deb -f "$deb" Depends)
grep -q libqt6serialport6 <<<"$depends" || fail "Depends lacks Qt SerialPort: $depends"
grep -q libqt6sql6-sqlite <<<"$depends" || fail "Depends lacks Qt's SQLite driver: $depends"

echo "== lintian"
lintian --fail-on error --display-info "$deb"
echo "== desktop-file-validate and appstreamcli"
desktop-file-validate "$unpacked/usr/share/applications/pelkoupdate.desktop"
appstreamcli validate-tree --no-net "$unpacked"
echo "== the file type: a .pelk and a .plk resolve to what the desktop entry opens"
cp -r "$unpacked/usr/share/mime" "$unpacked/mime-check"
update-mime-database "$unpacked/mime-check" > /dev/null 2>&1
opens=$(sed -n 's/^MimeType=//p' "$unpacked/usr/share/applications/pelkoupdate.desktop")
for suffix in pelk plk; do
    type=$(awk -F: -v glob="*.$suffix" '$3 == glob { print $2; exit }' "$unpacked/mime-check/globs2")
    [ -n "$type" ] && [[ "$opens" == *"$type;"* ]] \
        || fail "a .$suffix file is of type '$type', the desktop entry opens '$opens'"
done
rm -rf "$unpacked/mime-check"
grep -q '^Exec=pelkoupdate %f$' "$unpacked/usr/share/applications/pelkoupdate.desktop" \
    || fail "the desktop entry does not pass the file it is given"
echo "== apt, simulated install"
apt-get install --simulate -qq "$deb" > /dev/null

# As on a box without a screen: the program must choose offscreen itself.
version=$(dpkg-deb -f "$deb" Version)
answer=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$unpacked/usr/bin/pelkoupdate" --version)
[ "$answer" = "pelkoupdate $version" ] || fail "--version answered '$answer', not 'pelkoupdate $version'"
echo "package check: $(basename "$deb") passed ($answer; Depends: $depends)"
