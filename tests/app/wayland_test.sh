#!/bin/sh
# The program as a native Wayland client, under a headless compositor of its own: its window
# maps with the desktop entry's name as app_id, and the program closes it and ends with 0 when
# told to end (as on logging out). Skips, saying why, where the compositor or Qt's Wayland plugin
# is missing. The headless compositor has no seat, so nothing is typed here.
# Usage: wayland_test.sh SOURCE_DIR PROGRAM
set -e
source_dir="$1"
program="$2"
skip() {
    echo "SKIP: $*" >&2
    exit 77
}
fail() {
    echo "FAIL: $*" >&2
    [ -f "$work/client.log" ] && grep -E 'xdg_toplevel|attach' "$work/client.log" | head -40 >&2
    exit 1
}

command -v weston >/dev/null || skip "weston is not installed"
work="$(mktemp -d)"
compositor=""
client=""
trap 'for p in $client $compositor; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
      rm -rf "$work"' EXIT
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime" HOME="$work"
unset DISPLAY XDG_CONFIG_HOME
socket="kavosen-test-$$"
weston --backend=headless-backend.so --use-pixman --socket="$socket" > "$work/weston.log" 2>&1 &
compositor=$!
tries=0
until [ -S "$XDG_RUNTIME_DIR/$socket" ]; do
    kill -0 "$compositor" 2>/dev/null || skip "weston cannot start here: $(tail -n 3 "$work/weston.log")"
    [ $tries -lt 100 ] || skip "weston made no socket within 10 s"
    sleep 0.1
    tries=$((tries + 1))
done

entry="$(basename "$(ls "$source_dir"/res/*.desktop)" .desktop)"
WAYLAND_DISPLAY="$socket" QT_QPA_PLATFORM=wayland WAYLAND_DEBUG=1 "$program" \
    > "$work/client.out" 2> "$work/client.log" &
client=$!
# Mapped: the toplevel has its app_id and a buffer attached after the compositor's configure.
tries=0
until grep -q 'xdg_toplevel@[0-9]*\.configure' "$work/client.log" &&
    sed -n '/xdg_toplevel@[0-9]*\.configure/,$p' "$work/client.log" | grep -q 'wl_surface@[0-9]*\.attach(wl_buffer'; do
    if ! kill -0 "$client" 2>/dev/null; then
        grep -q 'Could not find the Qt platform plugin "wayland"' "$work/client.log" &&
            skip "Qt's Wayland plugin (qt6-wayland) is not installed"
        fail "the program ended before its window mapped"
    fi
    [ $tries -lt 200 ] || fail "the window did not map within 20 s"
    sleep 0.1
    tries=$((tries + 1))
done
grep -q "xdg_toplevel@[0-9]*\.set_app_id(\"$entry\")" "$work/client.log" ||
    fail "the app_id is not \"$entry\": $(grep -o 'set_app_id([^)]*)' "$work/client.log")"

kill -TERM "$client"
status=0
wait "$client" || status=$?
client=""
[ "$status" -eq 0 ] || fail "the program ended with $status"
grep -q 'xdg_toplevel@[0-9]*\.destroy()' "$work/client.log" || fail "the window was not closed"
echo "wayland: app_id \"$entry\", mapped, closed"
