# Starts vexlor-sim for the scripts that put a programmer against one (the
# demo, the valgrind runs, the package check, the rig). Sourced, not run.

# start_simulator SIM OUT [OPTION...]
# Starts the simulator SIM in the background with OPTIONs, its standard
# output in OUT.out and its errors in OUT.err, and returns once it has
# printed its pseudo-terminal: the path is then in $sim_port, and its process
# id in $sim_pid and at the end of the array sim_pids (stop_simulators ends
# them all). A simulator that ends first, or prints nothing within 10 s,
# fails the call with what it said.
sim_pids=()
start_simulator() {
  local sim=$1 out=$2
  shift 2
  "$sim" "$@" >"$out.out" 2>"$out.err" &
  sim_pid=$!
  sim_pids+=("$sim_pid")
  sim_port=
  local tries
  for ((tries = 0; tries < 200; tries++)); do
    sim_port=$(head -n 1 "$out.out" 2>/dev/null || true)
    [ -n "$sim_port" ] && return 0
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "vexlor-sim printed no port: $(cat "$out.err")" >&2
  return 1
}

# wait_simulator: waits for the simulator started last to end by itself
# (with --once, when the programmer closes the port; its dumps are then
# written).
wait_simulator() {
  wait "$sim_pid" 2>/dev/null || true
  local pid kept=()
  for pid in "${sim_pids[@]}"; do [ "$pid" = "$sim_pid" ] || kept+=("$pid"); done
  sim_pids=("${kept[@]}")
}

# stop_simulators: ends every simulator still running and waits for each,
# so that their memory dumps are written.
stop_simulators() {
  local pid
  # One held still (SIGSTOP) takes the signal only once it goes on.
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null && kill -CONT "$pid" 2>/dev/null || true; done
  for pid in "${sim_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  sim_pids=()
}
