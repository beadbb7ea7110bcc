# Shared by the scripts that drive a program on an X server (sourced): the tools they need, a
# private folder, waiting for a condition, and an X server of their own.

# Ends the check as skipped (77) when one of the named tools is not installed.
require_tools() {
    local tool
    for tool in "$@"; do
        if ! command -v "$tool" >/dev/null; then
            echo "SKIPPED: $tool is not installed"
            exit 77
        fi
    done
}

# A private folder in $work; the program's capture journal goes there, not to the home's.
make_work() {
    work=$(mktemp -d)
    export XDG_STATE_HOME="$work/state"
}

# Waits up to N tenths of a second (default 300) for a condition (a shell expression).
wait_for() {
    local tenths=${2:-300}
    for _ in $(seq "$tenths"); do
        if eval "$1"; then return 0; fi
        sleep 0.1
    done
    return 1
}

# An X server on a display nobody uses; it names the display when it is ready. Sets DISPLAY and
# xvfb_pid.
start_xvfb() {
    Xvfb -displayfd 9 -screen 0 1280x1024x24 -nolisten tcp 9>"$work/display" >/dev/null 2>&1 &
    xvfb_pid=$!
    wait_for '[ -s "$work/display" ]' 200 || { echo "FAILED: Xvfb did not start"; exit 1; }
    export DISPLAY=":$(head -n 1 "$work/display")"
}

# Waits for a mapped window whose name matches $1 and gives it the keyboard; sets window. A window
# found before it is mapped cannot take the focus, and keys sent then are lost.
focus_window() {
    local name=$1
    window=
    wait_for 'window=$(xdotool search --onlyvisible --name "$name" 2>/dev/null | head -n 1); [ -n "$window" ]' ||
        return 1
    xdotool windowfocus --sync "$window" 2>/dev/null || true
    wait_for '[ "$(xdotool getwindowfocus 2>/dev/null)" = "$window" ]' 50
}

# What is on the screen: each visible window's name, for a failure's report.
visible_windows() {
    local id
    for id in $(xdotool search --onlyvisible --name "" 2>/dev/null); do
        echo "window: $(xdotool getwindowname "$id" 2>/dev/null)"
    done
}
