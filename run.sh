#!/usr/bin/env bash
# Installs what is missing, builds, and starts the panel with simulated monitors
# on a private network: two network namespaces joined by a veth pair, the panel
# in one and the monitors in the other, so "Refresh" on "LAN" finds them and
# nothing leaves this machine. Closing the panel stops the monitors and removes
# the namespaces. Without a display the panel runs under Xvfb, searches once,
# and a screenshot is saved.
#
#   ./run.sh            the demo described above
#   ./run.sh --plain    the panel alone, for real monitors on the LAN or RS-422
#   ./run.sh --service  the service, telvanord, with simulated monitors on a
#                       pseudo-terminal serial line (no network), its HTTP API on
#                       127.0.0.1:8080 (TELVANOR_DEMO_PORT); Ctrl-C stops both
#   ./run.sh --sites    a private MQTT broker, two site services with simulated
#                       monitors and a centre showing both (page on port 8080)
set -euo pipefail
cd "$(dirname "$0")"
. tools/deps.sh

# Demos of the service: simulated monitors on pseudo-terminal serial lines (no
# network at all), and their services on 127.0.0.1.
if [ "${1:-}" = --service ] || [ "${1:-}" = --sites ]; then
  mode=$1
  ensure_packages curl mosquitto
  configure_tree build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVANOR_QT=6
  cmake --build build -j"$(nproc)" --target telvanord telvanor-monitor-sim
  demo=$PWD/build/service-demo
  port=${TELVANOR_DEMO_PORT:-8080}
  rm -rf "$demo" && mkdir -p "$demo"
  pids=()
  stop() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
  }
  trap stop EXIT
  trap 'exit 0' INT TERM

  # start_sim LOG MONITOR...: the simulator's pseudo-terminal, in $tty.
  start_sim() {
    local log=$1; shift
    local args=()
    for m in "$@"; do args+=(--monitor "$m"); done
    build/sim/telvanor-monitor-sim --quiet-reads "${args[@]}" > "$log" 2>&1 &
    pids+=($!)
    tty=
    for _ in $(seq 100); do
      tty=$(sed -n 's/^ready serial=\(.*\)$/\1/p' "$log")
      [ -n "$tty" ] && return 0
      kill -0 "${pids[-1]}" 2>/dev/null || break
      sleep 0.1
    done
    echo "the simulator did not start"; cat "$log"; exit 1
  }
  # start_service CONFIG PORT: telvanord, once it listens.
  start_service() {
    local log=${1%.json}.log
    build/service/telvanord "$1" > >(tee "$log") 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do
      grep -q 'listening on' "$log" 2>/dev/null && return 0
      if ! kill -0 "${pids[-1]}" 2>/dev/null; then
        echo "telvanord ($1) stopped (port $2 taken? TELVANOR_DEMO_PORT=... picks another)"; exit 1
      fi
      sleep 0.1
    done
  }

  if [ "$mode" = --sites ]; then
    # A private broker on 127.0.0.1, two sites and a centre that shows both.
    broker_port=$((port + 10))
    printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nmax_queued_messages 0\nset_tcp_nodelay true\n' "$broker_port" > "$demo/mosquitto.conf"
    /usr/sbin/mosquitto -c "$demo/mosquitto.conf" > "$demo/mosquitto.log" 2>&1 &
    pids+=($!)
    i=1
    for site in north south; do
      start_sim "$demo/$site-monitors.log" "type=4,id=1,name=$site QUAD" "type=2,id=2,name=$site MV" "type=1,id=3,name=$site CAM"
      mkdir -p "$demo/$site"
      cat > "$demo/$site/telvanord.json" <<JSON
{
  "monitors": { "quad": "serial:$tty#1", "multiview": "serial:$tty#2", "cam": "serial:$tty#3" },
  "rooms": { "Gallery": ["quad", "multiview"], "Studio": ["cam"] },
  "http": { "listen": "127.0.0.1", "port": $((port + i)) },
  "mqtt": { "broker": "mqtt://127.0.0.1:$broker_port", "site": "$site" }
}
JSON
      start_service "$demo/$site/telvanord.json" $((port + i))
      i=$((i + 1))
    done
    mkdir -p "$demo/centre"
    cat > "$demo/centre/telvanord.json" <<JSON
{
  "http": { "listen": "127.0.0.1", "port": $port },
  "mqtt": { "broker": "mqtt://127.0.0.1:$broker_port", "site": "centre", "sites": "*", "publish": false }
}
JSON
    start_service "$demo/centre/telvanord.json" "$port"
    api=http://127.0.0.1:$port/api/v1
    cat <<TEXT

A broker on 127.0.0.1:$broker_port; sites north and south (their APIs on ports $((port + 1))
and $((port + 2))), three simulated monitors each; the centre shows all six.
The centre's page: http://127.0.0.1:$port/   Logs and configurations: $demo
Try:
  curl $api/sites
  curl $api/monitors/north~cam/screens/1
  curl -X PATCH -H 'Content-Type: application/json' -d '{"brightness":40}' $api/monitors/south~quad/screens/2
Ctrl-C stops them all.

TEXT
    wait "${pids[-1]}" || true
    exit 0
  fi

  # Monitors by name on that line; no search at all, so nothing goes on the LAN.
  start_sim "$demo/monitors.log" "type=4,id=1,name=QUAD RACK" "type=2,id=2,name=MULTIVIEW" "type=1,id=7,name=STUDIO A"
  mkdir -p "$demo/presets"
  cat > "$demo/telvanord.json" <<JSON
{
  "monitors": {
    "quad-rack": "serial:$tty#1",
    "multiview": "serial:$tty#2",
    "studio-a": "serial:$tty#7"
  },
  "presets": "presets",
  "http": { "listen": "127.0.0.1", "port": $port }
}
JSON
  start_service "$demo/telvanord.json" "$port"
  api=http://127.0.0.1:$port/api/v1
  cat <<TEXT

Simulated monitors on the pseudo-terminal $tty: quad-rack (ID 1, three screens),
multiview (ID 2) and studio-a (ID 7); their log: $demo/monitors.log
Configuration: $demo/telvanord.json (presets in $demo/presets)
The page: http://127.0.0.1:$port/ (open it in a browser on this machine)
API: $api (routes: $api/openapi.json)
Try:
  curl $api/monitors
  curl -X POST -H 'Content-Type: application/json' -d '{"text":"CAM 1"}' $api/monitors/quad-rack/screens/2/umd
Ctrl-C stops the service and the monitors.

TEXT
  wait "${pids[-1]}" || true
  exit 0
fi

extra=()
[ -n "${DISPLAY:-}" ] || extra+=(xvfb x11-utils xdotool imagemagick)
ensure_packages "${extra[@]}"
configure_tree build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVANOR_QT=6
cmake --build build -j"$(nproc)" --target telvanor telvanor-monitor-sim

panel=build/panel/telvanor
sim=build/sim/telvanor-monitor-sim
shots=${TELVANOR_SCREENSHOT_DIR:-$PWD/build/screenshots}
mkdir -p "$shots"

pids=()
namespaces=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null || true; done
}
trap cleanup EXIT INT TERM

monitors=(--quiet-reads
  --monitor "type=1,ip=10.77.0.7,name=STUDIO A"
  --monitor "type=2,ip=10.77.0.12,name=MULTIVIEW"
  --monitor "type=4,ip=10.77.0.30,name=QUAD RACK"
  --monitor "type=128,ip=10.77.0.41,name=FIELD MON")
announce() {
  echo "Simulated monitors on 10.77.0.7, .12, .30 (three screens) and .41; their log: $shots/monitors.log"
  echo "Press \"Refresh\" with \"LAN\" selected to find them."
}

launch=("$panel")
mode=${1:-}
if [ "$mode" = "--in-user-namespace" ]; then
  # Without root: this script runs again inside a user and network namespace of
  # its own (the panel's); the monitors get a child namespace, joined by veth.
  unshare -n sleep infinity &
  holder=$!
  pids+=("$holder")
  sleep 0.2
  ip link set lo up
  ip link add tvdemoa type veth peer name tvdemob netns "$holder"
  ip addr add 10.77.0.1/24 dev tvdemoa
  ip link set tvdemoa up
  inmon=(nsenter -n -t "$holder")
  "${inmon[@]}" ip link set lo up
  for a in 7 12 30 41; do "${inmon[@]}" ip addr add "10.77.0.$a/24" dev tvdemob; done
  "${inmon[@]}" ip link set tvdemob up
  "${inmon[@]}" "$sim" "${monitors[@]}" > "$shots/monitors.log" 2>&1 &
  pids+=($!)
  announce
elif [ "$mode" != "--plain" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    if unshare -rn true 2>/dev/null; then
      exec unshare -rn "$0" --in-user-namespace
    fi
    echo "This machine allows no private network for the demo (neither root nor user namespaces);"
    echo "starting the panel alone."
  else
    tag=tvdemo$$
    pns=$tag-panel mns=$tag-mon
    ip netns add "$pns"; namespaces+=("$pns")
    ip netns add "$mns"; namespaces+=("$mns")
    ip link add "${tag}a" netns "$pns" type veth peer name "${tag}b" netns "$mns"
    ip -n "$pns" addr add 10.77.0.1/24 dev "${tag}a"
    for a in 7 12 30 41; do ip -n "$mns" addr add "10.77.0.$a/24" dev "${tag}b"; done
    for ns in "$pns" "$mns"; do ip -n "$ns" link set lo up; done
    ip -n "$pns" link set "${tag}a" up
    ip -n "$mns" link set "${tag}b" up
    ip netns exec "$mns" "$sim" "${monitors[@]}" > "$shots/monitors.log" 2>&1 &
    pids+=($!)
    announce
    launch=(ip netns exec "$pns" "$panel")
  fi
fi

if [ -n "${DISPLAY:-}" ]; then
  "${launch[@]}"
  exit 0
fi

# No display: run under Xvfb, search once, take a screenshot.
display=:$(( 90 + $$ % 100 ))
Xvfb "$display" -screen 0 1024x700x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
"${launch[@]}" &
pids+=($!)
win=$(timeout 20 xdotool search --sync --name 'Telvanor' | head -n 1)
xdotool windowmove --sync "$win" 0 0
sleep 1
# "Refresh" sits at 130,308 in the window (its centre 170,319).
xdotool mousemove --window "$win" 170 319 click 1
sleep 4
shot=$shots/panel.png
import -window root -crop 960x644+0+0 "$shot"
echo "No display here: the panel ran under Xvfb. Screenshot: $shot"

# With TELVANOR_DOC_SHOTS=DIR: the three-screen monitor on each page, for the README.
if [ -n "${TELVANOR_DOC_SHOTS:-}" ]; then
  mkdir -p "$TELVANOR_DOC_SHOTS"
  xdotool mousemove --window "$win" 60 385 click 1     # third row: 10.77.0.30, three screens
  sleep 2
  x=280
  for page in picture marker function source audio umd; do
    case $page in marker) x=390 ;; function) x=500 ;; source) x=600 ;; audio) x=710 ;; umd) x=820 ;; esac
    xdotool mousemove --window "$win" "$x" 114 mousedown 1 mouseup 1
    sleep 1.5
    import -window root -crop 960x644+0+0 "$TELVANOR_DOC_SHOTS/$page.png"
  done
  echo "Pages saved in $TELVANOR_DOC_SHOTS"
fi
