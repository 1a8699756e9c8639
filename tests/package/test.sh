#!/bin/sh
# The Debian package as a user meets it: built by tools/package.sh, checked by lintian,
# installed with apt-get, started from the menu's command until its window shows, its desktop
# entry and AppStream metadata validated, then purged, leaving nothing of it behind.
# It installs and removes a package on this machine, so it runs as root only.
set -e
self="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
cd "$(dirname "$self")/../.."

if [ "$1" = window ]; then
    # Inside a virtual X display: start the command, find a window of that very process, mapped
    # and viewable, then end the program.
    "$2" &
    pid=$!
    shown=""
    tries=0
    while [ -z "$shown" ] && [ $tries -lt 200 ] && kill -0 $pid 2>/dev/null; do
        sleep 0.1
        tries=$((tries + 1))
        windows="$(xwininfo -root -tree | sed -n 's/^ *\(0x[0-9a-f]*\) "KAVOSEN_WIN": (.*/\1/p')"
        for id in $windows; do
            if xprop -id "$id" _NET_WM_PID | grep -qx "_NET_WM_PID(CARDINAL) = $pid" &&
                xwininfo -id "$id" | grep -q "Map State: IsViewable"; then
                shown=$id
            fi
        done
    done
    kill -TERM $pid 2>/dev/null || true
    wait $pid || true
    [ -n "$shown" ] || { echo "FAIL: $2 showed no window" >&2; exit 1; }
    exit 0
fi

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

if [ "$(id -u)" -ne 0 ]; then
    echo "tests/package: skipped, it installs a package and needs root" >&2
    exit 0
fi
if dpkg-query -W -f='${Status}' kavosen 2>/dev/null | grep -q "ok installed"; then
    fail "kavosen is installed on this machine; the test would replace and purge it"
fi

# The package is named after the program's file version: the project's first three numbers.
version="$(sed -n 's/^project(KAVOSEN_WIN VERSION \([0-9]*\.[0-9]*\.[0-9]*\)\..*/\1/p' \
    CMakeLists.txt)"
deb="$(pwd)/build-deb/kavosen_${version}_$(dpkg --print-architecture).deb"
rm -f "$deb"
tools/package.sh
[ -f "$deb" ] || fail "tools/package.sh built no $deb"
lintian --fail-on error "$deb"
# The Wayland plugin, which the program does not link against, comes with it where apt installs
# recommended packages (its default).
[ "$(dpkg-deb -f "$deb" Recommends)" = qt6-wayland ] || fail "the package does not recommend qt6-wayland"

work="$(mktemp -d)"
# A failed check still leaves the machine without the package.
trap 'dpkg-query -W kavosen >/dev/null 2>&1 && apt-get purge -y -q kavosen >/dev/null
      rm -rf "$work"' EXIT
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb"
dpkg -L kavosen > "$work/files"

for path in /usr/bin/KAVOSEN_WIN /usr/share/applications/kavosen.desktop \
    /usr/share/icons/hicolor/16x16/apps/kavosen.png \
    /usr/share/icons/hicolor/32x32/apps/kavosen.png \
    /usr/share/icons/hicolor/scalable/apps/kavosen.svg \
    /usr/share/man/man1/KAVOSEN_WIN.1.gz /usr/share/doc/kavosen/copyright; do
    grep -qx "$path" "$work/files" || fail "the package holds no $path"
done
metainfo="$(grep '^/usr/share/metainfo/.*\.metainfo\.xml$' "$work/files")" ||
    fail "the package holds no AppStream metadata"
desktop=/usr/share/applications/kavosen.desktop
desktop-file-validate "$desktop"
appstreamcli validate --no-net "$metainfo"
grep -q "<launchable type=\"desktop-id\">$(basename "$desktop")</launchable>" "$metainfo" ||
    fail "the metadata does not launch $desktop"

# The menu starts the Exec command through PATH; it must be the installed program, and its
# icon must be one the package installs.
command="$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")"
[ "$(command -v "$command")" = /usr/bin/KAVOSEN_WIN ] ||
    fail "Exec=$command is not /usr/bin/KAVOSEN_WIN"
icon="$(sed -n 's/^Icon=//p' "$desktop")"
grep -q "^/usr/share/icons/hicolor/.*/apps/$icon\.\(png\|svg\)$" "$work/files" ||
    fail "Icon=$icon is not in the package"
mkdir -m 700 "$work/runtime"
XDG_RUNTIME_DIR="$work/runtime" HOME="$work" QT_QPA_PLATFORM=xcb \
    xvfb-run -a -s "-screen 0 800x600x24" "$self" window "$command"

DEBIAN_FRONTEND=noninteractive apt-get purge -y -q kavosen
dpkg-query -W kavosen >/dev/null 2>&1 && fail "kavosen is still known to dpkg after purge"
# Every file the package held is gone, and so is every folder it made: a folder may stay only
# while another package owns it or it holds something else.
while read -r path; do
    if [ -d "$path" ] && [ ! -L "$path" ]; then
        [ -n "$(ls -A "$path")" ] || dpkg -S "$path" >/dev/null 2>&1 ||
            fail "the empty folder $path is left after purge"
    elif [ -e "$path" ] || [ -L "$path" ]; then
        fail "$path is left after purge"
    fi
done < "$work/files"
echo "tests/package: kavosen $version built, installed, shown, validated and purged"
