#!/bin/sh
# tools/demo.sh as a user meets it, on a virtual X display of its own: the window opens, Alt+R
# captures the meter report from the simulated instrument, the text area shows its end and its
# byte count, Esc closes the window, and the demo ends with 0 leaving no process behind. Also:
# without an instrument to start, the demo says so and fails at once.
# Usage: demo_test.sh SOURCE_DIR BUILD_DIR
set -e
if [ "$1" != inside ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" inside "$@"
fi
source_dir="$2"
build_dir="$(cd "$3" && pwd)"
cd "$source_dir"

fail() {
    echo "FAIL: $*" >&2
    [ -f "$work/demo.out" ] && sed 's/^/demo: /' "$work/demo.out" >&2
    exit 1
}

work="$(mktemp -d)"
demo=""
trap '[ -n "$demo" ] && kill -TERM -- "-$demo" 2>/dev/null; rm -rf "$work"' EXIT
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime" HOME="$work"
unset QT_QPA_PLATFORM XDG_CONFIG_HOME KAVOSEN_BUILD
# From the tree's own build/ (as tools/test.sh builds it) the demo runs exactly as a user types
# it, its check of the packages and its build included; from any other build folder, on that.
[ "$build_dir" = "$(pwd)/build" ] || export KAVOSEN_BUILD="$build_dir"

# No instrument to start: a message and a failure, well within the wait for READY.
if KAVOSEN_BUILD="$work/empty" timeout 15 tools/demo.sh > "$work/demo.out" 2>&1; then
    fail "the demo succeeded without an instrument"
fi
grep -q "did not start" "$work/demo.out" || fail "the demo did not say the instrument did not start"

# In a session of its own, so that whatever it started is found afterwards.
setsid tools/demo.sh > "$work/demo.out" 2>&1 &
demo=$!
window="$(timeout 120 xdotool search --sync --onlyvisible --name '^KAVOSEN_WIN$' || true)"
window="${window%%[!0-9]*}"  # the first, should there be more
[ -n "$window" ] || fail "no window showed"
grep -q "^Instrument on /dev/pts/[0-9]* as COM1" "$work/demo.out" ||
    fail "the demo did not name the instrument's pty"

# The desktop entry finds the window by its class on X11.
class="$(sed -n 's/^StartupWMClass=//p' res/kavosen.desktop)"
xprop -id "$window" WM_CLASS | grep -q "\"$class\"\$" || fail "WM_CLASS is not $class"

xdotool windowfocus --sync "$window" key alt+r
# Read the text area as a user would copy it: click into it, select all, copy.
eval "$(xdotool getwindowgeometry --shell "$window")"
expected="$(($(wc -c < tools/demo-data.txt) + 1)) bytes."  # the Ctrl-Z is stored as zero
text=""
tries=0
while ! printf '%s' "$text" | grep -q "^$expected\$"; do
    [ $tries -lt 40 ] || fail "the text area never showed the report's end: $text"
    sleep 0.5
    tries=$((tries + 1))
    xdotool mousemove --window "$window" $((WIDTH / 2)) $((HEIGHT * 3 / 4)) click 1 \
        key ctrl+a ctrl+c
    text="$(timeout 5 xclip -o -selection clipboard 2>/dev/null | tr -d '\r')" || text=""
done
printf '%s' "$text" | grep -qx '\.\.\.end of data\.' || fail "no \"...end of data.\": $text"

xdotool windowfocus --sync "$window" key Escape
tries=0
while kill -0 "$demo" 2>/dev/null; do
    [ $tries -lt 100 ] || fail "the demo did not end when its window closed"
    sleep 0.1
    tries=$((tries + 1))
done
status=0
wait "$demo" || status=$?
session="$demo"
demo=""
[ "$status" -eq 0 ] || fail "the demo ended with $status"
left="$(ps -e -o sid= -o pid= -o args= | awk -v s="$session" '$1 == s')"
[ -z "$left" ] || fail "the demo left processes behind: $left"
echo "demo: captured \"$expected\", closed, nothing left"
