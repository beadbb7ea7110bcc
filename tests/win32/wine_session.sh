# Shared by the Wine end-to-end scripts (sourced): waiting for a condition, an X server of their
# own, and the simulated receiver on COM5. Expects $work (a private folder) and, for the receiver,
# $build (the build folder with wine-run.sh and the prefix), $sim and $wineserver.

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

# Starts the simulator on a script (stdin), lingering LINGER ms for owed answers, and maps COM5
# to its pseudo-terminal; sets $pty and $sim_pid. Wine reads the port mapping when its server
# starts, so no Wine program may be running.
start_receiver() {
    local linger=$1
    cat >"$work/session.txt"
    "$sim" --no-register --script "$work/session.txt" --expect-acks --linger "$linger" \
        >"$work/sim.out" &
    sim_pid=$!
    wait_for '[ -s "$work/sim.out" ]' 50 || true
    pty=$(head -n 1 "$work/sim.out")
    echo "receiver on $pty, mapped to COM5"
    "$build/wine-run.sh" reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$pty" /f >/dev/null
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w 2>/dev/null || true
}
