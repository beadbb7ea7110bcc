# Shared by the Wine end-to-end scripts (sourced): waiting for a condition and an X server of
# their own (from x_session.sh), and the simulated receiver on COM5. Expects $work (a private
# folder) and, for the receiver, $build (the build folder with wine-run.sh and the prefix), $sim
# and $wineserver.

# shellcheck source=../support/x_session.sh
. "$(dirname "${BASH_SOURCE[0]}")/../support/x_session.sh"

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
