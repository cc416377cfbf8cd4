# Shell functions for tests that run host programs against q583-sim, on
# Linux or under Wine.  Source it: . scripts/lib/sim-wine.sh

q583_sim_pid=""

# q583_sim_start SIM_BIN LINK DIR [SIM OPTIONS...]: starts the simulator with
# a stable symlink LINK to its pseudo-terminal, output in DIR/sim.out and
# DIR/sim.err, and waits until it is serving.
q583_sim_start() {
  local bin=$1 link=$2 dir=$3
  shift 3
  q583_sim_stop
  rm -f "$link"
  "$bin" --link "$link" "$@" >"$dir/sim.out" 2>"$dir/sim.err" &
  q583_sim_pid=$!
  for _ in $(seq 100); do
    [[ -s "$dir/sim.out" && -L "$link" ]] && return 0
    sleep 0.05
  done
  echo "the simulator did not start"; cat "$dir/sim.err"; return 1
}

q583_sim_stop() {
  if [[ -n "$q583_sim_pid" ]]; then
    kill "$q583_sim_pid" 2>/dev/null || true
    wait "$q583_sim_pid" 2>/dev/null || true
    q583_sim_pid=""
  fi
}

# q583_wine_ports LINK PORT...: the Wine prefix $WINEPREFIX (created when
# missing) with each PORT (COM1, ...) leading to LINK.  Wine creates its port
# devices from this key when its session starts, so the server is restarted.
q583_wine_ports() {
  local link=$1 port
  shift
  if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    echo "creating the Wine prefix $WINEPREFIX"
    wineboot -i >/dev/null 2>&1
  fi
  for port in "$@"; do
    wine reg add 'HKLM\Software\Wine\Ports' /v "$port" /t REG_SZ /d "$link" /f >/dev/null 2>&1
  done
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  wineserver -p >/dev/null 2>&1
}
